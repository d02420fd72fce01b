#pragma once

#include "protocol/RecordLayout.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

// The CSV of a file-record upload, one row per record under a header row of column names:
// how varnel-pc writes it and how a scenario reads it back into the very record bytes.
// Numbers are decimal, the date is "yyyy-MM-dd hh:mm:ss", a text is its UTF-8 up to its last
// non-zero byte, or "hex:" and its bytes when that would not read back (zero or control bytes,
// invalid UTF-8, a text that itself begins with "hex:"). Cells holding a comma, a double quote,
// CR or LF are quoted, quotes doubled.
class RecordCsvFormat
{
public:
    struct Row
    {
        int line; // where the row begins, from 1
        QStringList cells;
    };

    static QString header();
    // The row of a 110-byte data record; empty when the content is no data record.
    static QString row(const QByteArray& record);
    // A zero-filled text field as it is written (before quoting).
    static QString textCell(const QByteArray& bytes);

    // The rows of a CSV text, header included; empty lines are skipped, and lines may end in
    // LF, CRLF or, the last one, a lone CR. False with `problem` set for a quote left open, a
    // quote inside an unquoted cell, or text after a quoted cell's closing quote.
    static bool split(const QString& text, QVector<Row>* rows, QString* problem);
    // The record a data row stands for; false with `problem` naming the column.
    static bool record(const QStringList& cells, QByteArray* record, QString* problem);

    // A text cell's bytes, zero-filled to `width`; false with `problem` set when it is
    // bad hex or longer than the field.
    static bool textBytes(const QString& cell, int width, QByteArray* bytes, QString* problem);
    // A number at its field's width, big-endian.
    static QByteArray numberBytes(RecordLayout::Encoding encoding, quint32 value);
    // The largest number a field of this encoding holds.
    static quint32 maxNumber(RecordLayout::Encoding encoding);
    static bool hasColumn(const RecordLayout::Field& field) { return *field.csvColumn != '\0'; }
    static int columnCount();
};
