#pragma once
// What the application shell knows about accepted captures that have not
// reached their services yet. The capture panel owns the upload queue and
// registers it here; the shell shows the counts in the tray menu, tells the
// user when uploads start failing and asks before quitting while some are
// still waiting. The queue is reached only through its signals
// ("pendingChanged(int,int)", "uploadFailed(QString,QString)") and a counting
// function, so the shell does not depend on the capture code.

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>

class QAction;
class QMenu;

struct KCPendingUploadCounts {
    int pending = 0; // records not yet acknowledged
    int failed = 0;  // of those, the ones whose last attempt failed (refused included)
    int refused = 0; // of those, the ones the service refused for good
    // Users whose sign-in the other records wait for.
    QStringList waitingFor = {};
    int unreadable = 0; // of those, the ones that cannot be read (discard only)
    // Of those, the ones sealed with a key held in memory only (no keyring):
    // lost if the application quits before they are sent; and why.
    int lostAtQuit = 0;
    QString keyProblem = {};
};

// One record the user may act on from the tray.
struct KCPendingUploadItem {
    QString key;
    QString title;   // e.g. "Capture of 11:42 for the chart"
    QString problem; // the last error
    bool refused = false;
    // Cannot be read: neither Retry nor Save image is possible.
    bool unreadable = false;
};

// What the tray may do with the records; the queue fills these in.
struct KCPendingUploadActions {
    // The records whose upload failed or was refused.
    std::function<QList<KCPendingUploadItem>()> items;
    std::function<void(const QString &key)> retry;
    // An error text, empty on success.
    std::function<QString(const QString &key, const QString &path)> saveImage;
    std::function<void(const QString &key)> discard;
};

class KCPendingUploads : public QObject {
    Q_OBJECT
public:
    // The instance used by the application.
    static KCPendingUploads *shared();

    explicit KCPendingUploads(QObject *parent = nullptr);

    // Registers the upload queue. `source` must have the signals
    // pendingChanged(int,int) and uploadFailed(QString,QString); `counts`
    // reads its current counts and is not called after `source` is gone.
    void setSource(QObject *source, std::function<KCPendingUploadCounts()> counts);
    KCPendingUploadCounts counts() const;
    // What "Retry", "Save image…" and "Discard" do.
    void setActions(KCPendingUploadActions actions);
    QList<KCPendingUploadItem> items() const;
    // The tray's actions on one record. Discard asks first (the default asks
    // with a message box); Save image asks where (a file dialog by default).
    void retry(const QString &key);
    QString saveImage(const QString &key);
    bool discard(const QString &key);
    void setDiscardConfirmation(std::function<bool(const KCPendingUploadItem &item)> confirm);
    void setImagePathChooser(std::function<QString(const KCPendingUploadItem &item)> choose);
    // Holds back (or lets go) the registered queue's uploads, through its
    // setPaused(bool); a queue registered later starts in the same state.
    void setUploadsPaused(bool paused);
    bool uploadsPaused() const { return m_paused; }

    // Asks the user whether to quit although uploads are waiting; true to
    // quit. The default shows a message box.
    using QuitConfirmation = std::function<bool(const KCPendingUploadCounts &counts)>;
    void setQuitConfirmation(QuitConfirmation confirm);
    // What quitting does (the default is QCoreApplication::quit()).
    void setQuitHandler(std::function<void()> quit);

    // True when the application may quit now: nothing is waiting, or the
    // user chose to quit anyway. A request made while the question is open
    // is refused.
    bool shouldQuit();
    // Quits when shouldQuit() agrees; returns whether it did.
    bool requestQuit();

    // The informational menu text for the counts ("" when nothing waits).
    static QString statusText(const KCPendingUploadCounts &counts);
    // "waiting for <user> to sign in" for the records of other accounts.
    static QString waitingText(const KCPendingUploadCounts &counts);
    // What is lost if the application quits now ("" when nothing); the
    // entry's tooltip says why the keyring keeps nothing.
    static QString lostAtQuitText(const KCPendingUploadCounts &counts);
    // Puts a disabled entry showing statusText() (and a separator) at the top
    // of `menu`, shown only while uploads are waiting, followed by the
    // accounts that records wait for, what quitting would lose, and a submenu
    // per failed record (the first kMenuRecords, made when the menu opens)
    // with "Retry", "Save image…" and "Discard"; returns the status entry.
    static constexpr int kMenuRecords = 20;
    QAction *attachToMenu(QMenu *menu);

signals:
    void countsChanged(int pending, int failed);
    // Uploads started failing (the first failure since everything last
    // succeeded); `message` is meant for a desktop notification.
    void uploadsStartedFailing(const QString &title, const QString &message);

private slots:
    void sourcePendingChanged(int pending, int failed);
    void sourceUploadFailed(const QString &destination, const QString &error);
    void sourceUploadRefused(const QString &destination, const QString &error);

private:
    QPointer<QObject> m_source;
    std::function<KCPendingUploadCounts()> m_counts;
    QuitConfirmation m_confirm;
    std::function<void()> m_quit;
    KCPendingUploadActions m_actions;
    std::function<bool(const KCPendingUploadItem &)> m_confirmDiscard;
    std::function<QString(const KCPendingUploadItem &)> m_chooseImagePath;
    bool m_failureAnnounced = false;
    bool m_asking = false;
    bool m_paused = false;
};

// Asks whether to discard a record that was not filed ("Discard" or "Keep",
// the default).
bool kcAskToDiscardUpload(const KCPendingUploadItem &item);
// Asks where to save a record's image (the application's "Save image…"
// dialog, in a private folder); "" when cancelled.
QString kcChooseUploadImagePath(const KCPendingUploadItem &item);

// Shows the question as a modal message box: "Quit Anyway" or "Keep Running"
// (the default).
bool kcAskToQuitWithPendingUploads(const KCPendingUploadCounts &counts);
