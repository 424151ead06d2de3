#include "demo/demo_store.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QMap>
#include <QRegularExpression>
#include <QSaveFile>

namespace {

const QString kDocumentations = QStringLiteral("documentations");
const QString kEmrDocuments = QStringLiteral("emr-documents");

// Files hold patient data: readable by the owner only.
constexpr QFileDevice::Permissions kPrivateFile = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
constexpr QFileDevice::Permissions kPrivateDir =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;

bool writeFile(const QString &path, const QByteArray &data, QString *error) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    QFile::setPermissions(path, kPrivateFile);
    return true;
}

// A file and the JSON record describing it; neither is left behind when
// one cannot be written.
bool writePair(const QString &filePath, const QByteArray &data, const QString &jsonPath,
               const QJsonObject &record, QString *error) {
    if (!writeFile(filePath, data, error))
        return false;
    if (!writeFile(jsonPath, QJsonDocument(record).toJson(QJsonDocument::Indented), error)) {
        QFile::remove(filePath);
        return false;
    }
    return true;
}

bool makePrivateDir(const QString &path) {
    if (!QDir().mkpath(path))
        return false;
    QFile::setPermissions(path, kPrivateDir);
    return true;
}

// Only letters, digits and hyphens of an id that came from a client make it
// into a file name.
QString safeName(const QString &id) {
    QString name = id;
    name.remove(QRegularExpression(QStringLiteral("[^A-Za-z0-9-]")));
    name.truncate(40);
    return name.isEmpty() ? QStringLiteral("record") : name;
}

QList<QFileInfo> jsonFilesByAge(const QString &root) {
    QList<QFileInfo> files;
    QDirIterator it(root, {QStringLiteral("*.json")}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(QFileInfo(it.next()));
    std::sort(files.begin(), files.end(), [](const QFileInfo &a, const QFileInfo &b) {
        return a.absoluteFilePath() < b.absoluteFilePath();
    });
    return files;
}

QJsonObject readObject(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

} // namespace

DemoStore::DemoStore(const QString &dataDir) : m_dataDir(QDir(dataDir).absolutePath()) {}

bool DemoStore::open(QString *error) {
    for (const QString &sub : {QString(), kDocumentations, kEmrDocuments}) {
        const QString path = sub.isEmpty() ? m_dataDir : m_dataDir + QLatin1Char('/') + sub;
        if (!makePrivateDir(path)) {
            *error = QStringLiteral("cannot create the data folder %1").arg(path);
            return false;
        }
    }
    loadDocumentations();
    loadEmrDocuments();
    return true;
}

QString DemoStore::dayFolder(const QString &kind, const QDateTime &when, QString *error) const {
    const QString path =
        m_dataDir + QLatin1Char('/') + kind + QLatin1Char('/') + when.toString(QStringLiteral("yyyy-MM-dd"));
    if (!makePrivateDir(path)) {
        *error = QStringLiteral("cannot create the folder %1").arg(path);
        return {};
    }
    return path;
}

static QString idText(const QJsonValue &value) {
    return value.isDouble() ? QString::number(value.toDouble(), 'g', 17) : value.toString();
}

QJsonArray DemoStore::repeatedDocumentationIds() const {
    QMap<QString, int> counts;
    for (const StoredDocumentation &d : m_documentations)
        ++counts[idText(d.record.value(QStringLiteral("id")))];
    QJsonArray repeated;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        if (it.value() > 1)
            repeated.append(
                QJsonObject{{QStringLiteral("id"), it.key()}, {QStringLiteral("count"), it.value()}});
    return repeated;
}

QJsonArray DemoStore::repeatedEmrDocuments() const {
    QMap<QPair<QString, QString>, int> counts;
    for (const StoredEmrDocument &d : m_emrDocuments) {
        const QString note = d.fields.value(QStringLiteral("actionnote")).toString();
        if (!note.isEmpty())
            ++counts[{d.fields.value(QStringLiteral("patient_id")).toString(), note}];
    }
    QJsonArray repeated;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        if (it.value() > 1)
            repeated.append(QJsonObject{{QStringLiteral("patient_id"), it.key().first},
                                        {QStringLiteral("actionnote"), it.key().second},
                                        {QStringLiteral("count"), it.value()}});
    return repeated;
}

bool DemoStore::storeDocumentation(const QJsonObject &record, const QByteArray &png, QString *error) {
    const QDateTime now = QDateTime::currentDateTime();
    const QString folder = dayFolder(kDocumentations, now, error);
    if (folder.isEmpty())
        return false;
    // Time of day first, so that the files of a day sort in arrival order.
    QString base = folder + QLatin1Char('/') + now.toString(QStringLiteral("HHmmss-zzz")) + QLatin1Char('_') +
                   QString::number(++m_sequence) + QLatin1Char('_') +
                   safeName(record.value(QStringLiteral("id")).toString());
    StoredDocumentation stored{record, base + QStringLiteral(".json"), base + QStringLiteral(".png"), now};
    if (!writePair(stored.pngPath, png, stored.jsonPath, record, error))
        return false;
    m_documentations.append(stored);
    return true;
}

bool DemoStore::storeEmrDocument(QJsonObject fields, const QByteArray &pdf, QString *documentId,
                                 QString *error) {
    const QDateTime now = QDateTime::currentDateTime();
    const QString folder = dayFolder(kEmrDocuments, now, error);
    if (folder.isEmpty())
        return false;
    const QString id = QString::number(m_nextDocumentId);
    const QString base = folder + QLatin1Char('/') + id;
    fields.insert(QStringLiteral("documentid"), id);
    fields.insert(QStringLiteral("received_at"), now.toString(Qt::ISODate));
    StoredEmrDocument stored{fields, base + QStringLiteral(".json"), base + QStringLiteral(".pdf"), now};
    if (!writePair(stored.pdfPath, pdf, stored.jsonPath, fields, error))
        return false;
    ++m_nextDocumentId;
    *documentId = id;
    m_emrDocuments.append(stored);
    return true;
}

// Calls `take` for every readable record under `root` whose companion file
// (same name, `suffix`) exists, oldest first.
template <typename Take> void forEachStored(const QString &root, const QString &suffix, Take take) {
    for (const QFileInfo &info : jsonFilesByAge(root)) {
        const QJsonObject object = readObject(info.absoluteFilePath());
        const QString companion = info.absolutePath() + QLatin1Char('/') + info.completeBaseName() + suffix;
        if (!object.isEmpty() && QFileInfo::exists(companion))
            take(object, info.absoluteFilePath(), companion, info.lastModified());
    }
}

void DemoStore::loadDocumentations() {
    forEachStored(
        m_dataDir + QLatin1Char('/') + kDocumentations, QStringLiteral(".png"),
        [&](const QJsonObject &record, const QString &json, const QString &png, const QDateTime &when) {
            m_documentations.append({record, json, png, when});
        });
}

void DemoStore::loadEmrDocuments() {
    forEachStored(
        m_dataDir + QLatin1Char('/') + kEmrDocuments, QStringLiteral(".pdf"),
        [&](const QJsonObject &fields, const QString &json, const QString &pdf, const QDateTime &when) {
            m_emrDocuments.append({fields, json, pdf, when});
            m_nextDocumentId = std::max(
                m_nextDocumentId, fields.value(QStringLiteral("documentid")).toString().toLongLong() + 1);
        });
}
