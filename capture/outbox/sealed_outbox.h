#pragma once
// The folder of captures waiting to be sent, every file sealed
// (outbox_seal.h). One accepted capture is
//
//   <capture>.image      its image, PNG, once for all destinations
//   <capture>.clinic     the clinic service's record and its sending state
//   <capture>.emr        the chart's record (patient ids only) and its state
//
// where <capture> is 32 random hexadecimal digits, so that names say nothing
// about the patient or the records. The image goes when the last record of
// its capture does. Everything here is synchronous file work (sealing, JSON,
// fsync) for one worker thread; the upload queue calls it from there.
//
// At load, temporary files ("*.tmp", left by a crash while writing) are
// removed, so are images whose records are all gone, and plain records of
// the earlier version ("<destination>-<record id>.json", image as Base64,
// the patient's name and date of birth) are sealed in the new form, keeping
// only the patient's ids, and their plain files removed. Without a kept key
// the plain file stays until the record is sent or discarded, since a record
// sealed with a key held in memory would be lost at quit.

#include "capture/outbox/filed_ledger.h"
#include "capture/outbox/outbox_seal.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QVariantMap>

#include <functional>
#include <memory>

// Whose capture a record is.
struct KCUploadAccount {
    QString user;     // clinic user name
    QString service;  // clinic service URL
    QString practice; // EMR practice ("" without an EMR)
    bool isEmpty() const { return user.isEmpty(); }
    bool operator==(const KCUploadAccount &other) const = default;
};

// One destination's record of a capture.
struct KCOutboxEntry {
    QString key;         // the record's file name, "<capture>.<destination>"
    QString destination; // "clinic" or "emr"
    QVariantMap record;  // the documentation record without its image
    QVariantMap patient; // the patient's ids (chart records)
    KCUploadAccount account;
    QDateTime acceptedAt;
    bool hasImage = false;
    int attempts = 0;
    QString lastError;
    bool inFlight = false;
    // An earlier attempt may have reached the service (kept on disk).
    bool mayHaveReached = false;
    // The service refused the record for good; no automatic retries.
    bool refused = false;
    // The record or its image cannot be read (damaged, or sealed with a key
    // this run does not have); it can only be discarded.
    bool unreadable = false;
    // Sealed with a kept key that the keyring does not give now: kept, and
    // read again when the keyring changes (unreadable is set too).
    bool waitingForKey = false;
    // Sealed with a key held in memory only: unreadable once the application
    // quits.
    bool lostAtQuit = false;
    // The plain file of the earlier version, kept until the record is gone.
    QString legacyFile;

    QString capture() const { return key.section(QLatin1Char('.'), 0, 0); }
};

class KCSealedOutbox {
public:
    // Starts obtaining the key kept in `keyStore` (the desktop keyring when
    // none is given; made there on first use, unless files of the folder
    // name another kept key) at once, on a thread of its own, which calls
    // `keyringAnswered` once the keyring has answered, with the key or with
    // why it keeps none. Until then, and without a kept key, new files are
    // sealed with a key held in memory.
    KCSealedOutbox(const QString &folder, std::shared_ptr<KCSecretStore> keyStore,
                   std::function<void()> keyringAnswered = {});
    // Asks the keyring again (it has appeared, unlocked, or its items
    // changed), without an unlock prompt; a question already out is asked
    // once more when it ends. `keyringAnswered` follows. Any thread.
    void askKeyringAgain();

    QString folder() const { return m_folder; }
    // Why new files are sealed with a key held in memory only; "" when the
    // keyring's key seals them.
    QString keyProblem();

    // A new capture name.
    static QString newCaptureName();

    // Sweeps, seals the earlier version's records and reads every record;
    // records that the ledger says were filed are removed instead. Call it
    // once the keyring has answered: the records of earlier runs need its
    // key.
    QList<KCOutboxEntry> load();
    // Stores the image (none when `png` is empty) and the records of a new
    // capture, all or nothing; sets their lostAtQuit. An error text.
    QString storeCapture(const QString &capture, const QByteArray &png, QList<KCOutboxEntry> &entries);
    // Writes the record's state again.
    QString write(const KCOutboxEntry &entry);
    // The image of the entry's capture (PNG).
    std::optional<QByteArray> image(const KCOutboxEntry &entry, QString *error);
    // Removes the record, and its capture's image when no other record of
    // the capture is left.
    void remove(const KCOutboxEntry &entry);
    // Seals again, with the keyring's key, records (and their images) that
    // were sealed with the key in memory; the keys of those sealed again.
    QStringList reseal(const QList<KCOutboxEntry> &entries);
    // Notes in the ledger (filed_ledger.h) that the record was filed; call
    // it before remove().
    void recordFiled(const KCOutboxEntry &entry);
    // Reads the named records again (after the keyring gave its key).
    QList<KCOutboxEntry> reread(const QStringList &names);
    // Wipes the key held in memory once nothing sealed with it is left.
    void forgetMemoryKey();

private:
    struct Keyring;
    QString path(const QString &name) const { return m_folder + QLatin1Char('/') + name; }
    const KCOutboxKey &sealingKey();
    std::optional<QByteArray> unseal(const QByteArray &sealed, const QString &name, KCUnsealError *why,
                                     bool *withMemoryKey = nullptr);
    QString storeImage(const QString &capture, const QByteArray &png);
    std::optional<KCOutboxEntry> read(const QString &name, QString *error, bool *waitsForKey);
    QString whyUnreadable(KCUnsealError error, const QByteArray &sealed = {});
    KCOutboxEntry readOrUnreadable(const QString &name);
    void ask();
    KCFiledLedger &ledger();
    // Of `entries`, those not filed yet; the filed ones are removed.
    QList<KCOutboxEntry> dropFiled(QList<KCOutboxEntry> entries);
    void sealEarlierVersion(const QString &name, QList<KCOutboxEntry> &entries);

    QString m_folder;
    std::shared_ptr<Keyring> m_keyring;
    std::optional<KCOutboxKey> m_kept;   // the keyring's key, once it has answered
    std::optional<KCOutboxKey> m_memory; // made when first needed
    bool m_waited = false;
    // Filings of this run, and of earlier runs once the kept key has read
    // the ledger's file.
    KCFiledLedger m_ledger;
    bool m_ledgerRead = false;
};
