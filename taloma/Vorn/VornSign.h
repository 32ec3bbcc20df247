#pragma once
#include <string>

#include <openssl/x509.h>

#include "cChars.h"
#include "cPkcs12.h"
#include "cProperty.h"
#include "cX509.h"
#include "vornOpenSSL.h"

// The PKCS#7 signer: configured from a property file, signs with the key of
// the user's PKCS#12 file and returns one-line Base64 DER. Every operation
// stores its code as the last error. One object must not be used by two
// threads at once.
class VORN_API VornSign {
public:
    VornSign();
    VornSign(const VornSign&) = delete;
    VornSign& operator=(const VornSign&) = delete;
    virtual ~VornSign();

    int LoadProperty(const char* propertyFile, const char* encedPfxPasswd);
    // Wraps a clear password into the text LoadProperty takes. out null: only
    // *outLen is set (text length, without NUL). Else out is cleared over the
    // capacity *outLen; a text that does not fit with its NUL gives 5003.
    static int MakeVornSignPasswd(char* out, int* outLen, const char* propertyFile, const char* passwd);

    int SignPkcs7(const char* content, const char* encoding);
    int SignPkcs7Bin(const unsigned char* data, int length);
    int SignPkcs7File(const char* fileName);

    // Base64 of the last signature; null before one and after a failure.
    const char* GetSignedPkcs7() const noexcept { return m_signed.c_str(); }
    const char* GetSignerCertB64();
    const char* GetSignerCertSubjectCN();
    const char* GetSignerCertSubject();
    const char* GetSignerCertIssuer();
    const char* GetSignerCertNotBefore();
    const char* GetSignerCertNotAfter();
    const char* GetSignerCertSerial();
    const char* GetSignerCertFinger();
    // cErr's text of the last code; a code without one is told by the
    // library's last error message instead, as "message(code)".
    const char* GetErrorMsg();
    int GetErrorCode() const noexcept { return m_lastError; }
    static const char* GetPkiVersion() noexcept { return "2.0.1.2"; }

    bool isActivated() const noexcept { return m_activated; }
    int getAddCert() const noexcept { return m_addCert; }
    bool getAddTimestamp() const noexcept { return m_addTimestamp; }
    bool getAddPlainText() const noexcept { return m_addPlainText; }
    bool getCheckValid() const noexcept { return m_checkValid; }
    bool getCheckKeyUsage() const noexcept { return m_checkKeyUsage; }
    const char* getDigest() const noexcept { return m_digest.c_str(); }
    const char* getSignerFilter() const noexcept { return m_signerFilter.c_str(); }
    const cPkcs12* getCredential() const noexcept { return m_pkcs12; }

private:
    // A failure keeps the thread's last logged error as its explanation.
    int setError(int code) noexcept;
    const char* certText(cX509::Text which);
    int signPrepared(const unsigned char* data, int length);

    bool m_activated = false;
    cChars m_digest;
    cChars m_signerFilter;
    int m_addCert = 1;
    bool m_addTimestamp = false;
    bool m_addPlainText = true;
    cPkcs12* m_pkcs12 = nullptr;
    bool m_checkValid = true;
    bool m_checkKeyUsage = true;
    vorn::X509Ptr m_signerCert;
    cChars m_signed;
    int m_lastError = 0;
    cChars m_result;
    std::string m_errorDetail;
};

// Never destroyed, like the other process-wide objects.
extern VORN_API VornSign& globalSign;
