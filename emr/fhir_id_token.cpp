#include "emr/fhir_id_token.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QVariantList>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <memory>

namespace {

QByteArray fromBase64URL(const QByteArray &text, bool *ok) {
    const auto decoded = QByteArray::fromBase64Encoding(text, QByteArray::Base64UrlEncoding |
                                                                  QByteArray::AbortOnBase64DecodingErrors);
    *ok = bool(decoded);
    return decoded ? *decoded : QByteArray();
}

QByteArray keyBytes(const QVariantMap &jwk, const char *name) {
    bool ok = false;
    const QByteArray bytes = fromBase64URL(jwk.value(QLatin1String(name)).toString().toLatin1(), &ok);
    return ok ? bytes : QByteArray();
}

struct PKeyFree {
    void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
using PKey = std::unique_ptr<EVP_PKEY, PKeyFree>;

// A public key from its JWK form; null for anything unusable.
PKey publicKey(const QVariantMap &jwk) {
    const QString kty = jwk.value(QStringLiteral("kty")).toString();
    OSSL_PARAM_BLD *build = OSSL_PARAM_BLD_new();
    if (!build)
        return {};
    const char *type = nullptr;
    QByteArray point;
    BIGNUM *n = nullptr;
    BIGNUM *e = nullptr;
    bool ok = false;
    if (kty == QLatin1String("RSA")) {
        const QByteArray nb = keyBytes(jwk, "n");
        const QByteArray eb = keyBytes(jwk, "e");
        n = BN_bin2bn(reinterpret_cast<const unsigned char *>(nb.constData()), int(nb.size()), nullptr);
        e = BN_bin2bn(reinterpret_cast<const unsigned char *>(eb.constData()), int(eb.size()), nullptr);
        type = "RSA";
        ok = !nb.isEmpty() && !eb.isEmpty() && n && e &&
             OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_N, n) &&
             OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_E, e);
    } else if (kty == QLatin1String("EC")) {
        const QString crv = jwk.value(QStringLiteral("crv")).toString();
        const char *group = crv == QLatin1String("P-256")   ? "prime256v1"
                            : crv == QLatin1String("P-384") ? "secp384r1"
                                                            : nullptr;
        const int width = crv == QLatin1String("P-256") ? 32 : 48;
        const QByteArray x = keyBytes(jwk, "x");
        const QByteArray y = keyBytes(jwk, "y");
        point = QByteArray(1, '\x04') + x + y;
        type = "EC";
        ok = group && x.size() == width && y.size() == width &&
             OSSL_PARAM_BLD_push_utf8_string(build, OSSL_PKEY_PARAM_GROUP_NAME, group, 0) &&
             OSSL_PARAM_BLD_push_octet_string(build, OSSL_PKEY_PARAM_PUB_KEY, point.constData(),
                                              size_t(point.size()));
    }
    PKey key;
    OSSL_PARAM *params = ok ? OSSL_PARAM_BLD_to_param(build) : nullptr;
    if (params) {
        EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr);
        EVP_PKEY *made = nullptr;
        if (ctx && EVP_PKEY_fromdata_init(ctx) == 1 &&
            EVP_PKEY_fromdata(ctx, &made, EVP_PKEY_PUBLIC_KEY, params) == 1)
            key.reset(made);
        EVP_PKEY_CTX_free(ctx);
        OSSL_PARAM_free(params);
    }
    OSSL_PARAM_BLD_free(build);
    BN_free(n);
    BN_free(e);
    return key;
}

// DER form of a JOSE ECDSA signature (r and s of `width` bytes each).
QByteArray derECSignature(const QByteArray &raw, int width) {
    if (raw.size() != 2 * width)
        return {};
    ECDSA_SIG *sig = ECDSA_SIG_new();
    BIGNUM *r = BN_bin2bn(reinterpret_cast<const unsigned char *>(raw.constData()), width, nullptr);
    BIGNUM *s = BN_bin2bn(reinterpret_cast<const unsigned char *>(raw.constData()) + width, width, nullptr);
    QByteArray der;
    if (sig && r && s && ECDSA_SIG_set0(sig, r, s) == 1) {
        r = s = nullptr; // owned by sig now
        unsigned char *out = nullptr;
        const int length = i2d_ECDSA_SIG(sig, &out);
        if (length > 0)
            der = QByteArray(reinterpret_cast<const char *>(out), length);
        OPENSSL_free(out);
    }
    BN_free(r);
    BN_free(s);
    ECDSA_SIG_free(sig);
    return der;
}

bool verifies(EVP_PKEY *key, const EVP_MD *digest, const QByteArray &input, const QByteArray &signature) {
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    const bool ok =
        ctx && EVP_DigestVerifyInit(ctx, nullptr, digest, nullptr, key) == 1 &&
        EVP_DigestVerify(ctx, reinterpret_cast<const unsigned char *>(signature.constData()),
                         size_t(signature.size()), reinterpret_cast<const unsigned char *>(input.constData()),
                         size_t(input.size())) == 1;
    EVP_MD_CTX_free(ctx);
    return ok;
}

QVariantMap jsonObject(const QByteArray &part, bool *ok) {
    const QByteArray bytes = fromBase64URL(part, ok);
    QJsonParseError parseError{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &parseError);
    *ok = *ok && parseError.error == QJsonParseError::NoError && doc.isObject();
    return doc.object().toVariantMap();
}

} // namespace

std::optional<QVariantMap> fhirVerifiedIDToken(const QByteArray &idToken, const QVariantMap &jwks,
                                               const FHIRIDTokenExpectation &expected, QString *error) {
    auto fail = [&](const QString &why) -> std::optional<QVariantMap> {
        if (error)
            *error = QStringLiteral("The EHR's id token is not valid: ") + why;
        return std::nullopt;
    };
    const QList<QByteArray> parts = idToken.split('.');
    if (parts.size() != 3)
        return fail(QStringLiteral("it is not a signed JWT"));
    bool ok = false;
    const QVariantMap header = jsonObject(parts.at(0), &ok);
    if (!ok)
        return fail(QStringLiteral("its header is not JSON"));
    const QVariantMap claims = jsonObject(parts.at(1), &ok);
    if (!ok)
        return fail(QStringLiteral("its claims are not JSON"));
    const QByteArray signature = fromBase64URL(parts.at(2), &ok);
    if (!ok || signature.isEmpty())
        return fail(QStringLiteral("it has no signature"));

    // The algorithm comes from the header but must be one of these; "none"
    // and the symmetric ones are never accepted.
    const QString alg = header.value(QStringLiteral("alg")).toString();
    const EVP_MD *digest = nullptr;
    QString kty;
    int ecWidth = 0;
    if (alg == QLatin1String("RS256") || alg == QLatin1String("ES256"))
        digest = EVP_sha256();
    else if (alg == QLatin1String("RS384") || alg == QLatin1String("ES384"))
        digest = EVP_sha384();
    else if (alg == QLatin1String("RS512"))
        digest = EVP_sha512();
    else
        return fail(QStringLiteral("its algorithm \"%1\" is not accepted").arg(alg));
    kty = alg.startsWith(QLatin1Char('R')) ? QStringLiteral("RSA") : QStringLiteral("EC");
    ecWidth = alg == QLatin1String("ES256") ? 32 : 48;

    const QString kid = header.value(QStringLiteral("kid")).toString();
    const QByteArray input = parts.at(0) + '.' + parts.at(1);
    bool verified = false;
    bool keyFound = false;
    for (const QVariant &k : jwks.value(QStringLiteral("keys")).toList()) {
        const QVariantMap jwk = k.toMap();
        if (jwk.value(QStringLiteral("kty")).toString() != kty)
            continue;
        if (!kid.isEmpty() && jwk.contains(QStringLiteral("kid")) &&
            jwk.value(QStringLiteral("kid")).toString() != kid)
            continue;
        const QString use = jwk.value(QStringLiteral("use")).toString();
        if (!use.isEmpty() && use != QLatin1String("sig"))
            continue;
        const QString keyAlg = jwk.value(QStringLiteral("alg")).toString();
        if (!keyAlg.isEmpty() && keyAlg != alg)
            continue;
        const PKey key = publicKey(jwk);
        if (!key)
            continue;
        keyFound = true;
        const QByteArray sig = kty == QLatin1String("EC") ? derECSignature(signature, ecWidth) : signature;
        if (!sig.isEmpty() && verifies(key.get(), digest, input, sig)) {
            verified = true;
            break;
        }
    }
    if (!keyFound)
        return fail(QStringLiteral("the authorization server publishes no key for it (kid \"%1\")").arg(kid));
    if (!verified)
        return fail(QStringLiteral("its signature does not verify"));

    if (claims.value(QStringLiteral("iss")).toString() != expected.issuer)
        return fail(QStringLiteral("it was issued by \"%1\", not by \"%2\"")
                        .arg(claims.value(QStringLiteral("iss")).toString(), expected.issuer));
    const QVariant aud = claims.value(QStringLiteral("aud"));
    const QStringList audiences =
        aud.typeId() == QMetaType::QString ? QStringList{aud.toString()} : aud.toStringList();
    if (!audiences.contains(expected.clientID))
        return fail(QStringLiteral("it is meant for another client"));
    const QString azp = claims.value(QStringLiteral("azp")).toString();
    if (audiences.size() > 1 && azp != expected.clientID)
        return fail(QStringLiteral("it was issued to another client (azp)"));
    if (!azp.isEmpty() && azp != expected.clientID)
        return fail(QStringLiteral("it was issued to another client (azp)"));
    const qint64 now = expected.now.toSecsSinceEpoch();
    const QVariant exp = claims.value(QStringLiteral("exp"));
    if (!exp.canConvert<qint64>() || exp.toLongLong() + expected.leewaySeconds < now)
        return fail(QStringLiteral("it has expired"));
    const QVariant iat = claims.value(QStringLiteral("iat"));
    if (iat.isValid() && iat.toLongLong() > now + expected.leewaySeconds)
        return fail(QStringLiteral("it was issued in the future (check this computer's clock)"));
    if (expected.nonce.isEmpty() || claims.value(QStringLiteral("nonce")).toString() != expected.nonce)
        return fail(QStringLiteral("its nonce is not the one of this sign-in"));
    return claims;
}
