#pragma once
// Colours, fonts and artwork of the application's windows: the capture
// panel's, and those the application builds over it (login window, tray).

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QRectF>
#include <QSize>
#include <QString>

class QWidget;

// The named colours the windows are drawn with.
inline QColor kcOrangeColor() {
    return QColor::fromRgbF(1.0f, 0.5f, 0.0f);
}
inline QColor kcLightGrayColor() {
    return QColor::fromRgbF(2.0f / 3.0f, 2.0f / 3.0f, 2.0f / 3.0f);
}
inline QColor kcGrayColor() {
    return QColor::fromRgbF(0.5f, 0.5f, 0.5f);
}

// The interface font "Raleway" at `pixelSize`; when it is not installed a
// similar sans (Lato, then the desktop's sans) stands in.
QFont kcRalewayFont(qreal pixelSize);

// Makes the artwork resources available (idempotent; the library is static).
void kcInitAppResources();

// The artwork by name ("kelvraLogo", "captureIcon", "successImage",
// "profilePlaceholderOrange"), rendered at `size` (device-independent pixels)
// for `devicePixelRatio`; a null pixmap for an unknown name.
QPixmap kcImageResource(const QString &name, const QSize &size, qreal devicePixelRatio = 1.0);
QIcon kcIconResource(const QString &name);
// The resource path of a named piece of artwork (":/kelvra/<name>.svg").
QString kcImageResourcePath(const QString &name);

// The alpha of a view: 1 draws it normally, 0 leaves it invisible (it still
// takes its place in the layout). Values in between fade it.
void kcSetViewAlpha(QWidget *view, qreal alpha);
qreal kcViewAlpha(const QWidget *view);

// The title rectangle of the application's layer-drawn buttons: the bounds
// moved up by one point.
QRectF kcButtonTitleRectForBounds(const QRectF &bounds);
