#pragma once

#include <QByteArray>
#include <QString>

#include <cstdio>

// Writes the data frames of a file-record upload as CSV rows, one per record,
// under a header row of field names, for a look in a spreadsheet.
class RecordCsv
{
public:
    ~RecordCsv();

    bool open(const QString& path);
    // Content of one 0x0C response frame; start and end frames are skipped.
    void addFrameContent(const QByteArray& content);
    int rows() const { return m_rows; }

    static QString header();
    // One CSV row for a 110-byte record; empty when the content is no data record.
    static QString row(const QByteArray& record);

private:
    std::FILE* m_file = nullptr;
    int m_rows = 0;
};
