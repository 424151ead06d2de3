#pragma once
// The OpenID Connect id token of an EHR sign-in, checked before anything in
// it is believed: its signature against the authorization server's keys
// (a JWK Set; RS256, RS384, RS512, ES256 or ES384), and its claims: the
// issuer, the audience (this client), the expiry, and the nonce of this
// sign-in.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QVariantMap>
#include <optional>

struct FHIRIDTokenExpectation {
    QString issuer;   // "iss" must be exactly this
    QString clientID; // "aud" must hold it (and "azp", when present, be it)
    QString nonce;    // "nonce" must be exactly this
    QDateTime now;
    // Clock difference tolerated for "exp" and "iat".
    int leewaySeconds = 120;
};

// The id token's claims when its signature verifies with a key of `jwks`
// ({"keys": [...]}) and its claims meet `expected`; nullopt with `error` set
// otherwise.
std::optional<QVariantMap> fhirVerifiedIDToken(const QByteArray &idToken, const QVariantMap &jwks,
                                               const FHIRIDTokenExpectation &expected, QString *error);
