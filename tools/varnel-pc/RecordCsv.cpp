#include "tools/varnel-pc/RecordCsv.h"

#include "scenario/RecordCsvFormat.h"

bool RecordCsv::open(const QString& path)
{
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        m_error = m_file.errorString();
        return false;
    }
    return writeLine(RecordCsvFormat::header());
}

bool RecordCsv::addFrameContent(const QByteArray& content)
{
    const QString line = RecordCsvFormat::row(content);
    if (line.isEmpty() || !m_file.isOpen())
        return true;
    if (!writeLine(line))
        return false;
    ++m_rows;
    return true;
}

bool RecordCsv::close()
{
    if (!m_file.isOpen())
        return m_error.isEmpty();
    const bool flushed = m_file.flush();
    if (!flushed && m_error.isEmpty())
        m_error = m_file.errorString();
    m_file.close();
    return flushed && m_error.isEmpty();
}

// Unbuffered, row by row: an interrupted upload leaves every row it got, and a short
// write is tried again so that a failure comes with the system's reason.
bool RecordCsv::writeLine(const QString& line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    for (qint64 done = 0; done < bytes.size();) {
        const qint64 written = m_file.write(bytes.constData() + done, bytes.size() - done);
        if (written <= 0) {
            m_error = m_file.errorString();
            return false;
        }
        done += written;
    }
    return true;
}
