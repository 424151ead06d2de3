#include "app/ehr_sign_in.h"

#include "app/app_delegate.h"
#include "emr/emr_api_client.h"
#include "emr/fhir_api_client.h"
#include "platform/core/notification_center.h"

namespace {

const char *const kItemText = "Sign in to the EHR…";

void registrySignIn(std::function<void(const QString &problem)> done) {
    const auto fhir =
        std::dynamic_pointer_cast<QDFHIRAPIClientForExtension>(EMRAPIClient::sharedEMRAPIClient().delegate());
    if (!fhir)
        return done(QObject::tr("The clinic's EHR has no sign-in for clinicians."));
    fhir->signInToEHR(std::move(done));
}

} // namespace

KCEHRSignIn *KCEHRSignIn::shared() {
    static auto *instance = new KCEHRSignIn;
    return instance;
}

KCEHRSignIn::KCEHRSignIn(QObject *parent) : QObject(parent), m_starter(&registrySignIn) {
    m_item = new QAction(tr(kItemText), this);
    m_item->setVisible(false);
    connect(m_item, &QAction::triggered, this, &KCEHRSignIn::signIn);
    NotificationCenter &center = NotificationCenter::defaultCenter();
    QPointer<KCEHRSignIn> self(this);
    m_observers << center.addObserver(
        KCEMRSignInNeededNotification, DispatchQueue::main(), [self](const Notification &n) {
            if (self)
                self->show(true, n.userInfo.value(QStringLiteral("message")).toString());
        });
    for (const QString &name : {KCEMRSignedInNotification, KCLogoutNotification})
        m_observers << center.addObserver(name, DispatchQueue::main(), [self](const Notification &) {
            if (self)
                self->show(false);
        });
}

KCEHRSignIn::~KCEHRSignIn() {
    for (quint64 token : m_observers)
        NotificationCenter::defaultCenter().removeObserver(token);
}

void KCEHRSignIn::show(bool visible, const QString &why) {
    const bool wasVisible = m_item->isVisible();
    m_item->setVisible(visible);
    m_item->setToolTip(why);
    if (visible && !wasVisible && !m_signingIn)
        emit needed(
            tr("Sign in to the EHR"),
            why + QLatin1Char(' ') +
                tr("Captures wait until then. Choose \"Sign in to the EHR…\" in KelvraCapture's menu."));
}

void KCEHRSignIn::signIn() {
    m_signingIn = true;
    const quint64 attempt = ++m_attempt;
    m_item->setText(tr("Sign in to the EHR… (waiting for the browser)"));
    QPointer<KCEHRSignIn> self(this);
    m_starter([self, attempt](const QString &problem) {
        if (!self || attempt != self->m_attempt)
            return;
        self->m_signingIn = false;
        self->m_item->setText(tr(kItemText));
        if (problem.isEmpty())
            self->show(false);
        emit self->finished(problem);
    });
}
