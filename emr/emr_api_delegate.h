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

// Posted (main thread) when the EMR client needs the clinician to sign in to
// the EMR in the browser before it can file; userInfo "message" says why.
inline const QString KCEMRSignInNeededNotification = QStringLiteral("emrSignInNeeded");
// Posted (main thread) when the clinician has signed in to the EMR: what
// waited for the sign-in may be sent now.
inline const QString KCEMRSignedInNotification = QStringLiteral("emrSignedIn");

// How filing one document ended.
struct EMRFilingOutcome {
    enum Kind { Filed, Failed, Refused };
    Kind kind = Failed;
    QString documentID; // the chart's id of the document (Filed)
    QString error;
    // False when the document certainly did not reach the EMR.
    bool reached = true;
};
using EMRFilingCallback = std::function<void(const EMRFilingOutcome &outcome)>;
// Stops a filing still under way; its callback then reports a failure.
using EMRFilingCancel = std::function<void()>;

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

    // The clinic's practice in this EMR ("" when not configured).
    virtual QString practiceID() const { return QString(); }

    // Whether fileDocument() is offered by this client.
    virtual bool respondsToFileDocument() const { return false; }
    // Files the one upload entry of `record` in the patient's chart and
    // reports Filed only on an answer that carries the new document's id.
    // Each document is marked with its entry id; with `lookFirst` (an earlier
    // attempt may have reached the EMR) the chart is searched for the mark
    // first and nothing is sent when the document is there. May be called on
    // any thread (the upload queue calls it on a worker, where the PDF is
    // made); `done` runs once, on the main thread.
    virtual EMRFilingCancel fileDocument(const QVariantMap &record, const QVariantMap &appointmentInfo,
                                         const QString &fileType, bool lookFirst, EMRFilingCallback done) {
        Q_UNUSED(record);
        Q_UNUSED(appointmentInfo);
        Q_UNUSED(fileType);
        Q_UNUSED(lookFirst);
        if (done)
            done({EMRFilingOutcome::Failed, QString(), QStringLiteral("this EMR client files no documents"),
                  false});
        return {};
    }
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
