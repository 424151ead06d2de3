#pragma once
// A kelvra-demo-service process on 127.0.0.1 with a throw-away data folder,
// for the tests of the application against the real demo service.

#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>

#include <memory>

class DemoProcess {
public:
    // Starts the service (free port) and waits for its "listening on" line.
    bool start(const QString &program);
    void stop();
    ~DemoProcess() { stop(); }

    QUrl url() const { return m_url; }
    // GET /demo/state (an empty object on failure).
    QJsonObject state() const;
    // How many requests so far have a path containing `text`.
    int requestCount(const QString &text) const;

private:
    std::unique_ptr<QProcess> m_process;
    QTemporaryDir m_dataDir;
    QUrl m_url;
};
