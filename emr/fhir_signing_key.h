#pragma once
// The private key that signs the client assertions of the FHIR client (SMART
// Backend Services): an RSA key of at least 2048 bits signing RS384, or a
// P-384 EC key signing ES384. It lives in memory only; the PEM text it was
// read from is not kept.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QVariantMap>
#include <memory>

class FHIRSigningKey {
public:
    // Reads a PEM private key (PKCS#8, or the traditional RSA and EC forms).
    // Null with `error` set for anything else, an encrypted key, an RSA key
    // under 2048 bits or an EC key on another curve.
    static std::shared_ptr<FHIRSigningKey> fromPEM(const QByteArray &pem, QString *error);
    ~FHIRSigningKey();
    FHIRSigningKey(const FHIRSigningKey &) = delete;
    FHIRSigningKey &operator=(const FHIRSigningKey &) = delete;

    // "RS384" or "ES384".
    QString algorithm() const { return m_algorithm; }
    // The JWS signature of `input` (for ES384 the 96 bytes of r and s);
    // empty when signing failed.
    QByteArray sign(const QByteArray &input) const;
    // The public half as a JSON Web Key: "kty", "n" and "e" (RSA) or "crv",
    // "x" and "y" (EC), plus "alg", "use" = "sig" and "kid".
    QVariantMap publicJWK(const QString &keyID) const;
    // The RFC 7638 thumbprint of the public key (base64url of SHA-256), the
    // key id when none is configured.
    QString thumbprint() const;

private:
    struct Key;
    explicit FHIRSigningKey(std::unique_ptr<Key> key, const QString &algorithm);
    std::unique_ptr<Key> m_key;
    QString m_algorithm;
};

// What a client assertion says: the client (iss = sub), the token URL (aud),
// when it was made, and a lifetime of at most five minutes.
struct FHIRAssertionClaims {
    QString clientID;
    QString tokenURL;
    QString keyID;
    QDateTime issuedAt;
    int lifetimeSeconds = 240;
};

// The signed JWT "header.payload.signature" with a new unique "jti"; empty
// with `error` set when it could not be signed.
QByteArray fhirClientAssertion(const FHIRSigningKey &key, const FHIRAssertionClaims &claims, QString *error);

// Overwrites the bytes of `bytes` where they lie (copies that share them
// included) and empties it: for key text once the key has been read.
void fhirWipe(QByteArray &bytes);

// base64url without padding, as JOSE writes it.
QByteArray fhirBase64URL(const QByteArray &bytes);
