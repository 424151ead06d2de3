#include "capture/upload_senders.h"

#include "clinic/kelvra_api_client.h"
#include "emr/emr_api_client.h"

static QString describe(const KCError &error) {
    const QString text = error.localizedDescription();
    return text.isEmpty() ? QStringLiteral("%1 %2").arg(error.domain()).arg(error.code()) : text;
}

DocumentationUploadQueue::Sender clinicDocumentationSender() {
    return [](const DocumentationUploadQueue::Entry &entry, DocumentationUploadQueue::Done done) {
        const QVariantMap envelope{
            {QStringLiteral("0"), QVariantMap{{QStringLiteral("Documentation"), entry.record}}}};
        KelvraAPIClient *client = KelvraAPIClient::sharedKelvraAPIClient();
        const auto task = client->POST(
            QStringLiteral("documentations/"), envelope,
            [done](const KCURLSessionTaskPtr &, const QVariant &) { done(QString()); },
            [done](const KCURLSessionTaskPtr &, const KCError &error) { done(describe(error)); });
        Q_UNUSED(task);
    };
}

DocumentationUploadQueue::Sender emrDocumentationSender() {
    return [](const DocumentationUploadQueue::Entry &entry, DocumentationUploadQueue::Done done) {
        const std::shared_ptr<EMRAPIDelegate> emr = EMRAPIClient::sharedEMRAPIClient().delegate();
        if (!emr || !emr->respondsToUploadDocumentation()) {
            done(QStringLiteral("the clinic's EMR is not connected"));
            return;
        }
        emr->uploadDocumentation(
            QVariantList{entry.record}, entry.appointmentInfo, QStringLiteral("image"),
            [done](const KCHTTPURLResponse &response) {
                const qint64 status = response.statusCode();
                done(status >= 200 && status < 300 ? QString()
                                                   : QStringLiteral("the EMR answered HTTP %1").arg(status));
            },
            [done](const KCError &error) { done(describe(error)); });
    };
}
