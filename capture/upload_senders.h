#pragma once
// The senders of the upload queue: the clinic service and the EMR selected in
// the registry, each reporting whether the service confirmed that it stored
// the record, and the account signed in now.

#include "capture/upload_queue.h"

// Posts the record to "documentations/" as the clinic client does, wrapped as
// {"0": {"Documentation": record}}. Filed only on the service's confirmation
// of a stored documentation: a JSON object with "success": true whose
// "documentations" lists the record's id.
DocumentationUploadQueue::Sender clinicDocumentationSender();

// Files the record through the registry's current EMR client with the
// entry's appointment information and the file type "image". Filed only on
// an answer that names the new document (or when the chart already holds it).
DocumentationUploadQueue::Sender emrDocumentationSender();

// How a 4xx status counts: final unless the same request may succeed later
// (401, 403, 408, 429).
bool kcIsFinalRefusal(int status);

// Whether the clinic service's answer confirms that it stored the record
// with this id.
bool kcClinicAnswerConfirms(const QVariant &answer, const QString &recordID);

// The account signed in now: the clinic user (when `signedIn`), the service
// URL and the EMR practice of the registry's client.
DocumentationUploadQueue::Account kcCurrentUploadAccount(bool signedIn);
