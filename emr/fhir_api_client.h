#pragma once
// QDFHIRAPIClientForExtension: files captures into the chart of an EHR that
// speaks the FHIR R4 API (Epic, Oracle Health and many others).
//
// Authorisation is SMART Backend Services: a JWT assertion signed with the
// clinic's private key (RS384 or ES384) buys an access token with the OAuth
// 2.0 client-credentials grant. Only a bearer token is taken; it is reused
// until shortly before it expires (a token without "expires_in" serves only
// the requests waiting for it), and a 401 gets one new token and one retry.
// A discovered token URL needs a SMART configuration that offers
// private_key_jwt and the key's algorithm.
//
// A capture is filed only after the EHR's own Patient has been found and
// checked: by the EHR patient id of the visit (or as an identifier, an MRN,
// when no Patient has that id), else by given name, family name and date of
// birth. Searches go as POST [type]/_search with a form body (no patient data
// in URLs) and are read to their last page. Exactly one Patient must match;
// it must be active and not merged into another, its birthDate must equal the
// patient list's date of birth, and one read by id or MRN must carry the
// list's name. The document is a US Core DocumentReference with the one-page PDF
// attached, identified by the upload id, created conditionally
// (If-None-Exist) and, when an earlier attempt may have arrived, searched for
// first. It counts as filed only on 201, or 200 with the existing resource,
// naming the resource id.
//
// Settings come from the configuration's "emrData": "base_url" (the FHIR
// base), "auth_url" (the token URL; else read from
// <base>/.well-known/smart-configuration), "client_id", "key_id",
// "algorithm" ("RS384" or "ES384"; else the key's), "private_key" (PEM), the
// document coding (see FHIRDocumentCoding) and "patient_identifier_system"
// (the system of the MRN search). The private key is taken from the file
// that the managed setting "fhirPrivateKeyFile" names when it is set, else
// from "private_key"; it is never logged nor written anywhere, the key text
// is overwritten once read, and forgetCredentials() drops the key.
//
// One instance per process (sharedClient()); callbacks run on the main thread.

#include <QDateTime>
#include <QMutex>
#include <QString>
#include <QUrl>
#include <QVariantMap>
#include <atomic>
#include <functional>
#include <memory>

#include "emr/emr_api_delegate.h"
#include "emr/fhir_resources.h"
#include "http/http_session_manager.h"

class FHIRSigningKey;

// The managed setting naming the private key file (see the README's
// "Configuration for clinic IT").
inline const QString FHIRPrivateKeyFileSettingsKey = QStringLiteral("fhirPrivateKeyFile");

class QDFHIRAPIClientForExtension : public CVHTTPSessionManager,
                                    public EMRAPIDelegate,
                                    public std::enable_shared_from_this<QDFHIRAPIClientForExtension> {
public:
    // A failure before anything was filed: Failed (may mend itself: the
    // network, the server, a rate limit) or Refused (needs someone: the
    // patient, the configuration, the EHR's refusal), with the text for the
    // user.
    struct Failure {
        EMRFilingOutcome::Kind kind = EMRFilingOutcome::Failed;
        QString message;
    };
    using TokenCallback =
        std::function<void(const QString &accessToken, const std::optional<Failure> &failure)>;

    static std::shared_ptr<QDFHIRAPIClientForExtension> sharedClient();

    // A client for `baseURL`; use through std::shared_ptr (callbacks hold it
    // weakly). sharedClient() is the way the program makes one.
    explicit QDFHIRAPIClientForExtension(const QUrl &baseURL = QUrl());
    ~QDFHIRAPIClientForExtension() override;

    void initWithBaseURL(const QUrl &baseURL) override;
    void setEmrData(const QVariantMap &emrData) override;
    void setKelvraKeychain(const QVariantMap &kelvraKeychain) override;
    // Reads the settings and the private key, then gets a first token (a
    // failure is only logged, without secrets).
    void updateAuthStatus() override;
    // The FHIR base URL: the EHR a record belongs to.
    QString practiceID() const override;
    void forgetCredentials() override;

    bool respondsToFileDocument() const override { return true; }
    EMRFilingCancel fileDocument(const QVariantMap &record, const QVariantMap &appointmentInfo,
                                 const QString &fileType, bool lookFirst, EMRFilingCallback done) override;

    // The current access token, or a new one when there is none or it
    // expires within a minute (`renew` forces a new one). Token requests
    // under way are shared. `done` runs once, on the main thread.
    void accessToken(bool renew, TokenCallback done);
    // The token URL in use (configured or discovered; empty before either).
    QString tokenURL() const;
    // The scopes asked for by the last token request.
    QString requestedScopes() const;
    // The signing key's public JWK Set ({"keys": [JWK]}) to register with
    // the EHR; empty with `error` set when there is no usable key.
    QVariantMap publicJWKS(QString *error) const;

private:
    struct Filing;
    struct Settings;
    struct Request;
    struct Answer {
        qint64 status = 0; // 0: no HTTP answer
        QVariant body;
        KCHTTPURLResponse response;
        KCError error;
        std::optional<Failure> failure; // set when no request could be made
    };
    using AnswerCallback = std::function<void(const Answer &answer)>;

    void configureHTTP();
    Settings settings() const;
    // Finds the token URL (configured or discovered) and requests a token.
    void requestToken();
    // Asks for a token with SMART v2 scopes (or `v1`); a 400 to v2 scopes
    // is asked again once with v1 scopes.
    void postTokenRequest(const QString &tokenURL, quint64 epoch, bool v1);
    bool useV1Scopes() const;
    // A request to the authorisation server (SMART configuration, token
    // URL), for its origin only; `done` runs on the main thread while the
    // client lives, with the status (0: no answer), the answer and the
    // error. A request that cannot be built ends the token request.
    using AuthorisationAnswer =
        std::function<void(const std::shared_ptr<QDFHIRAPIClientForExtension> &self, qint64 status,
                           const QVariant &answer, const KCError &error)>;
    void sendAuthorisationRequest(const QString &method, const QString &url, const KCParameters &form,
                                  quint64 epoch, AuthorisationAnswer done);
    void finishToken(const QString &token, qint64 lifetimeSeconds, const std::optional<Failure> &failure,
                     quint64 epoch);
    // Sends `request` with the token (waiting for a Retry-After the EHR
    // asked for when it is short); a 401 renews the token and repeats it once.
    void send(const std::shared_ptr<Request> &request);
    // Gets the access token (a new one with `renew`) and sends `request`
    // with it; without a token the request ends with the failure.
    void sendWithAccessToken(const std::shared_ptr<Request> &request, bool renew);
    void sendWithToken(const std::shared_ptr<Request> &request, const QString &token);
    // A request of `filing` to `path` under the base URL; cancelling the
    // filing cancels it, and a finished filing ignores its answer.
    void sendForFiling(const std::shared_ptr<Filing> &filing, const QString &method, const QString &path,
                       const QVariantMap &query, AnswerCallback done, const QByteArray &body = {},
                       const KCHeaderList &headers = {});

    // Reads every page of a search of `type`, sent as POST [type]/_search
    // with the form `form`; `done` gets the matches, or the filing ends.
    struct Search;
    void searchAll(const std::shared_ptr<Filing> &filing, const QString &step, const QString &type,
                   const QVariantMap &form, std::function<void(const QVariantList &)> done);
    void readSearchPage(const std::shared_ptr<Search> &search, const Answer &answer);

    // The steps of filing, in order.
    void findPatient(const std::shared_ptr<Filing> &filing);
    // By name and date of birth: the search for the `split`th way of
    // dividing the list's name into given and family names.
    void findPatientByName(const std::shared_ptr<Filing> &filing, qsizetype split,
                           const std::shared_ptr<QVariantList> &found);
    void checkPatient(const std::shared_ptr<Filing> &filing, const QVariantList &candidates, bool byName);
    void findEncounter(const std::shared_ptr<Filing> &filing);
    void findFiledDocument(const std::shared_ptr<Filing> &filing);
    void createDocument(const std::shared_ptr<Filing> &filing);

    mutable QMutex m_lock;
    QVariantMap m_emrData; // without "private_key"
    // The configuration's key text until updateAuthStatus() reads it.
    QByteArray m_keyText;
    std::shared_ptr<FHIRSigningKey> m_key;
    QString m_keyProblem;
    QString m_discoveredTokenURL;
    QString m_accessToken;
    QDateTime m_tokenRenewAt;
    // The EHR grants SMART v1 scopes only (found by discovery or a token).
    bool m_useV1Scopes = false;
    QString m_requestedScopes;
    bool m_tokenRequestInFlight = false;
    QList<TokenCallback> m_tokenWaiters;
    // Not before this time (the EHR's Retry-After).
    QDateTime m_notBefore;
    // Raised by forgetCredentials(): answers of an earlier value are dropped.
    std::atomic<quint64> m_credentialEpoch{0};
};
