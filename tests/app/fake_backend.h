#pragma once
// An AppBackend whose clinic service answers from memory, on the process-wide
// background queue like the real client, and which records every call.

#include "app/app_backend.h"
#include "emr/emr_api_delegate.h"
#include "platform/core/dispatch.h"

#include <QImage>
#include <QMutex>
#include <QStringList>

#include <atomic>

class FakeEMRClient : public EMRAPIDelegate {
public:
    void setKelvraKeychain(const QVariantMap &) override {}
    void setEmrData(const QVariantMap &) override {}
    void updateAuthStatus() override {}
    void initWithBaseURL(const QUrl &baseURL) override {
        QMutexLocker lock(&mutex);
        baseURLs.append(baseURL);
    }
    QList<QUrl> initialisedWith() const {
        QMutexLocker lock(&mutex);
        return baseURLs;
    }

private:
    mutable QMutex mutex;
    QList<QUrl> baseURLs;
};

class FakeBackend : public AppBackend {
public:
    // What the service answers. Empty optional: the request fails (no
    // callback, like the real client).
    QVariantMap loginAnswer{{QStringLiteral("login"), QStringLiteral("pass")},
                            {QStringLiteral("user_id"), 42.0}};
    KCError loginError;
    QVariantMap preferences;
    std::atomic<bool> imagesFail{false};

    std::atomic<int> logins{0}, configurations{0}, assignmentRequests{0}, examRoomRequests{0}, logouts{0},
        emrChecks{0}, emrForgets{0};
    // The sign-out request fails (no callback, like the real client).
    std::atomic<bool> logoutFails{false};
    // What the client would call after a failed silent sign-in.
    std::function<void()> silentSignInFailed;
    std::shared_ptr<FakeEMRClient> emrClient; // the registry's delegate after a check

    void setAssignments(const QVariantList &data) {
        QMutexLocker lock(&mutex);
        assignments = data;
    }
    void setExamRooms(const QVariantList &data) {
        QMutexLocker lock(&mutex);
        examRooms = data;
    }
    QStringList imageRequests() const {
        QMutexLocker lock(&mutex);
        return requestedImages;
    }
    QStringList storedPasswords() const {
        QMutexLocker lock(&mutex);
        return passwords;
    }
    QVariant lastEMRData() const {
        QMutexLocker lock(&mutex);
        return emrData;
    }
    void setAccounts(const QStringList &names) {
        QMutexLocker lock(&mutex);
        accounts = names;
    }

    void loginKelvraWithUsername(const QString &, const QString &, ResponseCallback callback,
                                 FailureCallback failure) override {
        ++logins;
        const QVariantMap answer = loginAnswer;
        const KCError error = loginError;
        later([=] { error.isNull() ? callback(answer) : failure(error); });
    }
    void getUserConfigurationWithCallback(ResponseCallback callback) override {
        ++configurations;
        later([callback] { callback(QVariantMap{{QStringLiteral("data"), QVariant::fromValue(nullptr)}}); });
    }
    std::optional<QVariantMap> userPreferences() const override { return preferences; }
    void getPatientAssignmentsForToday(ResponseCallback callback) override {
        ++assignmentRequests;
        QVariantList data;
        {
            QMutexLocker lock(&mutex);
            data = assignments;
        }
        later([callback, data] { callback(QVariantMap{{QStringLiteral("data"), data}}); });
    }
    void getImageWithUploadID(const QString &uploadID, qint32 width, qint32 height,
                              ResponseCallback onSuccess) override {
        {
            QMutexLocker lock(&mutex);
            requestedImages.append(QStringLiteral("%1/%2/%3").arg(uploadID).arg(width).arg(height));
        }
        if (imagesFail)
            return;
        later([onSuccess] {
            QImage image(4, 4, QImage::Format_ARGB32);
            image.fill(Qt::red);
            onSuccess(image);
        });
    }
    void retrieveExamRooms(ResponseCallback callback) override {
        ++examRoomRequests;
        QVariantList data;
        {
            QMutexLocker lock(&mutex);
            data = examRooms;
        }
        later([callback, data] { callback(QVariantMap{{QStringLiteral("data"), data}}); });
    }
    void logoutKelvraWithCallback(ResponseCallback callback) override {
        ++logouts;
        if (!logoutFails)
            later([callback] { callback(QVariantMap()); });
    }
    void setSilentSignInFailedHandler(std::function<void()> handler) override {
        QMutexLocker lock(&mutex);
        silentSignInFailed = std::move(handler);
    }
    void forgetEMRCredentials() override { ++emrForgets; }
    // Runs the handler as the client would, on a background queue.
    void failSilentSignIn() {
        std::function<void()> handler;
        {
            QMutexLocker lock(&mutex);
            handler = silentSignInFailed;
        }
        if (handler)
            later(handler);
    }
    bool setPassword(const QString &password, const QString &service, const QString &account) override {
        QMutexLocker lock(&mutex);
        passwords.append(service + QLatin1Char('/') + account + QLatin1Char('=') + password);
        return true;
    }
    std::optional<QVariantList> accountsForService(const QString &) override {
        QMutexLocker lock(&mutex);
        if (accounts.isEmpty())
            return std::nullopt;
        QVariantList list;
        for (const QString &a : accounts)
            list.append(QVariantMap{{QStringLiteral("acct"), a}});
        return list;
    }
    void extensionCheckCurrentEMR(const QVariant &data, const QVariant &) override {
        ++emrChecks;
        QMutexLocker lock(&mutex);
        emrData = data;
    }
    std::shared_ptr<EMRAPIDelegate> emrDelegate() const override { return emrClient; }

private:
    static void later(DispatchBlock block) { DispatchQueue::global()->async(std::move(block)); }

    mutable QMutex mutex;
    QVariantList assignments, examRooms;
    QStringList requestedImages, passwords, accounts;
    QVariant emrData;
};
