#include "vornOpenSSL.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include <openssl/provider.h>

#include "cLog.h"

namespace {

OSSL_PROVIDER* g_default = nullptr;
OSSL_PROVIDER* g_legacy = nullptr;

// Runs before OpenSSL's own exit cleanup (registered later, so called
// earlier); without it the legacy module is unmapped with its state still
// allocated.
void unloadProviders() {
    if (g_legacy) OSSL_PROVIDER_unload(g_legacy);
    if (g_default) OSSL_PROVIDER_unload(g_default);
    g_legacy = g_default = nullptr;
}

std::atomic<int> g_inside{0};
std::atomic<bool> g_exiting{false};
std::atomic<pthread_t> g_exitThread{};
thread_local int t_depth = 0;

// Registered after OpenSSL's own exit handler, so it runs before it.
void atExit() {
    g_exitThread.store(pthread_self());
    g_exiting.store(true);
    // A signature takes milliseconds; the bound only keeps a stuck thread
    // from holding the process.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (g_inside.load() != 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (g_inside.load() == 0) unloadProviders();
}

// The threads counted in the parent do not exist in a child.
void forkChild() { g_inside.store(0); }
[[maybe_unused]] const bool g_forkRegistered = pthread_atfork(nullptr, nullptr, forkChild) == 0;

}  // namespace

namespace vorn {

bool initOpenSSL() {
    static std::once_flag once;
    std::call_once(once, [] {
        OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
        // Loading any provider explicitly stops OpenSSL from loading "default"
        // by itself, so both are loaded.
        g_default = OSSL_PROVIDER_load(nullptr, "default");
        if (g_default == nullptr) VORN_LOG(cLog::ERROR, "OSSL_PROVIDER_load(default) 失敗");
        g_legacy = OSSL_PROVIDER_load(nullptr, "legacy");
        if (g_legacy == nullptr) VORN_LOG(cLog::WARN, "OSSL_PROVIDER_load(legacy) 失敗, 舊格式 PKCS#12 無法開啟");
        std::atexit(atExit);
    });
    return g_legacy != nullptr;
}

ExitGuard::ExitGuard() noexcept {
    if (t_depth++ != 0) return;
    g_inside.fetch_add(1);
    if (g_exiting.load() && !pthread_equal(g_exitThread.load(), pthread_self())) {
        g_inside.fetch_sub(1);
        for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
}

ExitGuard::~ExitGuard() {
    if (--t_depth == 0) g_inside.fetch_sub(1);
}

}  // namespace vorn
