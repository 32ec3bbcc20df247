#pragma once
#include <atomic>
#include <map>
#include <string>
#include <unordered_map>

#include <openssl/x509.h>

#include "cX509.h"
#include "vornOpenSSL.h"

// One CRL file of a chain: the parsed list and its revoked serials. The chain
// store's reader-writer lock guards it: verifyCrl under the shared lock,
// load/replace under the exclusive one.
class VORN_API cCrlFileEntry {
public:
    // Reason value kept for a revoked entry that carries no reason extension.
    static constexpr int REASON_NONE = -1;
    // The CA certificates of a chain, as the chain keeps them.
    using CaCerts = std::map<std::string, cX509>;

    cCrlFileEntry(std::string fileName, std::string fullPath);
    // With issuers, a list is used only when one of them signed it; the
    // issuers must outlive the entry.
    cCrlFileEntry(std::string fileName, std::string fullPath, const CaCerts* issuers);
    cCrlFileEntry(const cCrlFileEntry&) = delete;
    cCrlFileEntry& operator=(const cCrlFileEntry&) = delete;
    virtual ~cCrlFileEntry();

    // Reads and parses the file (DER or PEM). 0, 1002 (unreadable), 5041 (not a
    // CRL), 5034 (not signed by one of the issuers).
    int loadCrlFile();

    // A refresh done in two steps so that the file is read and parsed without
    // holding the lock: prepare, then (under the exclusive lock) commit.
    struct Pending {
        int code = 0;          // 0 ready to commit, else why not
        bool changed = false;  // false: same bytes as loaded
        std::string raw;
        vorn::X509CrlPtr crl;
        std::string nextUpdate;
        std::unordered_map<std::string, int> revoked;
    };
    Pending prepareReload() const;
    void commit(Pending&& pending);

    // 0, 5005 (no certificate), 5030 (CRL expired or without next update),
    // 5020-5026 (revoked), 5031/5034 (the file was refused and no good list is held).
    int verifyCrl(X509* cert) const;
    int verifyCrl(X509* cert, const std::string& now14) const;
    // Revocation result for a serial in upper-case hex, ignoring expiry.
    int checkSerial(const std::string& serialHex) const;

    const std::string& getFileName() const noexcept { return m_fileName; }
    const std::string& getFullPath() const noexcept { return m_fullPath; }
    bool isLoaded() const noexcept { return static_cast<bool>(m_crl); }
    bool isExpired() const noexcept { return m_expired.load(std::memory_order_relaxed); }
    // 5031 or 5034 while the configured file is refused and no good list is held, else 0.
    int refusal() const noexcept { return m_refused; }
    // Next update as 14 digits, UTC+8; empty when the CRL has none.
    const std::string& getNextUpdate() const noexcept { return m_nextUpdate; }
    std::size_t revokedCount() const noexcept { return m_revoked.size(); }

    static const char* reasonName(int reason) noexcept;
    static int reasonToCode(int reason) noexcept;

private:
    Pending parse(std::string raw) const;
    // 0 when one of the issuers names and signed crl, else 5034.
    int checkIssuer(X509_CRL* crl) const;
    void refuse(int code);

    std::string m_fileName;
    std::string m_fullPath;
    const CaCerts* m_issuers = nullptr;
    int m_refused = 0;
    std::string m_raw;
    vorn::X509CrlPtr m_crl;
    std::string m_nextUpdate;
    std::unordered_map<std::string, int> m_revoked;  // serial hex -> reason
    // Set by readers under the shared lock, hence atomic; cleared by commit.
    mutable std::atomic<bool> m_expired{false};
};
