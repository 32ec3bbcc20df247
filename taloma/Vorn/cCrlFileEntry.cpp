#include "cCrlFileEntry.h"

#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include "cErr.h"
#include "cFile.h"
#include "cLog.h"
#include "cX509.h"

namespace {

std::string serialHex(const ASN1_INTEGER* serial) {
    vorn::BignumPtr bn(ASN1_INTEGER_to_BN(serial, nullptr));
    if (!bn) return {};
    char* hex = BN_bn2hex(bn.get());
    if (!hex) return {};
    std::string out(hex);
    OPENSSL_free(hex);
    return out;
}

int entryReason(X509_REVOKED* rev) {
    int crit = 0;
    auto* reason = static_cast<ASN1_ENUMERATED*>(X509_REVOKED_get_ext_d2i(rev, NID_crl_reason, &crit, nullptr));
    if (!reason) return cCrlFileEntry::REASON_NONE;
    const long value = ASN1_ENUMERATED_get(reason);
    ASN1_ENUMERATED_free(reason);
    return value < 0 || value > 0xFFFF ? cCrlFileEntry::REASON_NONE - 1 : static_cast<int>(value);
}

}  // namespace

cCrlFileEntry::cCrlFileEntry(std::string fileName, std::string fullPath)
    : m_fileName(std::move(fileName)), m_fullPath(std::move(fullPath)) {}

cCrlFileEntry::~cCrlFileEntry() = default;

cCrlFileEntry::Pending cCrlFileEntry::parse(std::string raw) {
    Pending p;
    const auto* der = reinterpret_cast<const unsigned char*>(raw.data());
    p.crl.reset(d2i_X509_CRL(nullptr, &der, static_cast<long>(raw.size())));
    if (!p.crl) {
        vorn::BioPtr bio(BIO_new_mem_buf(raw.data(), static_cast<int>(raw.size())));
        if (bio) p.crl.reset(PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr));
    }
    if (!p.crl) {
        p.code = ERR_CRL_FORMAT;
        return p;
    }
    p.nextUpdate = cX509::asn1TimeParse(X509_CRL_get0_nextUpdate(p.crl.get()));
    STACK_OF(X509_REVOKED)* revoked = X509_CRL_get_REVOKED(p.crl.get());
    const int n = sk_X509_REVOKED_num(revoked);
    p.revoked.reserve(n > 0 ? static_cast<std::size_t>(n) : 0);
    for (int i = 0; i < n; ++i) {
        X509_REVOKED* rev = sk_X509_REVOKED_value(revoked, i);
        p.revoked[serialHex(X509_REVOKED_get0_serialNumber(rev))] = entryReason(rev);
    }
    p.raw = std::move(raw);
    p.changed = true;
    return p;
}

int cCrlFileEntry::loadCrlFile() {
    cFile file;
    if (!file.loadFromFile(m_fullPath.c_str())) {
        VORN_LOG(cLog::ERROR, "CRL 檔載入失敗, 檔名", m_fullPath);
        return ERR_FILE_READ;
    }
    Pending p = parse(std::string(reinterpret_cast<const char*>(file.data()), file.length()));
    if (p.code != 0) {
        VORN_LOG(cLog::ERROR, "CRL 檔載入失敗, 檔名", m_fullPath);
        return p.code;
    }
    commit(std::move(p));
    return 0;
}

cCrlFileEntry::Pending cCrlFileEntry::prepareReload() const {
    cFile file;
    if (!file.loadFromFile(m_fullPath.c_str())) {
        VORN_LOG(cLog::ERROR, "CRL 檔載入失敗, 檔名", m_fullPath);
        Pending p;
        p.code = ERR_FILE_READ;
        return p;
    }
    std::string raw(reinterpret_cast<const char*>(file.data()), file.length());
    if (m_crl && raw == m_raw) {
        VORN_LOG(cLog::WARN, "CRL 檔內容沒有異動, 檔名", m_fullPath);
        return Pending{};
    }
    Pending p = parse(std::move(raw));
    if (p.code != 0) VORN_LOG(cLog::ERROR, "CRL 檔載入失敗, 檔名", m_fullPath);
    return p;
}

void cCrlFileEntry::commit(Pending&& p) {
    if (p.code != 0 || !p.changed) return;
    m_raw = std::move(p.raw);
    m_crl = std::move(p.crl);
    m_nextUpdate = std::move(p.nextUpdate);
    m_revoked = std::move(p.revoked);
    m_expired.store(false, std::memory_order_relaxed);
    VORN_LOG(cLog::DEBUG, "CRL 下次發佈時間", m_nextUpdate);
    VORN_LOG(cLog::DEBUG, "CRL廢止數量", static_cast<int>(m_revoked.size()));
    VORN_LOG(cLog::INFO, "CRL 檔更新成功", m_fullPath);
}

const char* cCrlFileEntry::reasonName(int reason) noexcept {
    switch (reason) {
    case 0: return "CRL_REASON_UNSPECIFIED";
    case 1: return "CRL_REASON_KEY_COMPROMISE";
    case 2: return "CRL_REASON_CA_COMPROMISE";
    case 3: return "CRL_REASON_AFFILIATION_CHANGED";
    case 4: return "CRL_REASON_SUPERSEDED";
    case 5: return "CRL_REASON_CESSATION_OF_OPERATION";
    case 6: return "CRL_REASON_CERTIFICATE_HOLD";
    case 9: return "CRL_REASON_PRIVILEGE_WITHDRAWN";
    case 10: return "CRL_REASON_AA_COMPROMISE";
    default: return "CRL_REASON_NONE";
    }
}

int cCrlFileEntry::reasonToCode(int reason) noexcept {
    switch (reason) {
    case 1: return ERR_CERT_REVOKED_KEY_COMPROMISE;
    case 2: return ERR_CERT_REVOKED_CA_COMPROMISE;
    case 3: return ERR_CERT_REVOKED_AFFILIATION;
    case 4: return ERR_CERT_REVOKED_SUPERSEDED;
    case 5: return ERR_CERT_REVOKED_CESSATION;
    case 6: return ERR_CERT_ON_HOLD;
    case 8: return 0;  // removeFromCRL: the hold is lifted
    default: return ERR_CERT_REVOKED;
    }
}

int cCrlFileEntry::checkSerial(const std::string& serialHex) const {
    auto it = m_revoked.find(serialHex);
    if (it == m_revoked.end()) return 0;
    const int reason = it->second;
    if (reason == 8) {
        VORN_LOG(cLog::DEBUG, "憑證序號解禁 : CRL_REASON_CERTIFICATE_HOLD");
        return 0;
    }
    const char* name = reasonName(reason);
    if (std::string_view(name) == "CRL_REASON_NONE") {
        VORN_LOG(cLog::ERROR, "憑證序號已廢止 : CRL_REASON_NONE", reason);
    } else {
        VORN_LOGF(cLog::ERROR, "憑證序號已廢止 : %s", name);
    }
    return reasonToCode(reason);
}

int cCrlFileEntry::verifyCrl(X509* cert) const { return verifyCrl(cert, cX509::nowTaiwan()); }

int cCrlFileEntry::verifyCrl(X509* cert, const std::string& now14) const {
    int rc = 0;
    if (!cert) {
        rc = ERR_PARAMETER;
    } else if (!m_crl) {
        rc = 0;
    } else if (m_expired.load(std::memory_order_relaxed)) {
        VORN_LOG(cLog::ERROR, "驗 CRL 效期 : CRL 已過期");
        rc = ERR_CRL_EXPIRED;
    } else if (!m_nextUpdate.empty() && now14 > m_nextUpdate) {
        m_expired.store(true, std::memory_order_relaxed);
        VORN_LOG(cLog::ERROR, "驗 CRL 效期 : CRL 已過期");
        rc = ERR_CRL_EXPIRED;
    } else {
        rc = checkSerial(serialHex(X509_get0_serialNumber(cert)));
    }
    VORN_LOG(cLog::DEBUG, "end cCrlFileEntry::verifyCrl()", rc);
    return rc;
}
