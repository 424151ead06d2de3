#include "platform/windowserver/window_server.h"

#include <QHash>
#include <QMutex>
#include <QMutexLocker>

#include <xcb/composite.h>
#include <xcb/xcb.h>
#include <xcb/xinerama.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

template <typename T> struct FreeDeleter {
    void operator()(T *p) const { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeDeleter<T>>;

struct VisualFormat {
    quint8 depth = 0;
    quint32 red = 0, green = 0, blue = 0;
};

struct PixmapFormat {
    quint8 bitsPerPixel = 0;
    quint8 scanlinePad = 0;
};

// One channel of a pixel, scaled to 8 bits.
inline quint32 channel(quint32 pixel, quint32 mask) {
    if (mask == 0)
        return 0;
    const int shift = __builtin_ctz(mask);
    const quint32 max = mask >> shift;
    const quint32 value = (pixel & mask) >> shift;
    return max == 255 ? value : (value * 255 + max / 2) / max;
}

struct Toplevel {
    WindowServerWindow info;
    xcb_visualid_t visual = 0;
};

xcb_atom_t internAtom(xcb_connection_t *connection, const char *name) {
    Reply<xcb_intern_atom_reply_t> atom(xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, quint16(std::strlen(name)), name), nullptr));
    return atom ? atom->atom : xcb_atom_t(XCB_ATOM_NONE);
}

} // namespace

struct X11WindowServer::Private {
    xcb_connection_t *connection = nullptr;
    xcb_window_t root = 0;
    int screenNumber = 0;
    QRect rootBounds;
    bool msbFirst = false;
    QHash<xcb_visualid_t, VisualFormat> visuals;
    QHash<quint8, PixmapFormat> pixmapFormats;
    xcb_atom_t windowTypeAtom = XCB_ATOM_NONE;
    xcb_atom_t desktopTypeAtom = XCB_ATOM_NONE;
    xcb_atom_t pidAtom = XCB_ATOM_NONE;

    ~Private() {
        if (connection)
            xcb_disconnect(connection);
    }

    // The child of the root that holds `window`, or 0.
    xcb_window_t toplevelOf(xcb_window_t window) const {
        for (int guard = 0; window != 0 && window != root && guard < 64; ++guard) {
            Reply<xcb_query_tree_reply_t> tree(
                xcb_query_tree_reply(connection, xcb_query_tree(connection, window), nullptr));
            if (!tree)
                return 0;
            if (tree->parent == root)
                return window;
            window = tree->parent;
        }
        return 0;
    }

    // Visible top-level windows below `window`, bottom to top.
    QList<Toplevel> toplevelsBelow(const QList<quint32> &windows) const {
        QList<Toplevel> result;
        Reply<xcb_query_tree_reply_t> tree(
            xcb_query_tree_reply(connection, xcb_query_tree(connection, root), nullptr));
        if (!tree)
            return result;
        const xcb_window_t *children = xcb_query_tree_children(tree.get());
        int count = xcb_query_tree_children_length(tree.get());
        for (quint32 window : windows) {
            const xcb_window_t top = window ? toplevelOf(window) : 0;
            for (int i = 0; top && i < count; ++i) {
                if (children[i] == top) {
                    count = i;
                    break;
                }
            }
        }
        // Ask for everything first, then collect: one round trip, not 2n.
        std::vector<xcb_get_window_attributes_cookie_t> attributeCookies(count);
        std::vector<xcb_get_geometry_cookie_t> geometryCookies(count);
        for (int i = 0; i < count; ++i) {
            attributeCookies[i] = xcb_get_window_attributes(connection, children[i]);
            geometryCookies[i] = xcb_get_geometry(connection, children[i]);
        }
        for (int i = 0; i < count; ++i) {
            Reply<xcb_get_window_attributes_reply_t> attributes(
                xcb_get_window_attributes_reply(connection, attributeCookies[i], nullptr));
            Reply<xcb_get_geometry_reply_t> geometry(
                xcb_get_geometry_reply(connection, geometryCookies[i], nullptr));
            if (!attributes || !geometry)
                continue;
            if (attributes->map_state != XCB_MAP_STATE_VIEWABLE ||
                attributes->_class == XCB_WINDOW_CLASS_INPUT_ONLY)
                continue;
            const int border = geometry->border_width;
            const QRect bounds(geometry->x, geometry->y, geometry->width + 2 * border,
                               geometry->height + 2 * border);
            if (geometry->width <= 1 && geometry->height <= 1)
                continue;
            if (!bounds.intersects(rootBounds))
                continue;
            Toplevel t;
            t.info.windowID = children[i];
            t.info.bounds = bounds;
            t.visual = attributes->visual;
            t.info.translucent = visuals.value(attributes->visual).depth == 32;
            result.append(t);
        }
        return result;
    }

    // Which of `windows` show a desktop (_NET_WM_WINDOW_TYPE_DESKTOP: the
    // background with its icons). The type is set on the client window,
    // which a window manager may have put inside a frame of its own: the
    // top-level window and, where it has no type, its children two levels
    // down are asked, each level in one round trip.
    QList<bool> desktopWindows(const QList<Toplevel> &windows) const {
        QList<bool> result(windows.size(), false);
        if (windowTypeAtom == XCB_ATOM_NONE || desktopTypeAtom == XCB_ATOM_NONE)
            return result;
        // (index of the top-level window, window to ask)
        QList<std::pair<qsizetype, xcb_window_t>> asking;
        for (qsizetype i = 0; i < windows.size(); ++i)
            asking.append({i, windows[i].info.windowID});
        for (int level = 0; level < 3 && !asking.isEmpty(); ++level) {
            std::vector<xcb_get_property_cookie_t> cookies;
            cookies.reserve(asking.size());
            for (const auto &[index, window] : asking)
                cookies.push_back(
                    xcb_get_property(connection, 0, window, windowTypeAtom, XCB_ATOM_ATOM, 0, 16));
            QList<std::pair<qsizetype, xcb_window_t>> untyped;
            for (qsizetype k = 0; k < asking.size(); ++k) {
                Reply<xcb_get_property_reply_t> type(xcb_get_property_reply(connection, cookies[k], nullptr));
                if (type && type->type == XCB_ATOM_ATOM && type->format == 32) {
                    const auto *atoms = static_cast<const xcb_atom_t *>(xcb_get_property_value(type.get()));
                    const int count = xcb_get_property_value_length(type.get()) / 4;
                    for (int a = 0; a < count; ++a)
                        if (atoms[a] == desktopTypeAtom)
                            result[asking[k].first] = true;
                    continue;
                }
                untyped.append(asking[k]);
            }
            if (level == 2)
                break;
            std::vector<xcb_query_tree_cookie_t> trees;
            trees.reserve(untyped.size());
            for (const auto &[index, window] : untyped)
                trees.push_back(xcb_query_tree(connection, window));
            asking.clear();
            for (qsizetype k = 0; k < untyped.size(); ++k) {
                Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(connection, trees[k], nullptr));
                if (!tree)
                    continue;
                const xcb_window_t *children = xcb_query_tree_children(tree.get());
                for (int c = 0; c < xcb_query_tree_children_length(tree.get()); ++c)
                    asking.append({untyped[k].first, children[c]});
            }
        }
        return result;
    }

    // Paints the part `area` (root coordinates) of `window` over `target`,
    // whose top-left corner is `origin` in root coordinates.
    void paintWindow(const Toplevel &window, const QRect &area, QImage &target, const QPoint &origin) const {
        const auto visual = visuals.constFind(window.visual);
        if (visual == visuals.constEnd())
            return;
        const auto format = pixmapFormats.constFind(visual->depth);
        if (format == pixmapFormats.constEnd())
            return;
        const xcb_pixmap_t pixmap = xcb_generate_id(connection);
        xcb_void_cookie_t named =
            xcb_composite_name_window_pixmap_checked(connection, window.info.windowID, pixmap);
        if (xcb_generic_error_t *error = xcb_request_check(connection, named)) {
            std::free(error);
            return;
        }
        const QPoint inWindow = area.topLeft() - window.info.bounds.topLeft();
        Reply<xcb_get_image_reply_t> image(xcb_get_image_reply(
            connection,
            xcb_get_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, qint16(inWindow.x()),
                          qint16(inWindow.y()), quint16(area.width()), quint16(area.height()), ~0u),
            nullptr));
        xcb_free_pixmap(connection, pixmap);
        if (!image)
            return;
        const int bpp = format->bitsPerPixel;
        const int pad = format->scanlinePad ? format->scanlinePad : 32;
        const qsizetype stride = ((qsizetype(area.width()) * bpp + pad - 1) / pad) * pad / 8;
        const qsizetype length = xcb_get_image_data_length(image.get());
        if (bpp != 16 && bpp != 24 && bpp != 32)
            return;
        if (length < stride * area.height())
            return;
        const quint8 *data = xcb_get_image_data(image.get());
        const bool hasAlpha = visual->depth == 32;
        const quint32 depthMask = visual->depth >= 32 ? 0xffffffffu : ((1u << visual->depth) - 1);
        const quint32 alphaMask = hasAlpha ? depthMask & ~(visual->red | visual->green | visual->blue) : 0;
        const bool plain = bpp == 32 && !msbFirst && visual->red == 0xff0000 && visual->green == 0xff00 &&
                           visual->blue == 0xff && (!hasAlpha || alphaMask == 0xff000000u);
        const int bytes = bpp / 8;
        for (int y = 0; y < area.height(); ++y) {
            const quint8 *src = data + y * stride;
            auto *dst = reinterpret_cast<quint32 *>(target.scanLine(area.y() - origin.y() + y)) +
                        (area.x() - origin.x());
            for (int x = 0; x < area.width(); ++x) {
                quint32 pixel;
                if (plain) {
                    std::memcpy(&pixel, src + 4 * x, 4);
                } else {
                    pixel = 0;
                    const quint8 *p = src + x * bytes;
                    for (int b = 0; b < bytes; ++b)
                        pixel |= msbFirst ? quint32(p[b]) << (8 * (bytes - 1 - b)) : quint32(p[b]) << (8 * b);
                    pixel = qRgba(channel(pixel, visual->red), channel(pixel, visual->green),
                                  channel(pixel, visual->blue), hasAlpha ? channel(pixel, alphaMask) : 255);
                }
                if (!hasAlpha) {
                    dst[x] = pixel | 0xff000000u;
                    continue;
                }
                // X keeps ARGB pixels premultiplied: source over destination.
                const quint32 alpha = pixel >> 24;
                if (alpha == 255) {
                    dst[x] = pixel;
                } else if (alpha != 0 || (pixel & 0xffffff) != 0) {
                    const quint32 inverse = 255 - alpha;
                    const quint32 d = dst[x];
                    auto blend = [&](int shift) {
                        const quint32 s = (pixel >> shift) & 0xff;
                        const quint32 t = (d >> shift) & 0xff;
                        return qMin<quint32>(255, s + (t * inverse + 127) / 255) << shift;
                    };
                    dst[x] = blend(24) | blend(16) | blend(8) | blend(0);
                }
            }
        }
    }
};

std::unique_ptr<X11WindowServer> X11WindowServer::open(const QString &display, QString *failure) {
    auto d = std::make_unique<Private>();
    int screenNumber = 0;
    const QByteArray name = display.toLocal8Bit();
    d->connection = xcb_connect(display.isEmpty() ? nullptr : name.constData(), &screenNumber);
    if (!d->connection || xcb_connection_has_error(d->connection)) {
        if (failure)
            *failure = QStringLiteral("cannot open the X display %1")
                           .arg(display.isEmpty() ? qEnvironmentVariable("DISPLAY") : display);
        return nullptr;
    }
    const xcb_setup_t *setup = xcb_get_setup(d->connection);
    d->msbFirst = setup->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST;
    for (auto formats = xcb_setup_pixmap_formats_iterator(setup); formats.rem; xcb_format_next(&formats))
        d->pixmapFormats.insert(formats.data->depth,
                                {formats.data->bits_per_pixel, formats.data->scanline_pad});
    auto screens = xcb_setup_roots_iterator(setup);
    for (int i = 0; i < screenNumber && screens.rem; ++i)
        xcb_screen_next(&screens);
    if (!screens.rem) {
        if (failure)
            *failure = QStringLiteral("the X display has no screen %1").arg(screenNumber);
        return nullptr;
    }
    const xcb_screen_t *screen = screens.data;
    d->root = screen->root;
    d->screenNumber = screenNumber;
    d->rootBounds = QRect(0, 0, screen->width_in_pixels, screen->height_in_pixels);
    for (auto depths = xcb_screen_allowed_depths_iterator(screen); depths.rem; xcb_depth_next(&depths)) {
        for (auto v = xcb_depth_visuals_iterator(depths.data); v.rem; xcb_visualtype_next(&v))
            d->visuals.insert(v.data->visual_id,
                              {depths.data->depth, v.data->red_mask, v.data->green_mask, v.data->blue_mask});
    }
    d->windowTypeAtom = internAtom(d->connection, "_NET_WM_WINDOW_TYPE");
    d->desktopTypeAtom = internAtom(d->connection, "_NET_WM_WINDOW_TYPE_DESKTOP");
    d->pidAtom = internAtom(d->connection, "_NET_WM_PID");
    const xcb_query_extension_reply_t *composite = xcb_get_extension_data(d->connection, &xcb_composite_id);
    if (!composite || !composite->present) {
        if (failure)
            *failure = QStringLiteral("the X server lacks the Composite extension");
        return nullptr;
    }
    Reply<xcb_composite_query_version_reply_t> version(xcb_composite_query_version_reply(
        d->connection, xcb_composite_query_version(d->connection, 0, 4), nullptr));
    if (!version || (version->major_version == 0 && version->minor_version < 2)) {
        if (failure)
            *failure = QStringLiteral("the X server's Composite extension is older than 0.2");
        return nullptr;
    }
    xcb_void_cookie_t redirect =
        xcb_composite_redirect_subwindows_checked(d->connection, d->root, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
    if (xcb_generic_error_t *error = xcb_request_check(d->connection, redirect)) {
        std::free(error);
        if (failure)
            *failure = QStringLiteral("the X server refused to redirect the windows to off-screen storage");
        return nullptr;
    }
    return std::unique_ptr<X11WindowServer>(new X11WindowServer(std::move(d)));
}

X11WindowServer::X11WindowServer(std::unique_ptr<Private> p) : d(std::move(p)) {}
X11WindowServer::~X11WindowServer() = default;

QList<WindowServerWindow> X11WindowServer::windowsBelowAll(const QList<quint32> &windows) const {
    const QList<Toplevel> bottomToTop = d->toplevelsBelow(windows);
    // The desktop is not a window to capture (its pixels still show in the
    // images, under everything else).
    const QList<bool> desktop = d->desktopWindows(bottomToTop);
    QList<WindowServerWindow> result;
    result.reserve(bottomToTop.size());
    for (qsizetype i = bottomToTop.size() - 1; i >= 0; --i)
        if (!desktop[i])
            result.append(bottomToTop[i].info);
    return result;
}

QImage X11WindowServer::imageOfRectBelowAll(const QRect &rect, const QList<quint32> &windows) const {
    if (rect.isEmpty())
        return QImage();
    QImage image(rect.size(), QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
        return image;
    image.fill(0xff000000u);
    for (const Toplevel &t : d->toplevelsBelow(windows)) {
        const QRect area = t.info.bounds.intersected(rect);
        if (!area.isEmpty())
            d->paintWindow(t, area, image, rect.topLeft());
    }
    return image;
}

quint32 X11WindowServer::toplevelWindow(quint32 window) const {
    return d->toplevelOf(window);
}

qint64 X11WindowServer::windowProcess(quint32 windowID) const {
    const xcb_atom_t pidAtom = d->pidAtom;
    if (pidAtom == XCB_ATOM_NONE || windowID == 0)
        return 0;
    // The property is on the client window, which a window manager may have
    // put inside a frame of its own: the window, then its children two
    // levels down.
    QList<xcb_window_t> asking{windowID};
    for (int level = 0; level < 3 && !asking.isEmpty(); ++level) {
        std::vector<xcb_get_property_cookie_t> cookies;
        for (const xcb_window_t window : asking)
            cookies.push_back(xcb_get_property(d->connection, 0, window, pidAtom, XCB_ATOM_CARDINAL, 0, 1));
        qint64 pid = 0;
        for (xcb_get_property_cookie_t cookie : cookies) {
            Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(d->connection, cookie, nullptr));
            if (pid == 0 && reply && reply->type == XCB_ATOM_CARDINAL && reply->format == 32 &&
                xcb_get_property_value_length(reply.get()) >= 4)
                pid = *static_cast<const quint32 *>(xcb_get_property_value(reply.get()));
        }
        if (pid > 0)
            return pid;
        QList<xcb_window_t> children;
        for (const xcb_window_t window : asking) {
            Reply<xcb_query_tree_reply_t> tree(
                xcb_query_tree_reply(d->connection, xcb_query_tree(d->connection, window), nullptr));
            if (!tree)
                continue;
            const xcb_window_t *list = xcb_query_tree_children(tree.get());
            for (int c = 0; c < xcb_query_tree_children_length(tree.get()); ++c)
                children.append(list[c]);
        }
        asking = children;
    }
    return 0;
}

bool X11WindowServer::compositingManagerRunning() const {
    const QByteArray name = QByteArray("_NET_WM_CM_S") + QByteArray::number(d->screenNumber);
    Reply<xcb_intern_atom_reply_t> atom(xcb_intern_atom_reply(
        d->connection, xcb_intern_atom(d->connection, 0, quint16(name.size()), name.constData()), nullptr));
    if (!atom)
        return false;
    Reply<xcb_get_selection_owner_reply_t> owner(xcb_get_selection_owner_reply(
        d->connection, xcb_get_selection_owner(d->connection, atom->atom), nullptr));
    return owner && owner->owner != XCB_NONE;
}

QList<QRect> X11WindowServer::screens() const {
    QList<QRect> result;
    Reply<xcb_xinerama_is_active_reply_t> active(
        xcb_xinerama_is_active_reply(d->connection, xcb_xinerama_is_active(d->connection), nullptr));
    if (active && active->state) {
        Reply<xcb_xinerama_query_screens_reply_t> screens(xcb_xinerama_query_screens_reply(
            d->connection, xcb_xinerama_query_screens(d->connection), nullptr));
        if (screens) {
            const xcb_xinerama_screen_info_t *info = xcb_xinerama_query_screens_screen_info(screens.get());
            for (int i = 0; i < xcb_xinerama_query_screens_screen_info_length(screens.get()); ++i)
                result.append(QRect(info[i].x_org, info[i].y_org, info[i].width, info[i].height));
        }
    }
    if (result.isEmpty())
        result.append(d->rootBounds);
    return result;
}
