#include "platform/browser/browser_opener.h"

#include "platform/core/dispatch.h"
#include "platform/portal/portal_helper.h"

#include <QProcess>
#include <QStandardPaths>
#include <QStringList>

namespace {

// Starts `program` with `arguments`, not waiting for it; "" or why not.
QString startDetached(const QString &program, const QStringList &arguments) {
    if (QStandardPaths::findExecutable(program).isEmpty() && !program.contains(QLatin1Char('/')))
        return QStringLiteral("%1 is not installed").arg(program);
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    return process.startDetached() ? QString() : QStringLiteral("%1 could not be started").arg(program);
}

class SystemBrowserOpener : public KCBrowserOpener {
public:
    void open(const QUrl &url, std::function<void(const QString &problem)> done) override {
        const QString address = url.toString(QUrl::FullyEncoded);
        const QString command = qEnvironmentVariable("KELVRA_BROWSER").trimmed();
        if (!command.isEmpty()) {
            QStringList words = QProcess::splitCommand(command);
            const QString program = words.takeFirst();
            const QString problem = startDetached(program, words << address);
            DispatchQueue::main()->async([done, problem] { done(problem); });
            return;
        }
        if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) {
            openWithXdgOpen(address, QString(), done);
            return;
        }
        PortalHelper::shared().send({{"op", "open-uri"}, {"uri", address}, {"timeoutMs", 20000}},
                                    [address, done](const QJsonObject &answer) {
                                        const QString problem =
                                            answer.value(QLatin1String("problem")).toString();
                                        if (problem.isEmpty())
                                            DispatchQueue::main()->async([done] { done(QString()); });
                                        else
                                            openWithXdgOpen(address, problem, done);
                                    });
    }

private:
    // Without the portal (no desktop portal on the bus, or it refused).
    static void openWithXdgOpen(const QString &address, const QString &portalProblem,
                                const std::function<void(const QString &)> &done) {
        QString problem = startDetached(QStringLiteral("xdg-open"), {address});
        if (!problem.isEmpty() && !portalProblem.isEmpty())
            problem = QStringLiteral("the desktop portal could not open it (%1), and %2")
                          .arg(portalProblem, problem);
        DispatchQueue::main()->async([done, problem] { done(problem); });
    }
};

} // namespace

std::shared_ptr<KCBrowserOpener> kcSystemBrowserOpener() {
    static const auto opener = std::make_shared<SystemBrowserOpener>();
    return opener;
}
