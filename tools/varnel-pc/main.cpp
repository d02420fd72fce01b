#include "tools/varnel-pc/CommandsCommand.h"
#include "tools/varnel-pc/ConsoleText.h"
#include "tools/varnel-pc/DissectorTablesCommand.h"
#include "tools/varnel-pc/LearnCommand.h"
#include "tools/varnel-pc/RenderCommand.h"
#include "tools/varnel-pc/ReplayCommand.h"
#include "tools/varnel-pc/SendCommand.h"
#include "tools/varnel-pc/TapCommand.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <iostream>
#include <memory>

namespace {

// In the order the usage lists them; the internal one last.
const char* const kCommandNames[] = {"render",          "send", "tap", "replay", "learn", "commands",
                                     "dissector-tables"};

const char kExitStatus[] = "Exit status: 0 done (replay: every reply matches), 1 a frame was rejected or\n"
                           "flagged, a port or file failed, 2 usage error, 3 (send, replay) no complete\n"
                           "reply within the time-out (default 2000 ms, per frame), 4 (replay) a reply\n"
                           "differs, (learn --check) a request the learned unit cannot vouch for.\n";

std::unique_ptr<SubCommand> makeCommand(const QString& name)
{
    if (name == QLatin1String("render"))
        return std::make_unique<RenderCommand>(std::cin, std::cout, std::cerr);
    if (name == QLatin1String("send"))
        return std::make_unique<SendCommand>(std::cout, std::cerr);
    if (name == QLatin1String("tap"))
        return std::make_unique<TapCommand>(std::cout, std::cerr);
    if (name == QLatin1String("replay"))
        return std::make_unique<ReplayCommand>(std::cout, std::cerr);
    if (name == QLatin1String("learn"))
        return std::make_unique<LearnCommand>(std::cout, std::cerr);
    if (name == QLatin1String("commands"))
        return std::make_unique<CommandsCommand>(std::cout, std::cerr);
    // Regenerates the tables block of tools/wireshark/varnel.lua; not for operators.
    if (name == QLatin1String("dissector-tables"))
        return std::make_unique<DissectorTablesCommand>(std::cout, std::cerr);
    return nullptr;
}

QString usage()
{
    QString text = QStringLiteral("Usage: varnel-pc <command> [arguments]\n"
                                  "       varnel-pc <command> --help\n"
                                  "       varnel-pc --help | --version\n"
                                  "\n"
                                  "Commands:\n");
    for (const char* name : kCommandNames)
        text += makeCommand(QLatin1String(name))->usage();
    return text + QLatin1Char('\n') + QLatin1String(kExitStatus);
}

int usageError(const QString& message)
{
    ConsoleText::usageError(std::cerr, "", message);
    return SubCommand::UsageError;
}

// --help or -h among a sub-command's options (not after "--").
bool asksForHelp(const QStringList& args)
{
    for (const QString& arg : args) {
        if (arg == QLatin1String("--"))
            return false;
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h"))
            return true;
    }
    return false;
}

int dispatch(const QStringList& arguments)
{
    QCommandLineParser parser;
    // Everything from the sub-command's name on is the sub-command's to parse.
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringLiteral("version"));
    parser.addOptions({help, version});
    if (!parser.parse(QStringList{QStringLiteral("varnel-pc")} + arguments))
        return usageError(parser.errorText());
    QStringList args = parser.positionalArguments();
    if (parser.isSet(help) || (!args.isEmpty() && args.first() == QLatin1String("help"))) {
        ConsoleText::write(std::cout, usage());
        return SubCommand::Success;
    }
    if (parser.isSet(version)) {
        std::cout << VARNEL_VERSION_LINE << '\n';
        return SubCommand::Success;
    }
    if (args.isEmpty())
        return usageError(QStringLiteral("no command given"));
    const QString name = args.takeFirst();
    const std::unique_ptr<SubCommand> command = makeCommand(name.toLower());
    if (!command)
        return usageError(QStringLiteral("unknown command '%1'").arg(name));
    if (asksForHelp(args)) {
        ConsoleText::write(std::cout, QStringLiteral("Usage: varnel-pc ") + command->usage().mid(2) +
                                          QLatin1Char('\n') + QLatin1String(kExitStatus));
        return SubCommand::Success;
    }
    return command->run(args);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    // Arguments and output are UTF-8 whatever the locale says.
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromUtf8(argv[i]);
    return dispatch(args);
}
