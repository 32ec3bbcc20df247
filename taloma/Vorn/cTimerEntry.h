#pragma once
#include <ctime>
#include <map>
#include <mutex>
#include <string>

#include "vornExport.h"

// One daily CRL refresh time. The next run is kept as a local calendar time.
class VORN_API cTimerEntry {
public:
    // Next run: today at hour:minute:second, or tomorrow when that has passed.
    cTimerEntry(int hour, int minute, int second);
    cTimerEntry(const cTimerEntry&) = default;
    cTimerEntry& operator=(const cTimerEntry&) = default;
    virtual ~cTimerEntry();

    // Moves the next run by hours (at least 1).
    bool setNextExecuteTime(int hours);
    // True once the current time is strictly after the next run.
    bool checkIsTimeUp() const;
    bool checkIsTimeUp(std::time_t now) const;

    std::time_t getNextExecuteTime() const noexcept { return m_next; }
    // "YYYY/MM/DD hh:mm:ss" of the next run, local time.
    std::string getNextExecuteText() const;
    // For callers that restore a saved schedule (and tests).
    void setNextExecuteTime(std::time_t next) noexcept { m_next = next; }

private:
    std::time_t m_next = 0;
};

// The refresh schedule, keyed by "hh:mm". The refresh thread scans it while
// holding globalTimerMutex; every change takes the same lock.
extern VORN_API std::map<std::string, cTimerEntry>& globalTimerList;
extern VORN_API std::mutex& globalTimerMutex;
