#pragma once
// One KelvraCapture per user session, reached over the session bus under
// `kKelvraBusName`: a second start brings the running one forward and ends,
// and `kelvra-capture capture` asks the running one to start a capture (a
// command the user can bind to a key in the desktop's keyboard settings).

#include <QObject>
#include <QString>

inline const QString kKelvraBusName = QStringLiteral("com.kelvra.KelvraCapture");
inline const QString kKelvraBusPath = QStringLiteral("/com/kelvra/KelvraCapture");
inline const QString kKelvraBusInterface = QStringLiteral("com.kelvra.KelvraCapture");

// What the running instance answers on the bus.
class KCInstanceService : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.kelvra.KelvraCapture")
public:
    using QObject::QObject;
public slots:
    // Raises the application's visible windows; the login window also takes
    // the focus (activating the capture window would start a capture).
    void Activate();
    // Starts a capture, as Shift+M in the capture window does.
    void Capture();
};

// Starts a capture, as Shift+M in the capture window does (for the bus
// command and the desktop's global shortcut).
void kcRequestCapture();

// Claims the bus name for this process. False when another KelvraCapture
// holds it: that one was asked to come forward, and this one should end.
// True without a session bus (nothing to coordinate with), and when the name
// is held by another program or by a KelvraCapture that does not answer:
// this one then runs as well, and says so on stderr and in a window, naming
// the holder and what to do.
bool kcClaimSingleInstance(QObject *parent);

// Says `message` on stderr and, once the event loop runs, in a warning
// window headed `headline`.
void kcShowStartupWarning(const QString &headline, const QString &message);

// Takes the lock of the folder of captures waiting to be sent for this
// process; when another process holds it (a second KelvraCapture, which the
// single-instance check could not stop), says so with kcShowStartupWarning:
// this one then neither sends nor stores captures. Whether this process
// holds it.
bool kcClaimOutboxOrWarn();

// Calls `method` ("Activate" or "Capture") of the running instance; false,
// with `problem` set, when none runs, the name is held by another program
// (which is not called), or it did not answer.
bool kcCallRunningInstance(const QString &method, QString *problem);
