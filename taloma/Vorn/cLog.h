#pragma once
#include <atomic>
#include <cstdarg>
#include <mutex>
#include <string>

#include "vornExport.h"

// The library's logger. One process-wide instance, _logger, gets every
// message. Writing is serialised by one lock, so lines from several threads
// never interleave.
class VORN_API cLog {
public:
    // PARAM has the INFO threshold but its own label.
    enum Level : int { DEBUG = 10, INFO = 20, PARAM = 21, WARN = 30, ERROR = 40, OFF = 100 };

    constexpr cLog() noexcept {}
    cLog(const cLog&) = delete;
    cLog& operator=(const cLog&) = delete;
    virtual ~cLog();

    // DEBUG/INFO/WARN/ERROR/OFF ignoring case; anything else is ignored.
    void setLogLevel(const char* name);
    void setLogLevel(int level);
    int getLogLevel() const noexcept { return m_level.load(std::memory_order_relaxed); }
    // Whether a message of this level would be written; test it before
    // building costly arguments (VORN_LOG does).
    bool isEnabled(int level) const noexcept { return m_level.load(std::memory_order_relaxed) <= threshold(level); }

    // Only the first successful call takes effect. Creates the folder; when
    // it cannot be made, lines stay in memory and the failure is reported
    // once on standard error.
    bool setLogFile(const char* path, const char* file);
    bool isFileSet() const noexcept { return m_fileSet.load(std::memory_order_acquire); }
    // folder + "/" + file; the daily file is this plus ".YYYYMMDD".
    std::string getBaseName() const;

    void logLevel(int level, const char* msg);
    void logLevel(int level, const char* msg, const char* value);
    void logLevel(int level, const char* msg, const std::string& value);
    void logLevel(int level, const char* msg, int value);
    void logLevel(int level, const char* msg, bool value);
    void logLevel(int level, const char* msg, const unsigned char* bytes, int len);
    // printf-style message, for texts like "載入 %s 檔成功".
    void logFormat(int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

    // Lines collected while no file was set (they are flushed into the first file).
    std::string getMemoryBuffer() const;

    static int threshold(int level) noexcept { return level == PARAM ? INFO : level; }
    // The last ERROR message of the calling thread, kept whatever the level,
    // so that a code without a text of its own can still be explained.
    static const std::string& lastError() noexcept;
    static void clearLastError() noexcept;
    static void noteError(const char* msg, std::size_t len) noexcept;
    static const char* levelName(int level) noexcept;

private:
    struct State;
    bool admit(int level, const char* msg) noexcept;
    // fork() happens between lines, so a child never inherits the lock taken.
    static const bool s_forkHandlers;
    void writeLine(int level, const char* msg, std::size_t msgLen, const std::string& value);
    State& state();  // created on first use, under m_mutex

    std::atomic<int> m_level{0};
    std::atomic<bool> m_fileSet{false};
    // Kept behind a pointer so that the logger itself is constant-initialised.
    State* m_state = nullptr;
    mutable std::mutex m_mutex;
};

// Constant-initialised and never destroyed, so it can be used from any static
// constructor or destructor and from threads still running at exit.
extern VORN_API cLog& _logger;

#define VORN_LOG(level, ...) \
    do { \
        if ((level) >= cLog::ERROR || _logger.isEnabled(level)) _logger.logLevel(level, __VA_ARGS__); \
    } while (0)
#define VORN_LOGF(level, ...) \
    do { \
        if ((level) >= cLog::ERROR || _logger.isEnabled(level)) _logger.logFormat(level, __VA_ARGS__); \
    } while (0)
