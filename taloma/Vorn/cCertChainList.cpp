#include "cCertChainList.h"

#include <dirent.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>

#include <openssl/pem.h>

#include "cChars.h"
#include "cErr.h"
#include "cFile.h"
#include "cLog.h"
#include "cTimerEntry.h"
#include "cX509.h"

cCertChainList& globalCertChain = *new cCertChainList();

namespace {

constexpr int kMaxChainFiles = 64;
constexpr int kMaxChainDepth = 16;

bool listFolder(const std::string& folder, std::vector<std::string>& names) {
    DIR* dir = opendir(folder.c_str());
    if (!dir) return false;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.' && (e->d_name[1] == 0 || (e->d_name[1] == '.' && e->d_name[2] == 0))) continue;
        names.emplace_back(e->d_name);
    }
    closedir(dir);
    return true;
}

vorn::Pkcs7Ptr readPkcs7(const std::string& path) {
    cFile file;
    if (!file.loadFromFile(path.c_str()) || file.empty()) return nullptr;
    const unsigned char* p = file.data();
    vorn::Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, file.length()));
    if (!p7) {
        vorn::BioPtr bio(BIO_new_mem_buf(file.data(), file.length()));
        if (bio) p7.reset(PEM_read_bio_PKCS7(bio.get(), nullptr, nullptr, nullptr));
    }
    return p7;
}

std::string trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

// "h:m" with h 0-23 and m 0-59, each starting with a digit; normalised to "hh:mm".
bool parseTime(const std::string& piece, int& hour, int& minute) {
    if (piece.empty() || !std::isdigit(static_cast<unsigned char>(piece[0]))) return false;
    char* end = nullptr;
    const long h = std::strtol(piece.c_str(), &end, 10);
    const std::size_t colon = piece.find(':');
    if (colon == std::string::npos || colon + 1 >= piece.size()) return false;
    if (!std::isdigit(static_cast<unsigned char>(piece[colon + 1]))) return false;
    const long m = std::strtol(piece.c_str() + colon + 1, &end, 10);
    if (h < 0 || h > 23 || m < 0 || m > 59) return false;
    hour = static_cast<int>(h);
    minute = static_cast<int>(m);
    return true;
}

}  // namespace

cCertChainList::~cCertChainList() = default;

int cCertChainList::loadCertChainFiles(const cProperty* property) {
    if (!property) {
        VORN_LOG(cLog::ERROR, "參數錯誤 : property = NULL");
        return ERR_PARAMETER;
    }
    VORN_LOG(cLog::INFO, "begin cCertChainList::loadCertChainFiles()");
    std::unique_lock guard(m_lock);
    int rc = 0;
    const std::string& folder = property->getProperty("P7B.path");
    std::vector<std::string> files;
    if (folder.empty()) {
        VORN_LOG(cLog::ERROR, "未指定 P7B 目錄!");
        rc = ERR_PARAMETER;
    } else if (!listFolder(folder, files)) {
        VORN_LOG(cLog::ERROR, "無法讀取 P7B 目錄!", folder);
        rc = ERR_PATH_NOT_FOUND;
    } else {
        m_path = folder;
        for (int i = 0; i < kMaxChainFiles; ++i) {
            char nameKey[48], skiKey[48], entryName[32];
            std::snprintf(nameKey, sizeof nameKey, "P7B%d.name", i);
            std::snprintf(skiKey, sizeof skiKey, "P7B%d.SKI", i);
            std::snprintf(entryName, sizeof entryName, "P7B%d", i);
            const std::string& ski = property->getProperty(skiKey);
            const std::string& name = property->getProperty(nameKey);
            if (name.empty()) continue;
            const std::string* found = nullptr;
            for (const std::string& f : files)
                if (cChars::insensitiveStringCompare(f.c_str(), name.c_str())) found = &f;
            if (!found) {
                VORN_LOG(cLog::ERROR, "找不到憑證鏈檔案", name);
                continue;
            }
            VORN_LOGF(cLog::INFO, "執行載入 %s 檔", found->c_str());
            vorn::Pkcs7Ptr p7 = readPkcs7(folder + "/" + *found);
            auto entry = std::make_unique<cCertChainEntry>(entryName, ski);
            if (!p7 || entry->loadFromPkcs7(p7.get()) != 0) {
                VORN_LOG(cLog::ERROR, "憑證鏈檔案格式錯誤", *found);
                continue;
            }
            if (entry->selfVerify() != 0) {
                VORN_LOG(cLog::ERROR, "內部驗證失敗, 這個憑證鏈捨棄不使用, 無法用來驗憑證鏈", *found);
                continue;
            }
            if (!entry->hasExpectedSKI()) {
                VORN_LOG(cLog::ERROR, "憑證鏈 SKI 與設定檔不符", *found);
                continue;
            }
            entry->loadCrlFiles(*property);
            const std::string key = entry->getSKI();
            if (!m_chains.emplace(key, std::move(entry)).second) {
                VORN_LOG(cLog::WARN, "憑證鏈 SKI 重覆設定", *found);
                continue;
            }
            VORN_LOGF(cLog::INFO, "載入 %s 檔成功", found->c_str());
        }
        if (!m_chains.empty()) m_loaded.store(true, std::memory_order_release);
        else rc = ERR_CERT_CHAIN_NOT_EXIST;
    }
    VORN_LOG(cLog::INFO, "end cCertChainList::loadCertChainFiles()", rc);
    return rc;
}

int cCertChainList::attachCrlFiles(const cProperty& property) {
    std::unique_lock guard(m_lock);
    int rc = 0;
    // Another property file may have numbered the chains: each "P7B<i>" of this
    // one finds its chain by the SKI it names, not by that other number.
    for (int i = 0; i < kMaxChainFiles; ++i) {
        char nameKey[48], skiKey[48], entryName[32];
        std::snprintf(nameKey, sizeof nameKey, "P7B%d.name", i);
        std::snprintf(skiKey, sizeof skiKey, "P7B%d.SKI", i);
        std::snprintf(entryName, sizeof entryName, "P7B%d", i);
        if (property.getProperty(nameKey).empty()) continue;
        auto it = m_chains.find(cCertChainEntry::normaliseSki(property.getProperty(skiKey)));
        if (it == m_chains.end()) {
            VORN_LOG(cLog::WARN, "憑證鏈未載入, 無法設定 CRL", entryName);
            continue;
        }
        if (!it->second->getCrlList().empty()) continue;
        const int r = it->second->loadCrlFiles(property, entryName);
        if (r != 0 && rc == 0) rc = r;
    }
    return rc;
}

vorn::X509StackViewPtr cCertChainList::prepareCertChain(X509* cert) const {
    vorn::X509StackViewPtr chain(sk_X509_new_null());
    if (!chain || !cert) return chain;
    std::shared_lock guard(m_lock);
    X509* current = cert;
    for (int depth = 0; depth < kMaxChainDepth; ++depth) {
        X509* issuer = nullptr;
        for (const auto& [key, entry] : m_chains)
            if ((issuer = entry->findBySubject(X509_get_issuer_name(current)))) break;
        if (!issuer || issuer == current) break;
        if (_logger.isEnabled(cLog::DEBUG))
            _logger.logLevel(cLog::DEBUG, "找到簽章 CA 的 subject", cX509::fromRef(issuer).getSubject());
        sk_X509_push(chain.get(), issuer);
        if (X509_NAME_cmp(X509_get_subject_name(issuer), X509_get_issuer_name(issuer)) == 0) {
            VORN_LOG(cLog::DEBUG, "這是 CA 的根憑證");
            break;
        }
        current = issuer;
    }
    VORN_LOG(cLog::DEBUG, "end cCertChainList::prepareCertChain() 數量", sk_X509_num(chain.get()));
    return chain;
}

int cCertChainList::verifyCert(X509* cert, bool isVerifyCrl) const {
    if (!cert) {
        VORN_LOG(cLog::ERROR, "參數 x509 內容為 NULL");
        return ERR_CERT_FORMAT;
    }
    const cX509 view = cX509::fromRef(cert);
    const std::string now = cX509::nowTaiwan();
    if (now <= view.getNotbefore()) {
        VORN_LOG(cLog::ERROR, "驗憑證效期 : 憑證未生效日");
        return ERR_CERT_NOT_YET_VALID;
    }
    if (now > view.getNotafter()) {
        VORN_LOG(cLog::ERROR, "驗憑證效期 : 憑證已過期");
        return ERR_CERT_EXPIRED;
    }
    VORN_LOG(cLog::DEBUG, "驗憑證效期 : 有效憑證");
    const std::string aki = view.getAKI();
    std::shared_lock guard(m_lock);
    auto it = m_chains.find(aki);
    if (aki.empty() || it == m_chains.end()) {
        VORN_LOG(cLog::ERROR, "找不到憑證鏈, AKI", aki);
        return ERR_CERT_CHAIN_NOT_EXIST;
    }
    return it->second->verifyCertAndCrl(cert, isVerifyCrl);
}

void cCertChainList::resetCrlTimer(const char* schedule) {
    std::vector<std::string> pieces;
    const std::string text = schedule ? schedule : "";
    std::size_t start = 0;
    while (pieces.size() < 3) {
        const std::size_t comma = text.find(',', start);
        pieces.push_back(trim(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start)));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    std::map<std::string, std::pair<int, int>> wanted;
    for (const std::string& piece : pieces) {
        if (piece.empty()) {
            VORN_LOG(cLog::ERROR, "無效的排程時間設定值");
            continue;
        }
        int hour = 0, minute = 0;
        if (!parseTime(piece, hour, minute)) {
            VORN_LOG(cLog::ERROR, "無效的時間設定值", piece);
            continue;
        }
        char key[32];
        std::snprintf(key, sizeof key, "%02d:%02d", hour, minute);
        wanted.emplace(key, std::make_pair(hour, minute));
    }
    std::lock_guard guard(globalTimerMutex);
    bool same = wanted.size() == globalTimerList.size();
    for (const auto& [key, hm] : wanted) same = same && globalTimerList.count(key) != 0;
    if (same) {
        VORN_LOG(cLog::INFO, "排程設定值沒有異動");
        return;
    }
    VORN_LOG(cLog::INFO, "部份排程設定值有異動");
    globalTimerList.clear();
    for (const auto& [key, hm] : wanted) globalTimerList.emplace(key, cTimerEntry(hm.first, hm.second, 0));
}

void cCertChainList::updateCrlByTimer() {
    cCrlList::Reloads reloads;
    {
        std::shared_lock guard(m_lock);
        for (const auto& [key, chain] : m_chains) {
            VORN_LOG(cLog::INFO, "執行 cCertChainList::updateCrlByTimer()", chain->getName());
            chain->prepareCrlUpdate(reloads);
        }
    }
    if (reloads.empty()) return;
    std::unique_lock guard(m_lock);
    for (auto& [entry, pending] : reloads) entry->commit(std::move(pending));
}

std::size_t cCertChainList::size() const {
    std::shared_lock guard(m_lock);
    return m_chains.size();
}

std::vector<std::string> cCertChainList::keys() const {
    std::shared_lock guard(m_lock);
    std::vector<std::string> out;
    for (const auto& [key, chain] : m_chains) out.push_back(key);
    return out;
}
