#include "cUpdateCrlThread.h"

#include <chrono>
#include <ctime>
#include <thread>

#include "cCertChainList.h"
#include "cLog.h"
#include "cTimerEntry.h"

cUpdateCrlThread::cUpdateCrlThread(int interval)
    : m_interval(interval < 20 ? 20 : interval), m_busy(std::make_shared<std::atomic<bool>>(false)) {
    std::thread(&cUpdateCrlThread::updateCrl, m_interval, m_busy).detach();
}

cUpdateCrlThread::~cUpdateCrlThread() = default;

void cUpdateCrlThread::waitForUnlock() const {
    while (isBusy()) std::this_thread::sleep_for(std::chrono::seconds(1));
}

int cUpdateCrlThread::runDueTimers(std::atomic<bool>& busy) {
    int ran = 0;
    std::lock_guard guard(globalTimerMutex);
    busy.store(false, std::memory_order_release);
    for (auto& [key, entry] : globalTimerList) {
        if (!entry.checkIsTimeUp()) continue;
        busy.store(true, std::memory_order_release);
        VORN_LOG(cLog::INFO, "時間排程到, 排程名稱", key);
        globalCertChain.updateCrlByTimer();
        VORN_LOG(cLog::INFO, "執行排程完成!");
        // A day ahead; several days when the process slept through them.
        const std::time_t now = std::time(nullptr);
        do entry.setNextExecuteTime(24);
        while (entry.getNextExecuteTime() <= now);
        busy.store(false, std::memory_order_release);
        ++ran;
    }
    return ran;
}

void cUpdateCrlThread::updateCrl(int interval, std::shared_ptr<std::atomic<bool>> busy) {
    if (interval < 20) interval = 20;
    VORN_LOGF(cLog::INFO,
              "排程作業 updateCrl() 開始啟動, 每隔 %d 秒會偵測一次, 期間不會產生 log, 直到時間排程到, 才會產生 log",
              interval);
    for (;;) {
        runDueTimers(*busy);
        std::this_thread::sleep_for(std::chrono::seconds(interval));
    }
}
