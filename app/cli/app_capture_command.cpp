// kelvra-capture capture: asks the KelvraCapture running in this session to
// start a capture.
#include "app/cli/cli.h"
#include "app/single_instance.h"

#include <QCoreApplication>

#include <cstdio>

static int runCapture(int argc, char **argv, const QStringList &args) {
    if (!args.isEmpty())
        return cliBadInput(QStringLiteral("capture takes no arguments"));
    QCoreApplication app(argc, argv);
    QString problem;
    if (!kcCallRunningInstance(QStringLiteral("Capture"), &problem)) {
        std::fprintf(stderr, "kelvra-capture: %s\n", qPrintable(problem));
        return 1;
    }
    return 0;
}

static CliRegistrar
    reg({QStringLiteral("capture"), QString(), QStringLiteral("start a capture in the running KelvraCapture"),
         QStringLiteral("Asks the KelvraCapture running in this session (over the session bus) to "
                        "start a capture, as Shift+M in its capture window does. Bind it to a key in "
                        "the desktop's keyboard settings for a capture key that works everywhere.\n"
                        "Exit status: 0 asked, 1 no KelvraCapture runs or it did not answer."),
         &runCapture});
