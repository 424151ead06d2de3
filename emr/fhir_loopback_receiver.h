#pragma once
// The redirect target of a native app's sign-in (OAuth 2.0 for Native Apps):
// http://127.0.0.1:<free port>/callback, served on the loopback address
// only, for one request. The browser's request to /callback is answered with
// a short page and handed on; other paths (a favicon) get 404, and a request
// that is not a plain GET within a few kilobytes is dropped. Main thread.

#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QUrl>

class FHIRLoopbackReceiver : public QObject {
    Q_OBJECT
public:
    explicit FHIRLoopbackReceiver(QObject *parent = nullptr);
    ~FHIRLoopbackReceiver() override;

    // Listens on 127.0.0.1 at a port the system picks; false with `problem`
    // set when it cannot.
    bool listen(QString *problem);
    // "http://127.0.0.1:<port>/callback".
    QUrl redirectURI() const;
    // Stops listening (also done after the one request).
    void close();

signals:
    // The request to /callback, as the full URL with its query.
    void received(const QUrl &callback);

private:
    void serve(QTcpSocket *socket);
    QTcpServer m_server;
    bool m_done = false;
};
