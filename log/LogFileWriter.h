#pragma once

#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>

// Appends one header-prefixed line per write to the day's log file and flushes it
// at once. The file is opened once; a failed open is retried on every write.
// A writer opened with the daily rule moves to the new day's file at the first
// line stamped with a new local date.
class LogFileWriter
{
public:
    using Clock = std::function<std::chrono::system_clock::time_point()>;
    // Returns the file to use for a local date, or an empty string when none can be
    // opened. Called under the writer's lock, so it must not write to the writer.
    using DailyChooser = std::function<std::string(int year, int month, int day)>;

    // How large a day's file may grow: a flood must not fill the disk (varnel-emu --log-limit).
    static constexpr long long kDefaultSizeLimit = 256LL * 1024 * 1024;

    static LogFileWriter* instance();

    // Public so tests can own independent writers; the system uses instance().
    LogFileWriter() = default;
    ~LogFileWriter();
    LogFileWriter(const LogFileWriter&) = delete;
    LogFileWriter& operator=(const LogFileWriter&) = delete;

    // First call only: keeps the path, sets the threshold (0-4) and opens the file.
    bool open(const char* path, int level);

    // First call only, like open(), but the path comes from the chooser for today's
    // date and again for every new date. A day without a name goes without a file.
    bool openDaily(DailyChooser chooser, int level);

    void write(int level, const char* file, const char* function, int line, int code, const char* format, ...)
        __attribute__((format(printf, 7, 8)));

    // Lines written between these two are flushed once, at the end, with the same content;
    // a failed flush says "write file failed!" once for every line it lost. Not nested.
    void beginBatch();
    void endBatch();

    // Where "open file failed!" goes; standard output unless a test redirects it.
    void setMessageStream(std::FILE* stream) { m_messageStream = stream; }
    // Where the file's reaching its size limit is said; standard error unless a test redirects it.
    void setNoticeStream(std::FILE* stream) { m_noticeStream = stream; }

    // A file that would grow past `bytes` gets one last line saying so, and no more lines
    // until the next day's file; 0: no limit.
    void setSizeLimit(long long bytes);
    // "500000", "300K", "256M", "2G" (K, M, G: times 1024, 1024 * 1024, 1024 * 1024 * 1024); false
    // for anything else or above 1 TiB.
    static bool parseSize(const char* text, long long* bytes);

    // Stamps lines and decides the day; the system clock unless a test sets one.
    void setClock(Clock clock);

    // The file currently written to; empty on a day without a name.
    std::string path();

    static const char* levelName(int level);

private:
    bool openFile();
    void reportOpenFailure();
    void followDay(const std::tm& local);
    void dropFile(int lostLines);

    int m_threshold = 0;
    char m_path[256] = {};
    char m_line[2048] = {};
    std::FILE* m_file = nullptr;
    bool m_opened = false;
    std::mutex m_mutex;
    std::FILE* m_messageStream = stdout;
    std::FILE* m_noticeStream = stderr;
    long long m_sizeLimit = kDefaultSizeLimit;
    long long m_fileBytes = 0; // the size of the open file, as far as this writer knows
    bool m_full = false;       // the day's file reached its limit
    Clock m_clock = [] { return std::chrono::system_clock::now(); };
    DailyChooser m_chooser;
    int m_fileDay = -1; // year * 10000 + month * 100 + day of the chosen file
    bool m_batching = false;
    int m_heldLines = 0; // written into the stream's buffer since the last flush
    // The local time of the last second stamped: converting and formatting it costs more than
    // the rest of a line, and most lines share their second with the one before.
    bool m_stamped = false;
    std::time_t m_stampSecond = 0;
    std::tm m_stampLocal{};
    char m_stamp[80] = {}; // room for any int in each field
};
