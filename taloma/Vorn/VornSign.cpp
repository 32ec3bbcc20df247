#include "VornSign.h"

#include <cerrno>
#include <cstring>
#include <new>

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include "VornVerify.h"
#include "cAesCipher.h"
#include "cBytes.h"
#include "cCertChainList.h"
#include "cErr.h"
#include "cFile.h"
#include "cLog.h"
#include "cX509.h"

VornSign& globalSign = *new VornSign();

namespace {

constexpr int kMaxPasswordCipher = 512;

// A std::string that is wiped when it goes away: it holds a clear password.
struct Secret {
    std::string text;
    Secret() = default;
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    ~Secret() { wipe(); }
    void wipe() {
        if (!text.empty()) OPENSSL_cleanse(text.data(), text.size());
        text.clear();
    }
};

// The wrapping key comes from the credential the property file names, so any
// process that reads the same file unwraps what another one wrapped.
bool passwordCipher(const cProperty& prop, cAesCipher& aes, bool& keyed) {
    keyed = false;
    const std::string& file = prop.getProperty("PFX.file");
    if (file.empty()) return false;
    static const char kLabel[] = "VornPKI/PFX-password/1";
    std::string material(kLabel, sizeof kLabel);
    material += prop.getProperty("PFX.path");
    material.push_back('\0');
    material += file;
    unsigned char key[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(material.data()), material.size(), key);
    keyed = aes.setKey(key, nullptr, cAesCipher::ECB, 256);
    OPENSSL_cleanse(key, sizeof key);
    return true;
}

bool nameIs(const char* name, const char* want) { return cChars::insensitiveStringCompare(name, want); }

}  // namespace

VornSign::VornSign() = default;

VornSign::~VornSign() { delete m_pkcs12; }

int VornSign::MakeVornSignPasswd(char* out, int* outLen, const char* propertyFile, const char* passwd) {
    vorn::ExitGuard exitGuard;
    vorn::initOpenSSL();
    if (!passwd || !*passwd) {
        VORN_LOG(cLog::ERROR, "passwd 參數錯誤");
        return ERR_PARAMETER;
    }
    if (!propertyFile || !*propertyFile || !outLen) {
        VORN_LOG(cLog::ERROR, "參數 propertyFile 錯誤");
        return ERR_PARAMETER;
    }
    cProperty prop;
    if (!prop.loadFromFile(propertyFile)) {
        VORN_LOG(cLog::ERROR, "property 檔讀取失敗");
        return ERR_PARAMETER;
    }
    cAesCipher aes;
    bool keyed = false;
    if (!passwordCipher(prop, aes, keyed)) {
        VORN_LOG(cLog::ERROR, "property 檔沒有 PFX.file");
        return ERR_PARAMETER;
    }
    if (!keyed) {
        VORN_LOG(cLog::ERROR, "PFX.pswdB64 內容解碼失敗");
        return ERR_PFX_PASSWORD;
    }
    const std::size_t pwLen = std::strlen(passwd);
    // PKCS#7 padding always adds a block, so 512 cipher bytes hold 511 clear ones.
    if (pwLen >= static_cast<std::size_t>(kMaxPasswordCipher)) {
        VORN_LOG(cLog::ERROR, "加密失敗");
        return ERR_ENCRYPT;
    }
    unsigned char cipher[kMaxPasswordCipher + 256];
    int cipherLen = sizeof cipher;
    if (aes.encrypt(reinterpret_cast<const unsigned char*>(passwd), static_cast<int>(pwLen), cipher, &cipherLen) != 0 ||
        cipherLen > kMaxPasswordCipher) {
        VORN_LOG(cLog::ERROR, "加密失敗");
        return ERR_ENCRYPT;
    }
    cChars text;
    if (!text.base64Encode(cipher, cipherLen)) return ERR_ENCRYPT;
    if (!out) {
        *outLen = text.length();
        return 0;
    }
    const int capacity = *outLen;
    if (capacity > 0) std::memset(out, 0, static_cast<std::size_t>(capacity));
    *outLen = text.length();
    if (text.length() >= capacity) {
        VORN_LOG(cLog::ERROR, "配置記憶體不足, 需要長度", text.length());
        return ERR_MEMORY_NOT_ENOUGH;
    }
    std::memcpy(out, text.c_str(), static_cast<std::size_t>(text.length()));
    return 0;
}

int VornSign::LoadProperty(const char* propertyFile, const char* encedPfxPasswd) {
    vorn::ExitGuard exitGuard;
    setError(0);
    vorn::initOpenSSL();
    if (!propertyFile) {
        VORN_LOG(cLog::ERROR, "參數 propertyFile 為 NULL");
        return setError(ERR_PROPERTY_READ);
    }
    if (!*propertyFile) {
        VORN_LOG(cLog::ERROR, "參數 propertyFile 為 空值");
        return setError(ERR_PROPERTY_READ);
    }
    cProperty prop;
    if (!prop.loadFromFile(propertyFile)) {
        VORN_LOG(cLog::ERROR, "property 檔讀取失敗", propertyFile);
        return setError(ERR_PROPERTY_READ);
    }
    if (prop.hasProperty("LOG.level")) _logger.setLogLevel(prop.getProperty("LOG.level").c_str());
    prop.initLogger("LOG.path", "LOG.file");
    if (!globalCertChain.isLoaded()) globalCertChain.loadCertChainFiles(&prop);

    // Keys that are absent keep their defaults; the template names them all.
    const std::string& digest = prop.getProperty("PKCS7.digest");
    const int addCert = prop.hasProperty("PKCS7.addCert") ? prop.getPropertyInt("PKCS7.addCert") : 1;
    const bool addTimestamp = prop.getPropertyBool("PKCS7.addTimestamp");
    const bool addPlainText = prop.hasProperty("PKCS7.addPlainText") ? prop.getPropertyBool("PKCS7.addPlainText")
                                                                     : true;
    const std::string& filter = prop.getProperty("PFX.signerFilter");
    const bool checkValid = prop.hasProperty("PFX.checkValid") ? prop.getPropertyBool("PFX.checkValid") : true;
    const bool checkKeyUsage = prop.hasProperty("PFX.checkKeyUsage") ? prop.getPropertyBool("PFX.checkKeyUsage") : true;
    const std::string& pfxPath = prop.getProperty("PFX.path");
    const std::string& pfxFile = prop.getProperty("PFX.file");

    Secret password;
    auto unwrap = [&](const char* b64, const char* decodeMsg, const char* keyMsg, int keyCode,
                      const char* decryptMsg) -> int {
        cBytes wrapped;
        if (!wrapped.base64Decode(b64) || wrapped.empty()) {
            VORN_LOG(cLog::ERROR, decodeMsg);
            return ERR_PARAMETER;
        }
        cAesCipher aes;
        bool keyed = false;
        if (!passwordCipher(prop, aes, keyed)) {
            VORN_LOG(cLog::ERROR, decryptMsg);
            return ERR_PARAMETER;
        }
        if (!keyed) {
            VORN_LOG(cLog::ERROR, keyMsg);
            return keyCode;
        }
        cBytes clear;
        if (wrapped.length() > kMaxPasswordCipher || aes.decrypt(wrapped, clear) != 0 ||
            clear.length() > kMaxPasswordCipher) {
            VORN_LOG(cLog::ERROR, decryptMsg);
            return ERR_PARAMETER;
        }
        password.text.assign(reinterpret_cast<const char*>(clear.data()), clear.length());
        return 0;
    };
    int rc = 0;
    if (encedPfxPasswd && *encedPfxPasswd) {
        rc = unwrap(encedPfxPasswd, "encedPfxPasswd 內容解碼(Base64)失敗", "encedPfxPasswd 內容解密失敗",
                    ERR_PFX_PASSWORD, "encedPfxPasswd 內容解密失敗");
    } else if (prop.hasProperty("PFX.pswd")) {
        password.text = prop.getProperty("PFX.pswd");
    } else {
        VORN_LOG(cLog::WARN, "找不到 PFX.pswd 續找 PFX.pswdB64");
        if (!prop.hasProperty("PFX.pswdB64")) {
            VORN_LOG(cLog::ERROR, "找不到 PFX.pswdB64");
            rc = ERR_PARAMETER;
        } else {
            rc = unwrap(prop.getProperty("PFX.pswdB64").c_str(), "PFX.pswdB64 內容解碼失敗",
                        "PFX.pswdB64 內容解密, 初始化失敗", ERR_PARAMETER, "PFX.pswdB64 內容解密");
        }
    }
    if (rc != 0) return setError(rc);

    cPkcs12* credential = new (std::nothrow) cPkcs12();
    if (!credential) {
        VORN_LOG(cLog::ERROR, "讀取 pfx 檔失敗, new cPkcs12()");
        return setError(ERR_CERT_FILE_READ);
    }
    rc = credential->loadPfxFile(pfxPath.c_str(), pfxFile.c_str(), password.text.c_str());
    password.wipe();
    if (rc != 0) {
        VORN_LOG(cLog::ERROR, "讀取 pfx 檔失敗, 密碼錯誤", rc);
        delete credential;
        return setError(rc);
    }
    delete m_pkcs12;
    m_pkcs12 = credential;
    m_digest.charsSet(digest.empty() ? nullptr : digest.c_str());
    m_signerFilter.charsSet(filter.empty() ? nullptr : filter.c_str());
    m_addCert = addCert;
    m_addTimestamp = addTimestamp;
    m_addPlainText = addPlainText;
    m_checkValid = checkValid;
    m_checkKeyUsage = checkKeyUsage;
    m_activated = true;
    VornVerify::registerLocalSigner(m_pkcs12->getCert());
    return setError(0);
}

int VornSign::SignPkcs7(const char* content, const char* encoding) {
    vorn::ExitGuard exitGuard;
    setError(0);
    m_signed.charsFree();  // a failure leaves no signature, whichever step fails
    if (!m_pkcs12) {
        VORN_LOG(cLog::ERROR, "pfx 載入錯誤");
        return setError(ERR_CERT_NOT_FOUND);
    }
    if (!content) {
        VORN_LOG(cLog::ERROR, "參數 plain 內容為 NULL");
        return setError(ERR_PARAMETER);
    }
    if (!*content) {
        VORN_LOG(cLog::ERROR, "參數 plain 長度為 0");
        return setError(ERR_PARAMETER);
    }
    if (!encoding) {
        VORN_LOG(cLog::ERROR, "參數 encoding 內容為 NULL");
        return setError(ERR_PARAMETER);
    }
    if (!*encoding) {
        VORN_LOG(cLog::ERROR, "參數 encoding 長度為 0");
        return setError(ERR_PARAMETER);
    }
    const char* target = nameIs(encoding, "BIG5") ? "BIG5" : nameIs(encoding, "UTF-16LE") ? "UTF-16LE" : nullptr;
    if (!target) {
        VORN_LOG(cLog::ERROR, "無法支援的編碼格式, encoding", encoding);
        return setError(ERR_UNICODE);
    }
    cBytes converted;
    if (!converted.convert(content, std::strlen(content), target, "UTF-8")) {
        VORN_LOGF(cLog::ERROR, "convertUniCodeStringToAny(%s) 失敗", target);
        return setError(ERR_UNICODE);
    }
    return SignPkcs7Bin(converted.data(), converted.length());
}

int VornSign::SignPkcs7File(const char* fileName) {
    vorn::ExitGuard exitGuard;
    setError(0);
    m_signed.charsFree();
    if (!fileName) {
        VORN_LOG(cLog::ERROR, "參數 fileName 內容為 NULL");
        return setError(ERR_PARAMETER);
    }
    if (!*fileName) {
        VORN_LOG(cLog::ERROR, "參數 fileName 長度為 0");
        return setError(ERR_PARAMETER);
    }
    cFile file;
    if (!file.loadFromFile(fileName)) {
        VORN_LOG(cLog::ERROR, "讀取檔案失敗", fileName);
        return setError(ERR_FILE_READ);
    }
    return SignPkcs7Bin(file.data(), file.length());
}

int VornSign::SignPkcs7Bin(const unsigned char* data, int length) {
    vorn::ExitGuard exitGuard;
    VORN_LOG(cLog::INFO, "begin VornSign::SignPkcs7Bin()");
    m_signed.charsFree();
    setError(0);
    const int rc = signPrepared(data, length);
    VORN_LOG(cLog::INFO, "end VornSign::SignPkcs7Bin()", rc);
    return setError(rc);
}

int VornSign::signPrepared(const unsigned char* data, int length) {
    if (!data) {
        VORN_LOG(cLog::ERROR, "參數 data 內容為 NULL");
        return ERR_PARAMETER;
    }
    if (length < 1) {
        VORN_LOG(cLog::ERROR, "參數 datalen <= 0");
        return ERR_PARAMETER;
    }
    if (!m_pkcs12 || !m_pkcs12->isLoaded()) {
        VORN_LOG(cLog::ERROR, "pfx 檔尚未載入");
        return ERR_PFX_NOT_LOADED;
    }
    int rc;
    if (m_checkValid && (rc = m_pkcs12->checkCertValid()) != 0) {
        VORN_LOG(cLog::ERROR, "驗憑證效期失敗, 返回", rc);
        return rc;
    }
    if (m_checkKeyUsage && (rc = m_pkcs12->checkKeyUsageForSign()) != 0) {
        VORN_LOG(cLog::ERROR, "驗憑證用途失敗, 返回", rc);
        return rc;
    }
    if (!m_signerFilter.empty() && (rc = m_pkcs12->checkSignerFilter(m_signerFilter.c_str())) != 0) {
        VORN_LOG(cLog::ERROR, "簽章憑證條件失敗, 返回", rc);
        return rc;
    }
    X509* cert = m_pkcs12->getCert();
    EVP_PKEY* key = m_pkcs12->getPrivateKey();

    STACK_OF(X509)* chain = nullptr;
    vorn::X509StackViewPtr built;
    if (m_addCert > 1) {
        chain = m_pkcs12->getCaCerts();
        if (sk_X509_num(chain) <= 0) {
            built = globalCertChain.prepareCertChain(cert);
            chain = built.get();
        }
    }

    const EVP_MD* md = nullptr;
    const char* digest = m_digest.c_str();
    if (digest && std::strcmp(digest, "SHA1") == 0) md = EVP_sha1();
    else if (digest && std::strcmp(digest, "SHA256") == 0) md = EVP_sha256();
    if (!md) {
        VORN_LOG(cLog::ERROR, "簽章條件錯誤, 演算法", digest ? digest : "(null)");
        return ERR_SIGN;
    }

    vorn::Pkcs7Ptr p7(PKCS7_new());
    if (!p7 || !PKCS7_set_type(p7.get(), NID_pkcs7_signed)) return ERR_MEMORY_ALLOC;
    PKCS7_SIGNER_INFO* si = PKCS7_add_signature(p7.get(), cert, key, md);
    if (!si) {
        VORN_LOG(cLog::ERROR, "簽章失敗");
        return ERR_SIGN;
    }
    if (m_addCert > 0) {
        if (!PKCS7_add_certificate(p7.get(), cert)) return ERR_MEMORY_ALLOC;
        for (int i = sk_X509_num(chain) - 1; m_addCert > 1 && i >= 0; --i)
            if (!PKCS7_add_certificate(p7.get(), sk_X509_value(chain, i))) return ERR_MEMORY_ALLOC;
    }
    if (m_addTimestamp) {
        if (!PKCS7_add_signed_attribute(si, NID_pkcs9_contentType, V_ASN1_OBJECT, OBJ_nid2obj(NID_pkcs7_data)) ||
            !PKCS7_add0_attrib_signing_time(si, nullptr))
            return ERR_MEMORY_ALLOC;
    }
    if (!PKCS7_content_new(p7.get(), NID_pkcs7_data)) return ERR_MEMORY_ALLOC;
    if (!m_addPlainText) PKCS7_set_detached(p7.get(), 1);

    {
        vorn::BioPtr bio(PKCS7_dataInit(p7.get(), nullptr));
        if (!bio) return ERR_MEMORY_ALLOC;
        if (BIO_write(bio.get(), data, length) != length || BIO_flush(bio.get()) != 1 ||
            !PKCS7_dataFinal(p7.get(), bio.get())) {
            VORN_LOG(cLog::ERROR, "簽章失敗");
            return ERR_SIGN;
        }
    }
    unsigned char* der = nullptr;
    const int derLen = i2d_PKCS7(p7.get(), &der);
    if (derLen <= 0 || !der) return ERR_MEMORY_ALLOC;
    const bool encoded = m_signed.base64Encode(der, derLen);
    VORN_LOG(cLog::DEBUG, "簽章值", der, derLen);
    OPENSSL_free(der);
    if (!encoded) return ERR_MEMORY_ALLOC;
    VORN_LOG(cLog::DEBUG, "簽章值(base64)", m_signed.c_str());
    X509_up_ref(cert);
    m_signerCert.reset(cert);
    return 0;
}

const char* VornSign::certText(cX509::Text which) {
    vorn::ExitGuard exitGuard;
    return cX509::textInto(m_signerCert.get(), which, m_result);
}

const char* VornSign::GetSignerCertB64() { return certText(cX509::CERT_B64); }
const char* VornSign::GetSignerCertSubjectCN() { return certText(cX509::SUBJECT_CN); }
const char* VornSign::GetSignerCertSubject() { return certText(cX509::SUBJECT); }
const char* VornSign::GetSignerCertIssuer() { return certText(cX509::ISSUER); }
const char* VornSign::GetSignerCertNotBefore() { return certText(cX509::NOT_BEFORE); }
const char* VornSign::GetSignerCertNotAfter() { return certText(cX509::NOT_AFTER); }
const char* VornSign::GetSignerCertSerial() { return certText(cX509::SERIAL); }
const char* VornSign::GetSignerCertFinger() { return certText(cX509::FINGER); }

int VornSign::setError(int code) noexcept {
    m_lastError = code;
    try {
        if (code == 0) m_errorDetail.clear();
        else m_errorDetail = cLog::lastError();
    } catch (...) {
        m_errorDetail.clear();
    }
    if (code == 0) cLog::clearLastError();
    return code;
}

const char* VornSign::GetErrorMsg() {
    std::string msg;
    if (cErr::getText(m_lastError) == nullptr && !m_errorDetail.empty())
        msg = m_errorDetail + "(" + std::to_string(m_lastError) + ")";
    else msg = cErr::getMessage(m_lastError);
    m_result.charsSet(msg.data(), msg.size());
    return m_result.c_str();
}
