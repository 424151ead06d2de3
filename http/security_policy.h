#pragma once
// Server-trust decisions: standard X.509 chain validation against the
// system's trusted roots (plus the user's own trust anchors) with optional
// host-name checking, and optional pinning by certificate or public key.
//
// The user's own trust anchors (for clinics behind TLS-inspecting proxies)
// come from the PEM bundle named by the environment variable
// "KELVRA_CA_FILE", or else by the setting "trustedCAFile" (one locked by the
// system-wide settings, see managed_settings.h, beats the variable); they count
// as system roots.

#include "http/transport.h"

#include <QByteArray>
#include <QList>
#include <QSslCertificate>
#include <QString>

#include <memory>

enum CVSSLPinningMode : unsigned {
    CVSSLPinningModeNone = 0,
    CVSSLPinningModePublicKey = 1,
    CVSSLPinningModeCertificate = 2,
};

class CVSecurityPolicy;
using CVSecurityPolicyPtr = std::shared_ptr<CVSecurityPolicy>;

// Result of validating a chain, with the reason of a failure.
struct KCTrustEvaluation {
    bool valid = false;
    // Empty when valid; else e.g. "certificate has expired",
    // "unable to get local issuer certificate", "Hostname mismatch".
    QString reason;
    // DER certificates of the chain as built by the validation (leaf first,
    // ending in the anchor when one was found); the presented chain when
    // nothing could be built.
    QList<QByteArray> chain;
};

class CVSecurityPolicy {
public:
    CVSecurityPolicy() = default;
    virtual ~CVSecurityPolicy() = default;

    // Mode 0, no pinned certificates, domain names validated, invalid
    // certificates refused.
    static CVSecurityPolicyPtr defaultPolicy();
    // `mode` with the ".cer" resources as pinned certificates.
    static CVSecurityPolicyPtr policyWithPinningMode(unsigned mode);
    // The DER contents of every ".cer" file in the resource root ":/",
    // read once per process.
    static QList<QByteArray> defaultPinnedCertificates();

    unsigned SSLPinningMode = CVSSLPinningModeNone;
    bool allowInvalidCertificates = false;
    bool validatesDomainName = true;

    QList<QByteArray> pinnedCertificates() const { return m_pinnedCertificates; }
    // DER certificates; duplicates are removed (first kept). Recomputes the
    // pinned public keys.
    void setPinnedCertificates(const QList<QByteArray> &certificates);
    // DER SubjectPublicKeyInfo of each pinned certificate whose key could be read.
    QList<QByteArray> pinnedPublicKeys() const { return m_pinnedPublicKeys; }

    // True to trust. `reason` (optional) receives why a chain was rejected.
    virtual bool evaluateServerTrust(const CVServerTrust &serverTrust, const QString &domain,
                                     QString *reason = nullptr) const;
    bool evaluateServerTrust(const CVServerTrust &serverTrust) const {
        return evaluateServerTrust(serverTrust, {});
    }

    // Chain validation as used by mode 0: against the system roots plus the
    // user's trust anchors, with a host-name check when `host` is not empty.
    static KCTrustEvaluation evaluateChain(const QList<QSslCertificate> &chain, const QString &host);
    // Validation against `anchors` only (mode 2).
    static KCTrustEvaluation evaluateChainAgainstAnchors(const QList<QSslCertificate> &chain,
                                                         const QString &host,
                                                         const QList<QSslCertificate> &anchors);

    // The PEM file of the user's trust anchors now in force, or empty.
    static QString userTrustAnchorsFile();
    // Overrides the environment and settings (for `check-connection
    // --ca-file`); an empty path removes the override.
    static void setUserTrustAnchorsFileOverride(const QString &path);
    // The certificates of the user's trust anchors file; `error` receives a
    // text when the file cannot be read or holds no certificate.
    static QList<QSslCertificate> userTrustAnchors(QString *error = nullptr);

private:
    QList<QByteArray> m_pinnedCertificates;
    QList<QByteArray> m_pinnedPublicKeys;
};
