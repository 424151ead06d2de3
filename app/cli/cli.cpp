#include "app/cli/cli.h"

#include <cstdio>

static std::vector<CliCommand> &registry() {
    static std::vector<CliCommand> commands;
    return commands;
}

CliRegistrar::CliRegistrar(CliCommand command) {
    registry().push_back(std::move(command));
}

const std::vector<CliCommand> &cliCommands() {
    return registry();
}

int cliBadInput(const QString &message) {
    std::fprintf(stderr, "kelvra-capture: %s\n", qPrintable(message));
    return 2;
}

bool cliWantsHelp(const QStringList &args) {
    for (const QString &a : args) {
        if (a == QLatin1String("--"))
            return false;
        if (a == QLatin1String("-h") || a == QLatin1String("--help"))
            return true;
    }
    return false;
}
