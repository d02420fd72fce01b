#include "tools/varnel-pc/DissectorTablesCommand.h"

#include "protocol/CommandCatalogue.h"
#include "protocol/RecordLayout.h"
#include "tools/varnel-pc/ConsoleText.h"

#include <ostream>

namespace {

const char* encodingName(RecordLayout::Encoding encoding)
{
    switch (encoding) {
    case RecordLayout::Encoding::U8:
        return "u8";
    case RecordLayout::Encoding::U16:
        return "u16";
    case RecordLayout::Encoding::U32:
        return "u32";
    case RecordLayout::Encoding::Text:
        break;
    }
    return "text";
}

const char* lineName(RecordLayout::Line line)
{
    switch (line) {
    case RecordLayout::Line::Number:
        return "number";
    case RecordLayout::Line::TextTrimmed:
        return "text_trimmed";
    case RecordLayout::Line::TextWhole:
        return "text_whole";
    case RecordLayout::Line::DateTime:
        return "date_time";
    case RecordLayout::Line::InDateTime:
        break;
    }
    return "in_date_time";
}

// A field name for Wireshark: the CSV column, or the byte's place for a field without one.
QString fieldName(const RecordLayout::Field& field)
{
    if (field.csvColumn[0] != '\0')
        return QString::fromUtf8(field.csvColumn);
    return field.offset == 0 ? QStringLiteral("mark") : QStringLiteral("byte_%1").arg(field.offset);
}

QString quoted(const char* text)
{
    QString s = QString::fromUtf8(text);
    s.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('"'), QLatin1String("\\\""));
    return QLatin1Char('"') + s + QLatin1Char('"');
}

} // namespace

DissectorTablesCommand::DissectorTablesCommand(std::ostream& out, std::ostream& err) : m_out(out), m_err(err)
{
}

QString DissectorTablesCommand::tables()
{
    QString lua =
        QStringLiteral("-- code = {gloss, protocol name, renderer name, request layout, response layout}\n"
                       "local commands = {\n");
#define VARNEL_LUA_COMMAND(name, code, protocol, renderer, dialog, cli, request, response, handler,          \
                           requestLayout, responseLayout)                                                    \
    lua += QStringLiteral("    [0x%1] = {%2, %3, %4, \"%5\", \"%6\"},\n")                                    \
               .arg(code, 2, 16, QLatin1Char('0'))                                                           \
               .arg(quoted(cli), quoted(protocol), quoted(renderer), QStringLiteral(#requestLayout),         \
                    QStringLiteral(#responseLayout));
    VARNEL_COMMAND_TABLE(VARNEL_LUA_COMMAND)
#undef VARNEL_LUA_COMMAND
    lua += QStringLiteral("}\n\n-- {offset, width, encoding, renderer label, line, field name}\n"
                          "local record_fields = {\n");
    for (const RecordLayout::Field& field : RecordLayout::kFields) {
        lua += QStringLiteral("    {%1, %2, \"%3\", %4, \"%5\", \"%6\"},\n")
                   .arg(field.offset)
                   .arg(field.width)
                   .arg(QLatin1String(encodingName(field.encoding)), quoted(field.label),
                        QLatin1String(lineName(field.line)), fieldName(field));
    }
    lua += QStringLiteral("}\nlocal record_size = %1\nlocal date_time_size = %2\n")
               .arg(RecordLayout::size())
               .arg(RecordLayout::kDateTimeSize);
    return lua;
}

QString DissectorTablesCommand::usage() const
{
    return QStringLiteral("  dissector-tables\n"
                          "      (internal) print the tables block of tools/wireshark/varnel.lua, made\n"
                          "      from the program's own tables, for the developers who change them\n");
}

int DissectorTablesCommand::run(const QStringList& args)
{
    if (!args.isEmpty()) {
        ConsoleText::usageError(m_err, "dissector-tables", QStringLiteral("takes no arguments"));
        return UsageError;
    }
    const QByteArray utf8 = tables().toUtf8();
    m_out.write(utf8.constData(), utf8.size());
    m_out.flush();
    return Success;
}
