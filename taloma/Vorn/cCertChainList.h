#pragma once
#include <atomic>
#include <map>
#include <memory>
#include <shared_mutex>
#include <string>

#include <openssl/x509.h>

#include "cCertChainEntry.h"
#include "cProperty.h"
#include "vornOpenSSL.h"

// The chain store: the ".p7b" chains named by the property file, keyed by
// their SKI, with their CRLs. One reader-writer lock guards chains and CRL
// data: checks share it, loading and CRL replacement take it alone.
class VORN_API cCertChainList {
public:
    cCertChainList() = default;
    cCertChainList(const cCertChainList&) = delete;
    cCertChainList& operator=(const cCertChainList&) = delete;
    virtual ~cCertChainList();

    // Loads "P7B.path" and the chains "P7B<i>.name"/"P7B<i>.SKI" with their
    // CRLs. 0 when at least one chain was stored.
    int loadCertChainFiles(const cProperty* property);
    // CRLs for chains loaded earlier without any (the signer's property file
    // names none; the verifier's may).
    int attachCrlFiles(const cProperty& property);

    // The CA certificates from the issuer of cert up to its root. The caller
    // frees the stack, not the certificates (they stay owned by the store).
    vorn::X509StackViewPtr prepareCertChain(X509* cert) const;

    // 5040, 5012, 5011, 5202, or the chain's verifyCertAndCrl result.
    int verifyCert(X509* cert, bool isVerifyCrl) const;

    void resetCrlTimer(const char* schedule);
    void updateCrlByTimer();

    bool isLoaded() const noexcept { return m_loaded.load(std::memory_order_acquire); }
    const std::string& getPath() const noexcept { return m_path; }
    std::size_t size() const;
    // Chain keys (SKI texts) in order.
    std::vector<std::string> keys() const;
    // Runs fn with the chain of this key under the shared lock; false when none.
    template <typename Fn>
    bool withChain(const std::string& key, Fn&& fn) const {
        std::shared_lock lock(m_lock);
        auto it = m_chains.find(key);
        if (it == m_chains.end()) return false;
        fn(*it->second);
        return true;
    }

private:
    std::string m_path;
    std::map<std::string, std::unique_ptr<cCertChainEntry>> m_chains;
    std::atomic<bool> m_loaded{false};
    mutable std::shared_mutex m_lock;
};

// Never destroyed: the detached refresh thread may still use it at exit.
extern VORN_API cCertChainList& globalCertChain;
