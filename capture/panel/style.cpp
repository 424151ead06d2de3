#include "capture/panel/style.h"

#include <QFile>
#include <QFontDatabase>
#include <QGraphicsOpacityEffect>
#include <QPainter>
#include <QSvgRenderer>
#include <QWidget>

static void initResourcesOnce() {
    Q_INIT_RESOURCE(artwork);
}

void kcInitAppResources() {
    static const bool done = [] {
        initResourcesOnce();
        return true;
    }();
    Q_UNUSED(done);
}

QFont kcRalewayFont(qreal pixelSize) {
    QFont font;
    font.setFamilies({QStringLiteral("Raleway"), QStringLiteral("Lato"), QStringLiteral("DejaVu Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(qMax(1, qRound(pixelSize)));
    return font;
}

QString kcImageResourcePath(const QString &name) {
    return QStringLiteral(":/kelvra/%1.svg").arg(name);
}

QPixmap kcImageResource(const QString &name, const QSize &size, qreal devicePixelRatio) {
    kcInitAppResources();
    const QString path = kcImageResourcePath(name);
    if (!QFile::exists(path) || size.isEmpty())
        return QPixmap();
    QSvgRenderer renderer(path);
    QPixmap pixmap(size * devicePixelRatio);
    pixmap.fill(Qt::transparent);
    {
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(size * devicePixelRatio)));
    }
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
}

QIcon kcIconResource(const QString &name) {
    kcInitAppResources();
    return QIcon(kcImageResourcePath(name));
}

void kcSetViewAlpha(QWidget *view, qreal alpha) {
    if (!view)
        return;
    alpha = qBound(0.0, alpha, 1.0);
    if (alpha >= 1.0) {
        view->setGraphicsEffect(nullptr);
        return;
    }
    auto *effect = qobject_cast<QGraphicsOpacityEffect *>(view->graphicsEffect());
    if (!effect) {
        effect = new QGraphicsOpacityEffect(view);
        view->setGraphicsEffect(effect);
    }
    effect->setOpacity(alpha);
}

qreal kcViewAlpha(const QWidget *view) {
    if (!view)
        return 0.0;
    auto *effect = qobject_cast<QGraphicsOpacityEffect *>(view->graphicsEffect());
    return effect ? effect->opacity() : 1.0;
}

QRectF kcButtonTitleRectForBounds(const QRectF &bounds) {
    return bounds.translated(0.0, -1.0);
}
