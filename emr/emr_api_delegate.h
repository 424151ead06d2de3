#pragma once
// The operations an EMR client offers to the registry and to the
// documentation upload. The registry hands it the clinic's configuration and
// asks it to renew its authorisation; the capture panel files documents
// through it.

#include <QString>
#include <QUrl>
#include <QVariantList>
#include <QVariantMap>
#include <functional>

#include "http/response_serializer.h"
#include "platform/core/error.h"

// Called once per uploaded file with the HTTP response of its upload.
using EMRUploadCallback = std::function<void(const KCHTTPURLResponse &response)>;
using EMRErrorCallback = std::function<void(const KCError &error)>;

class EMRAPIDelegate {
public:
    virtual ~EMRAPIDelegate() = default;

    virtual void setKelvraKeychain(const QVariantMap &kelvraKeychain) = 0;
    virtual void setEmrData(const QVariantMap &emrData) = 0;
    // Reads the configuration into the client and renews its access token.
    virtual void updateAuthStatus() = 0;
    // Rebuilds the client's HTTP state for a new base URL (an empty URL
    // means no base URL).
    virtual void initWithBaseURL(const QUrl &baseURL) = 0;

    // Sign-out: drops the access token, the client secret and the rest of
    // the configuration; token answers still under way are not kept.
    virtual void forgetCredentials() {}

    // Whether uploadDocumentation() is offered by this client.
    virtual bool respondsToUploadDocumentation() const { return false; }
    // Files each upload entry of the documentation records in the patient's
    // chart. `appointmentInfo` describes the visit ("emr_patient_id",
    // optionally "department_id" and "ClinicPatientDeviceAssignment" ->
    // "emr_appointment_id"); `fileType` "image" turns image content into a
    // PDF document. Callbacks run on the main thread.
    virtual void uploadDocumentation(const QVariantList &documents, const QVariantMap &appointmentInfo,
                                     const QString &fileType, EMRUploadCallback callback,
                                     EMRErrorCallback error) {
        Q_UNUSED(documents);
        Q_UNUSED(appointmentInfo);
        Q_UNUSED(fileType);
        Q_UNUSED(callback);
        Q_UNUSED(error);
    }
};
