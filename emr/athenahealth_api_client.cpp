#include "emr/athenahealth_api_client.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QMutexLocker>
#include <QSettings>

#include "emr/athenahealth_fields.h"
#include "emr/emr_document_file.h"
#include "http/multipart.h"
#include "http/secure_url.h"
#include "platform/core/notification_center.h"

Q_LOGGING_CATEGORY(lcAthena, "kelvra.emr.athenahealth")

namespace {

QString text(const QVariant &v) {
    return athenaText(v);
}

QStringList splitList(const QVariant &v) {
    QStringList items;
    for (const QString &item : text(v).split(QLatin1Char(','))) {
        const QString trimmed = item.trimmed();
        if (!trimmed.isEmpty())
            items.append(trimmed);
    }
    return items;
}

// An identifier as one path segment: "/", "?", "#" and the like cannot
// change which resource the request goes to.
QString segment(const QString &id) {
    return QString::fromLatin1(QUrl::toPercentEncoding(id));
}

void failLater(const EMRErrorCallback &error, const KCError &e) {
    if (!error)
        return;
    DispatchQueue::main()->async([error, e] { error(e); });
}

// The user configuration another program of the application group may have
// left in the shared settings: a dictionary, or JSON text of one.
QVariantMap sharedUserPreferences() {
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, QDKelvraClinicSettingsScope);
    const QVariant stored = settings.value(QDUserPreferencesSettingsKey);
    if (stored.metaType().id() == QMetaType::QVariantMap)
        return stored.toMap();
    if (stored.metaType().id() == QMetaType::QString || stored.metaType().id() == QMetaType::QByteArray) {
        const QJsonDocument doc = QJsonDocument::fromJson(stored.toByteArray());
        if (doc.isObject())
            return doc.object().toVariantMap();
    }
    return {};
}

QMutex s_sharedLock;
// The single instance lives to the end of the process: it is never torn
// down during exit, after the queues its session works with are gone.
std::shared_ptr<QDAthenahealthAPIClientForExtension> &s_shared =
    *new std::shared_ptr<QDAthenahealthAPIClientForExtension>();
// Cleared by triggerReset(): the next sharedClient() makes a new instance.
bool s_onceToken = false;

} // namespace

struct QDAthenahealthAPIClientForExtension::UploadJob {
    QString filePath;
    QString fileName;
    QString patientID;
    QVariantMap fields;
    EMRUploadCallback callback;
    EMRErrorCallback error;
    // Instead of the two callbacks: the whole outcome of the upload.
    std::function<void(const std::optional<KCHTTPURLResponse> &, const QVariant &, const KCError &)> finished;
    KCURLSessionTaskPtr task;
    bool cancelled = false;
};

std::shared_ptr<QDAthenahealthAPIClientForExtension> QDAthenahealthAPIClientForExtension::sharedClient() {
    std::shared_ptr<QDAthenahealthAPIClientForExtension> created;
    {
        QMutexLocker locker(&s_sharedLock);
        if (s_onceToken && s_shared)
            return s_shared;
        const QVariantMap preferences = sharedUserPreferences();
        const QVariantMap emrData = preferences.value(QStringLiteral("emrData")).toMap();
        const QString baseURL = text(emrData.value(QStringLiteral("base_url")));
        created = std::make_shared<QDAthenahealthAPIClientForExtension>(QUrl(baseURL));
        {
            QMutexLocker state(&created->m_lock);
            created->m_emrData = emrData;
            created->m_athenaAPIURLString = baseURL;
        }
        created->setSecurityPolicy(CVSecurityPolicy::defaultPolicy());
        s_shared = created;
        s_onceToken = true;
    }
    created->updateAuthStatus();
    return created;
}

void QDAthenahealthAPIClientForExtension::triggerReset() {
    QMutexLocker locker(&s_sharedLock);
    s_onceToken = false;
}

QDAthenahealthAPIClientForExtension::QDAthenahealthAPIClientForExtension(const QUrl &baseURL)
    : CVHTTPSessionManager(baseURL) {
    configureHTTP();
}

QDAthenahealthAPIClientForExtension::~QDAthenahealthAPIClientForExtension() = default;

void QDAthenahealthAPIClientForExtension::initWithBaseURL(const QUrl &baseURL) {
    QMutexLocker locker(&m_lock);
    CVHTTPSessionManager::initWithBaseURL(baseURL);
    configureHTTP();
    // The new serializer carries the token the client already holds.
    if (!m_authToken.isEmpty())
        setBearerToken(m_authToken);
}

void QDAthenahealthAPIClientForExtension::configureHTTP() {
    QMutexLocker locker(&m_lock);
    auto json = CVJSONResponseSerializer::serializerWithReadingOptions(NSJSONReadingFragmentsAllowed);
    setResponseSerializer(CVCompoundResponseSerializer::compoundSerializerWithResponseSerializers(
        {json, CVHTTPResponseSerializer::serializer()}));
    setRequestSerializer(CVHTTPRequestSerializer::serializer());
    m_ptImageArray.clear();
}

// ---- configuration ----

void QDAthenahealthAPIClientForExtension::setEmrData(const QVariantMap &emrData) {
    QMutexLocker locker(&m_lock);
    m_emrData = emrData;
}

void QDAthenahealthAPIClientForExtension::setKelvraKeychain(const QVariantMap &kelvraKeychain) {
    QMutexLocker locker(&m_lock);
    m_kelvraKeychain = kelvraKeychain;
}

#define KC_LOCKED_GETTER(type, name, member)                                                                 \
    type QDAthenahealthAPIClientForExtension::name() const {                                                 \
        QMutexLocker locker(&m_lock);                                                                        \
        return member;                                                                                       \
    }
KC_LOCKED_GETTER(QVariantMap, emrData, m_emrData)
KC_LOCKED_GETTER(QVariantMap, kelvraKeychain, m_kelvraKeychain)
KC_LOCKED_GETTER(QString, athenaAPIURLString, m_athenaAPIURLString)
KC_LOCKED_GETTER(QString, athenaOAuthURLString, m_athenaOAuthURLString)
KC_LOCKED_GETTER(QString, kAthenaAPIKey, m_apiKey)
KC_LOCKED_GETTER(QString, kAthenaAPISecret, m_apiSecret)
KC_LOCKED_GETTER(QString, practiceID, m_practiceID)
KC_LOCKED_GETTER(QString, selectedDepartmentID, m_selectedDepartmentID)
KC_LOCKED_GETTER(QStringList, selectedProviderIDs, m_selectedProviderIDs)
KC_LOCKED_GETTER(QVariantList, allProvidersArray, m_allProvidersArray)
KC_LOCKED_GETTER(QVariantList, emrRoomDatasource, m_emrRoomDatasource)
KC_LOCKED_GETTER(QVariantList, ptImageArray, m_ptImageArray)
KC_LOCKED_GETTER(QString, authToken, m_authToken)
KC_LOCKED_GETTER(QString, refreshToken, m_refreshToken)
#undef KC_LOCKED_GETTER

void QDAthenahealthAPIClientForExtension::setPtImageArray(const QVariantList &photos) {
    QMutexLocker locker(&m_lock);
    m_ptImageArray = photos;
}

// ---- authorisation ----

void QDAthenahealthAPIClientForExtension::updateAuthStatus() {
    {
        QMutexLocker locker(&m_lock);
        if (m_emrData.isEmpty())
            return;
        m_athenaOAuthURLString = text(m_emrData.value(QStringLiteral("auth_url")));
        m_apiSecret = text(m_emrData.value(QStringLiteral("api_secret")));
        m_apiKey = text(m_emrData.value(QStringLiteral("api_key")));
        m_practiceID = text(m_emrData.value(QStringLiteral("emr_data_1")));

        m_selectedDepartmentID = text(m_kelvraKeychain.value(QStringLiteral("departmentID"))).trimmed();
        if (m_selectedDepartmentID.isEmpty())
            m_selectedDepartmentID =
                splitList(m_kelvraKeychain.value(QStringLiteral("departmentIDs"))).value(0);
        m_selectedProviderIDs = splitList(m_kelvraKeychain.value(QStringLiteral("providerIDs")));
        m_allProvidersArray = m_kelvraKeychain.value(QStringLiteral("allProvidersArray")).toList();
        if (m_emrRoomDatasource.isEmpty())
            m_emrRoomDatasource = QVariantList();
        qCInfo(lcAthena).noquote()
            << QStringLiteral("selectedDepartmentID is %1").arg(m_selectedDepartmentID);

        // Until the token endpoint answers, requests carry no token: neither
        // the configuration's starting token nor the client's credentials.
        requestSerializer()->setValue(QString(), QStringLiteral("Authorization"));
    }
    std::weak_ptr<QDAthenahealthAPIClientForExtension> weak = weak_from_this();
    refreshAthenaAccessToken(
        [weak](const QVariantMap &answer) {
            if (auto self = weak.lock())
                self->storeTokenAnswer(answer);
        },
        [](const KCError &error) {
            qCWarning(lcAthena).noquote()
                << "athenahealth token request failed:" << error.localizedDescription();
        });
}

void QDAthenahealthAPIClientForExtension::setBearerToken(const QString &token) {
    QMutexLocker locker(&m_lock);
    requestSerializer()->setValue(QStringLiteral("Bearer %1").arg(token), QStringLiteral("Authorization"));
}

void QDAthenahealthAPIClientForExtension::storeTokenAnswer(const QVariantMap &answer) {
    QMutexLocker locker(&m_lock);
    m_refreshTokenInProgress = false;
    m_authToken = text(answer.value(QStringLiteral("access_token")));
    m_refreshToken = text(answer.value(QStringLiteral("refresh_token")));
    setBearerToken(m_authToken);
}

void QDAthenahealthAPIClientForExtension::forgetCredentials() {
    QMutexLocker locker(&m_lock);
    ++m_credentialEpoch;
    m_emrData.clear();
    m_kelvraKeychain.clear();
    m_athenaOAuthURLString.clear();
    m_apiKey.clear();
    m_apiSecret.clear();
    m_practiceID.clear();
    m_authToken.clear();
    m_refreshToken.clear();
    m_ptImageArray.clear();
    m_refreshTokenInProgress = false;
    requestSerializer()->setValue(QString(), QStringLiteral("Authorization"));
}

void QDAthenahealthAPIClientForExtension::refreshAthenaAccessToken(TokenCallback callback,
                                                                   EMRErrorCallback error) {
    std::optional<KCURLRequest> request;
    KCError buildError;
    const quint64 epoch = m_credentialEpoch;
    {
        QMutexLocker locker(&m_lock);
        if (m_athenaOAuthURLString.isEmpty()) {
            failLater(error, makeEMRError(KCEMRErrorNotConfigured,
                                          QStringLiteral("No athenahealth token URL is configured.")));
            return;
        }
        // The secret goes to the token URL and the token to the base URL:
        // neither may cross the network in clear.
        QString insecure = kcInsecureURLProblem(QUrl(m_athenaOAuthURLString),
                                                QStringLiteral("The athenahealth token URL (auth_url)"),
                                                QStringLiteral("the EMR client secret"));
        if (insecure.isEmpty() && !baseURL().isEmpty())
            insecure = kcInsecureURLProblem(baseURL(), QStringLiteral("The athenahealth URL (base_url)"),
                                            QStringLiteral("the EMR access token and patient documents"));
        if (!insecure.isEmpty()) {
            failLater(error, makeEMRError(KCEMRErrorInsecureURL, insecure));
            return;
        }
        // The client's credentials go on the token request only, never into
        // the defaults that every API request is built with.
        std::shared_ptr<CVHTTPRequestSerializer> serializer = requestSerializer()->copy();
        serializer->setAuthorizationHeaderFieldWithUsername(m_apiKey, m_apiSecret);
        request = serializer->requestWithMethod(
            QStringLiteral("POST"), m_athenaOAuthURLString,
            QVariantMap{{QStringLiteral("grant_type"), QStringLiteral("client_credentials")}}, &buildError);
    }
    if (!request) {
        failLater(error, buildError);
        return;
    }
    // Not through this client's answer interception: a refused token request
    // must reach its caller rather than start another token request.
    std::weak_ptr<QDAthenahealthAPIClientForExtension> weak = weak_from_this();
    KCURLSessionTaskPtr task = CVHTTPSessionManager::dataTaskWithRequest(
        *request, [weak, epoch, callback, error](const std::optional<KCHTTPURLResponse> &,
                                                 const QVariant &answer, const KCError &failure) {
            auto self = weak.lock();
            if (self && self->m_credentialEpoch != epoch) {
                if (error)
                    error(makeEMRError(
                        KCEMRErrorSignedOut,
                        QStringLiteral("Signed out while the athenahealth token was requested.")));
                return;
            }
            if (failure) {
                if (error)
                    error(failure);
                return;
            }
            const QVariantMap map = answer.toMap();
            if (text(map.value(QStringLiteral("access_token"))).isEmpty()) {
                if (error)
                    error(
                        makeEMRError(KCEMRErrorNotConfigured,
                                     QStringLiteral("The athenahealth token answer holds no access token.")));
                return;
            }
            if (callback)
                callback(map);
        });
    if (task)
        task->resume();
}

void QDAthenahealthAPIClientForExtension::getAthenaAccessToken(TokenCallback callback) {
    refreshAthenaAccessToken(std::move(callback), nullptr);
}

KCURLSessionTaskPtr QDAthenahealthAPIClientForExtension::dataTaskWithRequest(
    const KCURLRequest &request, CVURLSessionTaskCompletionHandler completionHandler) {
    std::weak_ptr<QDAthenahealthAPIClientForExtension> weak = weak_from_this();
    return CVHTTPSessionManager::dataTaskWithRequest(
        request, [weak, request, completionHandler](const std::optional<KCHTTPURLResponse> &response,
                                                    const QVariant &object, const KCError &error) {
            auto self = weak.lock();
            const qint64 status = response ? response->statusCode() : 0;
            auto deliver = [&] {
                if (completionHandler)
                    completionHandler(response, object, error);
            };
            if (!self) {
                deliver();
                return;
            }
            if ((status == 401 || status == 403) && !self->m_refreshTokenInProgress.exchange(true)) {
                // Renew once and repeat the request with the new token; the
                // repeat's outcome is what the caller sees.
                self->refreshAthenaAccessToken(
                    [weak, request, completionHandler](const QVariantMap &answer) {
                        auto self = weak.lock();
                        if (!self)
                            return;
                        self->storeTokenAnswer(answer);
                        KCURLRequest repeat = request;
                        repeat.setValue(QStringLiteral("Bearer %1").arg(self->authToken()),
                                        QStringLiteral("Authorization"));
                        if (auto task =
                                self->CVHTTPSessionManager::dataTaskWithRequest(repeat, completionHandler))
                            task->resume();
                    },
                    [weak, response, object, error, completionHandler](const KCError &) {
                        // Without a new token the refusal stands: the caller
                        // gets it, and the next refusal may try again.
                        if (auto self = weak.lock())
                            self->m_refreshTokenInProgress = false;
                        if (completionHandler)
                            completionHandler(response, object, error);
                    });
                return;
            }
            deliver();
        });
}

void QDAthenahealthAPIClientForExtension::observeValueForKeyPath(const QString &keyPath,
                                                                 const KCProgress &progress) {
    if (keyPath != QLatin1String("fractionCompleted"))
        return;
    NotificationCenter::defaultCenter().postNotification(
        QDUploadProgressNotification,
        {{QDAthenaUploadProgressKey, QVariant::fromValue(float(progress.fractionCompleted()))}});
}

// ---- chart operations ----

bool QDAthenahealthAPIClientForExtension::failWithoutPractice(const EMRErrorCallback &error) const {
    if (!practiceID().isEmpty())
        return false;
    failLater(error, makeEMRError(KCEMRErrorNotConfigured,
                                  QStringLiteral("No athenahealth practice is configured.")));
    return true;
}

std::shared_ptr<QDAthenahealthAPIClientForExtension::UploadJob>
QDAthenahealthAPIClientForExtension::prepareUpload(const QVariantMap &documentation, const QVariantMap &entry,
                                                   const QVariantMap &appointmentInfo,
                                                   const QString &fileType, KCError *error) const {
    const QString appointmentID = text(appointmentInfo.value(QStringLiteral("ClinicPatientDeviceAssignment"))
                                           .toMap()
                                           .value(QStringLiteral("emr_appointment_id")));
    const QString patientID = text(appointmentInfo.value(QStringLiteral("emr_patient_id")));
    const QString appointmentDepartment = text(appointmentInfo.value(QStringLiteral("department_id")));
    const QVariant content = entry.value(QStringLiteral("content"));
    const QString entryID = text(entry.value(QStringLiteral("id")));
    KCError &e = *error;
    if (practiceID().isEmpty()) {
        e = makeEMRError(KCEMRErrorNotConfigured, QStringLiteral("No athenahealth practice is configured."));
        return nullptr;
    }
    if (patientID.isEmpty()) {
        e = makeEMRError(KCEMRErrorMissingDocumentField,
                         QStringLiteral("The patient has no athenahealth id; the document is not filed."));
        return nullptr;
    }
    const QString fileName = emrDocumentFileNameForID(entryID, &e);
    if (fileName.isEmpty())
        return nullptr;
    const QVariantMap fields =
        athenaDocumentFields({entryID, text(documentation.value(QStringLiteral("encounter_note"))),
                              appointmentID, appointmentDepartment, selectedDepartmentID()},
                             &e);
    if (fields.isEmpty())
        return nullptr;
    const auto decoded = QByteArray::fromBase64Encoding(content.toString().toLatin1(),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (content.metaType().id() != QMetaType::QString || !decoded) {
        e = makeEMRError(KCEMRErrorUndecodableContent,
                         QStringLiteral("The content of document %1 is not Base64 text.").arg(entryID));
        return nullptr;
    }
    QByteArray bytes = *decoded;
    if (fileType == QLatin1String("image")) {
        const QImage image = QImage::fromData(bytes);
        if (image.isNull()) {
            e = makeEMRError(KCEMRErrorUndecodableContent,
                             QStringLiteral("The content of document %1 is not an image.").arg(entryID));
            return nullptr;
        }
        bytes = emrRenderImagePDF(image, &e);
        if (bytes.isEmpty())
            return nullptr;
    }
    const QString folder = emrDocumentsDirectory(&e);
    if (folder.isEmpty())
        return nullptr;
    const QString path = QDir(folder).filePath(fileName);
    e = emrWriteDocumentFile(path, bytes);
    if (e)
        return nullptr;
    auto job = std::make_shared<UploadJob>();
    job->filePath = path;
    job->fileName = fileName;
    job->patientID = patientID;
    job->fields = fields;
    return job;
}

void QDAthenahealthAPIClientForExtension::uploadDocumentation(const QVariantList &documents,
                                                              const QVariantMap &appointmentInfo,
                                                              const QString &fileType,
                                                              EMRUploadCallback callback,
                                                              EMRErrorCallback error) {
    for (const QVariant &record : documents) {
        const QVariantMap documentation = record.toMap();
        for (const QVariant &entryValue : documentation.value(QStringLiteral("Upload")).toList()) {
            const QVariantMap entry = entryValue.toMap();
            if (!athenaIsPresent(entry.value(QStringLiteral("content"))))
                continue;
            KCError e;
            const std::shared_ptr<UploadJob> job =
                prepareUpload(documentation, entry, appointmentInfo, fileType, &e);
            if (!job) {
                failLater(error, e);
                continue;
            }
            job->callback = callback;
            job->error = error;
            startUpload(job);
        }
    }
}

QString QDAthenaCaptureMark(const QString &entryID) {
    return QStringLiteral("[KelvraCapture %1]").arg(entryID);
}

namespace {

// Whether a refusal of the EMR can be mended by sending the same request
// again later (sign-in, time-outs and rate limits).
bool retryableStatus(qint64 status) {
    return status == 401 || status == 403 || status == 408 || status == 429;
}

QString answerDetail(const QVariant &answer) {
    const QVariantMap map = answer.toMap();
    for (const char *key : {"detailedmessage", "error_description", "error", "message"}) {
        const QString detail = athenaText(map.value(QLatin1String(key)));
        if (!detail.isEmpty())
            return detail;
    }
    return QString();
}

// What the EMR answered, shortened to one line for a message: its JSON, or
// the start of any other body (a proxy's page, say).
QString answerExcerpt(const QVariant &answer) {
    QString text;
    if (answer.typeId() == QMetaType::QByteArray)
        text = QString::fromUtf8(answer.toByteArray());
    else if (answer.isValid() && !answer.isNull())
        text = QString::fromUtf8(QJsonDocument::fromVariant(answer).toJson(QJsonDocument::Compact));
    text = text.simplified();
    if (text.isEmpty())
        return QStringLiteral("an empty answer");
    constexpr int kMost = 200;
    return text.size() > kMost ? text.left(kMost) + QStringLiteral("…") : text;
}

} // namespace

struct QDAthenahealthAPIClientForExtension::FilingAttempt {
    std::shared_ptr<UploadJob> job;
    QString mark;
    QString department;
    EMRFilingCallback done;
    bool finished = false;
    void report(const EMRFilingOutcome &outcome) {
        if (finished)
            return;
        finished = true;
        // However the attempt ended, the chart's PDF does not stay here.
        // The job's handler holds this attempt: dropping it ends the cycle
        // (callers run a copy of the handler).
        if (job) {
            emrRemoveDocumentFile(job->filePath);
            job->finished = nullptr;
        }
        if (done)
            done(outcome);
    }
};

EMRFilingCancel QDAthenahealthAPIClientForExtension::fileDocument(const QVariantMap &record,
                                                                  const QVariantMap &appointmentInfo,
                                                                  const QString &fileType, bool lookFirst,
                                                                  EMRFilingCallback done) {
    auto attempt = std::make_shared<FilingAttempt>();
    attempt->done = std::move(done);
    auto reportLater = [attempt](const EMRFilingOutcome &outcome) {
        DispatchQueue::main()->async([attempt, outcome] { attempt->report(outcome); });
    };
    const QVariantList entries = record.value(QStringLiteral("Upload")).toList();
    const QVariantMap entry = entries.value(0).toMap();
    if (entries.size() != 1 || !athenaIsPresent(entry.value(QStringLiteral("content")))) {
        reportLater({EMRFilingOutcome::Refused, QString(),
                     QStringLiteral("The document must hold exactly one upload with content."), false});
        return {};
    }
    KCError e;
    attempt->job = prepareUpload(record, entry, appointmentInfo, fileType, &e);
    if (!attempt->job) {
        // What the configuration or the disk may mend later is retried; a
        // document that can never be filed as it is waits for the user.
        const bool later = e.code() == KCEMRErrorNotConfigured || e.code() == KCEMRErrorFileNotWritten;
        reportLater({later ? EMRFilingOutcome::Failed : EMRFilingOutcome::Refused, QString(),
                     e.localizedDescription(), false});
        return {};
    }
    // The mark lets a later attempt find the document in the chart.
    const QString entryID = text(entry.value(QStringLiteral("id")));
    attempt->mark = QDAthenaCaptureMark(entryID);
    const QString note = text(attempt->job->fields.value(QStringLiteral("internalnote")));
    attempt->job->fields.insert(QStringLiteral("internalnote"),
                                note.isEmpty() ? attempt->mark : note + QLatin1Char(' ') + attempt->mark);
    attempt->department = text(attempt->job->fields.value(QStringLiteral("departmentid")));
    attempt->job->finished = [attempt](const std::optional<KCHTTPURLResponse> &response,
                                       const QVariant &answer, const KCError &error) {
        const qint64 status = response ? response->statusCode() : 0;
        if (error) {
            QString detail = answerDetail(answer);
            if (detail.isEmpty() && status > 0)
                detail = answerExcerpt(answer); // a proxy's page, say
            QString message = status > 0 ? QStringLiteral("the EMR answered HTTP %1").arg(status)
                                         : error.localizedDescription();
            if (!detail.isEmpty())
                message += QStringLiteral(": ") + detail;
            if (status >= 400 && status < 500)
                attempt->report(
                    {retryableStatus(status) ? EMRFilingOutcome::Failed : EMRFilingOutcome::Refused,
                     QString(), message, false});
            else
                attempt->report({EMRFilingOutcome::Failed, QString(), message, true});
            return;
        }
        const QString documentID = text(answer.toMap().value(QStringLiteral("documentid")));
        if (status >= 200 && status < 300 && !documentID.isEmpty())
            attempt->report({EMRFilingOutcome::Filed, documentID, QString(), true});
        else
            attempt->report({EMRFilingOutcome::Failed, QString(),
                             QStringLiteral("the EMR's answer (HTTP %1) names no new document: %2")
                                 .arg(status)
                                 .arg(answerExcerpt(answer)),
                             true});
    };

    std::weak_ptr<QDAthenahealthAPIClientForExtension> weak = weak_from_this();
    refreshAthenaAccessToken(
        [weak, attempt, lookFirst](const QVariantMap &answer) {
            auto self = weak.lock();
            if (!self || attempt->job->cancelled) {
                attempt->report({EMRFilingOutcome::Failed, QString(), QStringLiteral("cancelled"), false});
                return;
            }
            self->storeTokenAnswer(answer);
            const QString token = text(answer.value(QStringLiteral("access_token")));
            if (lookFirst)
                self->lookForFiledDocument(attempt, token, 0);
            else
                self->sendUpload(attempt->job, token);
        },
        [attempt](const KCError &error) {
            attempt->report({EMRFilingOutcome::Failed, QString(),
                             QStringLiteral("no athenahealth token: %1").arg(error.localizedDescription()),
                             false});
        });
    return [attempt] {
        attempt->job->cancelled = true;
        if (attempt->job->task)
            attempt->job->task->cancel();
        // A discarded record leaves no chart PDF behind, whether or not an
        // answer still comes (nothing reads the file once cancelled).
        emrRemoveDocumentFile(attempt->job->filePath);
    };
}

void QDAthenahealthAPIClientForExtension::lookForFiledDocument(const std::shared_ptr<FilingAttempt> &attempt,
                                                               const QString &token, int offset) {
    constexpr int kPage = 500;
    std::weak_ptr<QDAthenahealthAPIClientForExtension> weak = weak_from_this();
    const QVariantMap query{{QStringLiteral("departmentid"), attempt->department},
                            {QStringLiteral("offset"), QString::number(offset)},
                            {QStringLiteral("limit"), QString::number(kPage)}};
    getAnswer(
        QStringLiteral("%1/patients/%2/documents")
            .arg(segment(practiceID()), segment(attempt->job->patientID)),
        query,
        [weak, attempt, token, offset](const QVariant &answer) {
            auto self = weak.lock();
            if (!self || attempt->job->cancelled) {
                attempt->report({EMRFilingOutcome::Failed, QString(), QStringLiteral("cancelled"), true});
                return;
            }
            const QVariantMap map = answer.toMap();
            if (!map.contains(QStringLiteral("documents"))) {
                attempt->report({EMRFilingOutcome::Failed, QString(),
                                 QStringLiteral("the chart's document list could not be read"), true});
                return;
            }
            const QVariantList documents = map.value(QStringLiteral("documents")).toList();
            for (const QVariant &d : documents) {
                const QVariantMap document = d.toMap();
                if (text(document.value(QStringLiteral("internalnote"))).contains(attempt->mark)) {
                    attempt->report({EMRFilingOutcome::Filed,
                                     text(document.value(QStringLiteral("documentid"))), QString(), true});
                    return;
                }
            }
            const qint64 total = map.value(QStringLiteral("totalcount")).toLongLong();
            if (!documents.isEmpty() && offset + documents.size() < total)
                self->lookForFiledDocument(attempt, token, offset + int(documents.size()));
            else
                self->sendUpload(attempt->job, self->authToken());
        },
        [attempt](const KCError &error) {
            attempt->report(
                {EMRFilingOutcome::Failed, QString(),
                 QStringLiteral("the chart could not be searched: %1").arg(error.localizedDescription()),
                 true});
        });
}

void QDAthenahealthAPIClientForExtension::startUpload(const std::shared_ptr<UploadJob> &job) {
    // Each document gets a token of its own, so an expired one never
    // stands in the way.
    std::weak_ptr<QDAthenahealthAPIClientForExtension> weak = weak_from_this();
    refreshAthenaAccessToken(
        [weak, job](const QVariantMap &answer) {
            auto self = weak.lock();
            if (!self)
                return;
            self->storeTokenAnswer(answer);
            self->sendUpload(job, text(answer.value(QStringLiteral("access_token"))));
        },
        [job](const KCError &e) {
            emrRemoveDocumentFile(job->filePath);
            if (job->error)
                job->error(e);
        });
}

void QDAthenahealthAPIClientForExtension::sendUpload(const std::shared_ptr<UploadJob> &job,
                                                     const QString &token) {
    const QUrl base = baseURL();
    const QString url =
        QStringLiteral("%1%2/patients/%3/documents")
            .arg(base.toString(QUrl::FullyEncoded), segment(practiceID()), segment(job->patientID));
    KCError fileError;
    KCError buildError;
    std::optional<KCURLRequest> request;
    {
        QMutexLocker locker(&m_lock);
        request = requestSerializer()->multipartFormRequestWithMethod(
            QStringLiteral("POST"), url, job->fields,
            [&](CVStreamingMultipartFormData &form) {
                form.appendPartWithFileURL(QUrl::fromLocalFile(job->filePath),
                                           QStringLiteral("attachmentcontents"), job->fileName,
                                           QStringLiteral("application/pdf"), &fileError);
            },
            &buildError);
    }
    if (!request || fileError || job->cancelled) {
        const KCError e = fileError    ? fileError
                          : buildError ? buildError
                                       : makeEMRError(KCEMRErrorFileNotWritten, QStringLiteral("cancelled"));
        if (const auto finished = job->finished)
            finished(std::nullopt, QVariant(), e);
        else if (job->error)
            job->error(e);
        return;
    }
    request->setValue(QStringLiteral("Bearer %1").arg(token), QStringLiteral("Authorization"));

    std::weak_ptr<QDAthenahealthAPIClientForExtension> weak = weak_from_this();
    auto observer = std::make_shared<std::pair<KCProgressPtr, KCProgress::ObserverToken>>();
    KCProgressPtr progress;
    KCURLSessionTaskPtr task =
        uploadTaskWithStreamedRequest(*request, &progress,
                                      [job, observer](const std::optional<KCHTTPURLResponse> &response,
                                                      const QVariant &answer, const KCError &error) {
                                          // The EMR has answered: no copy stays on this computer.
                                          emrRemoveDocumentFile(job->filePath);
                                          if (observer->first)
                                              observer->first->removeObserver(observer->second);
                                          if (const auto finished = job->finished) {
                                              finished(response, answer, error);
                                          } else if (error) {
                                              if (job->error)
                                                  job->error(error);
                                          } else if (job->callback) {
                                              job->callback(response.value_or(KCHTTPURLResponse()));
                                          }
                                      });
    if (!task) {
        const KCError e =
            makeEMRError(KCEMRErrorFileNotWritten, QStringLiteral("The document upload could not start."));
        if (const auto finished = job->finished)
            finished(std::nullopt, QVariant(), e);
        else if (job->error)
            job->error(e);
        return;
    }
    job->task = task;
    task->resume();
    if (progress) {
        observer->first = progress;
        observer->second =
            progress->addObserver(QStringLiteral("fractionCompleted"), [weak](const KCProgress &p) {
                if (auto self = weak.lock())
                    self->observeValueForKeyPath(QStringLiteral("fractionCompleted"), p);
            });
    }
}

QString QDAthenahealthAPIClientForExtension::encounterPathForPatient(const QString &patientID,
                                                                     const QString &providerID,
                                                                     const QDate &day) const {
    return QStringLiteral("%1/chart/%2/encounters?%3")
        .arg(segment(practiceID()), segment(patientID),
             athenaEncounterQuery(selectedDepartmentID(), providerID, day));
}

void QDAthenahealthAPIClientForExtension::getAnswer(const QString &path, const KCParameters &parameters,
                                                    AnswerCallback callback, EMRErrorCallback error) {
    QMutexLocker locker(&m_lock);
    const QString insecure =
        kcInsecureURLProblem(baseURL(), QStringLiteral("The athenahealth URL (base_url)"),
                             QStringLiteral("the EMR access token and patient data"));
    if (!insecure.isEmpty()) {
        failLater(error, makeEMRError(KCEMRErrorInsecureURL, insecure));
        return;
    }
    GET(
        path, parameters,
        [callback](const KCURLSessionTaskPtr &, const QVariant &answer) {
            if (callback)
                callback(answer);
        },
        [error](const KCURLSessionTaskPtr &, const KCError &e) {
            if (error)
                error(e);
        });
}

void QDAthenahealthAPIClientForExtension::getEncounterIDForPatient(const QString &patientID,
                                                                   const QString &providerID,
                                                                   AnswerCallback callback,
                                                                   EMRErrorCallback error) {
    if (failWithoutPractice(error))
        return;
    getAnswer(encounterPathForPatient(patientID, providerID, QDate::currentDate()), std::nullopt,
              std::move(callback), std::move(error));
}

void QDAthenahealthAPIClientForExtension::searchForPatient(const QString &term, PatientsCallback callback,
                                                           EMRErrorCallback error) {
    if (failWithoutPractice(error))
        return;
    std::weak_ptr<QDAthenahealthAPIClientForExtension> weak = weak_from_this();
    getAnswer(
        QStringLiteral("%1/patients/search").arg(segment(practiceID())),
        QVariantMap{{QStringLiteral("searchterm"), term}},
        [weak, callback](const QVariant &answer) {
            auto self = weak.lock();
            const QVariantList photos = self ? self->ptImageArray() : QVariantList();
            QVariantList patients;
            for (const QVariant &p : answer.toMap().value(QStringLiteral("patients")).toList())
                patients.append(athenaPatientFromSearchAnswer(p.toMap(), photos));
            if (callback)
                callback(patients);
        },
        std::move(error));
}

void QDAthenahealthAPIClientForExtension::getProfilePictureForPatient(const QString &patientID,
                                                                      AnswerCallback callback,
                                                                      EMRErrorCallback error) {
    if (failWithoutPractice(error))
        return;
    getAnswer(
        QStringLiteral("%1/patients/%2/photo?jpegoutput=true").arg(segment(practiceID()), segment(patientID)),
        std::nullopt, std::move(callback), std::move(error));
}
