#include "capture/outbox/outbox_seal.h"

#include <QCryptographicHash>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <memory>

namespace {

constexpr char kMagic[] = "KCOUTBX1";
constexpr char kMemoryMagic[] = "KCOUTBM1";
constexpr int kMagicSize = 8;
constexpr int kKeyIdSize = 8;
constexpr int kNonceSize = 12;
constexpr int kTagSize = 16;
constexpr int kHeaderSize = kMagicSize + kKeyIdSize + kNonceSize;
constexpr int kKeySize = 32;

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

QByteArray randomBytes(int n) {
    QByteArray bytes(n, Qt::Uninitialized);
    if (RAND_bytes(reinterpret_cast<unsigned char *>(bytes.data()), n) != 1)
        qFatal("the system's random number generator failed");
    return bytes;
}

QByteArray keyIdOf(const QByteArray &secret) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(QByteArrayView("KelvraCapture outbox key id"));
    hash.addData(secret);
    return hash.result().left(kKeyIdSize);
}

KCOutboxKey keyWithSecret(const QByteArray &secret, bool kept, const QString &problem) {
    return {secret, keyIdOf(secret), kept, problem};
}

const unsigned char *bytes(const QByteArray &a) {
    return reinterpret_cast<const unsigned char *>(a.constData());
}

// The associated data of a file: its header and its name.
QByteArray associatedData(const QByteArray &header, const QString &name) {
    return header + name.toUtf8();
}

QString storeProblem(const KCSecretResult &result) {
    QString text = kcSecretStatusMessage(int(result.status));
    if (!result.detail.isEmpty())
        text += QStringLiteral(" (%1)").arg(result.detail);
    return text;
}

} // namespace

void kcWipe(QByteArray &bytes) {
    if (!bytes.isEmpty() && bytes.isDetached())
        OPENSSL_cleanse(bytes.data(), size_t(bytes.size()));
    bytes.clear();
}

KCSecretAttributes kcOutboxKeyAttributes() {
    return {QStringLiteral("KelvraCapture outbox"), QStringLiteral("pending-uploads"), std::nullopt};
}

QString kcOutboxKeyLabel() {
    return QStringLiteral("KelvraCapture: key of the captures waiting to be sent");
}

KCOutboxKey kcMemoryOutboxKey(const QString &problem) {
    return keyWithSecret(randomBytes(kKeySize), false, problem);
}

KCOutboxKey kcOutboxKeyFromStore(KCSecretStore &store, const QSet<QByteArray> &namedIds) {
    QByteArray stored;
    struct Wipe {
        QByteArray &bytes;
        ~Wipe() { kcWipe(bytes); }
    } wipeStored{stored};
    KCSecretResult found = store.find(kcOutboxKeyAttributes(), &stored);
    if (found.status == KCSecretStatus::NotFound && !namedIds.isEmpty()) {
        // Captures wait for a key that this keyring does not give (its item
        // deleted, or kept in a collection that is not open): a new key
        // would leave them unreadable for good.
        QStringList ids;
        for (const QByteArray &id : namedIds)
            ids.append(QString::fromLatin1(id.toHex()));
        ids.sort();
        return kcMemoryOutboxKey(
            QStringLiteral("The keyring does not hold the key that sealed the captures waiting to be sent "
                           "(key %1): its item \"%2\" was deleted, or it is in a keyring collection that is "
                           "locked or not open. They are kept and sent once the keyring gives that key "
                           "again; no new key is made meanwhile.")
                .arg(ids.join(QStringLiteral(", ")), kcOutboxKeyLabel()));
    }
    if (found.status == KCSecretStatus::NotFound) {
        QByteArray secret = randomBytes(kKeySize);
        QByteArray text = secret.toBase64();
        const KCSecretResult added = store.add(kcOutboxKeyAttributes(), kcOutboxKeyLabel(), text);
        kcWipe(text);
        kcWipe(secret);
        if (!added.ok())
            return kcMemoryOutboxKey(storeProblem(added));
        // Read it back: another process may have stored its key at the same
        // moment, and only what the keyring holds is readable later.
        found = store.find(kcOutboxKeyAttributes(), &stored);
    }
    if (!found.ok())
        return kcMemoryOutboxKey(storeProblem(found));
    auto decoded = QByteArray::fromBase64Encoding(stored, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != kKeySize) {
        kcWipe(decoded.decoded);
        return kcMemoryOutboxKey(
            QStringLiteral("The keyring's item \"%1\" does not hold a key.").arg(kcOutboxKeyLabel()));
    }
    return keyWithSecret(std::move(decoded.decoded), true, QString());
}

namespace {

// AES-256-GCM of `length` bytes from `in` to `out` with `nonce` and `aad`:
// encrypting writes the tag to `tag`, decrypting checks the one there.
bool gcm(bool encrypt, const QByteArray &key, const unsigned char *nonce, const QByteArray &aad,
         const unsigned char *in, int length, unsigned char *out, unsigned char *tag) {
    CipherContext ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    const int mode = encrypt ? 1 : 0;
    int n = 0, m = 0;
    return ctx && EVP_CipherInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr, mode) == 1 &&
           EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, kNonceSize, nullptr) == 1 &&
           EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, bytes(key), nonce, mode) == 1 &&
           EVP_CipherUpdate(ctx.get(), nullptr, &n, bytes(aad), int(aad.size())) == 1 &&
           EVP_CipherUpdate(ctx.get(), out, &n, in, length) == 1 &&
           (encrypt || EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagSize, tag) == 1) &&
           EVP_CipherFinal_ex(ctx.get(), out + n, &m) == 1 &&
           (!encrypt || EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagSize, tag) == 1);
}

} // namespace

QByteArray kcSeal(const KCOutboxKey &key, const QByteArray &plain, const QString &name) {
    Q_ASSERT(key.isValid());
    const QByteArray header =
        QByteArray(key.kept ? kMagic : kMemoryMagic, kMagicSize) + key.id + randomBytes(kNonceSize);
    QByteArray out = header;
    out.resize(kHeaderSize + plain.size() + kTagSize);
    unsigned char *sealed = reinterpret_cast<unsigned char *>(out.data());
    if (!gcm(true, key.secret, sealed + kMagicSize + kKeyIdSize, associatedData(header, name), bytes(plain),
             int(plain.size()), sealed + kHeaderSize, sealed + kHeaderSize + plain.size()))
        qFatal("AES-256-GCM is not available");
    return out;
}

QByteArray kcSealedKeyId(const QByteArray &sealed) {
    if (sealed.size() < kHeaderSize + kTagSize ||
        (!sealed.startsWith(QByteArrayView(kMagic, kMagicSize)) && !kcSealedWithMemoryKey(sealed)))
        return {};
    return sealed.mid(kMagicSize, kKeyIdSize);
}

bool kcSealedWithMemoryKey(const QByteArray &sealed) {
    return sealed.startsWith(QByteArrayView(kMemoryMagic, kMagicSize));
}

std::optional<QByteArray> kcUnseal(const KCOutboxKey &key, const QByteArray &sealed, const QString &name,
                                   KCUnsealError *error) {
    auto fail = [error](KCUnsealError why) -> std::optional<QByteArray> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    const QByteArray id = kcSealedKeyId(sealed);
    if (id.isEmpty())
        return fail(KCUnsealError::NotSealed);
    if (!key.isValid() || id != key.id)
        return fail(KCUnsealError::OtherKey);
    const qsizetype length = sealed.size() - kHeaderSize - kTagSize;
    QByteArray plain(length, Qt::Uninitialized);
    QByteArray tag = sealed.right(kTagSize);
    if (!gcm(false, key.secret, bytes(sealed) + kMagicSize + kKeyIdSize,
             associatedData(sealed.left(kHeaderSize), name), bytes(sealed) + kHeaderSize, int(length),
             reinterpret_cast<unsigned char *>(plain.data()), reinterpret_cast<unsigned char *>(tag.data())))
        return fail(KCUnsealError::Damaged);
    if (error)
        *error = KCUnsealError::None;
    return plain;
}
