#include "vornOpenSSL.h"

#include <mutex>

#include <openssl/provider.h>

#include "cLog.h"

namespace vorn {

bool initOpenSSL() {
    static std::once_flag once;
    static bool legacy = false;
    std::call_once(once, [] {
        OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
        // Loading any provider explicitly stops OpenSSL from loading "default"
        // by itself, so both are loaded. They stay loaded for the process.
        if (OSSL_PROVIDER_load(nullptr, "default") == nullptr)
            VORN_LOG(cLog::ERROR, "OSSL_PROVIDER_load(default) 失敗");
        legacy = OSSL_PROVIDER_load(nullptr, "legacy") != nullptr;
        if (!legacy) VORN_LOG(cLog::WARN, "OSSL_PROVIDER_load(legacy) 失敗, 舊格式 PKCS#12 無法開啟");
    });
    return legacy;
}

}  // namespace vorn
