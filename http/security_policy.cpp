#include "http/security_policy.h"
#include "platform/core/managed_settings.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QMutex>
#include <QSettings>
#include <QtDebug>

#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <memory>

namespace {

struct X509Free {
    void operator()(X509 *x) const { X509_free(x); }
};
struct StoreFree {
    void operator()(X509_STORE *s) const { X509_STORE_free(s); }
};
struct CtxFree {
    void operator()(X509_STORE_CTX *c) const { X509_STORE_CTX_free(c); }
};
struct StackFree {
    void operator()(STACK_OF(X509) * s) const { sk_X509_pop_free(s, X509_free); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using StorePtr = std::unique_ptr<X509_STORE, StoreFree>;

X509Ptr toX509(const QByteArray &der) {
    const auto *p = reinterpret_cast<const unsigned char *>(der.constData());
    return X509Ptr(d2i_X509(nullptr, &p, long(der.size())));
}

QByteArray publicKeyOf(const QByteArray &der) {
    X509Ptr x = toX509(der);
    if (!x)
        return {};
    EVP_PKEY *key = X509_get0_pubkey(x.get());
    if (!key)
        return {};
    const int len = i2d_PUBKEY(key, nullptr);
    if (len <= 0)
        return {};
    QByteArray out(len, Qt::Uninitialized);
    auto *p = reinterpret_cast<unsigned char *>(out.data());
    i2d_PUBKEY(key, &p);
    return out;
}

QMutex gAnchorsMutex;
QString gAnchorsOverride;

// The system roots plus the user's trust anchors, rebuilt when the anchors
// file (or its modification time) changes.
struct SystemStore {
    QString file;
    QDateTime modified;
    StorePtr store;
};

X509_STORE *systemStore() {
    static QMutex mutex;
    static SystemStore cached;
    const QString file = CVSecurityPolicy::userTrustAnchorsFile();
    const QDateTime modified = file.isEmpty() ? QDateTime() : QFileInfo(file).lastModified();
    QMutexLocker lock(&mutex);
    if (!cached.store || cached.file != file || cached.modified != modified) {
        StorePtr store(X509_STORE_new());
        X509_STORE_set_default_paths(store.get());
        for (const QSslCertificate &c : CVSecurityPolicy::userTrustAnchors()) {
            if (X509Ptr x = toX509(c.toDer()))
                X509_STORE_add_cert(store.get(), x.get());
        }
        ERR_clear_error(); // duplicates of system roots are not an error
        cached = {file, modified, std::move(store)};
    }
    X509_STORE_up_ref(cached.store.get());
    return cached.store.get();
}

QString describe(int error) {
    switch (error) {
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return QStringLiteral("host name mismatch");
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return QStringLiteral("certificate expired");
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return QStringLiteral("certificate not yet valid");
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        return QStringLiteral("self-signed certificate (untrusted root)");
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        return QStringLiteral("untrusted root");
    default:
        return QString::fromUtf8(X509_verify_cert_error_string(error));
    }
}

KCTrustEvaluation verify(const QList<QSslCertificate> &chain, const QString &host, X509_STORE *store,
                         bool anchorsMayBeIntermediate) {
    KCTrustEvaluation result;
    if (chain.isEmpty()) {
        result.reason = QStringLiteral("no certificate presented");
        return result;
    }
    X509Ptr leaf = toX509(chain.first().toDer());
    if (!leaf) {
        result.reason = QStringLiteral("unreadable certificate");
        return result;
    }
    std::unique_ptr<STACK_OF(X509), StackFree> untrusted(sk_X509_new_null());
    for (int i = 1; i < chain.size(); ++i) {
        if (X509Ptr x = toX509(chain.at(i).toDer()))
            sk_X509_push(untrusted.get(), x.release());
    }
    std::unique_ptr<X509_STORE_CTX, CtxFree> ctx(X509_STORE_CTX_new());
    if (!ctx || X509_STORE_CTX_init(ctx.get(), store, leaf.get(), untrusted.get()) != 1) {
        result.reason = QStringLiteral("certificate verification could not start");
        return result;
    }
    X509_VERIFY_PARAM *param = X509_STORE_CTX_get0_param(ctx.get());
    if (anchorsMayBeIntermediate)
        X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_PARTIAL_CHAIN);
    if (!host.isEmpty()) {
        // The server policy: purpose TLS server, and the name checked.
        X509_VERIFY_PARAM_set_purpose(param, X509_PURPOSE_SSL_SERVER);
        const QByteArray h = host.toUtf8();
        if (QHostAddress(host).isNull() == false)
            X509_VERIFY_PARAM_set1_ip_asc(param, h.constData());
        else
            X509_VERIFY_PARAM_set1_host(param, h.constData(), size_t(h.size()));
    }
    result.valid = X509_verify_cert(ctx.get()) == 1;
    if (!result.valid)
        result.reason = describe(X509_STORE_CTX_get_error(ctx.get()));
    if (STACK_OF(X509) *built = X509_STORE_CTX_get1_chain(ctx.get())) {
        for (int i = 0; i < sk_X509_num(built); ++i) {
            X509 *x = sk_X509_value(built, i);
            const int len = i2d_X509(x, nullptr);
            if (len <= 0)
                continue;
            QByteArray der(len, Qt::Uninitialized);
            auto *p = reinterpret_cast<unsigned char *>(der.data());
            i2d_X509(x, &p);
            result.chain << der;
        }
        sk_X509_pop_free(built, X509_free);
    }
    for (const QSslCertificate &c : chain) {
        const QByteArray der = c.toDer();
        if (!result.chain.contains(der))
            result.chain << der;
    }
    ERR_clear_error();
    return result;
}

} // namespace

CVSecurityPolicyPtr CVSecurityPolicy::defaultPolicy() {
    return std::make_shared<CVSecurityPolicy>();
}

CVSecurityPolicyPtr CVSecurityPolicy::policyWithPinningMode(unsigned mode) {
    auto policy = std::make_shared<CVSecurityPolicy>();
    policy->SSLPinningMode = mode;
    policy->setPinnedCertificates(defaultPinnedCertificates());
    return policy;
}

QList<QByteArray> CVSecurityPolicy::defaultPinnedCertificates() {
    static const QList<QByteArray> certificates = [] {
        QList<QByteArray> out;
        QDirIterator it(QStringLiteral(":/"), {QStringLiteral("*.cer")}, QDir::Files);
        QStringList paths;
        while (it.hasNext())
            paths << it.next();
        paths.sort();
        for (const QString &path : paths) {
            QFile f(path);
            if (f.open(QIODevice::ReadOnly))
                out << f.readAll();
        }
        return out;
    }();
    return certificates;
}

void CVSecurityPolicy::setPinnedCertificates(const QList<QByteArray> &certificates) {
    m_pinnedCertificates.clear();
    for (const QByteArray &c : certificates) {
        if (!m_pinnedCertificates.contains(c))
            m_pinnedCertificates << c;
    }
    m_pinnedPublicKeys.clear();
    for (const QByteArray &c : std::as_const(m_pinnedCertificates)) {
        const QByteArray key = publicKeyOf(c);
        if (!key.isEmpty())
            m_pinnedPublicKeys << key;
    }
}

bool CVSecurityPolicy::evaluateServerTrust(const CVServerTrust &serverTrust, const QString &domain,
                                           QString *reason) const {
    auto reject = [&](const QString &why) {
        if (reason)
            *reason = why;
        return false;
    };
    if (!domain.isEmpty() && allowInvalidCertificates && validatesDomainName &&
        (SSLPinningMode == CVSSLPinningModeNone || m_pinnedCertificates.isEmpty())) {
        qWarning("In order to validate a domain name for self signed certificates, you MUST use pinning.");
        return reject(QStringLiteral("domain validation of invalid certificates needs pinning"));
    }
    const QString host = validatesDomainName ? domain : QString();
    const QList<QSslCertificate> &chain = serverTrust.certificates;

    X509_STORE *store = systemStore();
    const KCTrustEvaluation standard = verify(chain, host, store, false);
    X509_STORE_free(store);

    if (SSLPinningMode == CVSSLPinningModeNone) {
        if (allowInvalidCertificates || standard.valid)
            return true;
        return reject(standard.reason);
    }
    if (!standard.valid && !allowInvalidCertificates)
        return reject(standard.reason);

    if (SSLPinningMode == CVSSLPinningModePublicKey) {
        for (const QByteArray &der : standard.chain) {
            const QByteArray key = publicKeyOf(der);
            if (!key.isEmpty() && m_pinnedPublicKeys.contains(key))
                return true;
        }
        return reject(QStringLiteral("no pinned public key in the server's chain"));
    }
    if (SSLPinningMode == CVSSLPinningModeCertificate) {
        QList<QSslCertificate> anchors;
        for (const QByteArray &der : m_pinnedCertificates)
            anchors << QSslCertificate(der, QSsl::Der);
        const KCTrustEvaluation pinned = evaluateChainAgainstAnchors(chain, host, anchors);
        if (!pinned.valid)
            return reject(pinned.reason);
        for (const QByteArray &der : pinned.chain) {
            if (m_pinnedCertificates.contains(der))
                return true;
        }
        return reject(QStringLiteral("no pinned certificate in the server's chain"));
    }
    return reject(QStringLiteral("unknown pinning mode %1").arg(SSLPinningMode));
}

KCTrustEvaluation CVSecurityPolicy::evaluateChain(const QList<QSslCertificate> &chain, const QString &host) {
    X509_STORE *store = systemStore();
    KCTrustEvaluation result = verify(chain, host, store, false);
    X509_STORE_free(store);
    return result;
}

KCTrustEvaluation CVSecurityPolicy::evaluateChainAgainstAnchors(const QList<QSslCertificate> &chain,
                                                                const QString &host,
                                                                const QList<QSslCertificate> &anchors) {
    StorePtr store(X509_STORE_new());
    for (const QSslCertificate &c : anchors) {
        if (X509Ptr x = toX509(c.toDer()))
            X509_STORE_add_cert(store.get(), x.get());
    }
    ERR_clear_error();
    return verify(chain, host, store.get(), true);
}

QString CVSecurityPolicy::userTrustAnchorsFile() {
    {
        QMutexLocker lock(&gAnchorsMutex);
        if (!gAnchorsOverride.isEmpty())
            return gAnchorsOverride;
    }
    // A file that IT has locked in the system-wide settings beats the
    // environment too.
    const KcManagedSetting setting = kcManagedSetting(QStringLiteral("trustedCAFile"));
    const QString env = qEnvironmentVariable("KELVRA_CA_FILE");
    if (!setting.locked && !env.isEmpty())
        return env;
    return setting.value.toString();
}

void CVSecurityPolicy::setUserTrustAnchorsFileOverride(const QString &path) {
    QMutexLocker lock(&gAnchorsMutex);
    gAnchorsOverride = path;
}

QList<QSslCertificate> CVSecurityPolicy::userTrustAnchors(QString *error) {
    const QString file = userTrustAnchorsFile();
    if (file.isEmpty())
        return {};
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("cannot read the trust anchors file %1: %2").arg(file, f.errorString());
        return {};
    }
    const QByteArray bytes = f.readAll();
    QList<QSslCertificate> certs = QSslCertificate::fromData(bytes, QSsl::Pem);
    if (certs.isEmpty())
        certs = QSslCertificate::fromData(bytes, QSsl::Der);
    if (certs.isEmpty() && error)
        *error = QStringLiteral("the trust anchors file %1 holds no certificate").arg(file);
    return certs;
}
