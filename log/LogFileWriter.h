#pragma once

#include <cstdio>
#include <mutex>

// Appends one header-prefixed line per write to the day's log file and flushes it
// at once. The file is opened once; a failed open is retried on every write.
class LogFileWriter
{
public:
    static LogFileWriter* instance();

    // Public so tests can own independent writers; the system uses instance().
    LogFileWriter() = default;
    ~LogFileWriter();
    LogFileWriter(const LogFileWriter&) = delete;
    LogFileWriter& operator=(const LogFileWriter&) = delete;

    // First call only: keeps the path, sets the threshold (0-4) and opens the file.
    bool open(const char* path, int level);

    void write(int level, const char* file, const char* function, int line, int code, const char* format, ...)
        __attribute__((format(printf, 7, 8)));

    // Where "open file failed!" goes; standard output unless a test redirects it.
    void setMessageStream(std::FILE* stream) { m_messageStream = stream; }

    static const char* levelName(int level);

private:
    bool openFile();
    void reportOpenFailure();

    int m_threshold = 0;
    char m_path[256] = {};
    char m_line[2048] = {};
    std::FILE* m_file = nullptr;
    bool m_opened = false;
    std::mutex m_mutex;
    std::FILE* m_messageStream = stdout;
};
