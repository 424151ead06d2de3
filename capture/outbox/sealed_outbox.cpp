#include "capture/outbox/sealed_outbox.h"

#include "capture/documentation_upload.h"
#include "capture/private_files.h"
#include "platform/secretstore/secret_service_store.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageWriter>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

const QString kImageSuffix = QStringLiteral("image");
const QString kLedgerName = QStringLiteral("filed-ledger");
constexpr int kNameLength = 32;
// How long the first capture waits for a keyring that has not answered yet.
constexpr int kKeyringWaitMs = 2000;

QJsonObject accountObject(const KCUploadAccount &account) {
    return {{QStringLiteral("user"), account.user},
            {QStringLiteral("service"), account.service},
            {QStringLiteral("practice"), account.practice}};
}

KCUploadAccount accountFrom(const QJsonObject &object) {
    return {object.value(QStringLiteral("user")).toString(),
            object.value(QStringLiteral("service")).toString(),
            object.value(QStringLiteral("practice")).toString()};
}

QString stateText(const KCOutboxEntry &entry) {
    if (entry.refused)
        return QStringLiteral("refused");
    return entry.mayHaveReached ? QStringLiteral("sending") : QStringLiteral("waiting");
}

// Reads the sending state of a record as the earlier version stored it, too.
void applyState(KCOutboxEntry &entry, const QJsonObject &object) {
    entry.account = accountFrom(object.value(QStringLiteral("account")).toObject());
    entry.acceptedAt =
        QDateTime::fromString(object.value(QStringLiteral("accepted_at")).toString(), Qt::ISODateWithMs);
    const QString state = object.value(QStringLiteral("state")).toString();
    entry.refused = state == QLatin1String("refused");
    // A record kept while an attempt was out (or by a version that did not
    // say) may already be with its service.
    entry.mayHaveReached = state != QLatin1String("waiting") && !entry.refused;
    entry.lastError = object.value(QStringLiteral("error")).toString();
}

QByteArray readAll(const QString &path, QString *error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return {};
    }
    return file.readAll();
}

// `bytes` as PNG: kept when they are PNG already, else decoded and encoded.
QByteArray asPng(const QByteArray &bytes) {
    if (bytes.startsWith("\x89PNG"))
        return bytes;
    const QImage image = QImage::fromData(bytes);
    if (image.isNull())
        return bytes;
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter(&buffer, "png").write(image);
    return png;
}

bool isCaptureName(const QString &name) {
    static const QRegularExpression pattern(QStringLiteral("^[0-9a-f]{%1}$").arg(kNameLength));
    return pattern.match(name).hasMatch();
}

} // namespace

// What the keyring answered, set by the thread that asks it.
struct KCSealedOutbox::Keyring {
    std::mutex mutex;
    std::condition_variable answered;
    bool hasAnswered = false;
    bool asking = false;
    bool askAgain = false; // asked again while a question was out
    KCOutboxKey key;       // kept, or in memory with the reason
    QString folder;
    std::shared_ptr<KCSecretStore> store;
    std::function<void()> onAnswer;
};

namespace {

// The kept keys that the folder's sealed captures name (not the ledger's:
// the ledger may be replaced, the captures may not).
QSet<QByteArray> namedKeptKeyIds(const QString &folder) {
    QSet<QByteArray> ids;
    const QDir dir(folder);
    for (const QString &name : dir.entryList(QDir::Files)) {
        if (name.endsWith(QLatin1String(".tmp")) || name == kLedgerName)
            continue;
        QFile file(dir.filePath(name));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QByteArray header = file.read(kcSealedHeaderSize);
        const QByteArray id = kcSealedKeyId(header);
        if (!id.isEmpty() && !kcSealedWithMemoryKey(header))
            ids.insert(id);
    }
    return ids;
}

} // namespace

KCSealedOutbox::KCSealedOutbox(const QString &folder, std::shared_ptr<KCSecretStore> keyStore,
                               std::function<void()> keyringAnswered)
    : m_folder(folder), m_keyring(std::make_shared<Keyring>()) {
    m_keyring->folder = folder;
    m_keyring->store = std::move(keyStore);
    m_keyring->onAnswer = std::move(keyringAnswered);
    ask();
}

void KCSealedOutbox::askKeyringAgain() {
    ask();
}

// Not on the file worker: an unlock prompt may stay open for long, and
// captures are stored meanwhile.
void KCSealedOutbox::ask() {
    bool first = false;
    {
        std::lock_guard lock(m_keyring->mutex);
        if (m_keyring->asking) {
            m_keyring->askAgain = true;
            return;
        }
        m_keyring->asking = true;
        first = !m_keyring->hasAnswered;
    }
    std::thread([keyring = m_keyring, first] {
        std::shared_ptr<KCSecretStore> store = keyring->store;
        // The first question may show the keyring's unlock prompt; those
        // asked again when the keyring signals a change do not (a dismissed
        // prompt would come back with every change of any item).
        if (!store)
            store = first
                        ? std::make_shared<KCSecretServiceStore>()
                        : std::make_shared<KCSecretServiceStore>(KCSecretServiceStore::Options{false, 15000});
        for (bool again = true; again;) {
            KCOutboxKey key = kcOutboxKeyFromStore(*store, namedKeptKeyIds(keyring->folder));
            {
                std::lock_guard lock(keyring->mutex);
                keyring->key = std::move(key);
                keyring->hasAnswered = true;
                again = keyring->askAgain;
                keyring->askAgain = false;
                keyring->asking = again;
            }
            keyring->answered.notify_all();
            if (keyring->onAnswer)
                keyring->onAnswer();
        }
    }).detach();
}

const KCOutboxKey &KCSealedOutbox::sealingKey() {
    if (m_kept)
        return *m_kept;
    std::unique_lock lock(m_keyring->mutex);
    if (!m_waited) {
        // The first capture waits a little for a keyring that is slow to
        // answer; later ones do not.
        m_keyring->answered.wait_for(lock, std::chrono::milliseconds(kKeyringWaitMs),
                                     [this] { return m_keyring->hasAnswered; });
        m_waited = true;
    }
    if (m_keyring->hasAnswered && m_keyring->key.kept) {
        m_kept = m_keyring->key;
        return *m_kept;
    }
    if (!m_memory)
        m_memory = kcMemoryOutboxKey(QString());
    return *m_memory;
}

void KCSealedOutbox::forgetMemoryKey() {
    if (m_kept)
        m_memory.reset();
}

QString KCSealedOutbox::keyProblem() {
    if (sealingKey().kept)
        return QString();
    std::lock_guard lock(m_keyring->mutex);
    return m_keyring->hasAnswered
               ? m_keyring->key.problem
               : QStringLiteral("The keyring has not answered yet; its unlock prompt may be "
                                "waiting.");
}

std::optional<QByteArray> KCSealedOutbox::unseal(const QByteArray &sealed, const QString &name,
                                                 KCUnsealError *why, bool *withMemoryKey) {
    sealingKey(); // takes the keyring's key once it has answered
    const QByteArray id = kcSealedKeyId(sealed);
    const bool memory = m_memory && id == m_memory->id;
    if (withMemoryKey)
        *withMemoryKey = memory;
    if (memory)
        return kcUnseal(*m_memory, sealed, name, why);
    return kcUnseal(m_kept.value_or(KCOutboxKey()), sealed, name, why);
}

QString KCSealedOutbox::newCaptureName() {
    QString name;
    for (int i = 0; i < kNameLength / 8; ++i)
        name += QStringLiteral("%1").arg(QRandomGenerator::system()->generate(), 8, 16, QLatin1Char('0'));
    return name;
}

QString KCSealedOutbox::whyUnreadable(KCUnsealError error, const QByteArray &sealed) {
    switch (error) {
    case KCUnsealError::None:
        break;
    case KCUnsealError::NotSealed:
        return QStringLiteral("It is damaged: it is not a sealed capture.");
    case KCUnsealError::Damaged:
        return QStringLiteral("It is damaged or was changed since it was sealed.");
    case KCUnsealError::OtherKey:
        if (kcSealedWithMemoryKey(sealed))
            return QStringLiteral(
                "It was sealed with a key held in memory by a run of KelvraCapture that quit "
                "before sending it (no keyring kept that key), so it cannot be read.");
        return QStringLiteral("It waits for the key that sealed it (key %1), which the keyring does not give "
                              "now%2. It is kept, and sent once the keyring gives that key again: unlock "
                              "the keyring, or restore its item \"%3\".")
            .arg(QString::fromLatin1(kcSealedKeyId(sealed).toHex()),
                 sealingKey().kept ? QString() : QStringLiteral(" (%1)").arg(keyProblem()),
                 kcOutboxKeyLabel());
    }
    return QString();
}

QString KCSealedOutbox::storeImage(const QString &capture, const QByteArray &png) {
    const QString name = capture + QLatin1Char('.') + kImageSuffix;
    return kcWriteFileDurably(path(name), kcSeal(sealingKey(), png, name));
}

QString KCSealedOutbox::write(const KCOutboxEntry &entry) {
    const QJsonObject object{
        {QStringLiteral("destination"), entry.destination},
        {QStringLiteral("record"), QJsonObject::fromVariantMap(entry.record)},
        {QStringLiteral("patient"), QJsonObject::fromVariantMap(entry.patient)},
        {QStringLiteral("account"), accountObject(entry.account)},
        {QStringLiteral("accepted_at"), entry.acceptedAt.toString(Qt::ISODateWithMs)},
        {QStringLiteral("state"), stateText(entry)},
        {QStringLiteral("error"), entry.lastError},
        {QStringLiteral("image"), entry.hasImage},
    };
    return kcWriteFileDurably(
        path(entry.key),
        kcSeal(sealingKey(), QJsonDocument(object).toJson(QJsonDocument::Compact), entry.key));
}

QString KCSealedOutbox::storeCapture(const QString &capture, const QByteArray &png,
                                     QList<KCOutboxEntry> &entries) {
    QString error = kcMakePrivateFolder(m_folder);
    if (error.isEmpty() && !png.isEmpty())
        error = storeImage(capture, png);
    QStringList written;
    for (KCOutboxEntry &entry : entries) {
        if (!error.isEmpty())
            break;
        entry.hasImage = !png.isEmpty();
        entry.lostAtQuit = !sealingKey().kept && entry.legacyFile.isEmpty();
        error = write(entry);
        if (error.isEmpty())
            written.append(entry.key);
    }
    if (error.isEmpty())
        return error;
    for (const QString &name : std::as_const(written))
        QFile::remove(path(name));
    QFile::remove(path(capture + QLatin1Char('.') + kImageSuffix));
    kcSyncFolder(m_folder);
    return error;
}

std::optional<QByteArray> KCSealedOutbox::image(const KCOutboxEntry &entry, QString *error) {
    const QString name = entry.capture() + QLatin1Char('.') + kImageSuffix;
    if (!QFileInfo::exists(path(name))) {
        *error = QStringLiteral("Its image is missing.");
        return std::nullopt;
    }
    const QByteArray sealed = readAll(path(name), error);
    if (!error->isEmpty())
        return std::nullopt;
    KCUnsealError why = KCUnsealError::None;
    std::optional<QByteArray> png = unseal(sealed, name, &why);
    if (!png)
        *error = whyUnreadable(why, sealed);
    return png;
}

void KCSealedOutbox::remove(const KCOutboxEntry &entry) {
    QFile::remove(path(entry.key));
    if (!entry.legacyFile.isEmpty())
        QFile::remove(entry.legacyFile);
    const QStringList left = QDir(m_folder).entryList({entry.capture() + QStringLiteral(".*")}, QDir::Files);
    const QString image = entry.capture() + QLatin1Char('.') + kImageSuffix;
    if (left == QStringList{image})
        QFile::remove(path(image));
    kcSyncFolder(m_folder);
}

std::optional<KCOutboxEntry> KCSealedOutbox::read(const QString &name, QString *error, bool *waitsForKey) {
    const QByteArray sealed = readAll(path(name), error);
    if (!error->isEmpty())
        return std::nullopt;
    KCUnsealError why = KCUnsealError::None;
    bool withMemoryKey = false;
    const std::optional<QByteArray> plain = unseal(sealed, name, &why, &withMemoryKey);
    if (!plain) {
        *error = whyUnreadable(why, sealed);
        *waitsForKey = why == KCUnsealError::OtherKey && !kcSealedWithMemoryKey(sealed);
        return std::nullopt;
    }
    const QJsonObject object = QJsonDocument::fromJson(*plain).object();
    KCOutboxEntry entry;
    entry.key = name;
    entry.destination = object.value(QStringLiteral("destination")).toString();
    entry.record = object.value(QStringLiteral("record")).toObject().toVariantMap();
    entry.patient = object.value(QStringLiteral("patient")).toObject().toVariantMap();
    entry.hasImage = object.value(QStringLiteral("image")).toBool();
    applyState(entry, object);
    if (entry.destination != name.section(QLatin1Char('.'), 1) || entry.record.isEmpty()) {
        *error = whyUnreadable(KCUnsealError::Damaged);
        return std::nullopt;
    }
    if (entry.hasImage) {
        // Only the image's seal is looked at here; its contents are read
        // when the record is sent.
        const QString image = path(entry.capture() + QLatin1Char('.') + kImageSuffix);
        QFile file(image);
        const QByteArray header =
            file.open(QIODevice::ReadOnly) ? file.read(kcSealedHeaderSize) : QByteArray();
        const QByteArray id = kcSealedKeyId(header);
        if (header.isEmpty())
            *error = QStringLiteral("Its image is missing.");
        else if (id.isEmpty())
            *error = whyUnreadable(KCUnsealError::NotSealed);
        else if (id != (m_kept ? m_kept->id : QByteArray()) &&
                 id != (m_memory ? m_memory->id : QByteArray())) {
            *error = whyUnreadable(KCUnsealError::OtherKey, header);
            *waitsForKey = !kcSealedWithMemoryKey(header);
        }
        if (!error->isEmpty())
            return std::nullopt;
    }
    entry.lostAtQuit = withMemoryKey;
    return entry;
}

void KCSealedOutbox::sealEarlierVersion(const QString &name, QList<KCOutboxEntry> &entries) {
    const QString plainPath = path(name);
    QString error;
    const QJsonObject object = QJsonDocument::fromJson(readAll(plainPath, &error)).object();
    const QString destination = object.value(QStringLiteral("destination")).toString();
    QVariantMap record = object.value(QStringLiteral("record")).toObject().toVariantMap();
    // The same name for the same plain record, should it be sealed twice.
    const QString capture = QString::fromLatin1(
        QCryptographicHash::hash("KelvraCapture earlier record " + name.toUtf8(), QCryptographicHash::Sha256)
            .toHex()
            .left(kNameLength));
    KCOutboxEntry entry;
    entry.key = capture + QLatin1Char('.') + destination;
    entry.destination = destination;
    entry.legacyFile = plainPath;
    entry.acceptedAt = QFileInfo(plainPath).lastModified();
    if (destination.isEmpty() || destination == kImageSuffix || record.isEmpty()) {
        entry.key = name;
        entry.unreadable = true;
        entry.lastError = QStringLiteral("A capture kept by an earlier version that cannot be read.");
        entries.append(entry);
        return;
    }
    QVariantList uploads = record.value(QStringLiteral("Upload")).toList();
    QVariantMap upload = uploads.value(0).toMap();
    const QByteArray image =
        QByteArray::fromBase64(upload.take(QStringLiteral("content")).toString().toLatin1());
    if (!uploads.isEmpty()) {
        uploads[0] = upload;
        record.insert(QStringLiteral("Upload"), uploads);
    }
    entry.record = record;
    entry.patient = kcPatientIds(object.value(QStringLiteral("appointmentInfo")).toObject().toVariantMap());
    const QDateTime fileTime = entry.acceptedAt;
    applyState(entry, object);
    if (!entry.acceptedAt.isValid())
        entry.acceptedAt = fileTime;
    // Whatever the earlier version said, an attempt may have reached the
    // service: the chart is looked at before the record is sent again.
    entry.mayHaveReached = !entry.refused;
    if (sealingKey().kept)
        entry.legacyFile.clear();
    QList<KCOutboxEntry> sealed{entry};
    error = storeCapture(capture, asPng(image), sealed);
    if (!error.isEmpty()) {
        entry.legacyFile = plainPath;
        entry.unreadable = true;
        entry.lastError =
            QStringLiteral("A capture kept by an earlier version could not be sealed: %1").arg(error);
        entries.append(entry);
        return;
    }
    if (sealingKey().kept)
        QFile::remove(plainPath);
    entries.append(sealed.first());
}

QList<KCOutboxEntry> KCSealedOutbox::load() {
    QList<KCOutboxEntry> entries;
    QDir folder(m_folder);
    if (!folder.exists())
        return entries;
    bool removed = false;
    for (const QString &name : folder.entryList({QStringLiteral("*.tmp")}, QDir::Files))
        removed |= QFile::remove(path(name));
    QStringList plain = folder.entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name);
    if (!plain.isEmpty()) {
        for (const QString &name : std::as_const(plain))
            sealEarlierVersion(name, entries);
        removed = true;
    }
    QSet<QString> done;
    QSet<QString> withRecords;
    for (const KCOutboxEntry &entry : std::as_const(entries)) {
        done.insert(entry.key);
        withRecords.insert(entry.capture());
    }
    const QStringList names = folder.entryList(QDir::Files, QDir::Name);
    for (const QString &name : names) {
        const QString capture = name.section(QLatin1Char('.'), 0, 0);
        const QString suffix = name.section(QLatin1Char('.'), 1);
        if (!isCaptureName(capture) || suffix == kImageSuffix || suffix.isEmpty() || suffix.contains('.') ||
            done.contains(name))
            continue;
        withRecords.insert(capture);
        entries.append(readOrUnreadable(name));
    }
    // Images whose records were all sent before a crash removed the image.
    for (const QString &name : names) {
        const QString capture = name.section(QLatin1Char('.'), 0, 0);
        if (isCaptureName(capture) && name.section(QLatin1Char('.'), 1) == kImageSuffix &&
            !withRecords.contains(capture))
            removed |= QFile::remove(path(name));
    }
    if (removed)
        kcSyncFolder(m_folder);
    return dropFiled(entries);
}

// The ledger, with what its file holds once a kept key can read it. A file
// sealed with another key cannot be read and is replaced: the chart is
// looked at before a record of an earlier run is sent in any case.
KCFiledLedger &KCSealedOutbox::ledger() {
    if (m_ledgerRead || !sealingKey().kept)
        return m_ledger;
    m_ledgerRead = true;
    QString error;
    const QByteArray sealed =
        QFileInfo::exists(path(kLedgerName)) ? readAll(path(kLedgerName), &error) : QByteArray();
    if (sealed.isEmpty())
        return m_ledger;
    const std::optional<QByteArray> plain = kcUnseal(*m_kept, sealed, kLedgerName);
    if (const std::optional<KCFiledLedger> onDisk = plain ? KCFiledLedger::fromJson(*plain) : std::nullopt)
        m_ledger.merge(*onDisk);
    return m_ledger;
}

void KCSealedOutbox::recordFiled(const KCOutboxEntry &entry) {
    KCFiledLedger &filed = ledger();
    filed.add(entry.destination, kcIdText(entry.record.value(QStringLiteral("id"))),
              QDateTime::currentDateTimeUtc());
    // Sealed with a key in memory it would be unreadable later and take the
    // place of the kept one: kept in memory until the keyring gives its key.
    if (sealingKey().kept)
        kcWriteFileDurably(path(kLedgerName), kcSeal(*m_kept, filed.toJson(), kLedgerName));
}

QList<KCOutboxEntry> KCSealedOutbox::dropFiled(QList<KCOutboxEntry> entries) {
    QList<KCOutboxEntry> left;
    for (const KCOutboxEntry &entry : entries) {
        if (!entry.unreadable &&
            ledger().contains(entry.destination, kcIdText(entry.record.value(QStringLiteral("id"))))) {
            remove(entry);
            continue;
        }
        left.append(entry);
    }
    return left;
}

KCOutboxEntry KCSealedOutbox::readOrUnreadable(const QString &name) {
    QString error;
    bool waitsForKey = false;
    if (std::optional<KCOutboxEntry> entry = read(name, &error, &waitsForKey))
        return *entry;
    KCOutboxEntry unreadable;
    unreadable.key = name;
    unreadable.destination = name.section(QLatin1Char('.'), 1);
    unreadable.acceptedAt = QFileInfo(path(name)).lastModified();
    unreadable.unreadable = true;
    unreadable.waitingForKey = waitsForKey;
    unreadable.lastError = error;
    return unreadable;
}

QList<KCOutboxEntry> KCSealedOutbox::reread(const QStringList &names) {
    QList<KCOutboxEntry> entries;
    for (const QString &name : names)
        if (QFileInfo::exists(path(name)))
            entries.append(readOrUnreadable(name));
    return dropFiled(entries);
}

QStringList KCSealedOutbox::reseal(const QList<KCOutboxEntry> &entries) {
    QStringList done;
    if (!sealingKey().kept)
        return done;
    QSet<QString> images;
    for (const KCOutboxEntry &entry : entries) {
        QString error;
        if (entry.hasImage && !images.contains(entry.capture())) {
            const std::optional<QByteArray> png = image(entry, &error);
            if (png)
                error = storeImage(entry.capture(), *png);
            if (!error.isEmpty())
                continue;
            images.insert(entry.capture());
        }
        if (write(entry).isEmpty())
            done.append(entry.key);
    }
    return done;
}
