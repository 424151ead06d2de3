#include "capture/outbox/upload_senders.h"

#include "capture/documentation_upload.h"
#include "clinic/kelvra_api_client.h"
#include "emr/emr_api_client.h"
#include "http/network_reachability_manager.h"
#include "platform/core/notification_center.h"

#include <QPointer>

using Outcome = DocumentationUploadQueue::Outcome;
using Cancel = DocumentationUploadQueue::Cancel;

namespace {

QString describe(const KCError &error) {
    const QString text = error.localizedDescription();
    return text.isEmpty() ? QStringLiteral("%1 %2").arg(error.domain()).arg(error.code()) : text;
}

} // namespace

bool kcIsFinalRefusal(int status) {
    return status >= 400 && status < 500 && status != 401 && status != 403 && status != 408 && status != 429;
}

bool kcClinicAnswerConfirms(const QVariant &answer, const QString &recordID) {
    if (answer.metaType().id() != QMetaType::QVariantMap || recordID.isEmpty())
        return false;
    const QVariantMap map = answer.toMap();
    const QVariant success = map.value(QStringLiteral("success"));
    if (success.metaType().id() != QMetaType::Bool || !success.toBool())
        return false;
    for (const QVariant &stored : map.value(QStringLiteral("documentations")).toList())
        if (kcIdText(stored.toMap().value(QStringLiteral("id"))) == recordID)
            return true;
    return false;
}

DocumentationUploadQueue::Sender clinicDocumentationSender() {
    return [](const DocumentationUploadQueue::Entry &entry, DocumentationUploadQueue::Done done) -> Cancel {
        const QVariantMap envelope{
            {QStringLiteral("0"), QVariantMap{{QStringLiteral("Documentation"), entry.record}}}};
        const QString id = kcIdText(entry.record.value(QStringLiteral("id")));
        return DocumentationUploadQueue::inBackground([envelope, id, done]() -> Cancel {
            KelvraAPIClient *client = KelvraAPIClient::sharedKelvraAPIClient();
            const KCURLSessionTaskPtr task = client->POST(
                QStringLiteral("documentations/"), envelope,
                [done, id](const KCURLSessionTaskPtr &, const QVariant &answer) {
                    done(kcClinicAnswerConfirms(answer, id)
                             ? Outcome::filed()
                             : Outcome::failed(QStringLiteral("the clinic service did not confirm that it "
                                                              "stored the documentation")));
                },
                [done](const KCURLSessionTaskPtr &task, const KCError &error) {
                    const std::optional<KCHTTPURLResponse> response = task ? task->response() : std::nullopt;
                    const int status = response ? int(response->statusCode()) : 0;
                    if (status >= 400 && status < 500) {
                        const QString message =
                            QStringLiteral("the clinic service answered HTTP %1").arg(status);
                        done(kcIsFinalRefusal(status) ? Outcome::refusedFor(message)
                                                      : Outcome::unreachable(message));
                        return;
                    }
                    // No answer, or a gateway's: the service is not there now.
                    const bool answered = status > 0 && status != 502 && status != 503 && status != 504;
                    done(answered ? Outcome::failed(describe(error))
                                  : Outcome::unreachable(describe(error), true));
                });
            if (!task)
                return {};
            return [task] { task->cancel(); };
        });
    };
}

DocumentationUploadQueue::Sender emrDocumentationSender(KCPatientListSource patients) {
    return [patients](const DocumentationUploadQueue::Entry &entry,
                      DocumentationUploadQueue::Done done) -> Cancel {
        const std::shared_ptr<EMRAPIDelegate> emr = EMRAPIClient::sharedEMRAPIClient().delegate();
        if (!emr || !emr->respondsToFileDocument()) {
            done(Outcome::unreachable(QStringLiteral("the clinic's EMR is not connected")));
            return {};
        }
        const std::optional<QVariantList> today = patients ? patients() : std::nullopt;
        if (!today) {
            done(Outcome::unreachable(QStringLiteral("waiting for today's patient list")));
            return {};
        }
        const std::optional<QVariantMap> patient = kcPatientWithIds(*today, entry.patient);
        if (!patient) {
            // Never another patient's chart: without the listed patient
            // there is no name and date of birth to file it with.
            done(Outcome::failed(QStringLiteral("the patient of this capture is not on today's patient list, "
                                                "so it cannot be filed in the chart; it is kept (Save image… "
                                                "to file it by hand)"),
                                 false));
            return {};
        }
        const QVariantMap record = entry.record;
        const bool lookFirst = entry.mayHaveReached;
        return DocumentationUploadQueue::inBackground([emr, record, appointment = *patient, lookFirst, done] {
            return emr->fileDocument(record, appointment, QStringLiteral("image"), lookFirst,
                                     [done](const EMRFilingOutcome &outcome) {
                                         switch (outcome.kind) {
                                         case EMRFilingOutcome::Filed:
                                             done(Outcome::filed());
                                             break;
                                         case EMRFilingOutcome::Refused:
                                             done(Outcome::refusedFor(outcome.error));
                                             break;
                                         case EMRFilingOutcome::Failed:
                                             // What certainly did not reach the EHR (no token,
                                             // no connection, busy) holds its other records too.
                                             done(outcome.reached ? Outcome::failed(outcome.error)
                                                                  : Outcome::unreachable(outcome.error));
                                             break;
                                         }
                                     });
        });
    };
}

DocumentationUploadQueue::Account kcCurrentUploadAccount(bool signedIn) {
    DocumentationUploadQueue::Account account;
    if (!signedIn)
        return account;
    KelvraAPIClient *client = KelvraAPIClient::sharedKelvraAPIClient();
    account.user = client->loggedInUserUsername();
    account.service = client->baseURL().toString();
    if (const std::shared_ptr<EMRAPIDelegate> emr = EMRAPIClient::sharedEMRAPIClient().delegate())
        account.practice = emr->practiceID();
    return account;
}

void kcRetryUploadsWhenReachable(DocumentationUploadQueue *queue) {
    QPointer<DocumentationUploadQueue> guard(queue);
    auto last = std::make_shared<int>(CVNetworkReachabilityStatusUnknown);
    NotificationCenter &center = NotificationCenter::defaultCenter();
    const NotificationCenter::ObserverToken token = center.addObserver(
        CVReachabilityDidChangeNotification, DispatchQueue::main(), [guard, last](const Notification &n) {
            const int status = n.userInfo.value(CVReachabilityNotificationStatusItem).toInt();
            const bool back = *last == CVNetworkReachabilityStatusNotReachable &&
                              (status == CVNetworkReachabilityStatusReachableViaWWAN ||
                               status == CVNetworkReachabilityStatusReachableViaWiFi);
            *last = status;
            if (back && guard)
                guard->retryNow();
        });
    QObject::connect(queue, &QObject::destroyed,
                     [token] { NotificationCenter::defaultCenter().removeObserver(token); });
}
