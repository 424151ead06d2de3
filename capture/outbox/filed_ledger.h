#pragma once
// The captures filed in the last 90 days, by destination and record id. The
// outbox keeps it sealed beside the records ("filed-ledger"), written before
// a confirmed record is removed, so that a record that turns up again (a
// crash between the two, a home folder restored from a backup) is dropped
// rather than filed twice. A backup restores an older ledger too: records
// that were not made in this run are also looked up in the chart before
// they are sent (the queue tells the senders so).

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QString>

#include <optional>

class KCFiledLedger {
public:
    static constexpr int kKeepDays = 90;

    bool contains(const QString &destination, const QString &recordID) const;
    // Adds a filing and forgets those older than kKeepDays before `at`.
    void add(const QString &destination, const QString &recordID, const QDateTime &at);
    // Takes in what `other` holds (the one on disk, read late).
    void merge(const KCFiledLedger &other);
    int size() const { return int(m_filed.size()); }

    QByteArray toJson() const;
    // None when `json` is not a ledger.
    static std::optional<KCFiledLedger> fromJson(const QByteArray &json);

private:
    static QString keyOf(const QString &destination, const QString &recordID);
    QHash<QString, qint64> m_filed; // "<destination> <record id>" -> when, ms since the epoch (UTC)
};
