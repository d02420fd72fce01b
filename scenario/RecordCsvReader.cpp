#include "scenario/RecordCsvReader.h"

#include "util/MessageQuote.h"

#include <cstdint>

namespace {

// Whole: QString::fromUtf8(QByteArray) of Qt 5 ends at a zero byte.
QString text(const QByteArray& bytes)
{
    return QString::fromUtf8(bytes.constData(), bytes.size());
}

} // namespace

bool RecordCsvReader::feed(const char* bytes, int size)
{
    if (!m_problem.isEmpty())
        return false;
    m_chunk = bytes;
    m_chunkSize = size;
    for (m_at = 0; m_at < size; ++m_at) {
        if (!take(bytes[m_at]))
            break;
    }
    m_chunk = nullptr;
    m_chunkSize = 0;
    return m_problem.isEmpty();
}

bool RecordCsvReader::finish()
{
    if (!m_problem.isEmpty())
        return false;
    switch (m_state) {
    case State::Quoted:
        return fail(QStringLiteral("line %1: a quoted cell is never closed").arg(m_rowLine));
    case State::QuoteInQuoted:
        m_state = State::Plain;
        m_quoteClosed = true;
        break;
    case State::CarriageReturn:
        // A last line saved with a lone CR.
        m_state = State::Plain;
        if (!takePlain('\r', true))
            return false;
        break;
    case State::Plain:
        break;
    }
    endRow();
    return true;
}

bool RecordCsvReader::take(char c)
{
    switch (m_state) {
    case State::Quoted:
        if (c == '"') {
            m_state = State::QuoteInQuoted;
        } else {
            if (c == '\n')
                ++m_line;
            m_cell += c;
        }
        return true;
    case State::QuoteInQuoted:
        if (c == '"') { // doubled: one quote in the cell
            m_cell += c;
            m_state = State::Quoted;
            return true;
        }
        m_state = State::Plain;
        m_quoteClosed = true;
        return take(c);
    case State::CarriageReturn:
        m_state = State::Plain;
        if (c != '\n' && !takePlain('\r', false))
            return false;
        return take(c);
    case State::Plain:
        if (c == '\r') {
            // A CR ends a line before LF and at the very end; which one, the next byte tells.
            m_state = State::CarriageReturn;
            return true;
        }
        return takePlain(c, c == '\n');
    }
    return true;
}

bool RecordCsvReader::takePlain(char c, bool lineEnd)
{
    if (m_quoteClosed && c != ',' && !lineEnd) {
        // "ab"c: guessing where the cell ends would change the record without a word.
        return fail(QStringLiteral("line %1: %2 follows the closing quote of a quoted cell")
                        .arg(m_line)
                        .arg(MessageQuote::of(current(c))));
    }
    if (c == '"') {
        if (!m_cell.isEmpty()) {
            // A writer quotes such a cell whole; reading 5Q"J"W as 5QJW would lose the quotes.
            return fail(QStringLiteral("line %1: a double quote inside the unquoted cell %2; quote the "
                                       "whole cell and double the quote")
                            .arg(m_line)
                            .arg(MessageQuote::of(text(m_cell + c))));
        }
        m_state = State::Quoted;
        m_rowHasText = true;
    } else if (c == ',') {
        m_cells << text(m_cell);
        m_cell.truncate(0);
        m_quoteClosed = false;
    } else if (lineEnd) {
        endRow();
        m_rowLine = ++m_line;
    } else {
        m_cell += c;
        m_rowHasText = true;
    }
    return true;
}

void RecordCsvReader::endRow()
{
    if (m_rowHasText || !m_cells.isEmpty()) {
        m_cells << text(m_cell);
        m_handler(RecordCsvFormat::Row{m_rowLine, m_cells});
    }
    m_cells.clear();
    m_cell.truncate(0);
    m_rowHasText = false;
    m_quoteClosed = false;
}

bool RecordCsvReader::fail(const QString& problem)
{
    m_problem = problem;
    return false;
}

QString RecordCsvReader::current(char c) const
{
    // A byte of a longer UTF-8 sequence: the whole character, as far as this chunk holds it.
    const auto lead = std::uint8_t(c);
    if (lead < 0x80 || !m_chunk || m_at >= m_chunkSize || m_chunk[m_at] != c)
        return QString::fromUtf8(&c, 1);
    const int length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    return QString::fromUtf8(m_chunk + m_at, qMin(length, m_chunkSize - m_at));
}
