#pragma once
#include <memory>
#include <string>
#include <vector>

#include <openssl/x509.h>

#include "cBytes.h"
#include "cChars.h"
#include "cProperty.h"
#include "cX509.h"
#include "vornOpenSSL.h"

// Verifies PKCS#7 signedData, then (by "VerifyCertChain" / "VerifyCRL")
// checks the signer certificate against globalCertChain. Keeps the content
// and the signer certificate of the last verification. One object must not
// be used by two threads at once.
class VORN_API VornVerify {
public:
    VornVerify();
    VornVerify(const VornVerify&) = delete;
    VornVerify& operator=(const VornVerify&) = delete;
    virtual ~VornVerify();

    // The property file is read by the first call only; later calls reuse it.
    int LoadProperty(const char* propertyFile);
    int VerifyPkcs7(const char* pkcs7B64);
    int VerifyPkcs7Bin(const unsigned char* data, int length);
    int VerifyPkcs7File(const char* pkcs7Filename);
    int GetVerifyContentData(unsigned char* buffer, int* length);
    const char* GetVerifyContent();

    const char* GetVerifyCertB64();
    const char* GetVerifyCertSubjectCN();
    const char* GetVerifyCertSubject();
    const char* GetVerifyCertIssuer();
    const char* GetVerifyCertNotBefore();
    const char* GetVerifyCertNotAfter();
    const char* GetVerifyCertSerial();
    const char* GetVerifyCertFinger();
    const char* GetErrorMsg();
    int GetErrorCode() const noexcept { return m_lastError; }
    static const char* GetPkiVersion() noexcept { return "2.0.1.2"; }

    bool isLoaded() const noexcept { return m_loaded; }
    bool getVerifyCertChain() const noexcept { return m_verifyChain; }
    bool getVerifyCrl() const noexcept { return m_verifyCrl; }
    X509* getSignerCert() const noexcept { return m_signerCert.get(); }

    // Certificates of signers in this process (each VornSign registers its
    // own), used when a signature carries no certificate at all.
    static void registerLocalSigner(X509* cert);

    struct Cache;  // parsed certificates and key contexts, by DER

private:
    int setError(int code) noexcept { return m_lastError = code; }
    int verifyFast(const unsigned char* data, int length, bool& decided);
    int verifySlow(const unsigned char* data, int length);
    int checkSigners(const std::vector<X509*>& signers);
    const char* certText(cX509::Text which) { return cX509::textInto(m_signerCert.get(), which, m_result); }

    bool m_loaded = false;
    bool m_verifyChain = false;
    bool m_verifyCrl = false;
    vorn::X509Ptr m_signerCert;
    std::string m_content;
    cBytes m_der;  // decode buffer, reused
    int m_lastError = 0;
    cChars m_result;
    cChars m_contentText;
    bool m_propertyRead = false;
    cProperty m_property;
    std::unique_ptr<Cache> m_cache;
};

extern VORN_API VornVerify& globalVerify;
