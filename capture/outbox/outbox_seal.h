#pragma once
// Sealing of the files of captures waiting to be sent: AES-256-GCM (OpenSSL)
// under one key per user, kept in the desktop keyring as an item of its own
// (service "KelvraCapture outbox", account "pending-uploads"), made on first
// use. A sealed file is
//
//   "KCOUTBX1" | key id (8 bytes) | nonce (12 bytes) | ciphertext | tag (16 bytes)
//
// with a fresh random nonce per file and the header and the file's name as
// associated data, so that a file renamed to another record's name does not
// open either. The key id tells which key sealed a file without revealing it.
//
// Without a keyring, or with one that stays locked, the key is made in memory
// only: files sealed with it cannot be read by a later run. Those start with
// "KCOUTBM1" instead, so that a later run knows that no keyring will ever
// give their key (files of earlier versions say "KCOUTBX1" either way).
//
// A new key is never made while sealed files name a kept key that the
// keyring does not give: those files would be unreadable for good. Secrets
// are wiped from memory when the last copy of a key goes.

#include "platform/secretstore/secret_store.h"

#include <QByteArray>
#include <QSet>
#include <QString>

#include <optional>

// Overwrites the bytes of `bytes` when no other QByteArray shares them (the
// last holder of a secret wipes it), and empties it.
void kcWipe(QByteArray &bytes);

struct KCOutboxKey {
    QByteArray secret; // 32 bytes
    QByteArray id;     // 8 bytes, stored in the clear in every sealed file
    // Kept in the keyring (readable by later runs); false: in memory only.
    bool kept = false;
    // Why the key is not kept ("" when it is).
    QString problem;

    KCOutboxKey() = default;
    KCOutboxKey(QByteArray secret, QByteArray id, bool kept, QString problem)
        : secret(std::move(secret)), id(std::move(id)), kept(kept), problem(std::move(problem)) {}
    KCOutboxKey(const KCOutboxKey &) = default;
    KCOutboxKey(KCOutboxKey &&) = default;
    KCOutboxKey &operator=(const KCOutboxKey &other) {
        if (this != &other) {
            kcWipe(secret);
            secret = other.secret;
            id = other.id;
            kept = other.kept;
            problem = other.problem;
        }
        return *this;
    }
    KCOutboxKey &operator=(KCOutboxKey &&other) noexcept {
        kcWipe(secret);
        secret = std::move(other.secret);
        id = std::move(other.id);
        kept = other.kept;
        problem = std::move(other.problem);
        return *this;
    }
    // The last copy of a secret overwrites it.
    ~KCOutboxKey() { kcWipe(secret); }

    bool isValid() const { return secret.size() == 32; }
};

// The attributes and label of the key's keyring item. Not of service
// "KelvraCapture": the login screen lists that service's accounts.
KCSecretAttributes kcOutboxKeyAttributes();
QString kcOutboxKeyLabel();

// The key in `store`, made and stored there on first use; a key in memory
// (with the reason) when the store cannot keep one, or when it holds none
// while `namedIds` (the kept keys that sealed files name) is not empty: a
// key is never made in place of one that files still need. May wait for the
// keyring's unlock prompt: call it off the GUI thread.
KCOutboxKey kcOutboxKeyFromStore(KCSecretStore &store, const QSet<QByteArray> &namedIds = {});
// A new key held in memory only.
KCOutboxKey kcMemoryOutboxKey(const QString &problem);

// `plain` sealed under `key` for the file named `name`.
QByteArray kcSeal(const KCOutboxKey &key, const QByteArray &plain, const QString &name);

// Why a sealed file did not open.
enum class KCUnsealError { None, NotSealed, OtherKey, Damaged };

// The key id a sealed file names; empty when `sealed` is no sealed file.
QByteArray kcSealedKeyId(const QByteArray &sealed);
// Whether `sealed` says it was sealed with a key held in memory only.
bool kcSealedWithMemoryKey(const QByteArray &sealed);
// The first bytes of a file that tell its key (kcSealedKeyId() and
// kcSealedWithMemoryKey() need no more).
constexpr int kcSealedHeaderSize = 64;
// The contents of `sealed` (the file named `name`) when `key` sealed it and
// nothing was changed since.
std::optional<QByteArray> kcUnseal(const KCOutboxKey &key, const QByteArray &sealed, const QString &name,
                                   KCUnsealError *error = nullptr);
