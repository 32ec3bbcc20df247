#include "cCrlList.h"

#include <cstdio>

#include "cErr.h"
#include "cLog.h"
#include "cX509.h"

cCrlList::~cCrlList() = default;

int cCrlList::loadCrlFiles(const cProperty& property, const std::string& entryName) {
    return loadCrlFiles(property, entryName, nullptr);
}

int cCrlList::loadCrlFiles(const cProperty& property, const std::string& entryName,
                           const cCrlFileEntry::CaCerts* issuers) {
    // The configured names, in key order crlFile0, crlFile1, ... up to the first gap.
    std::vector<std::string> names;
    int rc = 0;
    for (int j = 0;; ++j) {
        char key[128];
        std::snprintf(key, sizeof key, "%s.crlFile%d", entryName.c_str(), j);
        if (!property.hasProperty(key)) break;
        const std::string& name = property.getProperty(key);
        if (name.empty()) {
            VORN_LOG(cLog::ERROR, "未指定 CRL 檔案的檔名!", key);
            rc = ERR_PARAMETER;
            continue;
        }
        names.push_back(name);
    }
    VORN_LOG(cLog::DEBUG, "載入 crl 檔數量", static_cast<int>(names.size()));
    if (names.empty()) return rc;
    const std::string& folder = property.getProperty("CRL.path");
    if (folder.empty()) {
        VORN_LOG(cLog::ERROR, "未指定 CRL 目錄!");
        return ERR_PARAMETER;
    }
    for (const std::string& name : names) {
        if (m_files.count(name)) {
            VORN_LOG(cLog::ERROR, "CRL 重覆設定", name);
            rc = ERR_PARAMETER;
            continue;
        }
        auto entry = std::make_unique<cCrlFileEntry>(name, folder + "/" + name, issuers);
        // A file that cannot be read now stays listed: the refresh may find it later.
        entry->loadCrlFile();
        m_files.emplace(name, std::move(entry));
    }
    return rc;
}

int cCrlList::verifyCrl(X509* cert) const {
    int rc = 0;
    if (!cert) {
        rc = ERR_PARAMETER;
    } else if (!m_files.empty()) {
        const std::string now = cX509::nowTaiwan();
        for (const auto& [name, entry] : m_files) {
            rc = entry->verifyCrl(cert, now);
            if (rc != 0) break;
        }
    }
    VORN_LOG(cLog::DEBUG, "end cCrlList::verifyCrl()", rc);
    return rc;
}

void cCrlList::prepareUpdate(Reloads& out) const {
    for (const auto& [name, entry] : m_files) {
        cCrlFileEntry::Pending pending = entry->prepareReload();
        // Refused files go through commit too: it keeps the last good list or marks the refusal.
        const bool refused = pending.code == ERR_CRL_FORMAT || pending.code == ERR_CRL_SIGNATURE;
        if (refused || (pending.code == 0 && pending.changed)) out.emplace_back(entry.get(), std::move(pending));
    }
}

const cCrlFileEntry* cCrlList::find(const std::string& fileName) const {
    auto it = m_files.find(fileName);
    return it == m_files.end() ? nullptr : it->second.get();
}
