// Daemon threads that come back for the GIL once the interpreter finalises
// are ended by pthread_exit, whose unwinding cannot cross the binding layer.
// An atexit hook (run before finalisation) closes the gate and lets through
// the threads already on their way back; those still inside park on their way
// out, and calls made after it keep the GIL (see without_gil).
#include <chrono>
#include <thread>

#include "ca_internal.h"

namespace taloma::vorn_ca {

std::atomic<bool> g_exiting{false};
std::atomic<int> g_returning{0};
std::atomic<int> g_inside{0};

// Pool threads are stopped at exit before the gate closes: they end cleanly
// and release their objects instead of parking with them.
std::atomic<bool> g_stop_pools{false};
std::uint64_t g_pool_wake = 0;

std::condition_variable& pool_sleep_cv() {
    static std::condition_variable& cv = *new std::condition_variable();
    return cv;
}

namespace {

[[noreturn]] void park_forever() {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace

void reacquire(PyThreadState* ts) {
    g_returning.fetch_add(1);
    if (g_exiting.load()) {
        g_returning.fetch_sub(1);
        park_forever();
    }
    PyEval_RestoreThread(ts);
    g_returning.fetch_sub(1);
}

void wake_pools() {
    {
        std::lock_guard guard(pool_sleep_mutex());
        ++g_pool_wake;
    }
    pool_sleep_cv().notify_all();
}

void close_gate() {
    {
        std::lock_guard guard(pool_sleep_mutex());
        g_stop_pools.store(true);
    }
    pool_sleep_cv().notify_all();
    nb::list threads = nb::borrow<nb::list>(state().pool_threads);
    for (nb::handle t : threads)
        if (nb::bool_(t.attr("is_alive")())) t.attr("join")(2.0);
    g_exiting.store(true);
    Py_BEGIN_ALLOW_THREADS
    while (g_returning.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Py_END_ALLOW_THREADS
    if (g_inside.load() != 0) nb::set_leak_warnings(false);
}

}  // namespace taloma::vorn_ca
