// The global shortcut through a stand-in for the portal's GlobalShortcuts
// interface on a private session bus: bound and activated, and the portals
// that lack the interface or refuse.
#include "fake_portal.h"
#include "fake_shortcuts_portal.h"
#include "platform/portal/portal_global_shortcut.h"
#include "tests/support/qt_wait.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QSignalSpy>

#include <gtest/gtest.h>

namespace {

const QString kService = QStringLiteral("org.kelvra.test.FakeShortcutsPortal");
const QString kDesktop = QStringLiteral("/org/freedesktop/portal/desktop");

PortalShortcutOptions optionsFor(const QString &service) {
    PortalShortcutOptions options;
    options.service = service;
    options.description = QStringLiteral("Start a capture");
    options.preferredTrigger = QStringLiteral("SHIFT+M");
    options.timeoutMs = 10000;
    return options;
}

TEST(PortalGlobalShortcutTest, BindsShiftMAndReportsOnlyItsOwnActivations) {
    ASSERT_TRUE(QDBusConnection::sessionBus().isConnected()) << "needs a session bus";
    FakeShortcutsPortal portal(kService, QStringLiteral("fake-shortcuts"));
    QString session;
    {
        PortalGlobalShortcut shortcut(QDBusConnection::sessionBus(), optionsFor(kService));
        QSignalSpy bound(&shortcut, &PortalGlobalShortcut::bound);
        QSignalSpy unavailable(&shortcut, &PortalGlobalShortcut::unavailable);
        QSignalSpy activated(&shortcut, &PortalGlobalShortcut::activated);
        shortcut.start();
        ASSERT_TRUE(kcWaitFor([&] { return bound.size() + unavailable.size() > 0; }, 20000));
        ASSERT_EQ(bound.size(), 1) << unavailable.value(0).value(0).toString().toStdString();
        EXPECT_EQ(bound[0][0].toString(), "Shift+M");

        // What the portal was asked: a session named by tokens of its own,
        // the capture shortcut with its description and preferred key.
        ASSERT_EQ(portal.sessionOptions.size(), 1);
        EXPECT_FALSE(portal.sessionOptions[0].value("handle_token").toString().isEmpty());
        EXPECT_FALSE(portal.sessionOptions[0].value("session_handle_token").toString().isEmpty());
        EXPECT_NE(portal.sessionOptions[0].value("handle_token"),
                  portal.sessionOptions[0].value("session_handle_token"));
        ASSERT_EQ(portal.boundShortcuts.size(), 1);
        EXPECT_EQ(portal.boundShortcuts[0].id, "capture");
        EXPECT_EQ(portal.boundShortcuts[0].properties.value("description").toString(), "Start a capture");
        EXPECT_EQ(portal.boundShortcuts[0].properties.value("preferred_trigger").toString(), "SHIFT+M");
        session = shortcut.sessionHandle();
        ASSERT_EQ(portal.sessions, QStringList{session});

        // Another session's key, another shortcut and a release start nothing.
        portal.press(kDesktop + "/session/other/x", "capture");
        portal.press(session, "something-else");
        portal.press(session, "capture", "Deactivated");
        portal.press(session, "capture");
        ASSERT_TRUE(kcWaitFor([&] { return activated.size() > 0; }, 10000));
        kcSpin(200);
        EXPECT_EQ(activated.size(), 1);
        EXPECT_EQ(unavailable.size(), 0);
        EXPECT_TRUE(portal.closedSessions.isEmpty());
    }
    // Gone with the object: the session is closed.
    EXPECT_TRUE(kcWaitFor([&] { return !portal.closedSessions.isEmpty(); }, 10000));
    EXPECT_EQ(portal.closedSessions, QStringList{session});
}

TEST(PortalGlobalShortcutTest, APortalWithoutTheInterfaceOrThatRefusesGivesNoShortcut) {
    ASSERT_TRUE(QDBusConnection::sessionBus().isConnected()) << "needs a session bus";
    const auto outcome = [](const QString &service) {
        PortalGlobalShortcut shortcut(QDBusConnection::sessionBus(), optionsFor(service));
        QSignalSpy bound(&shortcut, &PortalGlobalShortcut::bound);
        QSignalSpy unavailable(&shortcut, &PortalGlobalShortcut::unavailable);
        shortcut.start();
        kcWaitFor([&] { return bound.size() + unavailable.size() > 0; }, 20000);
        kcSpin(100);
        EXPECT_EQ(bound.size(), 0);
        EXPECT_EQ(unavailable.size(), 1);
        return unavailable.value(0).value(0).toString();
    };

    // A portal with screenshots only, as Debian 12's wlroots one.
    {
        FakePortal screenshotsOnly(QStringLiteral("org.kelvra.test.ScreenshotsOnly"),
                                   QStringLiteral("fake-screens"));
        const QString problem = outcome(QStringLiteral("org.kelvra.test.ScreenshotsOnly"));
        EXPECT_TRUE(problem.contains("no global shortcuts")) << problem.toStdString();
        EXPECT_TRUE(screenshotsOnly.optionsSeen.isEmpty());
    }
    // No portal at all.
    EXPECT_FALSE(outcome(QStringLiteral("org.kelvra.test.NoPortal")).isEmpty());

    // The desktop (or the user) refuses the binding.
    FakeShortcutsPortal portal(kService, QStringLiteral("fake-shortcuts"));
    portal.refuseBinding = true;
    EXPECT_TRUE(outcome(kService).contains("no shortcut"));
    EXPECT_TRUE(portal.boundShortcuts.isEmpty());
}

} // namespace
