// kelvra-capture: the capture application, and its subcommands for
// command-line work (see `kelvra-capture --help`).

#include "app/app_shell.h"
#include "app/cli/cli.h"
#include "app/desktop_session.h"

#include <QString>
#include <QStringList>
#include <algorithm>
#include <cstdio>

static void printUsage(FILE *out) {
    std::fprintf(out, "Usage: kelvra-capture [COMMAND [ARGS...]]\n\n"
                      "Without a command, starts the capture application:\n"
                      "  kelvra-capture [--service-url URL]\n"
                      "(the clinic web service; default http://127.0.0.1:47800/)\n\nCommands:\n");
    std::vector<CliCommand> commands = cliCommands();
    std::sort(commands.begin(), commands.end(),
              [](const CliCommand &a, const CliCommand &b) { return a.name < b.name; });
    for (const CliCommand &c : commands)
        std::fprintf(out, "  %-18s %s\n", qPrintable(c.name), qPrintable(c.summary));
    std::fprintf(out, "\n`kelvra-capture COMMAND --help` describes a command.\n");
}

int main(int argc, char **argv) {
    if (argc >= 2) {
        const QString first = QString::fromLocal8Bit(argv[1]);
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
