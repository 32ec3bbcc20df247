#include "cPkcs12.h"

#include <cstring>
#include <string>

#include "cErr.h"
#include "cFile.h"
#include "cLog.h"
#include "cX509.h"
#include "vornOpenSSL.h"

namespace {

// Value of every occurrence of prefix in text, each up to the next stop
// character. With first set, only the first occurrence.
std::vector<std::string> valuesOf(const std::string& text, const std::string& prefix, char stop, bool first) {
    std::vector<std::string> out;
    for (std::size_t pos = text.find(prefix); pos != std::string::npos; pos = text.find(prefix, pos + 1)) {
        std::size_t b = pos + prefix.size();
        std::size_t e = text.find(stop, b);
        out.push_back(text.substr(b, e == std::string::npos ? std::string::npos : e - b));
        if (first) break;
    }
    return out;
}

// Attributes of a one-line name are matched with their leading "/", so that
// "C=" is not found inside "/DC=..." nor "CN=" inside another value.
std::vector<std::string> nameValues(const std::string& name, const char* attr, bool first) {
    return valuesOf(name, std::string("/") + attr + "=", '/', first);
}

bool contains(const std::vector<std::string>& values, const std::string& v) {
    for (const auto& x : values)
        if (x == v) return true;
    return false;
}

// The shared subject/issuer test; side is "S" or "I".
bool checkFilterByName(const std::string& alternative, const std::string& name, const char* side, bool cnSubstring) {
    VORN_LOG(cLog::PARAM, "絛件 filter", alternative);
    VORN_LOG(cLog::PARAM, "憑證主旨 subject", name);
    const std::string p = std::string(side) + "_";
    bool ok = true;
    const char* failed = nullptr;

    auto wantC = valuesOf(alternative, p + "C=", ',', true);
    if (!wantC.empty()) {
        auto haveC = nameValues(name, "C", true);
        if (haveC.empty() || haveC[0] != wantC[0]) failed = "C";
    }
    if (!failed) {
        auto haveO = nameValues(name, "O", false);
        for (const auto& o : valuesOf(alternative, p + "O=", ',', false))
            if (!contains(haveO, o)) failed = "O";
    }
    if (!failed) {
        auto haveOU = nameValues(name, "OU", false);
        for (const auto& ou : valuesOf(alternative, p + "OU=", ',', false))
            if (!contains(haveOU, ou)) failed = "OU";
    }
    if (!failed) {
        auto wantCN = valuesOf(alternative, p + "CN=", ',', true);
        if (!wantCN.empty()) {
            auto haveCN = nameValues(name, "CN", true);
            std::string cn = haveCN.empty() ? std::string() : haveCN[0];
            bool match = cnSubstring ? cn.find(wantCN[0]) != std::string::npos : cn == wantCN[0];
            if (!match) failed = "CN";
        }
    }
    if (failed) {
        ok = false;
        VORN_LOGF(cLog::ERROR, "找不到憑證條件(%s_%s)", side, failed);
    }
    VORN_LOG(cLog::DEBUG, side[0] == 'S' ? "checkFilterByCertSubject() return" : "checkFilterByCertIssuer() return",
             ok);
    return ok;
}

// The key, certificate and CA certificates of the file at path.
int readPkcs12(const std::string& path, const char* password, vorn::EvpPkeyPtr& key, vorn::X509Ptr& cert,
               vorn::X509StackPtr& ca) {
    const vorn::BioPtr bio(BIO_new_file(path.c_str(), "rb"));
    const vorn::Pkcs12Ptr p12(bio ? d2i_PKCS12_bio(bio.get(), nullptr) : nullptr);
    if (!p12) {
        VORN_LOG(cLog::ERROR, "憑證檔無法讀取, 檔名", path);
        return ERR_CERT_FILE_READ;
    }
    if (PKCS12_mac_present(p12.get()) &&
        PKCS12_verify_mac(p12.get(), password, static_cast<int>(std::strlen(password))) != 1) {
        VORN_LOG(cLog::ERROR, "PKCS12_verify_mac() 失敗, 密碼錯誤");
        return ERR_PFX_PASSWORD;
    }
    EVP_PKEY* rawKey = nullptr;
    X509* rawCert = nullptr;
    STACK_OF(X509)* rawCa = nullptr;
    const int parsed = PKCS12_parse(p12.get(), password, &rawKey, &rawCert, &rawCa);
    key.reset(rawKey);
    cert.reset(rawCert);
    ca.reset(rawCa);
    if (parsed != 1) {
        VORN_LOG(cLog::ERROR, "PKCS12_parse() 失敗");
        return ERR_PFX_PASSWORD;
    }
    if (!key) {
        VORN_LOG(cLog::ERROR, "PKCS12 檔內沒有私鑰");
        return ERR_KEY_NOT_EXIST;
    }
    if (!cert) {
        VORN_LOG(cLog::ERROR, "PKCS12 檔內沒有與私鑰相符的憑證");
        return ERR_CERT_NOT_FOUND;
    }
    return 0;
}

}  // namespace

cPkcs12::~cPkcs12() { clear(); }

void cPkcs12::clear() noexcept {
    m_key.reset();
    m_cert.reset();
    m_ca.reset();
}

int cPkcs12::loadPfxFile(const char* filePath, const char* fileName, const char* pfxPasswd) {
    clear();
    vorn::initOpenSSL();
    int rc = 0;
    std::string full;
    if (filePath == nullptr) {
        VORN_LOG(cLog::ERROR, "參數 filePath 內容為 NULL");
        rc = ERR_PARAMETER;
    } else if (*filePath == '\0') {
        VORN_LOG(cLog::ERROR, "參數 filePath 長度為 0");
        rc = ERR_PARAMETER;
    } else if (fileName == nullptr) {
        VORN_LOG(cLog::ERROR, "參數 fileName 內容為 NULL");
        rc = ERR_PARAMETER;
    } else if (*fileName == '\0') {
        VORN_LOG(cLog::ERROR, "參數 fileName 長度為 0");
        rc = ERR_PARAMETER;
    } else if (full = std::string(filePath) + "/" + fileName; !cFile::checkFileExist(full.c_str())) {
        VORN_LOG(cLog::ERROR, "憑證檔不存在, 檔名", full);
        rc = ERR_CERT_FILE_READ;
    } else if (pfxPasswd == nullptr) {
        VORN_LOG(cLog::ERROR, "參數 pfxPasswd 內容為 NULL");
        rc = ERR_PARAMETER;
    } else if (*pfxPasswd == '\0') {
        VORN_LOG(cLog::ERROR, "參數 pfxPasswd 長度為 0");
        rc = ERR_PARAMETER;
    } else {
        rc = readPkcs12(full, pfxPasswd, m_key, m_cert, m_ca);
        // RSA blinding is left on: it is what keeps signing time independent of the key.
    }
    if (rc != 0) clear();
    VORN_LOG(cLog::DEBUG, "end cPkcs12::loadPfxFile()", rc);
    return rc;
}

int cPkcs12::checkCertValid() const { return checkCertValid(cX509::nowTaiwan()); }

int cPkcs12::checkCertValid(const std::string& now14) const {
    if (!m_cert) return ERR_CERT_NOT_FOUND;
    cX509 cert = cX509::fromRef(m_cert.get());
    std::string notBefore = cert.getNotbefore();
    std::string notAfter = cert.getNotafter();
    VORN_LOG(cLog::DEBUG, "憑證生效日", notBefore);
    VORN_LOG(cLog::DEBUG, "憑證到期日", notAfter);
    if (notBefore.size() != 14 || notAfter.size() != 14 || now14.size() != 14) {
        VORN_LOG(cLog::ERROR, "驗憑證效期 : 無法解析憑證效期");
        return ERR_CERT_INVALID;
    }
    if (now14 < notBefore) {
        VORN_LOG(cLog::ERROR, "驗憑證效期 : 憑證 未生效");
        return ERR_CERT_NOT_YET_VALID;
    }
    if (now14 > notAfter) {
        VORN_LOG(cLog::ERROR, "驗憑證效期 : 憑證 已過期");
        return ERR_CERT_EXPIRED;
    }
    return 0;
}

int cPkcs12::checkKeyUsageForSign() const {
    if (!m_cert) return ERR_CERT_NOT_FOUND;
    int ku = cX509::fromRef(m_cert.get()).getKeyUsage();
    VORN_LOG(cLog::DEBUG, "憑證用途(KeyUsage)", ku);
    if ((ku & 0xC0) != 0) return 0;
    VORN_LOG(cLog::ERROR, "憑證用途(KeyUsage) 不可簽章");
    return ERR_CERT_KEY_USAGE;
}

std::vector<std::string> cPkcs12::splitFilter(const std::string& filter) {
    std::vector<std::string> out;
    std::size_t prev = filter.find("//");
    while (prev != std::string::npos) {
        std::size_t next = filter.find("//", prev + 2);
        if (next == std::string::npos) break;
        out.push_back(filter.substr(prev + 2, next - prev - 2));
        prev = next;
    }
    return out;
}

bool cPkcs12::checkFilterByCertSubject(const std::string& alternative, const std::string& subject) {
    return checkFilterByName(alternative, subject, "S", true);
}

bool cPkcs12::checkFilterByCertIssuer(const std::string& alternative, const std::string& issuer) {
    return checkFilterByName(alternative, issuer, "I", false);
}

int cPkcs12::matchSignerFilter(const char* signerFilter, const std::string& subject, const std::string& issuer) {
    if (signerFilter == nullptr || *signerFilter == '\0') return 0;
    std::vector<std::string> alternatives = splitFilter(signerFilter);
    VORN_LOG(cLog::DEBUG, "絛件數量", static_cast<int>(alternatives.size()));
    for (const auto& alt : alternatives)
        if (checkFilterByCertSubject(alt, subject) && checkFilterByCertIssuer(alt, issuer)) return 0;
    return ERR_CERT_NOT_FOUND;
}

int cPkcs12::checkSignerFilter(const char* signerFilter) const {
    if (!m_cert) return ERR_CERT_NOT_FOUND;
    if (signerFilter == nullptr || *signerFilter == '\0') return 0;
    cX509 cert = cX509::fromRef(m_cert.get());
    return matchSignerFilter(signerFilter, cert.getSubject(), cert.getIssuer());
}
