#pragma once
// A stand-in for the desktop portal's Screenshot interface, on a bus
// connection of its own, that answers as it is told to.

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

// A request or session object of a stand-in portal: records the client's
// Close calls on it.
class FakeClosable : public QObject {
public:
    FakeClosable(QStringList *closed, QString path, QObject *parent)
        : QObject(parent), m_closed(closed), m_path(std::move(path)) {}

protected:
    void recordClose() { m_closed->append(m_path); }

private:
    QStringList *m_closed;
    QString m_path;
};

class FakeRequest : public FakeClosable {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Request")
public:
    using FakeClosable::FakeClosable;
public slots:
    void Close() { recordClose(); }
};

class FakeSession : public FakeClosable {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Session")
public:
    using FakeClosable::FakeClosable;
public slots:
    void Close() { recordClose(); }
};

class FakePortal : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Screenshot")
    Q_PROPERTY(uint version READ version)
public:
    enum class Answer {
        PictureBeforeReply, // the Response signal goes out before the call's reply
        PictureAfterReply,
        Refused,     // code 2, with a file all the same
        Cancelled,   // code 1
        Silent,      // never answers
        NotAPicture, // a file that is no image
    };

    // Registers `service` on a connection named `connectionName`.
    FakePortal(const QString &service, const QString &connectionName);
    ~FakePortal() override;

    Answer answer = Answer::PictureBeforeReply;
    // Where the picture files go.
    QString pictureDirectory;

    // What the client sent.
    QStringList parentWindows;
    QList<QVariantMap> optionsSeen;
    QStringList closedRequests;
    // The files handed out.
    QStringList filesHandedOut;

    uint version() const { return 2; }
    QDBusConnection connection() const { return m_bus; }
    // Sends the Response of the last silent request now, with a picture.
    void answerLastRequestLate();

public slots:
    QDBusObjectPath Screenshot(const QString &parentWindow, const QVariantMap &options,
                               const QDBusMessage &message);

private:
    QString writePicture(bool valid);
    void respond(const QString &path, uint code, const QVariantMap &results);

    QDBusConnection m_bus;
    QString m_service;
    QString m_lastPath;
    int m_count = 0;
};
