#pragma once
// Error values: a domain, an integer code and an information dictionary.
// Errors are passed around as values, never thrown.

#include <QMetaType>
#include <QString>
#include <QVariantMap>

inline const QString NSLocalizedDescriptionKey = QStringLiteral("NSLocalizedDescription");
inline const QString NSLocalizedFailureReasonErrorKey = QStringLiteral("NSLocalizedFailureReason");
inline const QString NSUnderlyingErrorKey = QStringLiteral("NSUnderlyingError");
inline const QString NSURLErrorFailingURLErrorKey = QStringLiteral("NSErrorFailingURLKey");

class KCError {
public:
    KCError() = default;
    KCError(const QString &domain, qint64 code, const QVariantMap &userInfo = {});

    bool isNull() const { return m_domain.isEmpty(); }
    explicit operator bool() const { return !isNull(); }

    QString domain() const { return m_domain; }
    qint64 code() const { return m_code; }
    QVariantMap userInfo() const { return m_userInfo; }
    void setUserInfoValue(const QString &key, const QVariant &value);

    // The description under NSLocalizedDescriptionKey, or a generic text
    // naming the domain and code.
    QString localizedDescription() const;
    QString localizedFailureReason() const;
    // The error stored under NSUnderlyingErrorKey, or a null error.
    KCError underlyingError() const;
    // True when this error, or recursively its underlying error, has `code`
    // in `domain`.
    bool hasCodeInDomain(qint64 code, const QString &domain) const;

    bool operator==(const KCError &other) const;

private:
    QString m_domain;
    qint64 m_code = 0;
    QVariantMap m_userInfo;
};

Q_DECLARE_METATYPE(KCError)
