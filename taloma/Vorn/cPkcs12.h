#pragma once
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include "vornExport.h"
#include "vornOpenSSL.h"

// The user's credential from a PKCS#12 file: private key, certificate and
// the CA certificates carried with them. All of it is owned here.
class VORN_API cPkcs12 {
public:
    cPkcs12() = default;
    cPkcs12(const cPkcs12&) = delete;
    cPkcs12& operator=(const cPkcs12&) = delete;
    virtual ~cPkcs12();

    // Opens filePath + "/" + fileName. 0, 5005 (arguments), 1102 (missing or
    // not PKCS#12), 5208 (wrong password / cannot decrypt).
    int loadPfxFile(const char* filePath, const char* fileName, const char* pfxPasswd);
    void clear() noexcept;

    // 0, 5010 (no certificate), 5012 (before not-before), 5011 (after
    // not-after). Bounds are inclusive; "now" is Taiwan time. The form with
    // now14 (14 digits) is for callers that already hold the time.
    int checkCertValid() const;
    int checkCertValid(const std::string& now14) const;
    // 0 when digitalSignature or nonRepudiation is set, 5017 otherwise
    // (also without the extension), 5010 without a certificate.
    int checkKeyUsageForSign() const;
    // 0 when an alternative of the filter matches, 5010 otherwise; null or
    // empty filter matches.
    int checkSignerFilter(const char* signerFilter) const;

    // The filter logic over one-line names, without a certificate.
    static int matchSignerFilter(const char* signerFilter, const std::string& subject, const std::string& issuer);
    static bool checkFilterByCertSubject(const std::string& alternative, const std::string& subject);
    static bool checkFilterByCertIssuer(const std::string& alternative, const std::string& issuer);
    // The texts between consecutive "//" markers.
    static std::vector<std::string> splitFilter(const std::string& filter);

    bool isLoaded() const noexcept { return m_key != nullptr && m_cert != nullptr; }
    // Borrowed pointers, valid while this object holds the credential.
    EVP_PKEY* getPrivateKey() const noexcept { return m_key.get(); }
    X509* getCert() const noexcept { return m_cert.get(); }
    // Null or empty when the file carries no CA certificates.
    STACK_OF(X509) * getCaCerts() const noexcept { return m_ca.get(); }

private:
    vorn::EvpPkeyPtr m_key;
    vorn::X509Ptr m_cert;
    vorn::X509StackPtr m_ca;
};
