// kelvra-capture: the capture application, and its subcommands for
// command-line work (see `kelvra-capture --help`).

#include "app/app_shell.h"
#include "app/cli/cli.h"
#include "app/desktop_session.h"
#include "app/version.h"
#include "platform/portal/portal_helper.h"

#include <QCoreApplication>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sys/prctl.h>
#include <sys/resource.h>

static void printUsage(FILE *out) {
    std::fprintf(out, "Usage: kelvra-capture [COMMAND [ARGS...]]\n\n"
                      "Without a command, starts the capture application:\n"
                      "  kelvra-capture [--service-url URL]\n"
                      "(the clinic web service; default http://127.0.0.1:47800/)\n\n"
                      "  kelvra-capture --version    prints the version\n\nCommands:\n");
    std::vector<CliCommand> commands = cliCommands();
    std::sort(commands.begin(), commands.end(),
              [](const CliCommand &a, const CliCommand &b) { return a.name < b.name; });
    for (const CliCommand &c : commands)
        std::fprintf(out, "  %-18s %s\n", qPrintable(c.name), qPrintable(c.summary));
    std::fprintf(out, "\n`kelvra-capture COMMAND --help` describes a command.\n");
}

int main(int argc, char **argv) {
    // No core file, of the application or of its portal helper.
    const rlimit none{0, 0};
    ::setrlimit(RLIMIT_CORE, &none);
    // The helper that makes the desktop portal's calls must stay dumpable
    // (the portal reads its /proc entries); it holds no patient data.
    if (argc == 2 && std::strcmp(argv[1], kPortalHelperArgument) == 0)
        return runPortalHelper(argc, argv);
    // The process holds patient images, names and the clinic password: no
    // other process of the user may read its memory.
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    QCoreApplication::setApplicationVersion(QStringLiteral(KC_VERSION));
    if (argc >= 2) {
        const QString first = QString::fromLocal8Bit(argv[1]);
        if (first == QLatin1String("--version") || first == QLatin1String("-V")) {
            std::printf("kelvra-capture %s\n", KC_VERSION);
            return 0;
        }
        if (first == QLatin1String("--help") || first == QLatin1String("-h") ||
            first == QLatin1String("help")) {
            printUsage(stdout);
            return 0;
        }
        for (const CliCommand &c : cliCommands()) {
            if (c.name != first)
                continue;
            QStringList args;
            for (int i = 2; i < argc; ++i)
                args << QString::fromLocal8Bit(argv[i]);
            if (cliWantsHelp(args)) {
                std::printf("Usage: kelvra-capture %s %s\n\n%s\n", qPrintable(c.name), qPrintable(c.usage),
                            qPrintable(c.help));
                return 0;
            }
            return c.run(argc, argv, args);
        }
        if (!first.startsWith(QLatin1Char('-'))) {
            std::fprintf(stderr, "kelvra-capture: unknown command '%s'\n\n", argv[1]);
            printUsage(stderr);
            return 2;
        }
    }
    kcChooseQtPlatform();
    return kcRunDesktopApplication(argc, argv);
}
