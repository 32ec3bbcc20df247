#include "VornVerify.h"

#include <cstdint>
#include <cstring>
#include <mutex>
#include <string_view>
#include <unordered_map>

#include "cCertChainList.h"
#include "cDer.h"
#include "cErr.h"
#include "cFile.h"
#include "cLog.h"
#include "cUpdateCrlThread.h"
#include "cX509.h"

VornVerify& globalVerify = *new VornVerify();

namespace {

// ---------------------------------------------------------------------------
// Certificates of in-process signers, for signatures that carry none.

std::mutex& localSignerMutex() {
    static std::mutex& m = *new std::mutex();
    return m;
}
std::vector<vorn::X509Ptr>& localSigners() {
    static std::vector<vorn::X509Ptr>& v = *new std::vector<vorn::X509Ptr>();
    return v;
}
constexpr std::size_t kMaxLocalSigners = 16;

// ---------------------------------------------------------------------------
// The fast path. OpenSSL 3.0 decodes the public key of every embedded
// certificate through its provider decoders, which costs several RSA
// verifications; reading the signedData with cDer lets certificates seen
// before be reused. Anything unusual (BER, other algorithms, no content) is
// left to the OpenSSL path, which also decides every failure.

const EVP_MD* digestFor(std::string_view oid) {
    struct Known {
        std::string_view oid;
        const EVP_MD* md;
    };
    // Fetched once: implicit fetches on every digest are measurable.
    static const Known known[] = {
        {cDer::OID_SHA1, EVP_MD_fetch(nullptr, "SHA1", nullptr)},
        {cDer::OID_SHA256, EVP_MD_fetch(nullptr, "SHA256", nullptr)},
        {cDer::OID_SHA384, EVP_MD_fetch(nullptr, "SHA384", nullptr)},
        {cDer::OID_SHA512, EVP_MD_fetch(nullptr, "SHA512", nullptr)},
        {cDer::OID_SHA224, EVP_MD_fetch(nullptr, "SHA224", nullptr)},
    };
    for (const Known& k : known)
        if (k.oid == oid) return k.md;
    return nullptr;
}

cUpdateCrlThread* crlThread() {
    static cUpdateCrlThread* thread = new cUpdateCrlThread(20);
    return thread;
}

// ---------------------------------------------------------------------------

struct CertEntry {
    std::string der;
    vorn::X509Ptr cert;
    std::string issuer;
    std::string serial;
    vorn::EvpPkeyCtxPtr ctx;
    const EVP_MD* ctxMd = nullptr;
    bool rsa = false;

    // PKCS#1 v1.5 check of digest; the context is kept, as the fetches
    // behind a fresh one cost about as much as the RSA operation.
    bool verify(const EVP_MD* md, const unsigned char* digest, std::size_t digestLen, std::string_view sig) {
        if (!ctx) {
            ctx.reset(EVP_PKEY_CTX_new_from_pkey(nullptr, X509_get0_pubkey(cert.get()), nullptr));
            if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1) {
                ctx.reset();
                return false;
            }
        }
        if (ctxMd != md) {
            if (EVP_PKEY_CTX_set_signature_md(ctx.get(), md) != 1) return false;
            ctxMd = md;
        }
        return EVP_PKEY_verify(ctx.get(), reinterpret_cast<const unsigned char*>(sig.data()), sig.size(), digest,
                               digestLen) == 1;
    }
};

}  // namespace

struct VornVerify::Cache {
    static constexpr std::size_t kMaxEntries = 256;
    std::unordered_map<std::string_view, std::unique_ptr<CertEntry>> certs;
    vorn::EvpMdCtxPtr md{EVP_MD_CTX_new()};

    CertEntry* get(std::string_view der) {
        auto it = certs.find(der);
        if (it != certs.end()) return it->second.get();
        auto e = std::make_unique<CertEntry>();
        e->der.assign(der);
        const auto* p = reinterpret_cast<const unsigned char*>(e->der.data());
        e->cert.reset(d2i_X509(nullptr, &p, static_cast<long>(e->der.size())));
        if (!e->cert || p != reinterpret_cast<const unsigned char*>(e->der.data() + e->der.size())) return nullptr;
        EVP_PKEY* key = X509_get0_pubkey(e->cert.get());
        e->rsa = key && EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA;
        e->issuer = cDer::nameDer(X509_get_issuer_name(e->cert.get()));
        e->serial = cDer::serialOctets(e->cert.get());
        CertEntry* raw = e.get();
        certs.emplace(std::string_view(raw->der), std::move(e));
        return raw;
    }
    CertEntry* get(X509* x) {
        unsigned char* der = nullptr;
        const int n = i2d_X509(x, &der);
        if (n <= 0) return nullptr;
        CertEntry* e = get(std::string_view(reinterpret_cast<const char*>(der), static_cast<std::size_t>(n)));
        OPENSSL_free(der);
        return e;
    }
    bool digest(const EVP_MD* m, std::uint8_t first, std::string_view rest, unsigned char* out, unsigned int& outLen) {
        if (!md || EVP_DigestInit_ex(md.get(), m, nullptr) != 1) return false;
        if (first && EVP_DigestUpdate(md.get(), &first, 1) != 1) return false;
        return EVP_DigestUpdate(md.get(), rest.data(), rest.size()) == 1 &&
               EVP_DigestFinal_ex(md.get(), out, &outLen) == 1;
    }
};

VornVerify::VornVerify() = default;
VornVerify::~VornVerify() = default;

void VornVerify::registerLocalSigner(X509* cert) {
    if (!cert) return;
    std::lock_guard guard(localSignerMutex());
    auto& list = localSigners();
    for (const auto& x : list)
        if (X509_cmp(x.get(), cert) == 0) return;
    if (list.size() >= kMaxLocalSigners) list.erase(list.begin());
    X509_up_ref(cert);
    list.emplace_back(cert);
}

int VornVerify::LoadProperty(const char* propertyFile) {
    VORN_LOG(cLog::INFO, "begin VornVerify::VornVerify()");
    setError(0);
    vorn::initOpenSSL();
    cUpdateCrlThread* thread = crlThread();
    if (!propertyFile || !*propertyFile) {
        VORN_LOG(cLog::ERROR, "參數 propertyFile 錯誤");
        return setError(ERR_PARAMETER);
    }
    if (!m_propertyRead) {
        if (!m_property.loadFromFile(propertyFile)) {
            VORN_LOG(cLog::ERROR, "property 檔讀取失敗", propertyFile);
            return setError(ERR_PROPERTY_READ);
        }
        m_propertyRead = true;
    }
    if (m_property.hasProperty("LOG.level")) _logger.setLogLevel(m_property.getProperty("LOG.level").c_str());
    m_property.initLogger("LOG.path", "LOG.file");
    m_verifyChain = m_property.getPropertyBool("VerifyCertChain");
    m_verifyCrl = m_property.getPropertyBool("VerifyCRL");
    thread->waitForUnlock();
    globalCertChain.resetCrlTimer(m_property.getProperty("CRL.updateTimer").c_str());
    if (!globalCertChain.isLoaded()) globalCertChain.loadCertChainFiles(&m_property);
    else globalCertChain.attachCrlFiles(m_property);
    m_loaded = true;
    VORN_LOG(cLog::INFO, "end VornVerify::VornVerify()");
    return setError(0);
}

int VornVerify::VerifyPkcs7(const char* pkcs7B64) {
    setError(0);
    if (!pkcs7B64) {
        VORN_LOG(cLog::ERROR, "參數 pkcs7B64 內容為 NULL");
        return setError(ERR_PARAMETER);
    }
    if (!*pkcs7B64) {
        VORN_LOG(cLog::ERROR, "參數 pkcs7B64 長度為 0");
        return setError(ERR_PARAMETER);
    }
    const std::size_t len = std::strlen(pkcs7B64);
    if (!m_der.base64DecodeLine(pkcs7B64, len) && !m_der.base64Decode(pkcs7B64, len)) {
        VORN_LOG(cLog::ERROR, "參數 pkcs7B64 格式錯誤(驗證 Base64 有問題)");
        return setError(ERR_BASE64);
    }
    return VerifyPkcs7Bin(m_der.data(), m_der.length());
}

int VornVerify::VerifyPkcs7File(const char* pkcs7Filename) {
    setError(0);
    if (!pkcs7Filename || !*pkcs7Filename) {
        VORN_LOG(cLog::ERROR, "參數 pkcs7Filename 錯誤");
        return setError(ERR_PARAMETER);
    }
    cFile file;
    if (!file.loadFromFile(pkcs7Filename) || file.empty()) {
        VORN_LOG(cLog::ERROR, "讀取檔案失敗", pkcs7Filename);
        return setError(ERR_FILE_READ);
    }
    const char first = static_cast<char>(file.data()[0]);
    if (first != '-' && first != 'M') return VerifyPkcs7Bin(file.data(), file.length());
    // Base64, bare or between PEM armour lines.
    std::string text(reinterpret_cast<const char*>(file.data()), file.length());
    if (first == '-') {
        std::string body;
        std::size_t pos = 0;
        while (pos < text.size()) {
            std::size_t eol = text.find('\n', pos);
            if (eol == std::string::npos) eol = text.size();
            if (text.compare(pos, 5, "-----") != 0) body.append(text, pos, eol - pos).push_back('\n');
            pos = eol + 1;
        }
        text.swap(body);
    }
    cBytes der;
    if (!der.base64Decode(text.c_str(), text.size())) {
        VORN_LOG(cLog::ERROR, "參數 pkcs7 檔案格式錯誤(驗證 Base64 有問題)");
        return setError(ERR_BASE64);
    }
    return VerifyPkcs7Bin(der.data(), der.length());
}

int VornVerify::VerifyPkcs7Bin(const unsigned char* data, int length) {
    VORN_LOG(cLog::INFO, "begin VornVerify::VerifyPkcs7Bin()");
    setError(0);
    m_contentText.charsFree();
    m_signerCert.reset();
    m_content.clear();
    int rc;
    if (!data) {
        VORN_LOG(cLog::ERROR, "參數 data 內容為 NULL");
        rc = ERR_PARAMETER;
    } else if (length <= 0) {
        VORN_LOG(cLog::ERROR, "參數 datalen 內容為 0");
        rc = ERR_PARAMETER;
    } else {
        bool decided = false;
        rc = verifyFast(data, length, decided);
        if (!decided) {
            m_signerCert.reset();
            m_content.clear();
            rc = verifySlow(data, length);
        }
    }
    VORN_LOG(cLog::INFO, "end VornVerify::VerifyPkcs7Bin()", rc);
    return setError(rc);
}

int VornVerify::verifyFast(const unsigned char* data, int length, bool& decided) {
    decided = false;
    cDer::SignedView v;
    if (!cDer::parseSignedData(data, static_cast<std::size_t>(length), v)) return 0;
    if (!m_cache) m_cache = std::make_unique<Cache>();
    Cache& cache = *m_cache;
    // Evicted only here, so that entries stay put during one verification.
    if (cache.certs.size() >= Cache::kMaxEntries) cache.certs.clear();

    std::vector<X509*> carried;
    X509* firstSigner = nullptr;
    unsigned char contentDigest[EVP_MAX_MD_SIZE];
    unsigned int contentDigestLen = 0;
    const EVP_MD* contentMd = nullptr;
    for (const cDer::SignerView& s : v.signers) {
        const EVP_MD* md = digestFor(s.digestOid);
        if (!md) return 0;
        bool listed = false;
        for (std::string_view o : v.digestOids) listed = listed || o == s.digestOid;
        if (!listed) return 0;

        CertEntry* signer = nullptr;
        for (std::string_view der : v.certs) {
            CertEntry* e = cache.get(der);
            if (!e) return 0;
            if (e->issuer == s.issuer && e->serial == s.serial) {
                signer = e;
                break;
            }
        }
        if (signer) {
            carried.push_back(signer->cert.get());
        } else {
            std::lock_guard guard(localSignerMutex());
            for (const auto& x : localSigners()) {
                CertEntry* e = cache.get(x.get());
                if (e && e->issuer == s.issuer && e->serial == s.serial) {
                    signer = e;
                    break;
                }
            }
        }
        if (!signer || !signer->rsa) return 0;

        if (contentMd != md) {
            if (!cache.digest(md, 0, v.content, contentDigest, contentDigestLen)) return 0;
            contentMd = md;
        }
        unsigned char signedDigest[EVP_MAX_MD_SIZE];
        unsigned int signedDigestLen = 0;
        const unsigned char* toCheck = contentDigest;
        unsigned int toCheckLen = contentDigestLen;
        if (s.attrs.tag) {
            std::string_view messageDigest;
            if (!cDer::findMessageDigest(s.attrs, messageDigest) ||
                messageDigest != std::string_view(reinterpret_cast<const char*>(contentDigest), contentDigestLen))
                return 0;
            // The signature covers the attributes encoded as a SET.
            const std::string_view whole = s.attrs.whole();
            if (!cache.digest(md, cDer::SET, whole.substr(1), signedDigest, signedDigestLen)) return 0;
            toCheck = signedDigest;
            toCheckLen = signedDigestLen;
        }
        if (!signer->verify(md, toCheck, toCheckLen, s.signature)) return 0;
        if (!firstSigner) firstSigner = signer->cert.get();
    }
    decided = true;
    VORN_LOG(cLog::INFO, "PKCS7驗簽章 : 成功");
    if (!v.content.empty()) m_content.assign(v.content);
    X509* report = carried.empty() ? firstSigner : carried.front();
    X509_up_ref(report);
    m_signerCert.reset(report);
    return checkSigners(carried);
}

int VornVerify::verifySlow(const unsigned char* data, int length) {
    const unsigned char* p = data;
    vorn::Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, length));
    if (!p7) {
        VORN_LOG(cLog::ERROR, "錯誤的PKCS7格式");
        return ERR_PKCS7_FORMAT;
    }
    if (!PKCS7_type_is_signed(p7.get()) || !p7->d.sign) {
        VORN_LOG(cLog::ERROR, "錯誤的PKCS7格式, 不支援 PKCS7 Signed 以外的格式!");
        return ERR_PKCS7_FORMAT;
    }
    if (!p7->d.sign->contents || PKCS7_get_detached(p7.get())) {
        VORN_LOG(cLog::ERROR, "錯誤的PKCS7格式, 不包含本文");
        return ERR_PKCS7_NO_CONTENT;
    }
    STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(p7.get());
    STACK_OF(X509)* certs = p7->d.sign->cert;
    // Carried signer certificates, and whether every signer has one.
    std::vector<X509*> carried;
    bool allCarried = sk_PKCS7_SIGNER_INFO_num(infos) > 0;
    for (int i = 0; i < sk_PKCS7_SIGNER_INFO_num(infos); ++i) {
        PKCS7_ISSUER_AND_SERIAL* ias = sk_PKCS7_SIGNER_INFO_value(infos, i)->issuer_and_serial;
        X509* x = certs && ias ? X509_find_by_issuer_and_serial(certs, ias->issuer, ias->serial) : nullptr;
        if (x) carried.push_back(x);
        else allCarried = false;
    }
    vorn::X509StackViewPtr extra;
    if (!allCarried) {
        extra.reset(sk_X509_new_null());
        std::lock_guard guard(localSignerMutex());
        for (const auto& x : localSigners())
            if (extra) sk_X509_push(extra.get(), x.get());
        // Keep them alive past the lock for the verification below.
        for (int i = 0; i < sk_X509_num(extra.get()); ++i) X509_up_ref(sk_X509_value(extra.get(), i));
    }
    vorn::BioPtr out(BIO_new(BIO_s_mem()));
    if (!out) return ERR_MEMORY_ALLOC;
    const int ok = PKCS7_verify(p7.get(), extra.get(), nullptr, nullptr, out.get(), PKCS7_NOVERIFY | PKCS7_BINARY);
    X509* first = nullptr;
    if (ok == 1) {
        vorn::X509StackViewPtr signers(PKCS7_get0_signers(p7.get(), extra.get(), 0));
        if (sk_X509_num(signers.get()) > 0) first = sk_X509_value(signers.get(), 0);
        if (first) X509_up_ref(first);
    }
    for (int i = 0; i < sk_X509_num(extra.get()); ++i) X509_free(sk_X509_value(extra.get(), i));
    if (ok != 1) {
        VORN_LOG(cLog::ERROR, "PKCS7驗章失敗!");
        return ERR_VERIFY;
    }
    VORN_LOG(cLog::INFO, "PKCS7驗簽章 : 成功");
    char* content = nullptr;
    const long contentLen = BIO_get_mem_data(out.get(), &content);
    if (contentLen > 0) m_content.assign(content, static_cast<std::size_t>(contentLen));
    if (!carried.empty()) {
        X509_free(first);
        X509_up_ref(carried.front());
        m_signerCert.reset(carried.front());
    } else {
        m_signerCert.reset(first);
    }
    return checkSigners(carried);
}

int VornVerify::checkSigners(const std::vector<X509*>& signers) {
    if (!m_verifyChain && !m_verifyCrl) {
        VORN_LOG(cLog::DEBUG, "PKCS7不驗憑證鏈也不驗CRL");
        return 0;
    }
    if (signers.empty()) {
        VORN_LOG(cLog::ERROR, "PKCS7驗簽章憑證失敗, PKCS7 沒有附加簽章憑證!");
        return ERR_PKCS7_NO_SIGNER_CERT;
    }
    for (X509* cert : signers) {
        if (_logger.isEnabled(cLog::DEBUG)) {
            const cX509 view = cX509::fromRef(cert);
            _logger.logLevel(cLog::DEBUG, "附加簽章憑證 issuer", view.getIssuer());
            _logger.logLevel(cLog::DEBUG, "附加簽章憑證 serial", view.gerSerial());
            _logger.logLevel(cLog::DEBUG, "附加簽章憑證 AKI", view.getAKI());
        }
        const int rc = globalCertChain.verifyCert(cert, m_verifyCrl);
        if (rc != 0) {
            VORN_LOG(cLog::ERROR, "憑證鏈驗證失敗", cErr::getMessage(rc));
            return rc;
        }
    }
    return 0;
}

int VornVerify::GetVerifyContentData(unsigned char* buffer, int* length) {
    setError(0);
    if (m_content.empty()) return setError(ERR_PKCS7_NO_CONTENT);
    if (!length) return setError(ERR_PARAMETER);
    const int size = static_cast<int>(m_content.size());
    const int capacity = buffer ? *length : 0;
    *length = size;
    if (capacity < size) return setError(ERR_MEMORY_NOT_ENOUGH);
    std::memcpy(buffer, m_content.data(), m_content.size());
    VORN_LOG(cLog::DEBUG, "PKCS7本文", reinterpret_cast<const unsigned char*>(m_content.data()), size);
    return setError(0);
}

const char* VornVerify::GetVerifyContent() {
    m_contentText.charsFree();
    if (m_content.empty()) return nullptr;
    // UTF-16LE text of this system's callers nearly always has zero bytes,
    // which BIG5 (and ASCII) text never has: without any, BIG5 goes first, so
    // that even-length BIG5 text does not come back as UTF-16LE noise.
    const auto* d = reinterpret_cast<const unsigned char*>(m_content.data());
    const std::size_t n = m_content.size();
    const bool utf16First = n % 2 == 0 && std::memchr(d, 0, n) != nullptr;
    const char* order[2] = {utf16First ? "UTF-16LE" : "BIG5", utf16First ? "BIG5" : "UTF-16LE"};
    for (const char* from : order)
        if (m_contentText.fromEncoding(d, n, from)) break;
    return m_contentText.empty() ? nullptr : m_contentText.c_str();
}

const char* VornVerify::GetVerifyCertB64() { return certText(cX509::CERT_B64); }
const char* VornVerify::GetVerifyCertSubjectCN() { return certText(cX509::SUBJECT_CN); }
const char* VornVerify::GetVerifyCertSubject() { return certText(cX509::SUBJECT); }
const char* VornVerify::GetVerifyCertIssuer() { return certText(cX509::ISSUER); }
const char* VornVerify::GetVerifyCertNotBefore() { return certText(cX509::NOT_BEFORE); }
const char* VornVerify::GetVerifyCertNotAfter() { return certText(cX509::NOT_AFTER); }
const char* VornVerify::GetVerifyCertSerial() { return certText(cX509::SERIAL); }
const char* VornVerify::GetVerifyCertFinger() { return certText(cX509::FINGER); }

const char* VornVerify::GetErrorMsg() {
    const std::string msg = cErr::getMessage(m_lastError);
    m_result.charsSet(msg.data(), msg.size());
    return m_result.c_str();
}
