#include "demo_service.h"

#include "tests/support/qt_wait.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

bool DemoService::start(const QString &program, const QStringList &extraArguments, int timeoutMs) {
    stop();
    m_dataDir = std::make_unique<QTemporaryDir>();
    m_process = std::make_unique<QProcess>();
    m_process->setProgram(program);
    m_process->setArguments(QStringList{"--port", "0", "--data-dir", m_dataDir->path()} + extraArguments);
    m_process->setProcessChannelMode(QProcess::SeparateChannels);
    m_process->setReadChannel(QProcess::StandardOutput);
    m_process->start();
    if (!m_process->waitForStarted(timeoutMs)) {
        m_error = QStringLiteral("cannot start %1: %2").arg(program, m_process->errorString());
        return false;
    }
    const QByteArray prefix = "kelvra-demo-service listening on ";
    QByteArray line;
    const bool ready = kcWaitFor(
        [&] {
            if (m_process->state() != QProcess::Running)
                return true;
            if (!m_process->canReadLine())
                return false;
            line = m_process->readLine().trimmed();
            return true;
        },
        timeoutMs);
    if (!ready || !line.startsWith(prefix)) {
        m_error =
            QStringLiteral("no start line from %1 (got \"%2\"; stderr: %3)")
                .arg(program, QString::fromUtf8(line), QString::fromUtf8(m_process->readAllStandardError()));
        return false;
    }
    m_url = QUrl(QString::fromUtf8(line.mid(prefix.size())));
    return m_url.isValid();
}

void DemoService::stop() {
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(10000)) {
            m_process->kill();
            m_process->waitForFinished(10000);
        }
    }
    m_process.reset();
    m_url.clear();
}

QByteArray DemoService::fetch(const QUrl &url, const QByteArray &method, const QByteArray &body, int *status,
                              int timeoutMs) {
    QNetworkAccessManager manager;
    QNetworkRequest request(url);
    request.setTransferTimeout(timeoutMs);
    if (!body.isEmpty())
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    QNetworkReply *reply = manager.sendCustomRequest(request, method, body);
    kcWaitFor([reply] { return reply->isFinished(); }, timeoutMs + 5000);
    if (status)
        *status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray answer = reply->readAll();
    reply->deleteLater();
    return answer;
}

QVariantMap DemoService::state() const {
    return QJsonDocument::fromJson(fetch(m_url.resolved(QUrl("demo/state")))).object().toVariantMap();
}

QVariantList DemoService::requestsTo(const QString &pathPart) const {
    QVariantList matching;
    const QVariantList requests = state().value("requests").toList();
    for (const QVariant &request : requests)
        if (request.toMap().value("path").toString().contains(pathPart))
            matching.append(request);
    return matching;
}

bool DemoService::faults(const QVariantMap &faults) const {
    int status = 0;
    fetch(m_url.resolved(QUrl("demo/faults")), "POST",
          QJsonDocument(QJsonObject::fromVariantMap(faults)).toJson(), &status);
    return status >= 200 && status < 300;
}
