// The compositor's screen copy on a real headless sway (tests/support/
// with-sway), against grim, Debian's screenshot tool for wlroots desktops,
// taking the same screen: one output, a turned one, a mirrored one, a scaled one and two
// side by side, with a window of four coloured quarters on each.
#include "platform/windowserver/screencopy.h"
#include "tests/support/qt_wait.h"

#include <QGuiApplication>
#include <QPainter>
#include <QProcess>
#include <QRasterWindow>

#include <gtest/gtest.h>

namespace {

class QuartersWindow : public QRasterWindow {
protected:
    void paintEvent(QPaintEvent *) override {
        QPainter p(this);
        const int w = width() / 2, h = height() / 2;
        p.fillRect(0, 0, w, h, QColor(220, 20, 20));
        p.fillRect(w, 0, width() - w, h, QColor(20, 200, 20));
        p.fillRect(0, h, w, height() - h, QColor(20, 20, 230));
        p.fillRect(w, h, width() - w, height() - h, QColor(240, 240, 30));
    }
};

bool sway(const QString &command) {
    return QProcess::execute(QStringLiteral("swaymsg"), {command}) == 0;
}

QImage grim() {
    QProcess process;
    process.start(QStringLiteral("grim"), {QStringLiteral("-t"), QStringLiteral("ppm"), QStringLiteral("-")});
    process.waitForFinished(20000);
    return QImage::fromData(process.readAllStandardOutput()).convertToFormat(QImage::Format_RGB32);
}

// Pixels that differ between the two pictures (of the same size).
qint64 differingPixels(const QImage &a, const QImage &b) {
    qint64 differ = 0;
    for (int y = 0; y < a.height(); ++y) {
        const auto *ra = reinterpret_cast<const QRgb *>(a.constScanLine(y));
        const auto *rb = reinterpret_cast<const QRgb *>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x)
            differ += (ra[x] & 0xffffff) != (rb[x] & 0xffffff);
    }
    return differ;
}

TEST(ScreencopyTest, CopiesEveryOutputAsGrimSeesIt) {
    if (qEnvironmentVariable("SWAYSOCK").isEmpty())
        GTEST_SKIP() << "runs inside tests/support/with-sway";
    QString problem;
    ASSERT_TRUE(screencopyOffered(&problem)) << problem.toStdString();

    QuartersWindow window;
    window.resize(600, 400);
    window.show();
    ASSERT_TRUE(kcWaitFor([&] { return window.isExposed(); }, 20000));

    struct Step {
        const char *name;
        QString command;
        int outputs;
    };
    const Step steps[] = {
        {"one output", QString(), 1},
        {"turned a quarter", QStringLiteral("output * transform 90"), 1},
        {"mirrored and turned", QStringLiteral("output * transform flipped-90"), 1},
        {"scale 2", QStringLiteral("output * transform normal, output * scale 2"), 1},
        {"two outputs", QStringLiteral("output * scale 1; create_output"), 2},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.name);
        if (!step.command.isEmpty()) {
            ASSERT_TRUE(sway(step.command));
        }
        if (step.outputs == 2) {
            // The new one beside the first; the window on it.
            ASSERT_TRUE(sway(QStringLiteral("output HEADLESS-2 resolution 1280x800 position 1280 0")));
            ASSERT_TRUE(sway(QStringLiteral("move container to output HEADLESS-2")));
        }
        // Let the compositor draw the new layout first.
        kcSpin(800);
        const ScreencopyPicture shot = captureOutputs();
        ASSERT_TRUE(shot.problem.isEmpty()) << shot.problem.toStdString();
        ASSERT_EQ(shot.screens.size(), step.outputs);
        const QImage reference = grim();
        ASSERT_FALSE(reference.isNull());
        ASSERT_EQ(shot.picture.size(), reference.size());
        EXPECT_LT(differingPixels(shot.picture, reference), qint64(shot.picture.width()) * 4)
            << "the copy differs from grim's picture";
        for (const FrozenScreen &s : shot.screens)
            EXPECT_DOUBLE_EQ(double(s.inPicture.width()) / s.logical.width(),
                             double(s.inPicture.height()) / s.logical.height());
    }
}

} // namespace
