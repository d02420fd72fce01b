#pragma once

#include "scenario/RecordCsvFormat.h"

#include <QByteArray>
#include <QString>

#include <functional>

// Cuts a record CSV's UTF-8 bytes into rows as they come, a chunk at a time, so a large file
// is never held whole, as text or as cells. The rules are RecordCsvFormat::split's: empty
// lines are skipped, lines end in LF, CRLF or (the last one) a lone CR; a quote left open, a
// quote inside an unquoted cell or text after a closing quote is a problem that ends the reading.
class RecordCsvReader
{
public:
    using RowHandler = std::function<void(const RecordCsvFormat::Row& row)>;

    explicit RecordCsvReader(RowHandler handler) : m_handler(std::move(handler))
    {
        m_cell.reserve(64); // kept: truncated, not freed, after each cell
    }

    // The bytes after those fed before; every row they complete goes to the handler. False
    // once a problem was found; the bytes after it are not looked at.
    bool feed(const char* bytes, int size);
    bool feed(const QByteArray& bytes) { return feed(bytes.constData(), bytes.size()); }
    // The end of the text: its last row goes out. False with problem() set.
    bool finish();
    QString problem() const { return m_problem; }

private:
    enum class State
    {
        Plain,
        Quoted,
        QuoteInQuoted, // a quote inside a quoted cell: doubled, or its end
        CarriageReturn // a CR outside quotes: before LF, at the very end, or a cell's byte
    };

    bool take(char c);
    bool takePlain(char c, bool lineEnd);
    void endRow();
    bool fail(const QString& problem);
    // The character the byte being taken begins, for a message.
    QString current(char c) const;

    RowHandler m_handler;
    State m_state = State::Plain;
    QByteArray m_cell;
    QStringList m_cells;
    bool m_quoteClosed = false; // the cell was quoted and its closing quote read
    bool m_rowHasText = false;
    int m_line = 1;
    int m_rowLine = 1;
    // The chunk being fed and the byte being taken in it.
    const char* m_chunk = nullptr;
    int m_chunkSize = 0;
    int m_at = 0;
    QString m_problem;
};
