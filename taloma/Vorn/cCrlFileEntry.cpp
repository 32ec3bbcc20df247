#include "cCrlFileEntry.h"

#include <openssl/bn.h>
#include <openssl/err.h>
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
    : cCrlFileEntry(std::move(fileName), std::move(fullPath), nullptr) {}

cCrlFileEntry::cCrlFileEntry(std::string fileName, std::string fullPath, const CaCerts* issuers)
    : m_fileName(std::move(fileName)), m_fullPath(std::move(fullPath)), m_issuers(issuers) {}

cCrlFileEntry::~cCrlFileEntry() = default;

int cCrlFileEntry::checkIssuer(X509_CRL* crl) const {
    // A list whose key identifier is unreadable cannot be matched to its CA.
    int crit = -1;
    auto* akid = static_cast<AUTHORITY_KEYID*>(X509_CRL_get_ext_d2i(crl, NID_authority_key_identifier, &crit, nullptr));
    if (!akid && crit != -1) return ERR_CRL_SIGNATURE;
    const ASN1_OCTET_STRING* keyId = akid ? akid->keyid : nullptr;
    int rc = ERR_CRL_SIGNATURE;
    for (const auto& [key, ca] : *m_issuers) {
        X509* x = ca.get();
        if (X509_NAME_cmp(X509_get_subject_name(x), X509_CRL_get_issuer(crl)) != 0) continue;
        if (keyId) {
            const ASN1_OCTET_STRING* skid = X509_get0_subject_key_id(x);
            if (!skid || ASN1_OCTET_STRING_cmp(skid, keyId) != 0) continue;
        }
        if (!(X509_get_key_usage(x) & KU_CRL_SIGN)) continue;
        EVP_PKEY* pub = X509_get0_pubkey(x);
        if (pub && X509_CRL_verify(crl, pub) == 1) {
            rc = 0;
            break;
        }
    }
    AUTHORITY_KEYID_free(akid);
    ERR_clear_error();
    return rc;
}

cCrlFileEntry::Pending cCrlFileEntry::parse(std::string raw) const {
    Pending p;
    const auto* der = reinterpret_cast<const unsigned char*>(raw.data());
    p.crl.reset(d2i_X509_CRL(nullptr, &der, static_cast<long>(raw.size())));
    if (!p.crl) {
        vorn::BioPtr bio(BIO_new_mem_buf(raw.data(), static_cast<int>(raw.size())));
        if (bio) p.crl.reset(PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr));
    }
    if (!p.crl) {
        p.code = ERR_CRL_FORMAT;
        VORN_LOG(cLog::ERROR, "CRL 格式錯誤, 檔名", m_fullPath);
        return p;
    }
    if (m_issuers && (p.code = checkIssuer(p.crl.get())) != 0) {
        VORN_LOG(cLog::ERROR, "CRL 簽章驗證失敗(非憑證鏈 CA 簽發), 檔名", m_fullPath);
        p.crl.reset();
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
    const int rc = p.code;
    if (rc != 0) VORN_LOG(cLog::ERROR, "CRL 檔載入失敗, 檔名", m_fullPath);
    commit(std::move(p));
    return rc;
}

void cCrlFileEntry::refuse(int code) {
    if (code != ERR_CRL_FORMAT && code != ERR_CRL_SIGNATURE) return;  // an unreadable file changes nothing
    if (m_crl) {
        VORN_LOG(cLog::ERROR, "CRL 檔不採用, 沿用原 CRL, 檔名", m_fullPath);
        return;
    }
    m_refused = code == ERR_CRL_FORMAT ? ERR_CRL_INVALID : ERR_CRL_SIGNATURE;
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
    if (p.code != 0) return refuse(p.code);
    if (!p.changed) return;
    m_raw = std::move(p.raw);
    m_crl = std::move(p.crl);
    m_nextUpdate = std::move(p.nextUpdate);
    m_revoked = std::move(p.revoked);
    m_refused = 0;
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
        rc = m_refused;
        if (rc != 0) VORN_LOG(cLog::ERROR, "CRL 檔不合法, 不可用來驗憑證, 檔名", m_fullPath);
    } else if (m_expired.load(std::memory_order_relaxed)) {
        VORN_LOG(cLog::ERROR, "驗 CRL 效期 : CRL 已過期");
        rc = ERR_CRL_EXPIRED;
    } else if (m_nextUpdate.empty() || now14 > m_nextUpdate) {
        // Without a next update a list never ends: it counts as expired.
        m_expired.store(true, std::memory_order_relaxed);
        VORN_LOG(cLog::ERROR, "驗 CRL 效期 : CRL 已過期");
        rc = ERR_CRL_EXPIRED;
    } else {
        rc = checkSerial(serialHex(X509_get0_serialNumber(cert)));
    }
    VORN_LOG(cLog::DEBUG, "end cCrlFileEntry::verifyCrl()", rc);
    return rc;
}
