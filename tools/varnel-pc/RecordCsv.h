#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// Writes the data frames of a file-record upload as CSV rows, one per record,
// under a header row of field names, for a look in a spreadsheet and for reading back.
// A text field that is not plain printable UTF-8, or that begins with "hex:" itself,
// is written as "hex:" and its bytes as upper-case hex, so every field reads back to its bytes.
class RecordCsv
{
public:
    // Creates the file with its header row; false with error() set when that fails.
    bool open(const QString& path);
    // Content of one 0x0C response frame; start and end frames and damaged records add no row.
    // False with error() set when the row could not be written.
    bool addFrameContent(const QByteArray& content);
    // False with error() set when the last bytes could not be written.
    bool close();
    bool isOpen() const { return m_file.isOpen(); }
    int rows() const { return m_rows; }
    QString error() const { return m_error; }

    static QString header();
    // One CSV row for a 110-byte record; empty when the content is no data record.
    static QString row(const QByteArray& record);
    // A zero-filled text field as it is written (before CSV quoting).
    static QString textField(const QByteArray& bytes);

private:
    bool writeLine(const QString& line);

    QFile m_file;
    QString m_error;
    int m_rows = 0;
};
