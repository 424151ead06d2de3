#include "app/main_window_controller.h"

#include "app/app_delegate.h"
#include "app/desktop_session.h"
#include "app/ehr_sign_in.h"
#include "app/start_at_login.h"
#include "capture/panel/style.h"

#include <QVBoxLayout>

static CaptureMainWindowController::PanelFactory &panelFactory() {
    static CaptureMainWindowController::PanelFactory factory;
    return factory;
}

void CaptureMainWindowController::setPanelFactory(PanelFactory factory) {
    panelFactory() = std::move(factory);
}

CaptureMainWindowController::CaptureMainWindowController(AppDelegate *delegate, QObject *parent)
    : QObject(parent) {
    kcInitAppResources();
    m_window = new CaptureMainWindow();
    // Tiling compositors (sway) float utility windows at their own size
    // instead of tiling them over half the screen.
    if (kcIsWaylandSession())
        m_window->setWindowFlag(Qt::Tool);
    QWidget *panel = panelFactory() ? panelFactory()(m_window, delegate) : nullptr;
    if (!panel)
        panel = new KCRestCapturePanel();
    panel->setParent(m_window);
    auto *layout = new QVBoxLayout(m_window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(panel);
    m_contentView = panel;
    m_window->resize(panel->sizeHint());
    if (delegate)
        m_window->setContextMenuActions({KCEHRSignIn::shared()->menuItem(), delegate->logoutMenuItem(),
                                         KCStartAtLogin::shared()->menuItem(), delegate->quitMenuItem()});
}

CaptureMainWindowController::~CaptureMainWindowController() {
    delete m_window.data();
}

KCRestCapturePanel::KCRestCapturePanel(QWidget *parent) : captureMainView(parent) {
    setBackgroundColor(Qt::white);
    setCornerRadius(4.0);
    setCaptureEnabled(false);
    m_button = new captureMainButton(this);
    m_button->setIcon(kcIconResource(QStringLiteral("captureIcon")));
    m_button->setToolTip(tr("Capture part of the screen (Shift+M)"));
    m_button->delegate = this;
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_button);
    setFixedSize(52, 52);
}

void KCRestCapturePanel::snapshotButtonPressedDown() {
    setCaptureEnabled(true);
}
void KCRestCapturePanel::snapshotButtonDragged() {}
void KCRestCapturePanel::snapshotButtonPressedUp() {
    setCaptureEnabled(false);
}
