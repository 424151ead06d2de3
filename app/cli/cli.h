#pragma once
// Subcommands of kelvra-capture for command-line work. Each command lives in
// its own file and registers itself with a static CliRegistrar:
//
//   static CliRegistrar reg({"ocr", "IMAGE", "recognise the text of a window image", &runOcr});
//
// `run` receives the arguments after the subcommand's name and returns the
// process exit status (0 success, 1 a negative answer, 2 bad input).

#include <QStringList>
#include <functional>
#include <vector>

struct CliCommand {
    QString name;
    QString usage;   // argument synopsis, e.g. "[--fuzziness F] SEARCHED PATTERN"
    QString summary; // one line for the command list
    QString help;    // full text for `kelvra-capture NAME --help`
    std::function<int(int argc, char **argv, const QStringList &args)> run;
};

class CliRegistrar {
public:
    explicit CliRegistrar(CliCommand command);
};

const std::vector<CliCommand> &cliCommands();

// Writes "kelvra-capture: <message>" to stderr and returns 2.
int cliBadInput(const QString &message);
// True when args holds -h or --help before any "--".
bool cliWantsHelp(const QStringList &args);
