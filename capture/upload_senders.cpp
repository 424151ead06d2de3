#include "capture/upload_senders.h"

#include "clinic/kelvra_api_client.h"
#include "emr/emr_api_client.h"

using Outcome = DocumentationUploadQueue::Outcome;

static QString describe(const KCError &error) {
    const QString text = error.localizedDescription();
    return text.isEmpty() ? QStringLiteral("%1 %2").arg(error.domain()).arg(error.code()) : text;
}

static QString idText(const QVariant &value) {
    if (value.metaType().id() == QMetaType::Double)
        return QString::number(value.toDouble(), 'g', 17);
    return value.toString();
}

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
        if (idText(stored.toMap().value(QStringLiteral("id"))) == recordID)
            return true;
    return false;
}

DocumentationUploadQueue::Sender clinicDocumentationSender() {
    return [](const DocumentationUploadQueue::Entry &entry,
              DocumentationUploadQueue::Done done) -> DocumentationUploadQueue::Cancel {
        const QVariantMap envelope{
            {QStringLiteral("0"), QVariantMap{{QStringLiteral("Documentation"), entry.record}}}};
        const QString id = idText(entry.record.value(QStringLiteral("id")));
        KelvraAPIClient *client = KelvraAPIClient::sharedKelvraAPIClient();
        const KCURLSessionTaskPtr task = client->POST(
            QStringLiteral("documentations/"), envelope,
            [done, id](const KCURLSessionTaskPtr &, const QVariant &answer) {
                done(kcClinicAnswerConfirms(answer, id)
                         ? Outcome::filed()
                         : Outcome::failed(QStringLiteral("the clinic service did not confirm that it stored "
                                                          "the documentation")));
            },
            [done](const KCURLSessionTaskPtr &task, const KCError &error) {
                const std::optional<KCHTTPURLResponse> response = task ? task->response() : std::nullopt;
                const int status = response ? int(response->statusCode()) : 0;
                if (status >= 400 && status < 500) {
                    const QString message = QStringLiteral("the clinic service answered HTTP %1").arg(status);
                    done(kcIsFinalRefusal(status) ? Outcome::refusedFor(message)
                                                  : Outcome::failed(message, false));
                    return;
                }
                done(Outcome::failed(describe(error)));
            });
        if (!task)
            return {};
        return [task] { task->cancel(); };
    };
}

DocumentationUploadQueue::Sender emrDocumentationSender() {
    return [](const DocumentationUploadQueue::Entry &entry,
              DocumentationUploadQueue::Done done) -> DocumentationUploadQueue::Cancel {
        const std::shared_ptr<EMRAPIDelegate> emr = EMRAPIClient::sharedEMRAPIClient().delegate();
        if (!emr || !emr->respondsToFileDocument()) {
            done(Outcome::failed(QStringLiteral("the clinic's EMR is not connected"), false));
            return {};
        }
        return emr->fileDocument(entry.record, entry.appointmentInfo, QStringLiteral("image"),
                                 entry.mayHaveReached, [done](const EMRFilingOutcome &outcome) {
                                     switch (outcome.kind) {
                                     case EMRFilingOutcome::Filed:
                                         done(Outcome::filed());
                                         break;
                                     case EMRFilingOutcome::Refused:
                                         done(Outcome::refusedFor(outcome.error));
                                         break;
                                     case EMRFilingOutcome::Failed:
                                         done(Outcome::failed(outcome.error, outcome.reached));
                                         break;
                                     }
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
