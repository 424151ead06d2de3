#pragma once
// Starts kelvra-demo-service as a child process on a free port with a
// throw-away data folder, and talks to its inspection and fault endpoints.

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QUrl>
#include <QVariantMap>
#include <memory>

class DemoService {
public:
    // Starts the binary at `program` with `extraArguments`; waits (up to
    // `timeoutMs`) for the line that names its URL. On failure url() is empty
    // and error() says why.
    bool start(const QString &program, const QStringList &extraArguments = {}, int timeoutMs = 60000);
    void stop();
    ~DemoService() { stop(); }

    QUrl url() const { return m_url; }
    QString error() const { return m_error; }
    QString dataDir() const { return m_dataDir ? m_dataDir->path() : QString(); }

    // GET /demo/state, decoded; an empty map when it could not be read.
    QVariantMap state() const;
    // The logged requests whose path contains `pathPart`.
    QVariantList requestsTo(const QString &pathPart) const;
    // POST /demo/faults with `faults`; true on a 2xx answer.
    bool faults(const QVariantMap &faults) const;

    // A plain request to the service, outside the client under test.
    static QByteArray fetch(const QUrl &url, const QByteArray &method = "GET", const QByteArray &body = {},
                            int *status = nullptr, int timeoutMs = 30000);

private:
    std::unique_ptr<QProcess> m_process;
    std::unique_ptr<QTemporaryDir> m_dataDir;
    QUrl m_url;
    QString m_error;
};
