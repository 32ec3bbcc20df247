#pragma once
#include <atomic>
#include <memory>

#include "vornExport.h"

// The native thread that refreshes CRLs at the scheduled times. It is
// detached: it never holds up process exit and ends with the process.
class VORN_API cUpdateCrlThread {
public:
    // Starts the thread; intervals under 20 seconds are raised to 20.
    explicit cUpdateCrlThread(int interval);
    cUpdateCrlThread(const cUpdateCrlThread&) = delete;
    cUpdateCrlThread& operator=(const cUpdateCrlThread&) = delete;
    virtual ~cUpdateCrlThread();

    // Returns once no scheduled refresh is running (polls once a second).
    void waitForUnlock() const;
    bool isBusy() const noexcept { return m_busy->load(std::memory_order_acquire); }
    int getInterval() const noexcept { return m_interval; }

    // The thread body: scan, then sleep the interval, forever.
    static void updateCrl(int interval, std::shared_ptr<std::atomic<bool>> busy);
    // One scan of globalTimerList: runs the refresh for every entry that is
    // due and moves it a day ahead. Returns how many entries ran.
    static int runDueTimers(std::atomic<bool>& busy);

private:
    int m_interval;
    // Shared with the thread, which may outlive this object.
    std::shared_ptr<std::atomic<bool>> m_busy;
};
