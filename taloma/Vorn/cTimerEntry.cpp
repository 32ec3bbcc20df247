#include "cTimerEntry.h"

#include <cstdio>

#include "cLog.h"

namespace {

std::tm localTm(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
}

}  // namespace

std::map<std::string, cTimerEntry>& globalTimerList = *new std::map<std::string, cTimerEntry>();
std::mutex& globalTimerMutex = *new std::mutex();

cTimerEntry::cTimerEntry(int hour, int minute, int second) {
    const std::time_t now = std::time(nullptr);
    std::tm tm = localTm(now);
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    m_next = std::mktime(&tm);
    if (m_next <= now) {
        VORN_LOGF(cLog::DEBUG, "排程時間已過期(%02d:%02d:%02d)", hour, minute, second);
        // Tomorrow at the same wall-clock time, whatever a DST change does.
        tm = localTm(now);
        tm.tm_mday += 1;
        tm.tm_hour = hour;
        tm.tm_min = minute;
        tm.tm_sec = second;
        tm.tm_isdst = -1;
        m_next = std::mktime(&tm);
    }
    VORN_LOG(cLog::DEBUG, "設定下次排程時間", getNextExecuteText());
}

cTimerEntry::~cTimerEntry() = default;

bool cTimerEntry::setNextExecuteTime(int hours) {
    if (hours < 1) {
        VORN_LOG(cLog::ERROR, "參數值不可小於 0, hour", hours);
        return false;
    }
    std::tm tm = localTm(m_next);
    tm.tm_hour += hours;
    tm.tm_isdst = -1;
    m_next = std::mktime(&tm);
    VORN_LOG(cLog::DEBUG, "設定下次排程時間", getNextExecuteText());
    return true;
}

bool cTimerEntry::checkIsTimeUp() const { return checkIsTimeUp(std::time(nullptr)); }

bool cTimerEntry::checkIsTimeUp(std::time_t now) const {
    if (now > m_next) {
        VORN_LOG(cLog::DEBUG, "cTimerEntry::checkIsTimeUp() : 排程時間到");
        return true;
    }
    return false;
}

std::string cTimerEntry::getNextExecuteText() const {
    const std::tm tm = localTm(m_next);
    char buf[80];
    std::snprintf(buf, sizeof buf, "%04d/%02d/%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}
