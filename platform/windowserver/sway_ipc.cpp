#include "platform/windowserver/sway_ipc.h"
#include "platform/core/socket_io.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonObject>

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
const QByteArray kMagic("i3-ipc");

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0)
            ::close(fd);
    }
};

QRect rectOf(const QJsonValue &v) {
    const QJsonObject o = v.toObject();
    return QRect(o.value("x").toInt(), o.value("y").toInt(), o.value("width").toInt(),
                 o.value("height").toInt());
}

bool isView(const QJsonObject &node) {
    // Views carry a pid (sway) or a window id (XWayland); containers neither.
    return node.contains("pid") && (node.contains("app_id") || node.contains("window")) &&
           node.value("nodes").toArray().isEmpty() && node.value("floating_nodes").toArray().isEmpty();
}

SwayWindow windowOf(const QJsonObject &node) {
    SwayWindow w;
    w.rect = rectOf(node.value("rect"));
    w.pid = node.value("pid").toInteger();
    w.title = node.value("name").toString();
    const QString shell = node.value("shell").toString();
    w.xwayland = shell == QLatin1String("xwayland");
    if (w.xwayland)
        w.appID = node.value("window_properties").toObject().value("class").toString();
    else
        w.appID = node.value("app_id").toString();
    return w;
}

// Views under `node`, in the order the tree lists them.
void collectViews(const QJsonObject &node, QList<SwayWindow> &out) {
    if (isView(node)) {
        if (node.value("visible").toBool(true))
            out.append(windowOf(node));
        return;
    }
    for (const QJsonValue &child : node.value("nodes").toArray())
        collectViews(child.toObject(), out);
}
} // namespace

std::optional<QByteArray> swayRequest(const QString &socketPath, SwayMessage type, const QByteArray &payload,
                                      QString *problem, int timeoutMs) {
    auto fail = [problem](const QString &why) -> std::optional<QByteArray> {
        if (problem)
            *problem = why;
        return std::nullopt;
    };
    const QByteArray path = socketPath.toLocal8Bit();
    sockaddr_un address{};
    if (path.isEmpty() || size_t(path.size()) >= sizeof(address.sun_path))
        return fail(QStringLiteral("no usable sway socket path"));
    Fd socket{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)};
    if (socket.fd < 0)
        return fail(QString::fromLocal8Bit(std::strerror(errno)));
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const QDeadlineTimer deadline(timeoutMs);
    if (::connect(socket.fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0) {
        if (errno != EINPROGRESS || !kcWaitForSocket(socket.fd, POLLOUT, deadline))
            return fail(QStringLiteral("cannot reach sway at %1: %2")
                            .arg(socketPath, QString::fromLocal8Bit(std::strerror(errno))));
        int error = 0;
        socklen_t length = sizeof(error);
        ::getsockopt(socket.fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0)
            return fail(QStringLiteral("cannot reach sway at %1: %2")
                            .arg(socketPath, QString::fromLocal8Bit(std::strerror(error))));
    }
    QByteArray message = kMagic;
    const quint32 header[2] = {quint32(payload.size()), quint32(type)};
    message.append(reinterpret_cast<const char *>(header), sizeof(header));
    message.append(payload);
    if (!kcSendAll(socket.fd, message, deadline))
        return fail(QStringLiteral("sway did not take the request"));
    char replyHeader[14];
    if (!kcReceiveAll(socket.fd, replyHeader, sizeof(replyHeader), deadline) ||
        QByteArray(replyHeader, 6) != kMagic)
        return fail(QStringLiteral("sway did not answer"));
    quint32 replyMeta[2];
    std::memcpy(replyMeta, replyHeader + 6, sizeof(replyMeta));
    // A tree of a few hundred windows is well under this.
    if (replyMeta[0] > 64u * 1024 * 1024 || replyMeta[1] != quint32(type))
        return fail(QStringLiteral("sway answered something else"));
    QByteArray body(qsizetype(replyMeta[0]), Qt::Uninitialized);
    if (!kcReceiveAll(socket.fd, body.data(), size_t(body.size()), deadline))
        return fail(QStringLiteral("sway's answer was cut short"));
    return body;
}

SwayLayout swayLayoutFromTree(const QJsonDocument &tree) {
    SwayLayout layout;
    for (const QJsonValue &outputValue : tree.object().value("nodes").toArray()) {
        const QJsonObject output = outputValue.toObject();
        const QString name = output.value("name").toString();
        if (output.value("type").toString() != QLatin1String("output") || name == QLatin1String("__i3"))
            continue;
        layout.outputs.append({name, rectOf(output.value("rect")), output.value("scale").toDouble(1.0)});
        // The workspace shown on the output: the one in its focus list first,
        // else the one marked visible.
        const QJsonArray workspaces = output.value("nodes").toArray();
        const QJsonArray focus = output.value("focus").toArray();
        QJsonObject shown;
        for (const QJsonValue &w : workspaces) {
            const QJsonObject workspace = w.toObject();
            if (!focus.isEmpty() && workspace.value("id") == focus.first()) {
                shown = workspace;
                break;
            }
            if (workspace.value("visible").toBool())
                shown = workspace;
        }
        if (shown.isEmpty() && !workspaces.isEmpty())
            shown = workspaces.first().toObject();
        // A floating stack lists its bottom first.
        QList<SwayWindow> floating, tiled;
        for (const QJsonValue &child : shown.value("floating_nodes").toArray())
            collectViews(child.toObject(), floating);
        for (const QJsonValue &child : shown.value("nodes").toArray())
            collectViews(child.toObject(), tiled);
        for (auto it = floating.crbegin(); it != floating.crend(); ++it)
            layout.windows.append(*it);
        layout.windows.append(tiled);
    }
    return layout;
}

std::optional<SwayLayout> readSwayLayout(const QString &socketPath, QString *problem) {
    const std::optional<QByteArray> reply = swayRequest(socketPath, SwayMessage::GetTree, {}, problem);
    if (!reply)
        return std::nullopt;
    QJsonParseError error{};
    const QJsonDocument tree = QJsonDocument::fromJson(*reply, &error);
    if (error.error != QJsonParseError::NoError || !tree.isObject()) {
        if (problem)
            *problem = QStringLiteral("sway's window tree is not readable: %1").arg(error.errorString());
        return std::nullopt;
    }
    return swayLayoutFromTree(tree);
}

namespace {
// Runs `command`; true when every part of it succeeded.
bool swayCommand(const QString &socketPath, const QString &command, QString *problem) {
    const std::optional<QByteArray> reply =
        swayRequest(socketPath, SwayMessage::Command, command.toUtf8(), problem);
    if (!reply)
        return false;
    for (const QJsonValue &result : QJsonDocument::fromJson(*reply).array()) {
        if (!result.toObject().value(QLatin1String("success")).toBool()) {
            if (problem)
                *problem = result.toObject().value(QLatin1String("error")).toString();
            return false;
        }
    }
    return true;
}
} // namespace

bool swayFocusOutput(const QString &socketPath, const QRect &screen, QString *problem) {
    const std::optional<QByteArray> outputs = swayRequest(socketPath, SwayMessage::GetOutputs, {}, problem);
    if (!outputs)
        return false;
    for (const QJsonValue &value : QJsonDocument::fromJson(*outputs).array()) {
        const QJsonObject o = value.toObject();
        const QJsonObject r = o.value(QLatin1String("rect")).toObject();
        const QRect rect(r.value(QLatin1String("x")).toInt(), r.value(QLatin1String("y")).toInt(),
                         r.value(QLatin1String("width")).toInt(), r.value(QLatin1String("height")).toInt());
        if (o.value(QLatin1String("active")).toBool(true) && rect.contains(screen.center()))
            return swayCommand(
                socketPath,
                QStringLiteral("focus output \"%1\"").arg(o.value(QLatin1String("name")).toString()),
                problem);
    }
    if (problem)
        *problem =
            QStringLiteral("sway has no output at %1,%2").arg(screen.center().x()).arg(screen.center().y());
    return false;
}

bool swayFocusWindow(const QString &socketPath, quint32 x11Window, QString *problem) {
    return swayCommand(socketPath, QStringLiteral("[id=%1] focus").arg(x11Window), problem);
}
