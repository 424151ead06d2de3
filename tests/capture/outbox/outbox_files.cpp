#include "outbox_files.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

QString kcOutboxExposure(const QString &folder, const QList<QByteArray> &clear) {
    // A PNG's signature and header chunk, also in Base64; long enough not to
    // turn up by chance in megabytes of sealed bytes.
    QList<QByteArray> shows{"\x89PNG\r\n\x1a\n", QByteArray("\x00\x00\x00\x0dIHDR", 8), "iVBORw0KGgo"};
    for (const QByteArray &text : clear) {
        shows.append(text);
        // Base64 of the text at each of the three alignments.
        for (int shift = 0; shift < 3; ++shift) {
            const QByteArray encoded = (QByteArray(shift, 'x') + text).toBase64();
            // The characters made of the text's bits alone.
            const int from = (8 * shift + 5) / 6, to = (8 * int(shift + text.size()) - 6) / 6 + 1;
            if (to - from >= 6)
                shows.append(encoded.mid(from, to - from));
        }
    }
    QStringList problems;
    const QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden);
    // Names are random: 32 hexadecimal digits and what the file holds.
    static const QRegularExpression random(
        QStringLiteral("^([0-9a-f]{32}\\.(image|clinic|emr)|filed-ledger)(\\.tmp)?$"));
    static const QRegularExpression processNumber(QStringLiteral("^[0-9]*\n?$"));
    for (const QString &name : names) {
        if (name == QLatin1String(".lock")) {
            QFile lock(folder + QLatin1String("/.lock"));
            if (!lock.open(QIODevice::ReadOnly) ||
                !processNumber.match(QString::fromLatin1(lock.readAll())).hasMatch())
                problems.append(QStringLiteral("the lock holds more than a process number"));
            continue;
        }
        if (!random.match(name).hasMatch())
            problems.append(QStringLiteral("the name %1 is not a random one").arg(name));
        QFile file(folder + QLatin1Char('/') + name);
        if (!file.open(QIODevice::ReadOnly)) {
            if (file.exists()) // else renamed or removed since it was listed
                problems.append(QStringLiteral("%1 cannot be read").arg(name));
            continue;
        }
        const QByteArray bytes = file.readAll();
        if (!bytes.startsWith("KCOUTBX1") && !bytes.startsWith("KCOUTBM1") &&
            !(name.endsWith(QLatin1String(".tmp")) && bytes.isEmpty()))
            problems.append(QStringLiteral("%1 is not sealed").arg(name));
        for (const QByteArray &text : std::as_const(shows))
            if (bytes.contains(text))
                problems.append(
                    QStringLiteral("%1 shows %2").arg(name, QString::fromLatin1(text.toPercentEncoding())));
    }
    return problems.join(QStringLiteral("; "));
}
