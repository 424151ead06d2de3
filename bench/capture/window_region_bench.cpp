// On a desktop that tells no window geometry, which part of the screen's
// picture a capture should read: the whole screen under the selection, the
// selection alone, or the selection grown to the window edges around it
// (grownWindowRegion). For rendered desktops (a record beside a schedule
// list, a record over another window, a maximised record) and selections in
// the record's banner and in its notes, prints per choice the pixels read,
// the time to the card and to the whole text, and the patient proposed.
//
//   bench_capture_window_region

#include "capture/identification/patient_identification.h"
#include "capture/image_preparation.h"
#include "capture/text_recognizer.h"
#include "capture/window_region.h"
#include "window_rendering.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLinearGradient>
#include <QPainter>
#include <cstdio>
#include <mutex>

namespace {

const QSize kScreen(1920, 1080);
constexpr int kTopBar = 32;

QImage desktop() {
    QImage image(kScreen, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient wallpaper(0, 0, kScreen.width(), kScreen.height());
    wallpaper.setColorAt(0, QColor(0x2C, 0x3E, 0x66));
    wallpaper.setColorAt(1, QColor(0x7A, 0x3B, 0x5E));
    painter.fillRect(image.rect(), wallpaper);
    painter.fillRect(0, 0, kScreen.width(), kTopBar, QColor(0x1D, 0x1D, 0x1D));
    painter.setPen(Qt::white);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(14);
    painter.setFont(font);
    painter.drawText(QRect(12, 0, 200, kTopBar), Qt::AlignVCenter, QStringLiteral("Activities"));
    painter.drawText(QRect(0, 0, kScreen.width(), kTopBar), Qt::AlignCenter, QStringLiteral("Tue 15:07"));
    return image;
}

// A window with the one-pixel border desktops draw around windows.
void place(QImage &screen, const QImage &window, const QPoint &at) {
    QPainter painter(&screen);
    painter.drawImage(at, window);
    painter.setPen(QColor(0xB0, 0xB0, 0xB0));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(QRect(at, window.size()).adjusted(0, 0, -1, -1));
}

struct Scene {
    QString label;
    QImage picture;
    QList<QPair<QString, QRect>> selections;
};

QList<Scene> scenes() {
    QList<Scene> list;
    {
        QImage screen = desktop();
        place(screen, renderFullRecordWindow(QSize(960, 1048), 1.0, "Smith, John"), QPoint(0, kTopBar));
        place(screen, renderDenseWindow(QSize(960, 1048)), QPoint(960, kTopBar));
        list.append({"record beside a schedule",
                     screen,
                     {{"banner", QRect(240, kTopBar + 48, 420, 64)}, {"notes", QRect(260, 700, 560, 180)}}});
    }
    {
        QImage screen = desktop();
        place(screen, renderDenseWindow(QSize(1000, 700)), QPoint(80, 90));
        place(screen, renderFullRecordWindow(QSize(1200, 800), 1.0, "Smith, John"), QPoint(560, 200));
        list.append({"record over a schedule",
                     screen,
                     {{"banner", QRect(800, 200 + 48, 420, 64)}, {"notes", QRect(820, 700, 560, 180)}}});
    }
    {
        QImage screen = desktop();
        place(screen, renderFullRecordWindow(QSize(1920, 1048), 1.0, "Smith, John"), QPoint(0, kTopBar));
        list.append({"maximised record",
                     screen,
                     {{"banner", QRect(240, kTopBar + 48, 420, 64)}, {"notes", QRect(260, 700, 560, 180)}}});
    }
    return list;
}

struct Reading {
    qint64 card = -1, whole = -1;
    QString proposed;
};

QString nameOf(const QVariantList &patients, const PatientIdentification &identification) {
    return identification.proposed
               ? patients.at(*identification.proposed).toMap().value("name").toString()
               : QStringLiteral("nobody (%1)").arg(identificationReasonText(identification.reason));
}

Reading read(TextRecognizer &recognizer, const QImage &image, const QVariantList &patients) {
    recognizer.waitUntilReady(120000);
    Reading r;
    QElapsedTimer clock;
    clock.start();
    const QImage input = recognitionInput(image, 1.0);
    std::mutex lock;
    const std::optional<QString> text =
        recognizer.read(input, nullptr, nullptr, 0, [&](const ScreenText &top) {
            const PatientIdentification early = identifyPatient(patients, top);
            std::lock_guard guard(lock);
            if (early.proposed && early.dobOnScreen)
                r.card = clock.elapsed();
        });
    const PatientIdentification identification = identifyPatient(patients, text);
    r.whole = clock.elapsed();
    if (r.card < 0)
        r.card = r.whole;
    r.proposed = nameOf(patients, identification);
    return r;
}

} // namespace

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QVariantList patients = renderedRecordPatients();
    TextRecognizer recognizer;
    std::printf(
        "the window under a selection on a %dx%d screen without window geometry; %d engines\n"
        "right patient: John Smith; times in ms (card: at the top band when it names the patient with\n"
        "the date of birth, else with the whole text)\n\n",
        kScreen.width(), kScreen.height(), recognizer.engineCount());
    std::printf("%-26s %-7s %-15s %10s %7s %7s  %s\n", "desktop", "select", "read", "pixels", "card", "whole",
                "proposed");
    for (const Scene &scene : scenes()) {
        for (const auto &[where, selection] : scene.selections) {
            QElapsedTimer grow;
            grow.start();
            const QRect grown = grownWindowRegion(scene.picture, selection);
            const qint64 growMs = grow.elapsed();
            const QList<QPair<QString, QRect>> choices = {
                {"whole screen", scene.picture.rect()}, {"selection", selection}, {"grown", grown}};
            for (const auto &[choice, rect] : choices) {
                const Reading r = read(recognizer, scene.picture.copy(rect), patients);
                std::printf(
                    "%-26s %-7s %-15s %10lld %7lld %7lld  %s\n", qPrintable(scene.label), qPrintable(where),
                    qPrintable(choice == "grown" ? QStringLiteral("grown (+%1 ms)").arg(growMs) : choice),
                    qint64(rect.width()) * rect.height(), r.card, r.whole, qPrintable(r.proposed));
                std::fflush(stdout);
            }
            std::printf("%-26s %-7s grown to x %d..%d\n", "", "", grown.left(), grown.right() + 1);
        }
    }
    return 0;
}
