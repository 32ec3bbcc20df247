#pragma once
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <openssl/x509.h>

#include "cCrlFileEntry.h"
#include "cProperty.h"

// The CRL files of one chain, keyed (and checked) in file-name order.
class VORN_API cCrlList {
public:
    cCrlList() = default;
    cCrlList(const cCrlList&) = delete;
    cCrlList& operator=(const cCrlList&) = delete;
    virtual ~cCrlList();

    // Reads "CRL.path" and "<entryName>.crlFile0", "...crlFile1", ... 0 when
    // no file is configured or all configured files are set up (a file that
    // cannot be read yet is kept, empty, for the next refresh); 5005 for a
    // missing folder or name or a name given twice. With issuers (the chain's
    // CA certificates) each list must be signed by one of them.
    int loadCrlFiles(const cProperty& property, const std::string& entryName);
    int loadCrlFiles(const cProperty& property, const std::string& entryName, const cCrlFileEntry::CaCerts* issuers);

    // 0 when every CRL passes, else the first non-zero result.
    int verifyCrl(X509* cert) const;
    // Re-reads every file; changed content is queued for commit under the
    // exclusive lock (the caller holds the shared one meanwhile).
    using Reloads = std::vector<std::pair<cCrlFileEntry*, cCrlFileEntry::Pending>>;
    void prepareUpdate(Reloads& out) const;

    bool empty() const noexcept { return m_files.empty(); }
    std::size_t size() const noexcept { return m_files.size(); }
    const cCrlFileEntry* find(const std::string& fileName) const;

private:
    std::map<std::string, std::unique_ptr<cCrlFileEntry>> m_files;
};
