#include "capture/outbox/filed_ledger.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

QString KCFiledLedger::keyOf(const QString &destination, const QString &recordID) {
    return destination + QLatin1Char(' ') + recordID;
}

bool KCFiledLedger::contains(const QString &destination, const QString &recordID) const {
    return !recordID.isEmpty() && m_filed.contains(keyOf(destination, recordID));
}

void KCFiledLedger::add(const QString &destination, const QString &recordID, const QDateTime &at) {
    const qint64 when = at.toMSecsSinceEpoch();
    if (!recordID.isEmpty())
        m_filed.insert(keyOf(destination, recordID), when);
    const qint64 oldest = at.addDays(-kKeepDays).toMSecsSinceEpoch();
    m_filed.removeIf([oldest](const auto &it) { return it.value() < oldest; });
}

void KCFiledLedger::merge(const KCFiledLedger &other) {
    for (auto it = other.m_filed.cbegin(); it != other.m_filed.cend(); ++it)
        if (!m_filed.contains(it.key()))
            m_filed.insert(it.key(), it.value());
}

QByteArray KCFiledLedger::toJson() const {
    QJsonArray filed;
    for (auto it = m_filed.cbegin(); it != m_filed.cend(); ++it)
        filed.append(QJsonObject{{QStringLiteral("record"), it.key()}, {QStringLiteral("at"), it.value()}});
    return QJsonDocument(QJsonObject{{QStringLiteral("filed"), filed}}).toJson(QJsonDocument::Compact);
}

std::optional<KCFiledLedger> KCFiledLedger::fromJson(const QByteArray &json) {
    const QJsonDocument document = QJsonDocument::fromJson(json);
    if (!document.isObject() || !document.object().value(QStringLiteral("filed")).isArray())
        return std::nullopt;
    KCFiledLedger ledger;
    for (const QJsonValue &value : document.object().value(QStringLiteral("filed")).toArray()) {
        const QJsonObject o = value.toObject();
        const QString record = o.value(QStringLiteral("record")).toString();
        if (!record.isEmpty())
            ledger.m_filed.insert(record, qint64(o.value(QStringLiteral("at")).toDouble()));
    }
    return ledger;
}
