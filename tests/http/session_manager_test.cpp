// The session managers against real local servers: URL resolution,
// completion threads and queues, cookies, time-outs, streamed uploads,
// error results, suspension of the event queue and re-initialisation.

#include "http/http_session_manager.h"
#include "http/multipart.h"
#include "http/progress.h"
#include "http/request_serializer.h"
#include "platform/core/notification_center.h"
#include "tests/http/support/test_server.h"
#include "tests/support/qt_wait.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

using namespace kctest;

namespace {

QThread *mainThread() {
    return QCoreApplication::instance()->thread();
}

TestResponse echoPath(const ReceivedRequest &r) {
    return jsonResponse(200, "{\"path\":\"" + r.path + "\"}");
}

struct Result {
    std::atomic<bool> done{false};
    std::atomic<bool> succeeded{false};
    std::atomic<bool> failed{false};
    std::atomic<bool> onMain{false};
    QVariant object;
    KCError error;
    KCURLSessionTaskPtr task;
};

CVHTTPSessionManager::SuccessBlock onSuccess(const std::shared_ptr<Result> &r) {
    return [r](const KCURLSessionTaskPtr &task, const QVariant &object) {
        r->object = object;
        r->task = task;
        r->onMain = QThread::currentThread() == mainThread();
        r->succeeded = true;
        r->done = true;
    };
}

CVHTTPSessionManager::FailureBlock onFailure(const std::shared_ptr<Result> &r) {
    return [r](const KCURLSessionTaskPtr &task, const KCError &error) {
        r->error = error;
        r->task = task;
        r->onMain = QThread::currentThread() == mainThread();
        r->failed = true;
        r->done = true;
    };
}

} // namespace

TEST(HTTPSessionManager, BaseURLIsNormalisedAndPathsResolveAsRFC3986) {
    CVHTTPSessionManager api(QUrl("https://clinic.example/api"));
    EXPECT_EQ(api.baseURL().toString(), "https://clinic.example/api/");
    EXPECT_EQ(api.absoluteURLString("users/clinicLogin"), "https://clinic.example/api/users/clinicLogin");
    EXPECT_EQ(api.absoluteURLString("/other/x"), "https://clinic.example/other/x");
    EXPECT_EQ(api.absoluteURLString("https://elsewhere.example/a?b=1"), "https://elsewhere.example/a?b=1");
    EXPECT_EQ(api.absoluteURLString("uploads/getFile/7/1/2"),
              "https://clinic.example/api/uploads/getFile/7/1/2");

    CVHTTPSessionManager slash(QUrl("https://clinic.example/api/"));
    EXPECT_EQ(slash.baseURL().toString(), "https://clinic.example/api/");
    CVHTTPSessionManager noPath(QUrl("https://clinic.example"));
    EXPECT_EQ(noPath.baseURL().toString(), "https://clinic.example");
    CVHTTPSessionManager none;
    EXPECT_TRUE(none.baseURL().isEmpty());
    // Text built by writing the base URL followed by more path relies on the slash.
    EXPECT_EQ(api.baseURL().toString() + "patients/1", "https://clinic.example/api/patients/1");
}

TEST(HTTPSessionManager, GETResolvesAgainstBaseAndCompletesOnMainQueue) {
    TestServer server(echoPath);
    CVHTTPSessionManager manager(QUrl(server.url("/api")));
    auto r = std::make_shared<Result>();
    auto task = manager.GET("users/clinicLogin", QVariantMap{{"a", "x y"}}, onSuccess(r), onFailure(r));
    ASSERT_TRUE(task);
    EXPECT_EQ(task->taskDescription(), manager.description());
    ASSERT_TRUE(kcWaitFor([&] { return r->done.load(); }, 60000));
    ASSERT_TRUE(r->succeeded) << r->error.localizedDescription().toStdString();
    EXPECT_TRUE(r->onMain);
    EXPECT_EQ(r->task, task);
    EXPECT_EQ(r->object.toMap().value("path").toString(), "/api/users/clinicLogin?a=x%20y");
    EXPECT_EQ(task->state(), KCURLSessionTask::Completed);
    ASSERT_TRUE(task->response());
    EXPECT_EQ(task->response()->statusCode(), 200);
}

TEST(HTTPSessionManager, EveryMethodReachesTheServer) {
    TestServer server(echoPath);
    CVHTTPSessionManager manager(QUrl(server.url("/")));
    std::atomic<int> finished{0};
    auto ok = [&](const KCURLSessionTaskPtr &, const QVariant &) { ++finished; };
    auto fail = [&](const KCURLSessionTaskPtr &, const KCError &e) {
        ADD_FAILURE() << e.localizedDescription().toStdString();
        ++finished;
    };
    manager.GET("g", std::nullopt, ok, fail);
    manager.POST("p", QVariantMap{{"k", 1}}, ok, fail);
    manager.PUT("u", QVariantMap{{"k", 1}}, ok, fail);
    manager.PATCH("a", QVariantMap{{"k", 1}}, ok, fail);
    manager.DELETE("d", QVariantMap{{"k", 1}}, ok, fail);
    manager.HEAD(
        "h", std::nullopt, [&](const KCURLSessionTaskPtr &) { ++finished; }, fail);
    ASSERT_TRUE(kcWaitFor([&] { return finished == 6; }, 60000));
    QStringList seen;
    for (const auto &req : server.requests())
        seen << QString::fromLatin1(req.method + ' ' + req.path + ' ' + req.body);
    seen.sort();
    EXPECT_EQ(seen, (QStringList{"DELETE /d?k=1 ", "GET /g ", "HEAD /h ", "PATCH /a k=1", "POST /p k=1",
                                 "PUT /u k=1"}));
}

TEST(HTTPSessionManager, UnencodableJSONFailsAsynchronouslyWithoutTask) {
    TestServer server(echoPath);
    CVHTTPSessionManager manager(QUrl(server.url("/")));
    manager.setRequestSerializer(CVJSONRequestSerializer::serializer());
    auto r = std::make_shared<Result>();
    auto task = manager.POST("x", QVariantMap{{"bytes", QByteArray("\x01\x02")}}, onSuccess(r), onFailure(r));
    EXPECT_FALSE(task);
    EXPECT_FALSE(r->done) << "the failure must not run inside POST";
    ASSERT_TRUE(kcWaitFor([&] { return r->done.load(); }, 20000));
    EXPECT_TRUE(r->failed);
    EXPECT_FALSE(r->task);
    EXPECT_TRUE(r->onMain);
    EXPECT_TRUE(r->error);
    kcSpin(100);
    EXPECT_EQ(server.requestCount(), 0);
}

TEST(HTTPSessionManager, ErrorStatusWithJSONBodyGivesRawHandlerBothResultAndError) {
    TestServer server([](const ReceivedRequest &r) {
        return jsonResponse(r.path.mid(r.path.lastIndexOf('/') + 1).toInt(), R"({"error":"expired"})");
    });
    CVHTTPSessionManager manager(QUrl(server.url("/")));
    // Qt files some statuses under errors of its own (400 as an invalid
    // operation of the protocol): each is an answer all the same.
    for (const int status : {400, 401, 404, 409, 500}) {
        SCOPED_TRACE(status);
        std::atomic<bool> done{false};
        std::optional<KCHTTPURLResponse> response;
        QVariant object;
        KCError error;
        auto request = manager.requestSerializer()->requestWithMethod(
            "GET", server.url(QStringLiteral("/token/%1").arg(status)), std::nullopt);
        ASSERT_TRUE(request);
        manager
            .dataTaskWithRequest(
                *request,
                [&](const std::optional<KCHTTPURLResponse> &resp, const QVariant &obj, const KCError &e) {
                    response = resp;
                    object = obj;
                    error = e;
                    done = true;
                })
            ->resume();
        ASSERT_TRUE(kcWaitFor([&] { return done.load(); }, 60000));
        ASSERT_TRUE(response);
        EXPECT_EQ(response->statusCode(), status);
        EXPECT_EQ(object.toMap().value("error").toString(), "expired");
        EXPECT_EQ(error.domain(), CVResponseSerializationErrorDomain);
        EXPECT_EQ(error.code(), NSURLErrorBadServerResponse);
        EXPECT_EQ(error.userInfo().value(CVFailingResponseErrorKey).value<KCHTTPURLResponse>().statusCode(),
                  status);
    }

    // The convenience callbacks: failure only.
    auto r = std::make_shared<Result>();
    manager.GET("token/401", std::nullopt, onSuccess(r), onFailure(r));
    ASSERT_TRUE(kcWaitFor([&] { return r->done.load(); }, 60000));
    EXPECT_TRUE(r->failed);
    EXPECT_FALSE(r->succeeded);
    EXPECT_EQ(r->error.code(), NSURLErrorBadServerResponse);
}

TEST(HTTPSessionManager, CookiesSetByLoginAreSentOnLaterRequests) {
    TestServer server([](const ReceivedRequest &r) {
        if (r.path == "/api/users/clinicLogin")
            return jsonResponse(200, R"({"login":"pass"})",
                                {{"Set-Cookie", "CAKEPHP=abc123; Path=/; HttpOnly"}});
        return jsonResponse(200, "[]");
    });
    CVHTTPSessionManager manager(QUrl(server.url("/api")));
    std::atomic<int> done{0};
    auto ok = [&](const KCURLSessionTaskPtr &, const QVariant &) { ++done; };
    manager.POST("users/clinicLogin", QVariantMap{{"username", "u"}}, ok, nullptr);
    ASSERT_TRUE(kcWaitFor([&] { return done == 1; }, 60000));
    manager.GET("clinic_exam_rooms", std::nullopt, ok, nullptr);
    ASSERT_TRUE(kcWaitFor([&] { return done == 2; }, 60000));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2);
    EXPECT_FALSE(requests[0].headers.contains("cookie"));
    EXPECT_EQ(requests[1].headers.value("cookie"), "CAKEPHP=abc123");
    EXPECT_FALSE(manager.cookieStorage()->cookiesForURL(QUrl(server.url("/"))).isEmpty());

    // Another service on the same host (the EHR's client) has cookies of its
    // own: the clinic's session cookie never reaches it.
    CVHTTPSessionManager other(QUrl(server.url("/fhir")));
    other.GET("Patient", std::nullopt, ok, nullptr);
    ASSERT_TRUE(kcWaitFor([&] { return done == 3; }, 60000));
    EXPECT_FALSE(server.requests().last().headers.contains("cookie"));
    EXPECT_TRUE(other.cookieStorage()->cookiesForURL(QUrl(server.url("/"))).isEmpty());

    // A request that opts out of cookie handling carries none.
    auto request = manager.requestSerializer()->requestWithMethod("GET", server.url("/plain"), std::nullopt);
    request->setHTTPShouldHandleCookies(false);
    std::atomic<bool> finished{false};
    manager.dataTaskWithRequest(*request, [&](auto &, auto &, auto &) { finished = true; })->resume();
    ASSERT_TRUE(kcWaitFor([&] { return finished.load(); }, 60000));
    EXPECT_FALSE(server.requests().last().headers.contains("cookie"));
}

TEST(HTTPSessionManager, PerRequestTimeoutFiresAgainstServerThatNeverAnswers) {
    TestServer server([](const ReceivedRequest &) {
        TestResponse r;
        r.neverAnswer = true;
        return r;
    });
    CVHTTPSessionManager manager(QUrl(server.url("/")));
    auto request =
        manager.requestSerializer()->requestWithMethod("POST", server.url("/slow"), QVariantMap{{"a", 1}});
    request->setTimeoutInterval(1.0); // the clients use 20 s; the rule is the same
    std::atomic<bool> done{false};
    KCError error;
    std::optional<KCHTTPURLResponse> response;
    manager
        .dataTaskWithRequest(
            *request,
            [&](const std::optional<KCHTTPURLResponse> &resp, const QVariant &, const KCError &e) {
                response = resp;
                error = e;
                done = true;
            })
        ->resume();
    ASSERT_TRUE(kcWaitFor([&] { return done.load(); }, 60000));
    EXPECT_EQ(error.domain(), NSURLErrorDomain);
    EXPECT_EQ(error.code(), NSURLErrorTimedOut);
    EXPECT_FALSE(response);
    EXPECT_EQ(server.requestCount(), 1);
}

TEST(HTTPSessionManager, StreamedUploadReportsProgressUpToContentLength) {
    TestServer server([](const ReceivedRequest &r) {
        return jsonResponse(200, "{\"received\":" + QByteArray::number(r.bodyLength) + "}");
    });
    QTemporaryDir dir;
    const QString path = dir.filePath("scan.pdf");
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        QByteArray block(64 * 1024, 'p');
        for (int i = 0; i < 48; ++i) // 3 MB
            f.write(block);
    }
    CVHTTPSessionManager manager(QUrl(server.url("/")));
    auto request = manager.requestSerializer()->multipartFormRequestWithMethod(
        "POST", server.url("/documents"), QVariantMap{{"departmentid", "1"}},
        [&](CVStreamingMultipartFormData &form) {
            form.appendPartWithFileURL(QUrl::fromLocalFile(path), "attachmentcontents", "scan.pdf",
                                       "application/pdf");
        });
    ASSERT_TRUE(request);
    const qint64 contentLength = request->valueForHTTPHeaderField("Content-Length").toLongLong();
    ASSERT_GT(contentLength, 3 * 1024 * 1024);

    KCProgressPtr progress;
    std::atomic<bool> done{false};
    QVariant object;
    KCError error;
    auto task = manager.uploadTaskWithStreamedRequest(
        *request, &progress,
        [&](const std::optional<KCHTTPURLResponse> &, const QVariant &obj, const KCError &e) {
            object = obj;
            error = e;
            done = true;
        });
    ASSERT_TRUE(progress);
    EXPECT_EQ(task->countOfBytesExpectedToSend(), NSURLSessionTransferSizeUnknown);
    EXPECT_EQ(progress->totalUnitCount(), contentLength);

    std::mutex m;
    QList<double> fractions;
    std::atomic<bool> wrongThread{false};
    const auto queue = manager.operationQueue();
    progress->addObserver("fractionCompleted", [&](const KCProgress &p) {
        if (!queue->isCurrent())
            wrongThread = true;
        std::lock_guard lock(m);
        fractions << p.fractionCompleted();
    });
    task->resume();
    ASSERT_TRUE(kcWaitFor([&] { return done.load(); }, 120000));
    EXPECT_FALSE(error) << error.localizedDescription().toStdString();
    EXPECT_EQ(object.toMap().value("received").toLongLong(), contentLength);
    EXPECT_FALSE(wrongThread);
    std::lock_guard lock(m);
    ASSERT_FALSE(fractions.isEmpty());
    for (int i = 1; i < fractions.size(); ++i)
        EXPECT_GE(fractions[i], fractions[i - 1]);
    EXPECT_DOUBLE_EQ(fractions.last(), 1.0);
    EXPECT_EQ(progress->totalUnitCount(), contentLength);
    EXPECT_EQ(task->countOfBytesSent(), contentLength);
}

// Observers of a progress that has moved already: called at once with where
// it stands (the transfer may have finished before anybody looked).
TEST(Progress, ALateObserverHearsWhereTheTransferStands) {
    auto progress = KCProgress::progressWithTotalUnitCount(200);
    QList<double> early;
    progress->addObserver("fractionCompleted", [&](const KCProgress &p) { early << p.fractionCompleted(); });
    EXPECT_TRUE(early.isEmpty()) << "nothing done yet: nothing to hear";
    progress->setCompletedUnitCount(200);
    QList<double> late;
    QList<qint64> counts;
    progress->addObserver("fractionCompleted", [&](const KCProgress &p) { late << p.fractionCompleted(); });
    progress->addObserver("completedUnitCount",
                          [&](const KCProgress &p) { counts << p.completedUnitCount(); });
    progress->addObserver("totalUnitCount",
                          [&](const KCProgress &) { ADD_FAILURE() << "total not changed"; });
    EXPECT_EQ(early, QList<double>({1.0}));
    EXPECT_EQ(late, QList<double>({1.0}));
    EXPECT_EQ(counts, QList<qint64>({200}));
}

// Many changes on one thread while observers come on another: every observer
// hears the values in the order they were reached and ends at 1.0.
TEST(Progress, ObserversComingDuringATransferHearItInOrder) {
    auto progress = KCProgress::progressWithTotalUnitCount(5000);
    std::thread transfer([&] {
        for (int i = 1; i <= 5000; ++i)
            progress->setCompletedUnitCount(i);
    });
    std::vector<std::shared_ptr<QList<double>>> heard;
    for (int i = 0; i < 50; ++i) {
        auto list = std::make_shared<QList<double>>();
        heard.push_back(list);
        progress->addObserver("fractionCompleted",
                              [list](const KCProgress &p) { *list << p.fractionCompleted(); });
    }
    transfer.join();
    for (const auto &list : heard) {
        ASSERT_FALSE(list->isEmpty());
        EXPECT_TRUE(std::is_sorted(list->begin(), list->end()));
        EXPECT_DOUBLE_EQ(list->last(), 1.0);
    }
}

// A multipart request posting a PDF part of `size` bytes to the server.
static std::optional<KCURLRequest> pdfUploadRequest(CVHTTPSessionManager &manager, TestServer &server,
                                                    int size) {
    return manager.requestSerializer()->multipartFormRequestWithMethod(
        "POST", server.url("/documents"), QVariantMap{{"departmentid", "1"}},
        [&](CVStreamingMultipartFormData &form) {
            form.appendPartWithFileData(QByteArray(size, 'p'), "attachmentcontents", "a.pdf",
                                        "application/pdf");
        });
}

// The caller of an upload may observe its progress only once the task runs
// (or even once it is done): it still hears that the upload reached 1.0.
TEST(HTTPSessionManager, UploadProgressObservedLateStillEndsAtOne) {
    TestServer server([](const ReceivedRequest &r) {
        return jsonResponse(200, "{\"received\":" + QByteArray::number(r.bodyLength) + "}");
    });
    CVHTTPSessionManager manager(QUrl(server.url("/")));
    auto request = pdfUploadRequest(manager, server, 2000);
    ASSERT_TRUE(request);
    KCProgressPtr progress;
    std::atomic<bool> done{false};
    auto task = manager.uploadTaskWithStreamedRequest(
        *request, &progress,
        [&](const std::optional<KCHTTPURLResponse> &, const QVariant &, const KCError &) { done = true; });
    ASSERT_TRUE(progress);
    task->resume();
    ASSERT_TRUE(kcWaitFor([&] { return done.load(); }, 60000));
    QList<double> fractions;
    progress->addObserver("fractionCompleted",
                          [&](const KCProgress &p) { fractions << p.fractionCompleted(); });
    EXPECT_EQ(fractions, QList<double>({1.0}));
}

// A body whose length is not announced: once the server has taken it, the
// upload's progress stands at 1.0 all the same.
TEST(HTTPSessionManager, UploadOfUnannouncedLengthEndsAtOne) {
    TestServer server([](const ReceivedRequest &r) {
        return jsonResponse(200, "{\"received\":" + QByteArray::number(r.bodyLength) + "}");
    });
    CVHTTPSessionManager manager(QUrl(server.url("/")));
    auto request = pdfUploadRequest(manager, server, 70000);
    ASSERT_TRUE(request);
    request->setValue(QString(), "Content-Length");
    ASSERT_TRUE(request->valueForHTTPHeaderField("Content-Length").isEmpty());
    KCProgressPtr progress;
    std::atomic<bool> done{false};
    QVariant object;
    KCError error;
    auto task = manager.uploadTaskWithStreamedRequest(
        *request, &progress,
        [&](const std::optional<KCHTTPURLResponse> &, const QVariant &obj, const KCError &e) {
            object = obj;
            error = e;
            done = true;
        });
    ASSERT_TRUE(progress);
    std::mutex m;
    QList<double> fractions;
    progress->addObserver("fractionCompleted", [&](const KCProgress &p) {
        std::lock_guard lock(m);
        fractions << p.fractionCompleted();
    });
    task->resume();
    ASSERT_TRUE(kcWaitFor([&] { return done.load(); }, 60000));
    ASSERT_FALSE(error) << error.localizedDescription().toStdString();
    EXPECT_GT(object.toMap().value("received").toLongLong(), 70000);
    EXPECT_DOUBLE_EQ(progress->fractionCompleted(), 1.0);
    std::lock_guard lock(m);
    ASSERT_FALSE(fractions.isEmpty());
    EXPECT_DOUBLE_EQ(fractions.last(), 1.0);
}

TEST(HTTPSessionManager, BodyStreamShorterThanItsLengthFailsTheTask) {
    TestServer server(echoPath);
    CVHTTPSessionManager manager(QUrl(server.url("/")));
    auto source = std::make_shared<QBuffer>();
    source->setData(QByteArray(1000, 'x'));
    auto request = manager.requestSerializer()->multipartFormRequestWithMethod(
        "POST", server.url("/documents"), std::nullopt, [&](CVStreamingMultipartFormData &form) {
            // Announces more bytes than the stream holds.
            form.appendPartWithInputStream(source, "attachmentcontents", "a.pdf", 5000, "application/pdf");
        });
    ASSERT_TRUE(request);
    request->setTimeoutInterval(120);
    std::atomic<bool> done{false};
    KCError error;
    manager
        .uploadTaskWithStreamedRequest(*request, nullptr,
                                       [&](auto &, auto &, const KCError &e) {
                                           error = e;
                                           done = true;
                                       })
        ->resume();
    // Fails at once rather than waiting for the time-out.
    ASSERT_TRUE(kcWaitFor([&] { return done.load(); }, 60000));
    EXPECT_EQ(error.domain(), NSURLErrorDomain);
    EXPECT_EQ(error.code(), NSURLErrorRequestBodyStreamExhausted);
}

TEST(HTTPSessionManager, SuspendedEventQueueHoldsCompletionUntilResumed) {
    TestServer server(echoPath);
    CVHTTPSessionManager manager(QUrl(server.url("/")));
    manager.operationQueue()->suspend();
    auto r = std::make_shared<Result>();
    manager.GET("held", std::nullopt, onSuccess(r), onFailure(r));
    ASSERT_TRUE(kcWaitFor([&] { return server.requestCount() == 1; }, 60000));
    kcSpin(500);
    EXPECT_FALSE(r->done) << "nothing may complete while the event queue is suspended";
    manager.operationQueue()->resume();
    ASSERT_TRUE(kcWaitFor([&] { return r->done.load(); }, 60000));
    EXPECT_TRUE(r->succeeded);
}

TEST(HTTPSessionManager, CompletionQueueAndGroupAreHonoured) {
    TestServer server(echoPath);
    CVHTTPSessionManager manager(QUrl(server.url("/")));
    auto background = DispatchQueue::global();
    auto group = DispatchGroup::create();
    manager.setCompletionQueue(background);
    manager.setCompletionGroup(group);
    std::atomic<bool> onBackground{false};
    std::atomic<bool> done{false};
    manager.GET(
        "bg", std::nullopt,
        [&](const KCURLSessionTaskPtr &, const QVariant &) {
            onBackground = QThread::currentThread() != mainThread() && background->isCurrent();
            done = true;
        },
        nullptr);
    ASSERT_TRUE(kcWaitFor([&] { return done.load(); }, 60000));
    EXPECT_TRUE(onBackground);
    EXPECT_TRUE(group->wait(60000));
}

namespace {
// A client that looks at every request, as the service clients do.
class CountingClient : public CVHTTPSessionManager {
public:
    using CVHTTPSessionManager::CVHTTPSessionManager;
    std::atomic<int> seen{0};
    std::atomic<int> lastStatus{0};
    KCURLSessionTaskPtr dataTaskWithRequest(const KCURLRequest &request,
                                            CVURLSessionTaskCompletionHandler completionHandler) override {
        ++seen;
        return CVHTTPSessionManager::dataTaskWithRequest(
            request, [this, completionHandler](const std::optional<KCHTTPURLResponse> &response,
                                               const QVariant &object, const KCError &error) {
                lastStatus = response ? int(response->statusCode()) : -1;
                completionHandler(response, object, error);
            });
    }
};
} // namespace

TEST(HTTPSessionManager, ConvenienceRequestsGoThroughTheOverriddenFactory) {
    TestServer server(echoPath);
    CountingClient client(QUrl(server.url("/")));
    std::atomic<int> done{0};
    auto ok = [&](const KCURLSessionTaskPtr &, const QVariant &) { ++done; };
    client.GET("a", std::nullopt, ok, nullptr);
    client.POST("b", QVariantMap{}, ok, nullptr);
    ASSERT_TRUE(kcWaitFor([&] { return done == 2; }, 60000));
    EXPECT_EQ(client.seen.load(), 2);
    EXPECT_EQ(client.lastStatus.load(), 200);
}

TEST(HTTPSessionManager, ReinitialisingALiveManagerRebuildsFieldsAndKeepsRunningRequests) {
    TestServer server([](const ReceivedRequest &r) {
        if (r.path == "/slow") {
            TestResponse resp;
            resp.neverAnswer = true;
            return resp;
        }
        return echoPath(r);
    });
    CVHTTPSessionManager manager(QUrl(server.url("/v1")));
    manager.setRequestSerializer(CVJSONRequestSerializer::serializer());
    manager.setCompletionQueue(DispatchQueue::global());
    const auto oldQueue = manager.operationQueue();

    // A request in flight across the re-initialisation: it must still end.
    auto request = manager.requestSerializer()->requestWithMethod("GET", server.url("/slow"), std::nullopt);
    request->setTimeoutInterval(2.0);
    std::atomic<bool> inflightDone{false};
    KCError inflightError;
    manager
        .dataTaskWithRequest(*request,
                             [&](auto &, auto &, const KCError &e) {
                                 inflightError = e;
                                 inflightDone = true;
                             })
        ->resume();

    manager.initWithBaseURL(QUrl(server.url("/v2")));
    EXPECT_NE(manager.operationQueue(), oldQueue);
    EXPECT_EQ(manager.baseURL().toString(), server.url("/v2/"));
    EXPECT_FALSE(std::dynamic_pointer_cast<CVJSONRequestSerializer>(manager.requestSerializer()));
    EXPECT_TRUE(std::dynamic_pointer_cast<CVJSONResponseSerializer>(manager.responseSerializer()));
    EXPECT_FALSE(manager.completionQueue());
    EXPECT_TRUE(manager.tasks().isEmpty());

    auto r = std::make_shared<Result>();
    manager.GET("x", std::nullopt, onSuccess(r), onFailure(r));
    ASSERT_TRUE(kcWaitFor([&] { return r->done.load(); }, 60000));
    EXPECT_EQ(r->object.toMap().value("path").toString(), "/v2/x");
    ASSERT_TRUE(kcWaitFor([&] { return inflightDone.load(); }, 60000));
    EXPECT_EQ(inflightError.code(), NSURLErrorTimedOut);
}

TEST(HTTPSessionManager, CancelAndTransportErrorsReachTheHandlerUnchanged) {
    CVHTTPSessionManager manager;
    // Nothing listens on this port once the server is gone.
    quint16 port = 0;
    {
        TestServer gone(echoPath);
        port = gone.port();
    }
    auto r = std::make_shared<Result>();
    manager.GET(QStringLiteral("http://127.0.0.1:%1/").arg(port), std::nullopt, onSuccess(r), onFailure(r));
    ASSERT_TRUE(kcWaitFor([&] { return r->done.load(); }, 60000));
    EXPECT_EQ(r->error.domain(), NSURLErrorDomain);
    EXPECT_EQ(r->error.code(), NSURLErrorCannotConnectToHost);

    // A task cancelled before it ran completes once, with the cancellation.
    auto request = manager.requestSerializer()->requestWithMethod("GET", "http://127.0.0.1:1/", std::nullopt);
    std::atomic<int> calls{0};
    KCError error;
    auto task = manager.dataTaskWithRequest(*request, [&](auto &, auto &, const KCError &e) {
        error = e;
        ++calls;
    });
    task->cancel();
    task->resume();
    ASSERT_TRUE(kcWaitFor([&] { return calls == 1; }, 20000));
    kcSpin(200);
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(error.code(), NSURLErrorCancelled);

    // A relative path without base URL is not a URL the transport can use.
    auto bad = std::make_shared<Result>();
    manager.GET("relative/only", std::nullopt, onSuccess(bad), onFailure(bad));
    ASSERT_TRUE(kcWaitFor([&] { return bad->done.load(); }, 20000));
    EXPECT_EQ(bad->error.code(), NSURLErrorUnsupportedURL);
}
