// The AT-SPI reader against real programs: a GTK window, a Qt Widgets window
// and Chromium each showing a record (the exact text, accents included, the
// label bound to its field, headings and landmarks where the program tells
// them), an image viewer that publishes no tree, and a program that stops
// answering in the middle of the session.
#include "platform/accessibility/accessibility_reader.h"
#include "platform/windowserver/window_server.h"

#include "tests/support/qt_wait.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

namespace {

struct Program {
    const char *name;
    QString command;
    QStringList arguments;
};

// A record page with the structure a browser publishes: a banner landmark
// with the name as the top heading, a label bound to a field, a table.
const char *kRecordPage = R"(<html><head><meta charset="utf-8"><title>Chart</title></head><body>
<header><h1>LEFÈVRE, Zoë</h1><span>DOB</span> <span>05/17/2001</span> MRN 123456</header>
<main><p>Seen with her mother Inès Lefèvre.</p>
<p><label for="d">Date of birth:</label> <input id="d" value="05/17/2001" readonly></p>
<table><tr><th>Test</th><th>Result</th></tr><tr><td>Sodium</td><td>139</td></tr></table></main>
</body></html>)";

class RunningProgram {
public:
    explicit RunningProgram(const Program &program) {
        m_process.setProgram(program.command);
        m_process.setArguments(program.arguments);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.start();
        m_process.waitForStarted(10000);
    }
    ~RunningProgram() {
        if (m_process.state() != QProcess::NotRunning) {
            ::kill(pid_t(m_process.processId()), SIGCONT);
            m_process.kill();
            m_process.waitForFinished(10000);
        }
    }
    qint64 pid() const { return m_process.processId(); }

private:
    QProcess m_process;
};

// The bounds of the program's top-level window once it is on screen (with
// `pid` 0: of the one large window, for programs that do not tell their
// process), and the process the window tells.
std::optional<QRect> windowOf(const X11WindowServer &server, qint64 pid, qint64 *toldPid = nullptr) {
    std::optional<QRect> found;
    kcWaitFor(
        [&] {
            for (const WindowServerWindow &w : server.windowsBelowAll({})) {
                const qint64 told = server.windowProcess(w.windowID);
                if (w.bounds.width() >= 200 && w.bounds.height() >= 200 && (pid == 0 || told == pid)) {
                    found = w.bounds;
                    if (toldPid)
                        *toldPid = told;
                }
            }
            return found.has_value();
        },
        30000);
    return found;
}

// Reads until the tree holds `word` (programs publish their tree a moment
// after their window shows), or the time is up.
AccessibleWindow readUntil(AccessibilityReader &reader, const AccessibleWindowRequest &request,
                           const QString &word) {
    AccessibleWindow read;
    kcWaitFor(
        [&] {
            read = reader.read(request).get();
            for (const AccessibleElement &e : read.elements)
                for (const AccessibleWord &w : e.words)
                    if (w.text == word)
                        return true;
            return false;
        },
        30000);
    return read;
}

QStringList wordsOf(const AccessibleWindow &window) {
    QStringList words;
    for (const AccessibleElement &e : window.elements)
        for (const AccessibleWord &w : e.words)
            words << w.text;
    return words;
}

int elementWith(const AccessibleWindow &window, const QString &word) {
    for (qsizetype i = 0; i < window.elements.size(); ++i)
        for (const AccessibleWord &w : window.elements.at(i).words)
            if (w.text == word)
                return int(i);
    return -1;
}

TEST(AccessibilityReader, ReadsTheRecordEachToolkitPublishes) {
    QString failure;
    const std::unique_ptr<X11WindowServer> server = X11WindowServer::open(QString(), &failure);
    ASSERT_TRUE(server) << qPrintable(failure);
    QTemporaryDir dir;
    QFile page(dir.filePath(QStringLiteral("record.html")));
    ASSERT_TRUE(page.open(QIODevice::WriteOnly));
    page.write(kRecordPage);
    page.close();
    const Program programs[] = {
        {"GTK", QStringLiteral("/usr/bin/python3"), {QStringLiteral(KC_RECORD_GTK)}},
        {"Qt", QStringLiteral(KC_RECORD_QT), {}},
        {"Chromium",
         QStringLiteral("chromium"),
         {QStringLiteral("--no-sandbox"), QStringLiteral("--disable-gpu"), QStringLiteral("--no-first-run"),
          QStringLiteral("--disable-background-networking"), QStringLiteral("--disable-component-update"),
          QStringLiteral("--disable-sync"), QStringLiteral("--password-store=basic"),
          QStringLiteral("--user-data-dir=") + dir.filePath(QStringLiteral("profile")),
          QStringLiteral("--force-renderer-accessibility"), QStringLiteral("--window-size=900,600"),
          QStringLiteral("--window-position=0,0"), QStringLiteral("file://") + page.fileName()}},
    };
    const std::unique_ptr<AccessibilityReader> reader = makeAtspiReader();
    for (const Program &program : programs) {
        SCOPED_TRACE(program.name);
        RunningProgram running(program);
        const std::optional<QRect> bounds = windowOf(*server, running.pid());
        ASSERT_TRUE(bounds) << "no window";
        AccessibleWindowRequest request;
        request.pid = running.pid();
        request.windowBounds = *bounds;
        request.area = *bounds;
        request.timeBudgetMs = 3000;
        const AccessibleWindow read = readUntil(*reader, request, QStringLiteral("05/17/2001"));
        EXPECT_EQ(read.status, AccessibleWindow::Status::Read);
        const QStringList words = wordsOf(read);
        // The exact text: accents as the program holds them.
        for (const char *expected : {"LEFÈVRE,", "Zoë", "05/17/2001", "Inès", "Lefèvre."})
            EXPECT_TRUE(words.contains(QString::fromUtf8(expected)))
                << expected << " in " << qPrintable(words.join(' '));
        // "Date of birth:" labels the field that shows the date.
        int label = elementWith(read, QStringLiteral("birth:"));
        while (label >= 0 && read.elements.at(label).labelFor.isEmpty())
            label = read.elements.at(label).parent;
        ASSERT_GE(label, 0) << "no label bound to a field";
        bool bound = false;
        for (const int target : read.elements.at(label).labelFor)
            bound = bound || elementWith(read, QStringLiteral("05/17/2001")) == target ||
                    read.elements.at(target).role == AccessibleRole::Field;
        EXPECT_TRUE(bound) << "the label is bound to the field";
        // Every word read lies in the window.
        for (const AccessibleElement &e : read.elements)
            for (const AccessibleWord &w : e.words)
                EXPECT_TRUE(w.box.isEmpty() || bounds->intersects(w.box)) << qPrintable(w.text);
        if (QLatin1String(program.name) == QLatin1String("Chromium")) {
            const int name = elementWith(read, QStringLiteral("Zoë"));
            bool banner = false, heading = false;
            for (int e = name; e >= 0; e = read.elements.at(e).parent) {
                banner = banner || read.elements.at(e).landmark == QLatin1String("banner");
                heading = heading || read.elements.at(e).headingLevel == 1;
            }
            EXPECT_TRUE(banner && heading) << "the name is the top heading in the banner";
            bool header = false;
            for (const AccessibleElement &e : read.elements)
                header = header || e.role == AccessibleRole::ColumnHeader;
            EXPECT_TRUE(header);
        }
        std::printf("[ reading  ] %s: %d elements, %lld ms\n", program.name, int(read.elements.size()),
                    static_cast<long long>(read.elapsedMs));
    }
}

TEST(AccessibilityReader, AnImageViewerHasNoTreeAndAProgramThatStopsAnsweringIsLeftBehind) {
    QString failure;
    const std::unique_ptr<X11WindowServer> server = X11WindowServer::open(QString(), &failure);
    ASSERT_TRUE(server) << qPrintable(failure);
    const std::unique_ptr<AccessibilityReader> reader = makeAtspiReader();
    QTemporaryDir dir;
    QImage picture(400, 300, QImage::Format_RGB32);
    picture.fill(Qt::white);
    ASSERT_TRUE(picture.save(dir.filePath(QStringLiteral("record.png"))));
    {
        RunningProgram viewer(
            {"display", QStringLiteral("display"), {dir.filePath(QStringLiteral("record.png"))}});
        // The viewer tells no process on its window (a capture then reads
        // by recognition at once); even asked by its process, it has no tree.
        qint64 told = -1;
        const std::optional<QRect> bounds = windowOf(*server, 0, &told);
        ASSERT_TRUE(bounds);
        EXPECT_TRUE(told == 0 || told == viewer.pid());
        const AccessibleWindow read = reader->read({viewer.pid(), *bounds, *bounds, false, 1000, 3000}).get();
        EXPECT_EQ(read.status, AccessibleWindow::Status::NoApplication);
        EXPECT_TRUE(read.elements.isEmpty());
    }
    // A program that stops answering for a while: the read in progress
    // runs out of its budget (the capture has read by recognition), a read
    // asked meanwhile is turned away at once, and the program is read again
    // once it answers.
    RunningProgram gtk({"GTK", QStringLiteral("/usr/bin/python3"), {QStringLiteral(KC_RECORD_GTK)}});
    const std::optional<QRect> bounds = windowOf(*server, gtk.pid());
    ASSERT_TRUE(bounds);
    AccessibleWindowRequest request{gtk.pid(), *bounds, *bounds, false, 300, 3000};
    ASSERT_EQ(readUntil(*reader, request, QStringLiteral("Zoë")).status, AccessibleWindow::Status::Read);
    ASSERT_EQ(::kill(pid_t(gtk.pid()), SIGSTOP), 0);
    const std::shared_future<AccessibleWindow> stopped = reader->read(request);
    kcSpin(500);
    EXPECT_EQ(reader->read(request).get().status, AccessibleWindow::Status::Busy);
    ASSERT_EQ(::kill(pid_t(gtk.pid()), SIGCONT), 0);
    EXPECT_NE(stopped.get().status, AccessibleWindow::Status::Read);
    EXPECT_EQ(readUntil(*reader, request, QStringLiteral("Zoë")).status, AccessibleWindow::Status::Read);
}

TEST(AccessibilityReader, ReadingSwitchedOffReadsNothing) {
    const std::unique_ptr<AccessibilityReader> reader = makeNullAccessibilityReader();
    EXPECT_EQ(reader->read({1, QRect(0, 0, 10, 10), QRect(0, 0, 10, 10), false, 150, 10}).get().status,
              AccessibleWindow::Status::Unavailable);
}

} // namespace
