#pragma once
// The senders of the upload queue: the clinic service and the EMR selected in
// the registry, each reporting whether the service confirmed that it stored
// the record; the account signed in now; and the retry when the network
// comes back. Both senders build and send their request on a worker thread
// (JSON with the image in Base64; the chart's PDF), so that the GUI thread
// does not wait for either.

#include "capture/outbox/upload_queue.h"

#include <QVariantList>

#include <functional>
#include <optional>

// Posts the record to "documentations/" as the clinic client does, wrapped as
// {"0": {"Documentation": record}}. Filed only on the service's confirmation
// of a stored documentation: a JSON object with "success": true whose
// "documentations" lists the record's id.
DocumentationUploadQueue::Sender clinicDocumentationSender();

// Today's patient entries; none before the first list has arrived. Called
// on the queue's thread.
using KCPatientListSource = std::function<std::optional<QVariantList>()>;

// Files the record through the registry's current EMR client with the file
// type "image" and, as the appointment information, the entry of today's
// list that carries the record's patient ids (the name and date of birth
// come from there; the record keeps only the ids). Without such an entry
// (the list not loaded yet, or the patient no longer on it) nothing is sent:
// the record waits and says why. Filed only on an answer that names the new
// document (or when the chart already holds it). The EMR client's
// fileDocument() is called on a worker thread.
DocumentationUploadQueue::Sender emrDocumentationSender(KCPatientListSource patients);

// How a 4xx status counts: final unless the same request may succeed later
// (401, 403, 408, 429).
bool kcIsFinalRefusal(int status);

// Whether the clinic service's answer confirms that it stored the record
// with this id.
bool kcClinicAnswerConfirms(const QVariant &answer, const QString &recordID);

// The account signed in now: the clinic user (when `signedIn`), the service
// URL and the EMR practice of the registry's client.
DocumentationUploadQueue::Account kcCurrentUploadAccount(bool signedIn);

// Tries the waiting records of `queue` at once whenever the reachability
// monitor reports the network reachable after it was not (its notification
// "com.corvane.networking.reachability.change"), for as long as `queue`
// lives.
void kcRetryUploadsWhenReachable(DocumentationUploadQueue *queue);
