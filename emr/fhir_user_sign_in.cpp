#include "emr/fhir_user_sign_in.h"

#include "emr/fhir_api_client.h"
#include "emr/fhir_smart_launch.h"
#include "platform/browser/browser_opener.h"
#include "platform/core/managed_settings.h"
#include "platform/core/notification_center.h"
#include "platform/secretstore/secret_service_store.h"

#include <QFileInfo>
#include <QLoggingCategory>
#include <QMutexLocker>

#include <sys/stat.h>
#include <unistd.h>

Q_DECLARE_LOGGING_CATEGORY(lcFHIR)

namespace {

QString text(const QVariant &v) {
    return v.typeId() == QMetaType::QString ? v.toString() : QString();
}

QMutex &clinicUserLock() {
    static QMutex lock;
    return lock;
}

std::function<QString()> &clinicUserSource() {
    static std::function<QString()> source;
    return source;
}

} // namespace

QString fhirConfiguredValue(const QVariantMap &emrData, const QString &emrKey, const QString &managedKey) {
    const KcManagedSetting managed = kcManagedSetting(managedKey);
    const QString value = managed.value.toString().trimmed();
    if (!value.isEmpty() || managed.locked)
        return value;
    return text(emrData.value(emrKey)).trimmed();
}

QString fhirLaunchMode(const QVariantMap &emrData) {
    const QString launch =
        fhirConfiguredValue(emrData, QStringLiteral("launch"), FHIRLaunchSettingsKey).toLower();
    if (!launch.isEmpty())
        return launch;
    bool keyConfigured =
        !kcManagedSetting(FHIRPrivateKeyFileSettingsKey).value.toString().trimmed().isEmpty();
    for (const char *key : {"private_key", "key_id", "algorithm"})
        keyConfigured = keyConfigured || !text(emrData.value(QLatin1String(key))).trimmed().isEmpty();
    return keyConfigured ? QStringLiteral("backend") : QStringLiteral("standalone");
}

QString fhirOrganizationReference(const QString &configured) {
    if (configured.isEmpty() || configured.contains(QLatin1Char('/')))
        return configured;
    return QStringLiteral("Organization/") + configured;
}

QString fhirAuthorReference(const QUrl &fhirBase, const QString &fhirUser) {
    const QString base = fhirBase.toString();
    if (!base.isEmpty() && fhirUser.startsWith(base))
        return fhirUser.mid(base.size());
    return fhirUser;
}

QString fhirKeyFileProblem(const QString &path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {}; // reading it says why
    if (!S_ISREG(st.st_mode))
        return QStringLiteral("The FHIR private key file %1 is not a file.").arg(path);
    if (st.st_uid != ::geteuid())
        return QStringLiteral(
                   "The FHIR private key file %1 belongs to another user; it must be yours and readable "
                   "by you alone (chown, then chmod 600). It is not used.")
            .arg(path);
    if (st.st_mode & (S_IRWXG | S_IRWXO))
        return QStringLiteral(
                   "The FHIR private key file %1 may be read or changed by other users (mode %2); make "
                   "it readable by you alone (chmod 600). It is not used.")
            .arg(path, QString::number(st.st_mode & 07777, 8).rightJustified(4, QLatin1Char('0')));
    return {};
}

QString fhirClinicUser() {
    QMutexLocker locker(&clinicUserLock());
    return clinicUserSource() ? clinicUserSource()() : QString();
}

void QDFHIRAPIClientForExtension::setClinicUserSource(std::function<QString()> source) {
    QMutexLocker locker(&clinicUserLock());
    clinicUserSource() = std::move(source);
}

// ---- the clinician's sign-in ----

namespace {
using Kind = EMRFilingOutcome::Kind;
}

void QDFHIRAPIClientForExtension::setSignInServices(std::shared_ptr<KCBrowserOpener> browser,
                                                    std::shared_ptr<KCSecretStore> keyring) {
    QMutexLocker locker(&m_lock);
    m_browser = std::move(browser);
    m_keyring = std::move(keyring);
    m_smart.reset();
}

std::shared_ptr<FHIRSmartLaunch> QDFHIRAPIClientForExtension::smartLaunch() {
    QMutexLocker locker(&m_lock);
    if (!m_smart) {
        if (!m_browser)
            m_browser = kcSystemBrowserOpener();
        if (!m_keyring)
            m_keyring = std::make_shared<KCSecretServiceStore>();
        m_smart = std::make_shared<FHIRSmartLaunch>(m_browser, m_keyring);
    }
    return m_smart;
}

bool QDFHIRAPIClientForExtension::ehrSignInNeeded(QString *why) const {
    QMutexLocker locker(&m_lock);
    if (why)
        *why = m_signInNeededWhy;
    return m_signInNeeded;
}

QString QDFHIRAPIClientForExtension::signedInUser() const {
    QMutexLocker locker(&m_lock);
    return m_fhirUser;
}

QString QDFHIRAPIClientForExtension::grantedScopes() const {
    QMutexLocker locker(&m_lock);
    return m_grantedScopes;
}

void QDFHIRAPIClientForExtension::signInNeeded(const QString &why, quint64 epoch) {
    bool announce = false;
    {
        QMutexLocker locker(&m_lock);
        if (m_credentialEpoch != epoch)
            return;
        announce = !m_signInNeeded;
        m_signInNeeded = true;
        m_signInNeededWhy = why;
        m_accessToken.clear();
    }
    finishToken(QString(), 0, Failure{Kind::Failed, why}, epoch);
    if (announce)
        NotificationCenter::defaultCenter().postNotification(KCEMRSignInNeededNotification,
                                                             {{QStringLiteral("message"), why}});
}

void QDFHIRAPIClientForExtension::requestUserToken(quint64 epoch) {
    QString why;
    if (ehrSignInNeeded(&why)) {
        // Nothing to renew with until the clinician signs in.
        DispatchQueue::main()->async([weak = weak_from_this(), why, epoch] {
            if (auto self = weak.lock())
                self->finishToken(QString(), 0, Failure{Kind::Failed, why}, epoch);
        });
        return;
    }
    std::weak_ptr<QDFHIRAPIClientForExtension> weak = weak_from_this();
    const FHIRSmartLaunch::Config config = userSignInConfig();
    DispatchQueue::main()->async([weak, config, epoch] {
        auto self = weak.lock();
        if (!self)
            return;
        self->smartLaunch()->renew(config, [weak, epoch](const FHIRSmartLaunch::Result &r) {
            auto self = weak.lock();
            if (!self)
                return;
            switch (r.kind) {
            case FHIRSmartLaunch::Result::SignedIn: {
                {
                    QMutexLocker locker(&self->m_lock);
                    if (self->m_credentialEpoch != epoch)
                        return;
                    self->m_fhirUser = r.session.fhirUser;
                    self->m_grantedScopes = r.session.scope;
                }
                self->finishToken(r.session.accessToken, qMax<qint64>(r.session.expiresIn, 0), std::nullopt,
                                  epoch);
                return;
            }
            case FHIRSmartLaunch::Result::SignInNeeded:
                return self->signInNeeded(r.message, epoch);
            case FHIRSmartLaunch::Result::Refused:
            case FHIRSmartLaunch::Result::Failed:
                return self->finishToken(
                    QString(), 0,
                    Failure{r.kind == FHIRSmartLaunch::Result::Refused ? Kind::Refused : Kind::Failed,
                            r.message},
                    epoch);
            }
        });
    });
}

void QDFHIRAPIClientForExtension::signInToEHR(std::function<void(const QString &problem)> done) {
    const FHIRSmartLaunch::Config config = userSignInConfig();
    if (launchMode() != QLatin1String("standalone")) {
        DispatchQueue::main()->async([done] {
            done(QStringLiteral("This EHR connection signs in as a backend service, without the clinician."));
        });
        return;
    }
    if (config.fhirBase.isEmpty() || config.clientID.isEmpty()) {
        DispatchQueue::main()->async(
            [done] { done(QStringLiteral("The FHIR connection is not configured (base_url, client_id).")); });
        return;
    }
    const quint64 epoch = m_credentialEpoch;
    std::weak_ptr<QDFHIRAPIClientForExtension> weak = weak_from_this();
    DispatchQueue::main()->async([weak, config, epoch, done] {
        auto self = weak.lock();
        if (!self)
            return done(QStringLiteral("the FHIR client is gone"));
        self->smartLaunch()->signIn(config, [weak, epoch, done](const FHIRSmartLaunch::Result &r) {
            auto self = weak.lock();
            if (!self || self->m_credentialEpoch != epoch)
                return done(QStringLiteral("signed out"));
            if (r.kind != FHIRSmartLaunch::Result::SignedIn)
                return done(r.message);
            {
                QMutexLocker locker(&self->m_lock);
                self->m_fhirUser = r.session.fhirUser;
                self->m_grantedScopes = r.session.scope;
                self->m_signInNeeded = false;
                self->m_signInNeededWhy.clear();
            }
            self->finishToken(r.session.accessToken, qMax<qint64>(r.session.expiresIn, 0), std::nullopt,
                              epoch);
            qCInfo(lcFHIR).noquote() << "signed in to the EHR as" << r.session.fhirUser;
            NotificationCenter::defaultCenter().postNotification(KCEMRSignedInNotification);
            done(QString());
        });
    });
}

void QDFHIRAPIClientForExtension::forgetUserSignIn() {
    const FHIRSmartLaunch::Config config = userSignInConfig();
    const bool standalone = launchMode() == QLatin1String("standalone");
    std::shared_ptr<FHIRSmartLaunch> smart;
    QString accessToken;
    {
        QMutexLocker locker(&m_lock);
        smart = m_smart;
        accessToken = m_accessToken;
        m_fhirUser.clear();
        m_grantedScopes.clear();
        m_signInNeeded = false;
        m_signInNeededWhy.clear();
    }
    if (!standalone || config.fhirBase.isEmpty() || config.clientID.isEmpty())
        return;
    std::weak_ptr<QDFHIRAPIClientForExtension> weak = weak_from_this();
    DispatchQueue::main()->async([weak, config, accessToken] {
        if (auto self = weak.lock())
            self->smartLaunch()->signOut(config, accessToken);
    });
}
