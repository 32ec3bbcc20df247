#pragma once
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include "cCrlList.h"
#include "cProperty.h"
#include "cX509.h"
#include "vornOpenSSL.h"

// One CA chain from a ".p7b" file, its trust store and its CRLs.
class VORN_API cCertChainEntry {
public:
    // name is "P7B<i>", ski the key identifier the property file expects.
    cCertChainEntry(std::string name, std::string ski);
    // The SKI text as chains are keyed by it (upper case).
    static std::string normaliseSki(std::string ski);
    cCertChainEntry(const cCertChainEntry&) = delete;
    cCertChainEntry& operator=(const cCertChainEntry&) = delete;
    virtual ~cCertChainEntry();

    // Takes the certificates of a signedData (which stays the caller's) and
    // builds the store. 0, 5042 (not signedData / no certificates).
    int loadFromPkcs7(PKCS7* p7);
    // Each certificate verifies up to a root of the chain: 0 or 5202.
    int selfVerify() const;
    // True when a certificate of the chain carries the expected SKI.
    bool hasExpectedSKI() const;
    // CRLs listed under this chain's own name, or under the name another
    // property file gives the same chain; each must be signed by a CA of the chain.
    int loadCrlFiles(const cProperty& property) { return loadCrlFiles(property, m_name); }
    int loadCrlFiles(const cProperty& property, const std::string& entryName) {
        return m_crls.loadCrlFiles(property, entryName, &m_certs);
    }

    // 25601, 5202, -1, or the CRL result when isVerifyCrl is set.
    int verifyCertAndCrl(X509* cert, bool isVerifyCrl) const;
    void prepareCrlUpdate(cCrlList::Reloads& out) const { m_crls.prepareUpdate(out); }

    // The chain certificate whose subject is name, or null.
    X509* findBySubject(const X509_NAME* name) const;

    const std::string& getName() const noexcept { return m_name; }
    const std::string& getSKI() const noexcept { return m_ski; }
    const std::map<std::string, cX509>& getCerts() const noexcept { return m_certs; }
    const cCrlList& getCrlList() const noexcept { return m_crls; }

private:
    std::string m_name;
    std::string m_ski;
    std::map<std::string, cX509> m_certs;  // by SKI (fingerprint when none)
    vorn::X509StorePtr m_store;
    cCrlList m_crls;
    // Certificates whose chain verified lately (SHA-1 of the DER -> when). The
    // chain never changes once loaded, so a recent success stands for a while;
    // validity and CRLs are still checked on every call.
    static constexpr std::time_t kVerifiedSeconds = 60;
    static constexpr std::size_t kVerifiedMax = 4096;
    mutable std::mutex m_verifiedMutex;
    mutable std::unordered_map<std::string, std::time_t> m_verified;
};
