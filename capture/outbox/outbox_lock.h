#pragma once
// One sender per outbox folder. The process that sends a folder's captures
// holds an exclusive lock (flock) on the file ".lock" in it for as long as it
// runs, and writes its process number there; a second process on the same
// folder (a second KelvraCapture that the single-instance check let through:
// no session bus, the name held by another program, a first instance that
// did not answer) gets the holder's description instead, and neither sends
// nor writes there.

#include <QString>

struct KCOutboxClaim {
    bool held = false; // by this process
    // The process that holds it, e.g. "kelvra-capture (process 4242)"; empty
    // when this process holds it.
    QString holder;
    // Why this process may not use the folder, for the user; empty when held.
    QString problem;
};

// Takes the lock on `folder` (made when missing, mode 0700) for this process
// on the first call and keeps it until the process ends; later calls with the
// same folder give the same answer.
KCOutboxClaim kcClaimOutbox(const QString &folder);

// The folder of the application's captures waiting to be sent:
// ~/.local/share/Kelvra/KelvraCapture/pending-uploads.
QString kcPendingUploadsFolder();
