#include "cLog.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

#include "cChars.h"
#include "cFile.h"

namespace {

// Lines kept while no file is set; beyond this the oldest are dropped, so a
// process that never configures a file does not grow without bound.
constexpr std::size_t kMemoryLimit = 1 << 20;

union LoggerStorage {
    cLog log;
    constexpr LoggerStorage() : log() {}
    ~LoggerStorage() {}
};
constinit LoggerStorage g_loggerStorage;

}  // namespace

cLog& _logger = g_loggerStorage.log;

const bool cLog::s_forkHandlers = pthread_atfork([] { _logger.m_mutex.lock(); }, [] { _logger.m_mutex.unlock(); },
                                                 [] { _logger.m_mutex.unlock(); }) == 0;

struct cLog::State {
    std::string baseName;
    std::string memory;
    // The day's file stays open between lines and is reopened when the date changes.
    std::string dailyName;
    std::FILE* dailyFp = nullptr;
};

cLog::State& cLog::state() {
    if (m_state == nullptr) m_state = new State();
    return *m_state;
}

cLog::~cLog() {
    if (m_state && m_state->dailyFp) std::fclose(m_state->dailyFp);
    delete m_state;
}

const char* cLog::levelName(int level) noexcept {
    switch (level) {
        case DEBUG: return "DEBUG";
        case INFO: return "INFO";
        case PARAM: return "PARAM";
        case WARN: return "WARN";
        case ERROR: return "ERROR";
        default: return "";
    }
}

namespace {
thread_local std::string t_lastError;
}

const std::string& cLog::lastError() noexcept { return t_lastError; }

void cLog::clearLastError() noexcept { t_lastError.clear(); }

void cLog::noteError(const char* msg, std::size_t len) noexcept {
    try {
        t_lastError.assign(msg, len);
    } catch (...) {
        t_lastError.clear();
    }
}

bool cLog::admit(int level, const char* msg) noexcept {
    if (level >= ERROR) noteError(msg, std::strlen(msg));
    return isEnabled(level);
}

void cLog::setLogLevel(int level) { m_level.store(level, std::memory_order_relaxed); }

void cLog::setLogLevel(const char* name) {
    if (name == nullptr || *name == '\0') return;
    static constexpr struct {
        const char* name;
        int level;
    } kNames[] = {{"DEBUG", DEBUG}, {"INFO", INFO}, {"WARN", WARN}, {"ERROR", ERROR}, {"OFF", OFF}};
    for (const auto& n : kNames) {
        if (!cChars::insensitiveStringCompare(name, n.name)) continue;
        setLogLevel(n.level);
        if (n.level == DEBUG) logLevel(INFO, "重設 LOG Level = DEBUG");
        if (n.level == INFO) logLevel(INFO, "重設 LOG Level = INFO");
        return;
    }
}

bool cLog::setLogFile(const char* path, const char* file) {
    if (path == nullptr || *path == '\0' || file == nullptr || *file == '\0') return false;
    if (m_fileSet.load(std::memory_order_acquire)) return false;
    // Not under m_mutex: making the folder logs its own failure through this logger.
    if (!cFile::createFolder(path, 0755)) {
        static std::atomic<bool> reported{false};
        if (!reported.exchange(true))
            std::fprintf(stderr, "VornPKI: log folder \"%s\" cannot be created; the library logs to memory only\n",
                         path);
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fileSet.load(std::memory_order_relaxed)) return false;
    state().baseName = std::string(path) + "/" + file;
    m_fileSet.store(true, std::memory_order_release);
    return true;
}

std::string cLog::getBaseName() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_state ? m_state->baseName : std::string();
}

std::string cLog::getMemoryBuffer() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_state ? m_state->memory : std::string();
}

void cLog::writeLine(int level, const char* msg, std::size_t msgLen, const std::string& value) {
    struct timeval tv;
    ::gettimeofday(&tv, nullptr);
    struct tm lt;
    ::localtime_r(&tv.tv_sec, &lt);
    char prefix[96];
    int n = std::snprintf(prefix, sizeof prefix, "%04d/%02d/%02d %02d:%02d:%02d.%03d (PID=%d) %5s ", lt.tm_year + 1900,
                          lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec,
                          static_cast<int>(tv.tv_usec / 1000), static_cast<int>(::getpid()), levelName(level));
    std::string line;
    line.reserve(static_cast<std::size_t>(n) + msgLen + value.size() + 2);
    line.append(prefix, static_cast<std::size_t>(n > 0 ? n : 0));
    line.append(msg, msgLen);
    line += value;
    line += "\r\n";

    std::lock_guard<std::mutex> lock(m_mutex);
    State& st = state();
    if (!m_fileSet.load(std::memory_order_relaxed)) {
        if (line.size() > kMemoryLimit) return;
        if (st.memory.size() + line.size() > kMemoryLimit) {
            // Drop the older half at once, so trimming costs nothing per line on average.
            std::size_t cut = st.memory.find('\n', st.memory.size() + line.size() - kMemoryLimit / 2);
            st.memory.erase(0, cut == std::string::npos ? st.memory.size() : cut + 1);
        }
        st.memory += line;
        return;
    }
    char day[48];
    std::snprintf(day, sizeof day, ".%04d%02d%02d", lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday);
    std::string name = st.baseName + day;
    if (st.dailyFp == nullptr || st.dailyName != name) {
        if (st.dailyFp) std::fclose(st.dailyFp);
        st.dailyFp = std::fopen(name.c_str(), "ae");
        st.dailyName = name;
        if (st.dailyFp == nullptr) return;  // keep the memory lines for a later try
    }
    if (!st.memory.empty()) {
        std::fwrite(st.memory.data(), 1, st.memory.size(), st.dailyFp);
        st.memory.clear();
        st.memory.shrink_to_fit();
    }
    std::fwrite(line.data(), 1, line.size(), st.dailyFp);
    std::fflush(st.dailyFp);
}

void cLog::logLevel(int level, const char* msg) {
    if (msg == nullptr) msg = "";
    if (!admit(level, msg)) return;
    writeLine(level, msg, std::strlen(msg), std::string());
}

void cLog::logLevel(int level, const char* msg, const char* value) {
    if (msg == nullptr) msg = "";
    if (!admit(level, msg)) return;
    std::string v = " = ";
    v += value ? value : "(null)";
    writeLine(level, msg, std::strlen(msg), v);
}

void cLog::logLevel(int level, const char* msg, const std::string& value) {
    if (msg == nullptr) msg = "";
    if (!admit(level, msg)) return;
    writeLine(level, msg, std::strlen(msg), " = " + value);
}

void cLog::logLevel(int level, const char* msg, int value) {
    if (msg == nullptr) msg = "";
    if (!admit(level, msg)) return;
    char buf[40];
    std::snprintf(buf, sizeof buf, " = 0x%08X(%d)", static_cast<unsigned int>(value), value);
    writeLine(level, msg, std::strlen(msg), buf);
}

void cLog::logLevel(int level, const char* msg, bool value) {
    if (msg == nullptr) msg = "";
    if (!admit(level, msg)) return;
    writeLine(level, msg, std::strlen(msg), value ? " = true" : " = false");
}

void cLog::logLevel(int level, const char* msg, const unsigned char* bytes, int len) {
    if (msg == nullptr) msg = "";
    if (!admit(level, msg)) return;
    if (bytes == nullptr || len < 0) len = 0;
    char buf[64];
    std::snprintf(buf, sizeof buf, "(len=%d, 0x%" PRIXPTR ")", len, reinterpret_cast<uintptr_t>(bytes));
    std::string dump(buf);
    static constexpr char kHex[] = "0123456789abcdef";
    const std::size_t start = dump.size();
    const int rows = (len + 15) / 16;
    // Each row: "\r\n 0x%08x -", 16 x " %02x", " : ", up to 16 characters.
    dump.resize(start + static_cast<std::size_t>(rows) * (15 + 48 + 3 + 16));
    char* out = dump.data() + start;
    for (int off = 0; off < len; off += 16) {
        int count = len - off < 16 ? len - off : 16;
        out += std::snprintf(out, 16, "\r\n 0x%08x -", static_cast<unsigned int>(off));
        for (int i = 0; i < 16; ++i) {
            *out++ = ' ';
            *out++ = i < count ? kHex[bytes[off + i] >> 4] : ' ';
            *out++ = i < count ? kHex[bytes[off + i] & 0x0F] : ' ';
        }
        *out++ = ' ';
        *out++ = ':';
        *out++ = ' ';
        for (int i = 0; i < count; ++i) {
            unsigned char c = bytes[off + i];
            *out++ = (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
        }
    }
    dump.resize(static_cast<std::size_t>(out - dump.data()));
    writeLine(level, msg, std::strlen(msg), dump);
}

void cLog::logFormat(int level, const char* fmt, ...) {
    if (fmt == nullptr || (level < ERROR && !isEnabled(level))) return;
    char small[512];
    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    int n = std::vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    if (n < 0) {
        va_end(ap2);
        return;
    }
    if (static_cast<std::size_t>(n) < sizeof small) {
        va_end(ap2);
        if (!admit(level, small)) return;
        writeLine(level, small, static_cast<std::size_t>(n), std::string());
        return;
    }
    std::string big(static_cast<std::size_t>(n) + 1, '\0');
    std::vsnprintf(big.data(), big.size(), fmt, ap2);
    va_end(ap2);
    if (!admit(level, big.c_str())) return;
    writeLine(level, big.data(), static_cast<std::size_t>(n), std::string());
}
