#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// Writes the data frames of a file-record upload to a CSV file in RecordCsvFormat, one row
// per record under the header row, for a look in a spreadsheet and for serving back.
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

private:
    bool writeLine(const QString& line);

    QFile m_file;
    QString m_error;
    int m_rows = 0;
};
