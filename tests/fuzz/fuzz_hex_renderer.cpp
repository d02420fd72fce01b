// Renders arbitrary text, read as UTF-8 and as Latin-1, in both directions.
#include "FuzzCheck.h"

#include "render/HexFrameRenderer.h"

#include <QString>
#include <QStringList>

namespace {

using Direction = HexFrameRenderer::Direction;

bool isFailureMessage(const QString& paragraph)
{
    static const QStringList failures{QStringLiteral("Head异常！"), QStringLiteral("Addr异常！"),
                                      QStringLiteral("Cmd异常！"), QStringLiteral("Frame Content异常！"),
                                      QStringLiteral("Hex异常！")};
    return failures.contains(paragraph);
}

QStringList renderChecked(HexFrameRenderer& renderer, const QString& input, Direction direction)
{
    QStringList paragraphs;
    try {
        paragraphs = renderer.render(input, direction);
    } catch (...) {
        FUZZ_CHECK(false, "render() threw");
    }
    FUZZ_CHECK(!paragraphs.isEmpty(), "render() gave no paragraph");
    FUZZ_CHECK(paragraphs.size() <= 3, "more than header, content and checksum paragraphs");
    // Bytes typed apart (blanks, colons, dashes) are read joined; the lines show them so.
    const QString typed = HexFrameRenderer::withoutByteSeparators(input);
    const bool crcLast = paragraphs.last() == typed.right(4) + QStringLiteral("    -- CRC");
    FUZZ_CHECK(renderer.isOk() == crcLast, "ok flag disagrees with the checksum line");
    FUZZ_CHECK(renderer.isOk() || isFailureMessage(paragraphs.last()), "failure without its message");
    for (int i = 0; i + 1 < paragraphs.size(); ++i)
        FUZZ_CHECK(!isFailureMessage(paragraphs[i]), "parse went on after a failure");
    if (paragraphs.size() > 1) {
        // Got past the header: its line repeats the header characters as typed.
        const QString head = typed.left(4) + QLatin1Char(' ') + typed.mid(4, 4) + QLatin1Char(' ') +
                             typed.mid(8, 2) + QLatin1Char(' ') + typed.mid(10, 4) +
                             QStringLiteral("    -- 命令：[");
        FUZZ_CHECK(paragraphs.first().startsWith(head), "header line does not show the header as typed");
        FUZZ_CHECK(renderer.cmd() >= 1 && renderer.cmd() <= 21, "header accepted a command outside 1..21");
    }
    return paragraphs;
}

void renderBothWays(const QString& input)
{
    HexFrameRenderer shared;
    for (Direction direction : {Direction::Request, Direction::Response}) {
        HexFrameRenderer fresh;
        const QStringList first = renderChecked(fresh, input, direction);
        // A renderer that has parsed before gives the same result.
        const QStringList second = renderChecked(shared, input, direction);
        FUZZ_CHECK(first == second && fresh.isOk() == shared.isOk(), "result depends on an earlier parse");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const char* text = reinterpret_cast<const char*>(data);
    renderBothWays(QString::fromUtf8(text, int(size)));
    renderBothWays(QString::fromLatin1(text, int(size)));
    return 0;
}
