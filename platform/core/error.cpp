#include "platform/core/error.h"

KCError::KCError(const QString &domain, qint64 code, const QVariantMap &userInfo)
    : m_domain(domain), m_code(code), m_userInfo(userInfo) {}

void KCError::setUserInfoValue(const QString &key, const QVariant &value) {
    m_userInfo.insert(key, value);
}

QString KCError::localizedDescription() const {
    const QString text = m_userInfo.value(NSLocalizedDescriptionKey).toString();
    if (!text.isEmpty())
        return text;
    return QStringLiteral("The operation couldn't be completed. (%1 error %2.)").arg(m_domain).arg(m_code);
}

QString KCError::localizedFailureReason() const {
    return m_userInfo.value(NSLocalizedFailureReasonErrorKey).toString();
}

KCError KCError::underlyingError() const {
    const QVariant v = m_userInfo.value(NSUnderlyingErrorKey);
    return v.canConvert<KCError>() ? v.value<KCError>() : KCError();
}

bool KCError::hasCodeInDomain(qint64 code, const QString &domain) const {
    if (isNull())
        return false;
    if (m_domain == domain && m_code == code)
        return true;
    return underlyingError().hasCodeInDomain(code, domain);
}

bool KCError::operator==(const KCError &other) const {
    return m_domain == other.m_domain && m_code == other.m_code && m_userInfo == other.m_userInfo;
}
