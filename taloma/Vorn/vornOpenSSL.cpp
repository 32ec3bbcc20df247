#include "vornOpenSSL.h"

#include <cstdlib>
#include <mutex>

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
        std::atexit(unloadProviders);
    });
    return g_legacy != nullptr;
}

}  // namespace vorn
