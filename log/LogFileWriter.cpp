#include "log/LogFileWriter.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <utility>

namespace {

constexpr std::size_t kHeaderLimit = 1024; // header cut at 1023 characters
constexpr std::size_t kFileNameLimit = 256;

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
    return m_file != nullptr;
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
    char shortFile[kFileNameLimit];
    std::snprintf(shortFile, sizeof shortFile, "%s", base ? base + 1 : (file ? file : ""));

    // One reading serves the header and the choice of file, so a line lands in the
    // file of the date it shows.
    const auto now = m_clock();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const int millis = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    if (seconds != m_stampSecond) {
        localtime_r(&seconds, &m_stampLocal);
        std::snprintf(m_stamp, sizeof m_stamp, "%d-%02d-%02d %02d:%02d:%02d", m_stampLocal.tm_year + 1900,
                      m_stampLocal.tm_mon + 1, m_stampLocal.tm_mday, m_stampLocal.tm_hour,
                      m_stampLocal.tm_min, m_stampLocal.tm_sec);
        m_stampSecond = seconds;
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

    int header = std::snprintf(m_line, kHeaderLimit, "\n%s,%03d <%s> [%s:%s:%d] [%d] ", m_stamp, millis,
                               levelName(level), shortFile, function ? function : "", line, code);
    if (header < 0)
        header = 0;
    const std::size_t used = std::min<std::size_t>(static_cast<std::size_t>(header), kHeaderLimit - 1);

    va_list args;
    va_start(args, format);
    std::vsnprintf(m_line + used, sizeof m_line - used, format, args);
    va_end(args);

    const bool written = std::fputs(m_line, m_file) >= 0;
    if (m_batching && written) {
        ++m_heldLines;
        return;
    }
    const int lost = m_heldLines + 1;
    m_heldLines = 0;
    if (std::fflush(m_file) != 0 || !written)
        dropFile(lost);
}
