#include "tools/varnel-pc/DissectorTablesCommand.h"
#include "tools/varnel-pc/RenderCommand.h"
#include "tools/varnel-pc/ReplayCommand.h"
#include "tools/varnel-pc/SendCommand.h"
#include "tools/varnel-pc/TapCommand.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <iostream>
#include <memory>

namespace {

const char kUsage[] = "Usage: varnel-pc <command> [arguments]\n"
                      "       varnel-pc --help | --version\n"
                      "\n"
                      "Commands:\n"
                      "  render [--response] [HEX...]  render each HEX frame as the parse dialog shows it\n"
                      "                                (request unless --response); without HEX, read\n"
                      "                                one frame per line from standard input\n"
                      "  send [--timeout MS] [--baud TEXT] [--records-csv FILE] PORT CODE [HEX]\n"
                      "                                send one request (CODE 1-21 or a name such as\n"
                      "                                get-time, set-device-name) with HEX as its content\n"
                      "                                and print each reply frame as hex and rendered\n"
                      "  tap [--baud TEXT] [--parity TEXT] --capture FILE.pcap PC_PORT UNIT_PORT\n"
                      "                                copy bytes unchanged between the PC program's port\n"
                      "                                and the unit's, print each frame rendered with its\n"
                      "                                time and a reply's latency, capture both directions;\n"
                      "                                Ctrl-C ends it with a summary line\n"
                      "  replay [--report FILE.jsonl] [--timeout MS] [--baud TEXT] FILE.pcap PORT\n"
                      "                                send the requests of a capture to PORT in order and\n"
                      "                                compare each reply with the captured one (clock and\n"
                      "                                record dates masked); one line per request\n"
                      "\n"
                      "Exit status: 0 done (replay: every reply matches), 1 a frame was rejected or a\n"
                      "port or file failed, 2 usage error, 3 (send, replay) no complete reply within the\n"
                      "time-out (default 2000 ms, per frame), 4 (replay) a reply differs.\n";

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
    // Regenerates the tables block of tools/wireshark/varnel.lua; not for operators.
    if (name == QLatin1String("dissector-tables"))
        return std::make_unique<DissectorTablesCommand>(std::cout, std::cerr);
    return nullptr;
}

int usageError(const QString& message)
{
    if (!message.isEmpty())
        std::cerr << "varnel-pc: " << message.toUtf8().constData() << '\n';
    std::cerr << kUsage;
    return SubCommand::UsageError;
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
        return usageError(QStringLiteral("unknown command '%1'").arg(arguments.first()));
    QStringList args = parser.positionalArguments();
    if (parser.isSet(help) || (!args.isEmpty() && args.first() == QLatin1String("help"))) {
        std::cout << kUsage;
        return SubCommand::Success;
    }
    if (parser.isSet(version)) {
        std::cout << VARNEL_VERSION_LINE << '\n';
        return SubCommand::Success;
    }
    if (args.isEmpty())
        return usageError(QStringLiteral("no command given"));
    const QString name = args.takeFirst();
    const std::unique_ptr<SubCommand> command = makeCommand(name);
    if (!command)
        return usageError(QStringLiteral("unknown command '%1'").arg(name));
    const int status = command->run(args);
    if (status == SubCommand::UsageError)
        std::cerr << kUsage;
    return status;
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
