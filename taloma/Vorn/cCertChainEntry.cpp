#include "cCertChainEntry.h"

#include <algorithm>
#include <cctype>

#include "cErr.h"
#include "cLog.h"

namespace {

std::string nameText(const X509_NAME* name) {
    char buf[512];
    return X509_NAME_oneline(name, buf, sizeof buf) ? std::string(buf) : std::string();
}

}  // namespace

std::string cCertChainEntry::normaliseSki(std::string ski) {
    std::transform(ski.begin(), ski.end(), ski.begin(), [](unsigned char c) { return std::toupper(c); });
    return ski;
}

cCertChainEntry::cCertChainEntry(std::string name, std::string ski)
    : m_name(std::move(name)), m_ski(normaliseSki(std::move(ski))) {}

cCertChainEntry::~cCertChainEntry() = default;

int cCertChainEntry::loadFromPkcs7(PKCS7* p7) {
    if (!p7 || !PKCS7_type_is_signed(p7) || !p7->d.sign) return ERR_PKCS7_FORMAT;
    STACK_OF(X509)* certs = p7->d.sign->cert;
    if (sk_X509_num(certs) <= 0) return ERR_PKCS7_FORMAT;
    vorn::X509StorePtr store(X509_STORE_new());
    if (!store) return ERR_MEMORY_ALLOC;
    m_certs.clear();
    for (int i = 0; i < sk_X509_num(certs); ++i) {
        X509* x = sk_X509_value(certs, i);
        cX509 cert = cX509::fromRef(x);
        std::string key = cert.getSKI();
        if (key.empty()) {
            key.assign(1, '#');
            key.append(cert.getFinger());
        }
        if (!X509_STORE_add_cert(store.get(), x)) return ERR_MEMORY_ALLOC;
        m_certs.emplace(std::move(key), std::move(cert));
    }
    m_store = std::move(store);
    return 0;
}

bool cCertChainEntry::hasExpectedSKI() const { return !m_ski.empty() && m_certs.count(m_ski) != 0; }

int cCertChainEntry::selfVerify() const {
    if (!m_store || m_certs.empty()) return ERR_CERT_CHAIN_NOT_EXIST;
    bool hasRoot = false;
    for (const auto& [key, cert] : m_certs) {
        VORN_LOG(cLog::DEBUG, "憑證鏈憑證 subject", cert.getSubject());
        hasRoot = hasRoot || cert.isRootCert();
    }
    if (!hasRoot) {
        VORN_LOG(cLog::ERROR, "找不到根憑證可供驗章");
        return ERR_CERT_CHAIN_NOT_EXIST;
    }
    for (const auto& [key, cert] : m_certs) {
        vorn::X509StoreCtxPtr ctx(X509_STORE_CTX_new());
        if (!ctx || !X509_STORE_CTX_init(ctx.get(), m_store.get(), cert.get(), nullptr)) return ERR_STORE_CTX_INIT;
        if (X509_verify_cert(ctx.get()) != 1) {
            VORN_LOG(cLog::ERROR, "憑證鏈內部驗證失敗", cert.getSubject());
            VORN_LOG(cLog::ERROR, "OpenSSL", X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx.get())));
            return ERR_CERT_CHAIN_NOT_EXIST;
        }
    }
    return 0;
}

X509* cCertChainEntry::findBySubject(const X509_NAME* name) const {
    if (!name) return nullptr;
    for (const auto& [key, cert] : m_certs)
        if (X509_NAME_cmp(X509_get_subject_name(cert.get()), name) == 0) return cert.get();
    return nullptr;
}

int cCertChainEntry::verifyCertAndCrl(X509* cert, bool isVerifyCrl) const {
    VORN_LOG(cLog::DEBUG, "begin cCertChainEntry::verifyCertAndCrl()");
    VORN_LOG(cLog::PARAM, "isVerifyCrl", isVerifyCrl);
    if (!m_store) {
        VORN_LOG(cLog::ERROR, "初始化失敗(store尚未建立)!");
        return ERR_CRL_SERVICE_NOT_STARTED;
    }
    if (!cert) return ERR_CERT_FORMAT;
    if (_logger.isEnabled(cLog::DEBUG))
        _logger.logLevel(cLog::DEBUG, "驗章 Subject", nameText(X509_get_subject_name(cert)));
    if (!findBySubject(X509_get_issuer_name(cert))) {
        VORN_LOG(cLog::ERROR, "不在同一個憑證鏈!");
        return ERR_CERT_CHAIN_NOT_EXIST;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLen = 0;
    std::string key;
    if (X509_digest(cert, EVP_sha1(), digest, &digestLen)) key.assign(reinterpret_cast<char*>(digest), digestLen);
    const std::time_t now = std::time(nullptr);
    bool recent = false;
    if (!key.empty()) {
        std::lock_guard guard(m_verifiedMutex);
        auto it = m_verified.find(key);
        recent = it != m_verified.end() && now >= it->second && now - it->second < kVerifiedSeconds;
    }
    if (!recent) {
        vorn::X509StoreCtxPtr ctx(X509_STORE_CTX_new());
        if (!ctx || !X509_STORE_CTX_init(ctx.get(), m_store.get(), cert, nullptr)) {
            VORN_LOG(cLog::ERROR, "初始化失敗(X509_STORE_CTX_init)!");
            return ERR_STORE_CTX_INIT;
        }
        if (X509_verify_cert(ctx.get()) != 1) {
            VORN_LOG(cLog::DEBUG, "驗憑證鏈(憑證簽章值) : 失敗",
                     X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx.get())));
            return ERR_CERT_CHAIN_NOT_EXIST;
        }
        if (!key.empty()) {
            std::lock_guard guard(m_verifiedMutex);
            if (m_verified.size() >= kVerifiedMax) m_verified.clear();
            m_verified[key] = now;
        }
    }
    VORN_LOG(cLog::DEBUG, "驗憑證鏈(憑證簽章值) : 成功");
    int rc = 0;
    if (isVerifyCrl && !m_crls.empty()) {
        rc = m_crls.verifyCrl(cert);
        VORN_LOG(cLog::DEBUG, "CRL 證章結果", rc);
    }
    return rc;
}
