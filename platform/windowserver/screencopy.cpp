#include "platform/windowserver/screencopy.h"

#include "wlr-screencopy-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"

#include <QElapsedTimer>
#include <QPainter>
#include <QTransform>

#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

struct Output {
    wl_output *output = nullptr;
    zxdg_output_v1 *xdg = nullptr;
    int32_t transform = WL_OUTPUT_TRANSFORM_NORMAL;
    QPoint logicalPosition;
    QSize logicalSize;
    // The copy.
    zwlr_screencopy_frame_v1 *frame = nullptr;
    wl_buffer *buffer = nullptr;
    void *data = MAP_FAILED;
    size_t size = 0;
    uint32_t format = 0;
    QSize pixels;
    uint32_t stride = 0;
    bool yInverted = false;
    enum class State { Waiting, Ready, Failed } state = State::Waiting;
    QString problem;

    ~Output() {
        if (buffer)
            wl_buffer_destroy(buffer);
        if (data != MAP_FAILED)
            ::munmap(data, size);
        if (frame)
            zwlr_screencopy_frame_v1_destroy(frame);
        if (xdg)
            zxdg_output_v1_destroy(xdg);
        if (output)
            wl_output_destroy(output);
    }
};

// One connection to the compositor, with what a capture binds.
struct Connection {
    wl_display *display = nullptr;
    wl_registry *registry = nullptr;
    wl_shm *shm = nullptr;
    zwlr_screencopy_manager_v1 *screencopy = nullptr;
    zxdg_output_manager_v1 *xdgOutputs = nullptr;
    std::vector<std::unique_ptr<Output>> outputs;

    ~Connection() {
        outputs.clear();
        if (xdgOutputs)
            zxdg_output_manager_v1_destroy(xdgOutputs);
        if (screencopy)
            zwlr_screencopy_manager_v1_destroy(screencopy);
        if (shm)
            wl_shm_destroy(shm);
        if (registry)
            wl_registry_destroy(registry);
        if (display)
            wl_display_disconnect(display);
    }

    // Connects and binds; the problem when something lacks.
    QString open();
};

const wl_output_listener outputListener = {
    [](void *data, wl_output *, int32_t, int32_t, int32_t, int32_t, int32_t, const char *, const char *,
       int32_t transform) { static_cast<Output *>(data)->transform = transform; },
    [](void *, wl_output *, uint32_t, int32_t, int32_t, int32_t) {},
    [](void *, wl_output *) {},
    [](void *, wl_output *, int32_t) {},
    [](void *, wl_output *, const char *) {},
    [](void *, wl_output *, const char *) {},
};

const zxdg_output_v1_listener xdgOutputListener = {
    [](void *data, zxdg_output_v1 *, int32_t x, int32_t y) {
        static_cast<Output *>(data)->logicalPosition = QPoint(x, y);
    },
    [](void *data, zxdg_output_v1 *, int32_t width, int32_t height) {
        static_cast<Output *>(data)->logicalSize = QSize(width, height);
    },
    [](void *, zxdg_output_v1 *) {},
    [](void *, zxdg_output_v1 *, const char *) {},
    [](void *, zxdg_output_v1 *, const char *) {},
};

const wl_registry_listener registryListener = {
    [](void *data, wl_registry *registry, uint32_t name, const char *interface, uint32_t version) {
        auto *c = static_cast<Connection *>(data);
        if (std::strcmp(interface, wl_shm_interface.name) == 0) {
            c->shm = static_cast<wl_shm *>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
        } else if (std::strcmp(interface, zwlr_screencopy_manager_v1_interface.name) == 0) {
            c->screencopy = static_cast<zwlr_screencopy_manager_v1 *>(
                wl_registry_bind(registry, name, &zwlr_screencopy_manager_v1_interface, 1));
        } else if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0) {
            c->xdgOutputs = static_cast<zxdg_output_manager_v1 *>(
                wl_registry_bind(registry, name, &zxdg_output_manager_v1_interface, std::min(version, 2u)));
        } else if (std::strcmp(interface, wl_output_interface.name) == 0) {
            auto output = std::make_unique<Output>();
            output->output = static_cast<wl_output *>(
                wl_registry_bind(registry, name, &wl_output_interface, std::min(version, 2u)));
            wl_output_add_listener(output->output, &outputListener, output.get());
            c->outputs.push_back(std::move(output));
        }
    },
    [](void *, wl_registry *, uint32_t) {},
};

QString Connection::open() {
    display = wl_display_connect(nullptr);
    if (!display)
        return QStringLiteral("no Wayland compositor answers at $WAYLAND_DISPLAY");
    registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registryListener, this);
    if (wl_display_roundtrip(display) < 0)
        return QStringLiteral("the Wayland compositor closed the connection");
    if (!screencopy)
        return QStringLiteral("the compositor offers no wlr screencopy protocol");
    if (!shm || !xdgOutputs)
        return QStringLiteral("the compositor offers no shared memory or no xdg-output");
    if (outputs.empty())
        return QStringLiteral("the compositor shows no output");
    return QString();
}

// A file in memory of `size` bytes, shared with the compositor.
int sharedMemory(size_t size) {
    const int fd = ::memfd_create("kelvra-screencopy", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0)
        return -1;
    if (::ftruncate(fd, off_t(size)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

const zwlr_screencopy_frame_v1_listener frameListener = {
    // buffer
    [](void *data, zwlr_screencopy_frame_v1 *, uint32_t format, uint32_t width, uint32_t height,
       uint32_t stride) {
        auto *o = static_cast<Output *>(data);
        if (o->buffer)
            return;
        o->format = format;
        o->pixels = QSize(int(width), int(height));
        o->stride = stride;
        o->size = size_t(stride) * height;
    },
    // flags
    [](void *data, zwlr_screencopy_frame_v1 *, uint32_t flags) {
        static_cast<Output *>(data)->yInverted = flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT;
    },
    // ready
    [](void *data, zwlr_screencopy_frame_v1 *, uint32_t, uint32_t, uint32_t) {
        static_cast<Output *>(data)->state = Output::State::Ready;
    },
    // failed
    [](void *data, zwlr_screencopy_frame_v1 *) {
        auto *o = static_cast<Output *>(data);
        o->state = Output::State::Failed;
        o->problem = QStringLiteral("the compositor could not copy an output");
    },
    [](void *, zwlr_screencopy_frame_v1 *, uint32_t, uint32_t, uint32_t, uint32_t) {},
    [](void *, zwlr_screencopy_frame_v1 *, uint32_t, uint32_t, uint32_t) {},
    [](void *, zwlr_screencopy_frame_v1 *) {},
};

// Makes the buffer the compositor described and asks for the copy.
bool requestCopy(wl_shm *shm, Output &o) {
    const int fd = sharedMemory(o.size);
    if (fd < 0) {
        o.problem = QStringLiteral("no shared memory for the screen's picture: %1")
                        .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    o.data = ::mmap(nullptr, o.size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (o.data == MAP_FAILED) {
        ::close(fd);
        o.problem = QStringLiteral("no shared memory for the screen's picture");
        return false;
    }
    wl_shm_pool *pool = wl_shm_create_pool(shm, fd, int32_t(o.size));
    o.buffer =
        wl_shm_pool_create_buffer(pool, 0, o.pixels.width(), o.pixels.height(), int32_t(o.stride), o.format);
    wl_shm_pool_destroy(pool);
    ::close(fd);
    zwlr_screencopy_frame_v1_copy(o.frame, o.buffer);
    return true;
}

// Dispatches events until `finished` holds, the deadline passes or the
// connection fails.
template <typename Finished>
QString dispatchUntil(wl_display *display, const QElapsedTimer &clock, int timeoutMs, Finished finished) {
    while (!finished()) {
        while (wl_display_prepare_read(display) != 0)
            if (wl_display_dispatch_pending(display) < 0)
                return QStringLiteral("the Wayland connection failed");
        if (finished()) {
            wl_display_cancel_read(display);
            break;
        }
        wl_display_flush(display);
        pollfd p{wl_display_get_fd(display), POLLIN, 0};
        const int left = int(std::max<qint64>(0, timeoutMs - clock.elapsed()));
        const int ready = ::poll(&p, 1, left);
        if (ready <= 0) {
            wl_display_cancel_read(display);
            if (ready < 0 && errno == EINTR)
                continue;
            return QStringLiteral("the compositor did not copy the screen within %1 ms").arg(timeoutMs);
        }
        if (wl_display_read_events(display) < 0 || wl_display_dispatch_pending(display) < 0)
            return QStringLiteral("the Wayland connection failed");
    }
    return QString();
}

QImage::Format imageFormat(uint32_t format) {
    switch (format) {
    case WL_SHM_FORMAT_ARGB8888:
    case WL_SHM_FORMAT_XRGB8888:
        return QImage::Format_RGB32;
    case WL_SHM_FORMAT_ABGR8888:
    case WL_SHM_FORMAT_XBGR8888:
        return QImage::Format_RGBX8888;
    case WL_SHM_FORMAT_ARGB2101010:
    case WL_SHM_FORMAT_XRGB2101010:
        return QImage::Format_RGB30;
    case WL_SHM_FORMAT_ABGR2101010:
    case WL_SHM_FORMAT_XBGR2101010:
        return QImage::Format_BGR30;
    case WL_SHM_FORMAT_BGR888:
        return QImage::Format_RGB888;
    case WL_SHM_FORMAT_RGB888:
        return QImage::Format_BGR888;
    default:
        return QImage::Format_Invalid;
    }
}

// The output's picture the right way up, as it shows on the screen.
QImage upright(const Output &o) {
    const QImage::Format format = imageFormat(o.format);
    if (format == QImage::Format_Invalid)
        return QImage();
    QImage image = QImage(static_cast<const uchar *>(o.data), o.pixels.width(), o.pixels.height(),
                          qsizetype(o.stride), format)
                       .convertToFormat(QImage::Format_RGB32);
    if (o.yInverted)
        image.mirror(false, true);
    const int t = o.transform;
    const int quarterTurns = t % 4;
    if (quarterTurns != 0)
        image = image.transformed(QTransform().rotate(90.0 * quarterTurns));
    if (t >= WL_OUTPUT_TRANSFORM_FLIPPED)
        image.mirror(true, false);
    return image;
}

} // namespace

bool screencopyOffered(QString *problem) {
    Connection c;
    const QString missing = c.open();
    if (problem)
        *problem = missing;
    return missing.isEmpty();
}

ScreencopyPicture captureOutputs(int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    ScreencopyPicture result;
    Connection c;
    result.problem = c.open();
    if (!result.problem.isEmpty())
        return result;
    for (const auto &o : c.outputs) {
        o->xdg = zxdg_output_manager_v1_get_xdg_output(c.xdgOutputs, o->output);
        zxdg_output_v1_add_listener(o->xdg, &xdgOutputListener, o.get());
        o->frame = zwlr_screencopy_manager_v1_capture_output(c.screencopy, 0, o->output);
        zwlr_screencopy_frame_v1_add_listener(o->frame, &frameListener, o.get());
    }
    // Each frame first describes its buffer (and xdg-output the output's
    // place); the copy is asked for then.
    const auto described = [&] {
        return std::all_of(c.outputs.begin(), c.outputs.end(), [](const auto &o) {
            return (o->size > 0 && !o->logicalSize.isEmpty()) || o->state != Output::State::Waiting;
        });
    };
    result.problem = dispatchUntil(c.display, clock, timeoutMs, described);
    if (!result.problem.isEmpty())
        return result;
    for (const auto &o : c.outputs)
        if (o->state == Output::State::Waiting && !requestCopy(c.shm, *o))
            o->state = Output::State::Failed;
    result.problem = dispatchUntil(c.display, clock, timeoutMs, [&] {
        return std::none_of(c.outputs.begin(), c.outputs.end(),
                            [](const auto &o) { return o->state == Output::State::Waiting; });
    });
    if (!result.problem.isEmpty())
        return result;

    struct Shot {
        QRect logical;
        QImage image;
    };
    std::vector<Shot> shots;
    QRect span;
    double scale = 1.0;
    for (const auto &o : c.outputs) {
        if (o->state != Output::State::Ready) {
            result.problem = o->problem;
            return result;
        }
        Shot shot{QRect(o->logicalPosition, o->logicalSize), upright(*o)};
        if (shot.image.isNull()) {
            result.problem =
                QStringLiteral("the compositor copied the screen in a pixel format (0x%1) KelvraCapture "
                               "does not read")
                    .arg(o->format, 0, 16);
            return result;
        }
        span = span.united(shot.logical);
        scale = std::max(scale, double(shot.image.width()) / shot.logical.width());
        shots.push_back(std::move(shot));
    }
    // Each output at its place in the layout, at the highest scale: outputs
    // of a lower scale keep their own pixels and leave a gap beside them.
    QSize size;
    for (Shot &shot : shots) {
        const QPoint at(int(std::lround((shot.logical.x() - span.x()) * scale)),
                        int(std::lround((shot.logical.y() - span.y()) * scale)));
        const QRect inPicture(at, shot.image.size());
        size = size.expandedTo(QSize(inPicture.right() + 1, inPicture.bottom() + 1));
        result.screens.append({shot.logical, inPicture});
    }
    result.picture = QImage(size, QImage::Format_RGB32);
    result.picture.fill(Qt::black);
    QPainter painter(&result.picture);
    for (size_t i = 0; i < shots.size(); ++i)
        painter.drawImage(result.screens[qsizetype(i)].inPicture.topLeft(), shots[i].image);
    return result;
}
