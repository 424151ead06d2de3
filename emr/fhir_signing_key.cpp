#include "emr/fhir_signing_key.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

struct FHIRSigningKey::Key {
    EVP_PKEY *pkey = nullptr;
    ~Key() { EVP_PKEY_free(pkey); }
};

namespace {

// The big number `name` of the key, unsigned big-endian, padded to `width`
// bytes when `width` is given.
QByteArray keyNumber(const EVP_PKEY *pkey, const char *name, int width = 0) {
    BIGNUM *bn = nullptr;
    if (!EVP_PKEY_get_bn_param(pkey, name, &bn))
        return {};
    QByteArray bytes(width > 0 ? width : BN_num_bytes(bn), '\0');
    const int written = BN_bn2binpad(bn, reinterpret_cast<unsigned char *>(bytes.data()), int(bytes.size()));
    BN_free(bn);
    return written < 0 ? QByteArray() : bytes;
}

QString curveName(const EVP_PKEY *pkey) {
    char name[64] = {};
    size_t length = 0;
    if (!EVP_PKEY_get_utf8_string_param(pkey, OSSL_PKEY_PARAM_GROUP_NAME, name, sizeof name, &length))
        return {};
    return QString::fromLatin1(name, qsizetype(length));
}

// The JOSE form of an ECDSA signature: r and s, 48 bytes each for P-384.
QByteArray joseECSignature(const QByteArray &der) {
    const auto *p = reinterpret_cast<const unsigned char *>(der.constData());
    ECDSA_SIG *sig = d2i_ECDSA_SIG(nullptr, &p, long(der.size()));
    if (!sig)
        return {};
    const BIGNUM *r = nullptr;
    const BIGNUM *s = nullptr;
    ECDSA_SIG_get0(sig, &r, &s);
    QByteArray raw(96, '\0');
    auto *out = reinterpret_cast<unsigned char *>(raw.data());
    const bool ok = BN_bn2binpad(r, out, 48) == 48 && BN_bn2binpad(s, out + 48, 48) == 48;
    ECDSA_SIG_free(sig);
    return ok ? raw : QByteArray();
}

QByteArray compactJSON(const QVariantMap &map) {
    return QJsonDocument(QJsonObject::fromVariantMap(map)).toJson(QJsonDocument::Compact);
}

} // namespace

void fhirWipe(QByteArray &bytes) {
    if (!bytes.isEmpty())
        OPENSSL_cleanse(const_cast<char *>(bytes.constData()), size_t(bytes.size()));
    bytes = QByteArray();
}

QByteArray fhirBase64URL(const QByteArray &bytes) {
    return bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

FHIRSigningKey::FHIRSigningKey(std::unique_ptr<Key> key, const QString &algorithm)
    : m_key(std::move(key)), m_algorithm(algorithm) {}

FHIRSigningKey::~FHIRSigningKey() = default;

std::shared_ptr<FHIRSigningKey> FHIRSigningKey::fromPEM(const QByteArray &pem, QString *error) {
    auto fail = [&](const QString &why) {
        if (error)
            *error = why;
        return std::shared_ptr<FHIRSigningKey>();
    };
    if (pem.contains("ENCRYPTED"))
        return fail(QStringLiteral("The private key is encrypted; give it without a passphrase."));
    BIO *bio = BIO_new_mem_buf(pem.constData(), int(pem.size()));
    auto key = std::make_unique<Key>();
    // No passphrase callback: an encrypted key is refused, never prompted for.
    key->pkey = PEM_read_bio_PrivateKey(
        bio, nullptr, [](char *, int, int, void *) { return 0; }, nullptr);
    BIO_free(bio);
    if (!key->pkey)
        return fail(QStringLiteral("The private key is not a PEM private key."));
    if (EVP_PKEY_is_a(key->pkey, "RSA")) {
        if (EVP_PKEY_get_bits(key->pkey) < 2048)
            return fail(QStringLiteral("The RSA private key has %1 bits; at least 2048 are needed.")
                            .arg(EVP_PKEY_get_bits(key->pkey)));
        return std::shared_ptr<FHIRSigningKey>(new FHIRSigningKey(std::move(key), QStringLiteral("RS384")));
    }
    if (EVP_PKEY_is_a(key->pkey, "EC")) {
        if (curveName(key->pkey) != QLatin1String("secp384r1"))
            return fail(QStringLiteral("The EC private key is on the curve %1; ES384 needs P-384.")
                            .arg(curveName(key->pkey)));
        return std::shared_ptr<FHIRSigningKey>(new FHIRSigningKey(std::move(key), QStringLiteral("ES384")));
    }
    return fail(QStringLiteral("The private key is neither an RSA nor an EC key."));
}

QByteArray FHIRSigningKey::sign(const QByteArray &input) const {
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    QByteArray signature;
    size_t length = 0;
    if (ctx && EVP_DigestSignInit(ctx, nullptr, EVP_sha384(), nullptr, m_key->pkey) == 1 &&
        EVP_DigestSign(ctx, nullptr, &length, reinterpret_cast<const unsigned char *>(input.constData()),
                       size_t(input.size())) == 1) {
        signature.resize(qsizetype(length));
        if (EVP_DigestSign(ctx, reinterpret_cast<unsigned char *>(signature.data()), &length,
                           reinterpret_cast<const unsigned char *>(input.constData()),
                           size_t(input.size())) == 1)
            signature.resize(qsizetype(length));
        else
            signature.clear();
    }
    EVP_MD_CTX_free(ctx);
    if (m_algorithm == QLatin1String("ES384") && !signature.isEmpty())
        return joseECSignature(signature);
    return signature;
}

QVariantMap FHIRSigningKey::publicJWK(const QString &keyID) const {
    QVariantMap jwk;
    if (m_algorithm == QLatin1String("RS384")) {
        jwk.insert(QStringLiteral("kty"), QStringLiteral("RSA"));
        jwk.insert(QStringLiteral("n"),
                   QString::fromLatin1(fhirBase64URL(keyNumber(m_key->pkey, OSSL_PKEY_PARAM_RSA_N))));
        jwk.insert(QStringLiteral("e"),
                   QString::fromLatin1(fhirBase64URL(keyNumber(m_key->pkey, OSSL_PKEY_PARAM_RSA_E))));
    } else {
        jwk.insert(QStringLiteral("kty"), QStringLiteral("EC"));
        jwk.insert(QStringLiteral("crv"), QStringLiteral("P-384"));
        jwk.insert(QStringLiteral("x"),
                   QString::fromLatin1(fhirBase64URL(keyNumber(m_key->pkey, OSSL_PKEY_PARAM_EC_PUB_X, 48))));
        jwk.insert(QStringLiteral("y"),
                   QString::fromLatin1(fhirBase64URL(keyNumber(m_key->pkey, OSSL_PKEY_PARAM_EC_PUB_Y, 48))));
    }
    jwk.insert(QStringLiteral("alg"), m_algorithm);
    jwk.insert(QStringLiteral("use"), QStringLiteral("sig"));
    jwk.insert(QStringLiteral("kid"), keyID.isEmpty() ? thumbprint() : keyID);
    return jwk;
}

QString FHIRSigningKey::thumbprint() const {
    // The required members only, in lexical order (QJsonObject sorts them).
    const QVariantMap jwk = publicJWK(QStringLiteral("-"));
    QVariantMap members;
    for (const char *name : {"crv", "e", "kty", "n", "x", "y"})
        if (jwk.contains(QLatin1String(name)))
            members.insert(QLatin1String(name), jwk.value(QLatin1String(name)));
    return QString::fromLatin1(
        fhirBase64URL(QCryptographicHash::hash(compactJSON(members), QCryptographicHash::Sha256)));
}

QByteArray fhirClientAssertion(const FHIRSigningKey &key, const FHIRAssertionClaims &claims, QString *error) {
    const qint64 issued = claims.issuedAt.toSecsSinceEpoch();
    const QVariantMap header{
        {QStringLiteral("alg"), key.algorithm()},
        {QStringLiteral("typ"), QStringLiteral("JWT")},
        {QStringLiteral("kid"), claims.keyID.isEmpty() ? key.thumbprint() : claims.keyID}};
    const QVariantMap payload{{QStringLiteral("iss"), claims.clientID},
                              {QStringLiteral("sub"), claims.clientID},
                              {QStringLiteral("aud"), claims.tokenURL},
                              {QStringLiteral("jti"), QUuid::createUuid().toString(QUuid::WithoutBraces)},
                              {QStringLiteral("iat"), issued},
                              {QStringLiteral("exp"), issued + qBound(1, claims.lifetimeSeconds, 300)}};
    const QByteArray input = fhirBase64URL(compactJSON(header)) + '.' + fhirBase64URL(compactJSON(payload));
    const QByteArray signature = key.sign(input);
    if (signature.isEmpty()) {
        if (error)
            *error = QStringLiteral("The client assertion could not be signed.");
        return {};
    }
    return input + '.' + fhirBase64URL(signature);
}
