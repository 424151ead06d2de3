#pragma once
// The clinician's sign-in to the EHR, asked for by the tray and the capture
// window's context menu. While the EHR client wants the clinician to sign in
// (KCEMRSignInNeededNotification: none is kept yet, or the EHR refused the
// kept one) the menu item "Sign in to the EHR…" shows, and needed() carries
// a desktop message once; the item opens the EHR's sign-in page in the
// browser. The captures meanwhile wait, sealed, and are filed once the
// clinician has signed in (KCEMRSignedInNotification). Signing out of the
// application hides the item.

#include <QAction>
#include <QObject>
#include <QPointer>

#include <functional>

class KCEHRSignIn : public QObject {
    Q_OBJECT
public:
    // The instance used by the application.
    static KCEHRSignIn *shared();
    explicit KCEHRSignIn(QObject *parent = nullptr);
    ~KCEHRSignIn() override;

    // "Sign in to the EHR…", visible only while a sign-in is needed.
    QAction *menuItem() const { return m_item; }
    // Starts the sign-in in the browser (what the menu item does). Chosen
    // again while a sign-in is under way (the page was closed), it starts
    // anew; the earlier one ends unheard.
    void signIn();

    // What signs in: `done` runs once on the main thread with "" or why not.
    // By default the registry's FHIR client.
    using Starter = std::function<void(std::function<void(const QString &problem)> done)>;
    void setStarter(Starter starter) { m_starter = std::move(starter); }

signals:
    // A sign-in has become needed; meant for a desktop message.
    void needed(const QString &title, const QString &message);
    // A sign-in started from here has ended ("" when signed in).
    void finished(const QString &problem);

private:
    void show(bool visible, const QString &why = {});
    QPointer<QAction> m_item;
    Starter m_starter;
    bool m_signingIn = false;
    quint64 m_attempt = 0;
    QList<quint64> m_observers;
};
