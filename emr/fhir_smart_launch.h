#pragma once
// The clinician's own sign-in to a FHIR EHR: SMART App Launch, standalone
// launch, as a public native client (no client secret; OAuth 2.0 for Native
// Apps).
//
// Sign-in: the EHR's <base>/.well-known/smart-configuration names the
// authorization and token endpoints (and must offer PKCE with S256); the
// EHR's sign-in page opens in the user's browser with PKCE (S256), a fresh
// `state` and `nonce`, `aud` = the FHIR base URL, and the redirect
// http://127.0.0.1:<free port>/callback, which a loopback receiver of ours
// serves for one request. The code that comes back with the same `state` is
// exchanged (with the code verifier) for an access token, an id token and a
// refresh token. The id token is believed only once its signature verifies
// with the authorization server's keys and its issuer, audience, expiry and
// nonce are right; its `fhirUser` (a Practitioner or PractitionerRole) is
// who signed in.
//
// The refresh token is kept in the desktop's Secret Service (service
// "KelvraCapture EHR sign-in", one item per clinic user, EHR and client)
// together with who signed in and the scopes granted, and renews the access
// token without the browser. A refresh token the EHR refuses is forgotten:
// the clinician has to sign in again. Signing out revokes it at the EHR
// (where the EHR offers revocation) and forgets it.
//
// Everything runs on the main thread, the keyring's calls on a worker.

#include <QDateTime>
#include <QHash>
#include <QString>
#include <QUrl>
#include <QVariantMap>

#include <functional>
#include <memory>

class CVHTTPSessionManager;
class KCBrowserOpener;
class KCSecretStore;
class FHIRLoopbackReceiver;

// The keyring service of the kept EHR sign-ins.
inline const QString FHIRSignInKeyringService = QStringLiteral("KelvraCapture EHR sign-in");

// Scopes of the clinician's sign-in: SMART v2, and v1 for EHRs that know no
// other.
inline const QString FHIRUserScopesV2 = QStringLiteral(
    "openid fhirUser offline_access user/Patient.rs user/Encounter.rs user/DocumentReference.cs");
inline const QString FHIRUserScopesV1 =
    QStringLiteral("openid fhirUser offline_access user/Patient.read user/Encounter.read "
                   "user/DocumentReference.read user/DocumentReference.write");

class FHIRSmartLaunch : public std::enable_shared_from_this<FHIRSmartLaunch> {
public:
    struct Config {
        QUrl fhirBase;      // normalized, ending in "/"
        QString clientID;   // the public client's id
        QString clinicUser; // whose sign-in it is on this computer
        // `aud`: the FHIR base URL as the EHR gave it (fhirBase when empty).
        QString audience;
    };
    // What a sign-in or a renewal brought.
    struct Session {
        QString accessToken;
        qint64 expiresIn = 0;
        QString scope;    // the scopes granted
        QString fhirUser; // the id token's fhirUser (a reference or URL)
        bool refreshTokenKept = false;
    };
    struct Result {
        enum Kind { SignedIn, SignInNeeded, Failed, Refused };
        Kind kind = Failed;
        QString message; // for the user; empty on success
        Session session;
    };
    using Callback = std::function<void(const Result &result)>;

    FHIRSmartLaunch(std::shared_ptr<KCBrowserOpener> browser, std::shared_ptr<KCSecretStore> keyring);
    ~FHIRSmartLaunch();

    // The browser sign-in (one at a time: a new one ends the one under way).
    // `done` runs once, on the main thread.
    void signIn(const Config &config, Callback done);
    // A new access token with the kept refresh token, without the browser;
    // SignInNeeded when none is kept or the EHR refuses it.
    void renew(const Config &config, Callback done);
    // Revokes the kept refresh token and `accessToken` at the EHR, where it
    // offers revocation (best effort), and forgets the refresh token. Ends a
    // sign-in under way. `done` (optional) runs on the main thread once the
    // EHR has answered the revocations (or none was sent).
    void signOut(const Config &config, const QString &accessToken, std::function<void()> done = {});
    // Ends a sign-in under way (its callback reports it as not finished).
    void cancel();
    // How long a browser sign-in may take.
    void setSignInTimeout(int ms) { m_signInTimeoutMs = ms; }
    // The keyring account of a configuration.
    static QString keyringAccount(const Config &config);

private:
    struct Endpoints;
    struct Attempt;
    using EndpointsCallback =
        std::function<void(const std::shared_ptr<Endpoints> &endpoints, const QString &problem)>;
    using JSONCallback =
        std::function<void(qint64 status, const QVariantMap &answer, const QString &problem)>;

    void discover(const QUrl &fhirBase, EndpointsCallback done);
    void authorize(const std::shared_ptr<Attempt> &attempt, bool v1Scopes);
    void callbackArrived(const std::shared_ptr<Attempt> &attempt, const QUrl &callback);
    void exchangeCode(const std::shared_ptr<Attempt> &attempt, const QString &code);
    void checkIDToken(const std::shared_ptr<Attempt> &attempt, const QVariantMap &tokens);
    void keep(const Config &config, const QVariantMap &kept,
              std::function<void(const QString &problem)> done);
    void finish(const std::shared_ptr<Attempt> &attempt, const Result &result);
    // A GET or form POST of JSON to the authorization server.
    void request(const QString &method, const QString &url, const QVariantMap &form, JSONCallback done);

    std::shared_ptr<KCBrowserOpener> m_browser;
    std::shared_ptr<KCSecretStore> m_keyring;
    std::shared_ptr<CVHTTPSessionManager> m_http;
    QHash<QString, std::shared_ptr<Endpoints>> m_endpoints; // by FHIR base
    std::shared_ptr<Attempt> m_attempt;
    int m_signInTimeoutMs = 10 * 60 * 1000;
};
