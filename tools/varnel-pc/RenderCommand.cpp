#include "tools/varnel-pc/RenderCommand.h"

#include "render/HexFrameCheck.h"
#include "tools/varnel-pc/ConsoleText.h"

#include <QCommandLineParser>

#include <istream>
#include <ostream>
#include <string>

RenderCommand::RenderCommand(std::istream& in, std::ostream& out, std::ostream& err)
    : m_in(in), m_out(out), m_err(err)
{
}

int RenderCommand::run(const QStringList& args)
{
    if (!parseArgs(args))
        return UsageError;
    if (m_frames.isEmpty())
        renderLines();
    for (const QString& frame : qAsConst(m_frames))
        renderFrame(frame);
    return m_allOk ? Success : Failure;
}

QString RenderCommand::usage() const
{
    return QStringLiteral("  render [--response] [HEX...]\n"
                          "      render each HEX frame as the parse dialog shows it (request unless\n"
                          "      --response); without HEX, read one frame per line from standard input;\n"
                          "      byte pairs may be apart (5A A5, 5A:A5, 5A-A5); a wrong length or\n"
                          "      checksum is said on standard error and fails it\n"
                          "  --response         read the frames as responses\n");
}

// "--" ends the options; anything else that starts with '-' is no frame.
bool RenderCommand::parseArgs(const QStringList& args)
{
    QCommandLineParser parser;
    const QCommandLineOption response(QStringLiteral("response"));
    parser.addOption(response);
    const int end = args.indexOf(QStringLiteral("--"));
    const QStringList options = args.mid(0, end); // all of them when there is no "--"
    // The parser takes a lone "-" for a frame.
    if (!parser.parse(QStringList{QStringLiteral("render")} + args) ||
        options.contains(QStringLiteral("-"))) {
        for (const QString& arg : options) {
            if (arg.startsWith(QLatin1Char('-')) && arg != QLatin1String("--response")) {
                ConsoleText::usageError(m_err, "render", QStringLiteral("unknown option '%1'").arg(arg));
                break;
            }
        }
        return false;
    }
    if (parser.isSet(response))
        m_direction = HexFrameRenderer::Direction::Response;
    m_frames = parser.positionalArguments();
    return true;
}

// Frames come one per line; the line break and a trailing carriage return are not part of them.
// Blank lines separate pasted frames rather than being frames, so they are skipped.
void RenderCommand::renderLines()
{
    std::string line;
    while (std::getline(m_in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const QString frame = QString::fromUtf8(line.data(), int(line.size()));
        if (!frame.trimmed().isEmpty())
            renderFrame(frame);
    }
}

void RenderCommand::renderFrame(const QString& frame)
{
    if (m_frameCount++ > 0)
        m_out << '\n';
    for (const QString& paragraph : m_renderer.render(frame, m_direction)) {
        ConsoleText::write(m_out, paragraph);
        m_out << '\n';
    }
    m_out.flush();
    const bool rendered = m_renderer.isOk();
    // The lines show the frame as it stands; what they leave unsaid goes to standard error.
    const QStringList notes = HexFrameCheck::notes(
        frame, m_direction, rendered, QStringLiteral("without --response"), QStringLiteral("--response"));
    for (const QString& note : qAsConst(notes))
        ConsoleText::write(m_err,
                           QStringLiteral("varnel-pc render: frame %1: %2\n").arg(m_frameCount).arg(note));
    m_err.flush();
    m_allOk = m_allOk && rendered && notes.isEmpty();
}
