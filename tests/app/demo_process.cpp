#include "demo_process.h"

#include "tests/support/qt_wait.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

bool DemoProcess::start(const QString &program) {
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::SeparateChannels);
    m_process->setProgram(program);
    m_process->setArguments({"--host", "127.0.0.1", "--port", "0", "--data-dir", m_dataDir.path()});
    m_process->start();
    if (!m_process->waitForStarted(30000))
        return false;
    const QByteArray prefix = "kelvra-demo-service listening on ";
    QByteArray line;
    const bool ok = kcWaitFor(
        [&] {
            if (m_process->canReadLine()) {
                line = m_process->readLine().trimmed();
                return true;
            }
            m_process->waitForReadyRead(50);
            return m_process->state() != QProcess::Running;
        },
        60000);
    if (!ok || !line.startsWith(prefix))
        return false;
    m_url = QUrl(QString::fromUtf8(line.mid(prefix.size())));
    return m_url.isValid();
}

void DemoProcess::stop() {
    if (!m_process)
        return;
    m_process->terminate();
    if (!m_process->waitForFinished(10000)) {
        m_process->kill();
        m_process->waitForFinished(5000);
    }
    m_process.reset();
}

QJsonObject DemoProcess::state() const {
    QNetworkAccessManager manager;
    QNetworkReply *reply = manager.get(QNetworkRequest(m_url.resolved(QUrl("demo/state"))));
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    loop.exec();
    const QJsonObject state = QJsonDocument::fromJson(reply->readAll()).object();
    reply->deleteLater();
    return state;
}

int DemoProcess::requestCount(const QString &text) const {
    int count = 0;
    for (const QJsonValue &r : state().value("requests").toArray())
        if (r.toObject().value("path").toString().contains(text))
            ++count;
    return count;
}
