#include "emr/fhir_resources.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QLocale>
#include <QRegularExpression>
#include <QStringList>
#include <QUrl>
#include <QUuid>

#include <algorithm>

namespace {

QString text(const QVariant &v) {
    return v.typeId() == QMetaType::QString ? v.toString() : QString();
}

QVariantMap coding(const QString &system, const QString &code, const QString &display) {
    QVariantMap c{{QStringLiteral("system"), system}, {QStringLiteral("code"), code}};
    if (!display.isEmpty())
        c.insert(QStringLiteral("display"), display);
    return c;
}

// A FHIR instant / dateTime in UTC with seconds.
QString instant(const QDateTime &t) {
    return t.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ"));
}

// The words of a name, folded for comparison: no case, no accents, no
// punctuation between the parts of a name.
QStringList foldedWords(const QString &name) {
    const QString decomposed = name.normalized(QString::NormalizationForm_KD);
    QString plain;
    plain.reserve(decomposed.size());
    for (const QChar c : decomposed) {
        if (c.category() == QChar::Mark_NonSpacing)
            continue;
        plain.append(c.isLetterOrNumber() ? c.toCaseFolded() : QChar(u' '));
    }
    QStringList words = plain.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    std::sort(words.begin(), words.end());
    return words;
}

} // namespace

FHIRDocumentCoding FHIRDocumentCoding::fromEmrData(const QVariantMap &emrData) {
    FHIRDocumentCoding c;
    auto set = [&](const char *key, QString *value, QString *display) {
        const QString configured = text(emrData.value(QLatin1String(key))).trimmed();
        if (configured.isEmpty())
            return;
        if (display && configured != *value)
            display->clear();
        *value = configured;
    };
    set("document_type_system", &c.typeSystem, &c.typeDisplay);
    set("document_type_code", &c.typeCode, &c.typeDisplay);
    set("document_type_display", &c.typeDisplay, nullptr);
    set("document_category_system", &c.categorySystem, &c.categoryDisplay);
    set("document_category_code", &c.categoryCode, &c.categoryDisplay);
    set("document_category_display", &c.categoryDisplay, nullptr);
    return c;
}

QString fhirUploadIdentifier(const QString &entryID) {
    const QUuid uuid(entryID);
    if (uuid.isNull() || entryID.size() != 36)
        return {};
    return QStringLiteral("urn:uuid:") + uuid.toString(QUuid::WithoutBraces).toLower();
}

QString fhirIdentifierToken(const QString &entryID) {
    return FHIRURISystem + QLatin1Char('|') + fhirUploadIdentifier(entryID);
}

QVariantMap fhirDocumentReference(const FHIRDocumentCoding &coding_, const FHIRDocumentContent &content) {
    const QString created = instant(content.created);
    QVariantMap attachment{
        {QStringLiteral("contentType"), QStringLiteral("application/pdf")},
        {QStringLiteral("data"), QString::fromLatin1(content.pdf.toBase64())},
        {QStringLiteral("size"), qint64(content.pdf.size())},
        {QStringLiteral("hash"),
         QString::fromLatin1(QCryptographicHash::hash(content.pdf, QCryptographicHash::Sha1).toBase64())},
        {QStringLiteral("title"),
         QStringLiteral("Screen capture %1.pdf")
             .arg(content.created.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH.mm")))},
        {QStringLiteral("creation"), created}};
    QVariantMap document{
        {QStringLiteral("resourceType"), QStringLiteral("DocumentReference")},
        {QStringLiteral("identifier"),
         QVariantList{QVariantMap{{QStringLiteral("system"), FHIRURISystem},
                                  {QStringLiteral("value"), fhirUploadIdentifier(content.entryID)}}}},
        {QStringLiteral("status"), QStringLiteral("current")},
        {QStringLiteral("type"),
         QVariantMap{{QStringLiteral("coding"),
                      QVariantList{coding(coding_.typeSystem, coding_.typeCode, coding_.typeDisplay)}}}},
        {QStringLiteral("category"),
         QVariantList{QVariantMap{
             {QStringLiteral("coding"),
              QVariantList{coding(coding_.categorySystem, coding_.categoryCode, coding_.categoryDisplay)}}}}},
        {QStringLiteral("subject"),
         QVariantMap{{QStringLiteral("reference"), QStringLiteral("Patient/") + content.patientID}}},
        {QStringLiteral("date"), created},
        {QStringLiteral("content"),
         QVariantList{QVariantMap{
             {QStringLiteral("attachment"), attachment},
             {QStringLiteral("format"),
              coding(QStringLiteral("http://ihe.net/fhir/ihe.formatcode.fhir/CodeSystem/formatcode"),
                     QStringLiteral("urn:ihe:iti:xds:2017:mimeTypeSufficient"),
                     QStringLiteral("mimeType Sufficient"))}}}}};
    if (!content.description.trimmed().isEmpty())
        document.insert(QStringLiteral("description"), content.description);
    if (content.encounter) {
        QVariantMap context{
            {QStringLiteral("encounter"),
             QVariantList{QVariantMap{
                 {QStringLiteral("reference"), QStringLiteral("Encounter/") + content.encounter->id}}}}};
        if (!content.encounter->period.isEmpty())
            context.insert(QStringLiteral("period"), content.encounter->period);
        document.insert(QStringLiteral("context"), context);
    }
    return document;
}

QVariantList fhirBundleResources(const QVariant &bundle, const QString &type) {
    QVariantList resources;
    const QVariantMap map = bundle.toMap();
    if (text(map.value(QStringLiteral("resourceType"))) != QLatin1String("Bundle"))
        return resources;
    for (const QVariant &entry : map.value(QStringLiteral("entry")).toList()) {
        const QVariantMap e = entry.toMap();
        const QString mode = text(e.value(QStringLiteral("search")).toMap().value(QStringLiteral("mode")));
        const QVariantMap resource = e.value(QStringLiteral("resource")).toMap();
        if ((mode.isEmpty() || mode == QLatin1String("match")) &&
            text(resource.value(QStringLiteral("resourceType"))) == type)
            resources.append(resource);
    }
    return resources;
}

QString fhirNextPageURL(const QVariant &bundle) {
    for (const QVariant &l : bundle.toMap().value(QStringLiteral("link")).toList()) {
        const QVariantMap link = l.toMap();
        if (text(link.value(QStringLiteral("relation"))) == QLatin1String("next"))
            return text(link.value(QStringLiteral("url")));
    }
    return {};
}

std::optional<qint64> fhirBundleTotal(const QVariant &bundle) {
    const QVariant total = bundle.toMap().value(QStringLiteral("total"));
    bool ok = false;
    const qint64 n = total.toLongLong(&ok);
    if (!total.isValid() || !ok || n < 0)
        return std::nullopt;
    return n;
}

QString fhirPatientUnusableReason(const QVariantMap &patient) {
    for (const QVariant &l : patient.value(QStringLiteral("link")).toList()) {
        const QVariantMap link = l.toMap();
        if (text(link.value(QStringLiteral("type"))) == QLatin1String("replaced-by")) {
            const QString other =
                text(link.value(QStringLiteral("other")).toMap().value(QStringLiteral("reference")));
            return other.isEmpty() ? QStringLiteral("was merged into another patient")
                                   : QStringLiteral("was merged into %1").arg(other);
        }
    }
    const QVariant active = patient.value(QStringLiteral("active"));
    if (active.typeId() == QMetaType::Bool && !active.toBool())
        return QStringLiteral("is marked inactive");
    return {};
}

QList<QPair<QString, QString>> fhirNameSearchSplits(const QString &listName) {
    const QStringList words = listName.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    QList<QPair<QString, QString>> splits;
    for (qsizetype k = 1; k < words.size(); ++k)
        splits.append({words.first(), words.mid(k).join(QLatin1Char(' '))});
    return splits;
}

QDate fhirListDateOfBirth(const QString &text) {
    const QString t = text.trimmed();
    for (const QString &format : {QStringLiteral("yyyy-MM-dd"), QStringLiteral("MM/dd/yyyy")}) {
        const QDate date = QDate::fromString(t, format);
        if (date.isValid())
            return date;
    }
    return {};
}

bool fhirPatientHasName(const QVariantMap &patient, const QString &listName) {
    const QStringList wanted = foldedWords(listName);
    if (wanted.isEmpty())
        return false;
    for (const QVariant &n : patient.value(QStringLiteral("name")).toList()) {
        const QVariantMap name = n.toMap();
        QStringList parts;
        for (const QVariant &given : name.value(QStringLiteral("given")).toList())
            parts.append(text(given));
        parts.append(text(name.value(QStringLiteral("family"))));
        if (foldedWords(parts.join(QLatin1Char(' '))) == wanted ||
            foldedWords(text(name.value(QStringLiteral("text")))) == wanted)
            return true;
    }
    return false;
}

QString fhirAnswerText(const QVariant &answer) {
    const QVariantMap map = answer.toMap();
    if (text(map.value(QStringLiteral("resourceType"))) == QLatin1String("OperationOutcome")) {
        QStringList texts;
        for (const QVariant &i : map.value(QStringLiteral("issue")).toList()) {
            const QVariantMap issue = i.toMap();
            QString t = text(issue.value(QStringLiteral("details")).toMap().value(QStringLiteral("text")));
            if (t.isEmpty())
                t = text(issue.value(QStringLiteral("diagnostics")));
            if (t.isEmpty())
                t = text(issue.value(QStringLiteral("code")));
            QStringList where;
            for (const QVariant &e : issue.value(QStringLiteral("expression")).toList())
                where.append(text(e));
            if (!where.isEmpty())
                t += QStringLiteral(" (%1)").arg(where.join(QStringLiteral(", ")));
            if (!t.isEmpty() && !texts.contains(t))
                texts.append(t);
        }
        return texts.join(QStringLiteral("; "));
    }
    const QString error = text(map.value(QStringLiteral("error")));
    if (!error.isEmpty()) {
        const QString description = text(map.value(QStringLiteral("error_description")));
        return description.isEmpty() ? error : error + QStringLiteral(": ") + description;
    }
    QString body;
    if (answer.typeId() == QMetaType::QByteArray)
        body = QString::fromUtf8(answer.toByteArray());
    else if (!map.isEmpty())
        body = QString::fromUtf8(QJsonDocument::fromVariant(answer).toJson(QJsonDocument::Compact));
    body = body.simplified();
    constexpr int kMost = 200;
    return body.size() > kMost ? body.left(kMost) + QStringLiteral("…") : body;
}

std::optional<qint64> fhirRetryAfterSeconds(const QString &value, const QDateTime &now) {
    const QString v = value.trimmed();
    if (v.isEmpty())
        return std::nullopt;
    bool ok = false;
    const qint64 seconds = v.toLongLong(&ok);
    if (ok)
        return seconds >= 0 ? std::optional<qint64>(seconds) : std::nullopt;
    // An HTTP date: "Sun, 06 Nov 1994 08:49:37 GMT".
    QDateTime when = QLocale::c().toDateTime(v, QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'"));
    when.setTimeSpec(Qt::UTC);
    if (!when.isValid())
        return std::nullopt;
    return std::max<qint64>(0, now.secsTo(when));
}

QString fhirCreatedResourceID(const QVariant &answer, const QString &location, const QString &type) {
    const QVariantMap map = answer.toMap();
    if (text(map.value(QStringLiteral("resourceType"))) == type) {
        const QString id = text(map.value(QStringLiteral("id")));
        if (!id.isEmpty())
            return id;
    }
    static const QRegularExpression pattern(QStringLiteral("(?:^|/)([A-Za-z]+)/([A-Za-z0-9\\-.]{1,64})"
                                                           "(?:/_history/[^/]+)?/?$"));
    const QRegularExpressionMatch m = pattern.match(QUrl(location).path());
    return m.hasMatch() && m.captured(1) == type ? m.captured(2) : QString();
}
