#pragma once
// The senders of the upload queue: the clinic service and the EMR selected in
// the registry, each reporting success or the reason of a failure.

#include "capture/upload_queue.h"

// Posts the record to "documentations/" as the clinic client does, wrapped as
// {"0": {"Documentation": record}}; any answer but an HTTP or transport
// failure acknowledges it.
DocumentationUploadQueue::Sender clinicDocumentationSender();

// Hands the record to the registry's current EMR client with the entry's
// appointment information and the file type "image". Without an EMR client
// that files documents the attempt fails (and is retried later).
DocumentationUploadQueue::Sender emrDocumentationSender();
