#include "log/LogFileWriter.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <utility>

namespace {

constexpr std::size_t kHeaderLimit = 1024; // header cut at 1023 characters
constexpr std::size_t kFileNameLimit = 256;
constexpr long long kMaxSize = 1LL << 40; // a size limit above 1 TiB is a typo

long long nonNegative(long value)
{
    return value > 0 ? value : 0;
}

// Appends up to the limit less one, as snprintf into that many bytes would.
void append(char* out, std::size_t& used, std::size_t limit, const char* text, std::size_t length)
{
    const std::size_t n = std::min(length, limit - 1 - used);
    std::memcpy(out + used, text, n);
    used += n;
}

void append(char* out, std::size_t& used, std::size_t limit, const char* text)
{
    append(out, used, limit, text, std::strlen(text));
}

void appendNumber(char* out, std::size_t& used, std::size_t limit, int value)
{
    char digits[16];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    append(out, used, limit, digits, static_cast<std::size_t>(end - digits));
}

int dayNumber(const std::tm& local)
{
    return (local.tm_year + 1900) * 10000 + (local.tm_mon + 1) * 100 + local.tm_mday;
}

} // namespace

LogFileWriter* LogFileWriter::instance()
{
    // First use is at start-up on the main thread; a function-local static is
    // also safe should that ever change.
    static LogFileWriter* s_writer = new LogFileWriter;
    return s_writer;
}

LogFileWriter::~LogFileWriter()
{
    if (m_file)
        std::fclose(m_file);
}

bool LogFileWriter::open(const char* path, int level)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_opened)
        return true;
    m_opened = true;
    std::snprintf(m_path, 255, "%s", path ? path : ""); // at most 254 characters kept
    if (level >= 0 && level <= 4)
        m_threshold = level;
    if (openFile())
        return true;
    reportOpenFailure();
    return false;
}

bool LogFileWriter::openDaily(DailyChooser chooser, int level)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_opened)
        return true;
    m_opened = true;
    m_chooser = std::move(chooser);
    if (level >= 0 && level <= 4)
        m_threshold = level;
    const std::time_t seconds = std::chrono::system_clock::to_time_t(m_clock());
    std::tm local{};
    localtime_r(&seconds, &local);
    followDay(local);
    if (!m_path[0])
        return false; // the chooser has said why
    if (openFile())
        return true;
    reportOpenFailure();
    return false;
}

void LogFileWriter::followDay(const std::tm& local)
{
    m_fileDay = dayNumber(local);
    if (m_file) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    m_heldLines = 0; // the old file's, written out by the close
    m_full = false;  // a new day, a new file
    const std::string chosen = m_chooser(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    std::snprintf(m_path, 255, "%s", chosen.c_str());
}

void LogFileWriter::setClock(Clock clock)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_clock = std::move(clock);
}

std::string LogFileWriter::path()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_path;
}

void LogFileWriter::reportOpenFailure()
{
    std::fprintf(m_messageStream, "open file failed!\n");
    std::fflush(m_messageStream);
}

bool LogFileWriter::openFile()
{
    m_file = std::fopen(m_path, "a");
    if (!m_file)
        return false;
    // Appending to what the day's runs before wrote: they count toward the limit.
    m_fileBytes = std::fseek(m_file, 0, SEEK_END) == 0 ? nonNegative(std::ftell(m_file)) : 0;
    return true;
}

void LogFileWriter::setSizeLimit(long long bytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sizeLimit = bytes > 0 ? bytes : 0;
}

bool LogFileWriter::parseSize(const char* text, long long* bytes)
{
    if (!text || !*text)
        return false;
    long long value = 0;
    const char* p = text;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > kMaxSize)
            return false;
    }
    if (p == text)
        return false;
    long long unit = 1;
    if (*p == 'K' || *p == 'k')
        unit = 1024;
    else if (*p == 'M' || *p == 'm')
        unit = 1024 * 1024;
    else if (*p == 'G' || *p == 'g')
        unit = 1024 * 1024 * 1024;
    if (unit > 1)
        ++p;
    if (*p != '\0' || value > kMaxSize / unit)
        return false;
    *bytes = value * unit;
    return true;
}

void LogFileWriter::beginBatch()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_batching = true;
}

void LogFileWriter::endBatch()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_batching = false;
    if (m_file && m_heldLines > 0 && std::fflush(m_file) != 0)
        dropFile(m_heldLines);
    m_heldLines = 0;
}

void LogFileWriter::dropFile(int lostLines)
{
    // A full or vanished file system: the lines are lost, and the next write starts again
    // with a fresh open so writing resumes once there is room.
    std::fclose(m_file);
    m_file = nullptr;
    for (int i = 0; i < lostLines; ++i)
        std::fprintf(m_messageStream, "write file failed!\n");
    std::fflush(m_messageStream);
}

const char* LogFileWriter::levelName(int level)
{
    switch (level) {
    case 0:
    case 1:
        return "DEBUG";
    case 3:
        return "WARN";
    case 4:
        return "ERROR";
    default:
        return "INFO";
    }
}

void LogFileWriter::write(int level, const char* file, const char* function, int line, int code,
                          const char* format, ...)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_opened || level < m_threshold)
        return;

    const char* base = file ? std::strrchr(file, '/') : nullptr;
    const char* shortFile = base ? base + 1 : (file ? file : "");

    // One reading serves the header and the choice of file, so a line lands in the
    // file of the date it shows.
    const auto now = m_clock();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const int millis = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    if (!m_stamped || seconds != m_stampSecond) {
        localtime_r(&seconds, &m_stampLocal);
        std::snprintf(m_stamp, sizeof m_stamp, "%d-%02d-%02d %02d:%02d:%02d", m_stampLocal.tm_year + 1900,
                      m_stampLocal.tm_mon + 1, m_stampLocal.tm_mday, m_stampLocal.tm_hour,
                      m_stampLocal.tm_min, m_stampLocal.tm_sec);
        m_stampSecond = seconds;
        m_stamped = true;
    }
    const std::tm& local = m_stampLocal;

    if (m_chooser) {
        if (dayNumber(local) != m_fileDay)
            followDay(local);
        if (!m_path[0])
            return; // said once by the chooser; the next date tries again
    }

    if (!m_file && !openFile()) {
        reportOpenFailure();
        return;
    }

    // "\n<date> <time>,<ms> <LEVEL> [<file>:<function>:<line>] [<code>] ", cut at the limit;
    // put together by hand, as formatting it costs more than the rest of the line.
    std::size_t used = 0;
    append(m_line, used, kHeaderLimit, "\n", 1);
    append(m_line, used, kHeaderLimit, m_stamp);
    if (millis >= 0 && millis < 1000) {
        const char ms[] = {',', char('0' + millis / 100), char('0' + millis / 10 % 10),
                           char('0' + millis % 10)};
        append(m_line, used, kHeaderLimit, ms, sizeof ms);
    } else {
        char ms[16];
        append(m_line, used, kHeaderLimit, ms, std::size_t(std::snprintf(ms, sizeof ms, ",%03d", millis)));
    }
    append(m_line, used, kHeaderLimit, " <", 2);
    append(m_line, used, kHeaderLimit, levelName(level));
    append(m_line, used, kHeaderLimit, "> [", 3);
    append(m_line, used, kHeaderLimit, shortFile, strnlen(shortFile, kFileNameLimit - 1));
    append(m_line, used, kHeaderLimit, ":", 1);
    append(m_line, used, kHeaderLimit, function ? function : "");
    append(m_line, used, kHeaderLimit, ":", 1);
    appendNumber(m_line, used, kHeaderLimit, line);
    append(m_line, used, kHeaderLimit, "] [", 3);
    appendNumber(m_line, used, kHeaderLimit, code);
    append(m_line, used, kHeaderLimit, "] ", 2);
    m_line[used] = '\0';

    va_list args;
    va_start(args, format);
    if (std::strcmp(format, "%s") == 0) {
        // The common case, a finished line: copied as vsnprintf would, without its per-byte path.
        const char* text = va_arg(args, const char*);
        std::size_t length = 0;
        append(m_line + used, length, sizeof m_line - used, text ? text : "(null)");
        m_line[used + length] = '\0';
    } else {
        std::vsnprintf(m_line + used, sizeof m_line - used, format, args);
    }
    va_end(args);

    if (m_full)
        return; // said in the file and on standard error when it filled
    if (m_sizeLimit > 0 && m_fileBytes + static_cast<long long>(std::strlen(m_line)) > m_sizeLimit) {
        // The line's own header, then why this is the last one (it may pass the limit a little).
        m_full = true;
        m_line[used] = '\0';
        std::snprintf(m_line + used, sizeof m_line - used,
                      "log file limit of %lld bytes reached: nothing more is written to this file until "
                      "the next day",
                      m_sizeLimit);
        std::fprintf(m_noticeStream,
                     "log file %s reached its limit of %lld bytes: nothing more is written to it until the "
                     "next day\n",
                     m_path, m_sizeLimit);
        std::fflush(m_noticeStream);
    }
    const std::size_t length = std::strlen(m_line);
    const bool written = std::fputs(m_line, m_file) >= 0;
    if (written)
        m_fileBytes += static_cast<long long>(length);
    if (m_batching && written) {
        ++m_heldLines;
        return;
    }
    const int lost = m_heldLines + 1;
    m_heldLines = 0;
    if (std::fflush(m_file) != 0 || !written)
        dropFile(lost);
}
