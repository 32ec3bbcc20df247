#pragma once
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include <openssl/x509.h>

#include "vornExport.h"

class cChars;

// View of one X.509 certificate that it owns. Every text is built on each call.
class VORN_API cX509 {
public:
    cX509() noexcept = default;
    // Takes ownership of cert (may be null).
    explicit cX509(X509* cert) noexcept : m_cert(cert) {}
    // A new reference to cert, which stays the caller's.
    static cX509 fromRef(X509* cert) noexcept;
    // Parses DER; an empty cX509 on failure.
    static cX509 fromDer(const unsigned char* der, int len);
    cX509(const cX509& other) noexcept;  // shares the certificate (reference count)
    cX509(cX509&& other) noexcept : m_cert(other.m_cert) { other.m_cert = nullptr; }
    cX509& operator=(const cX509& other) noexcept;
    cX509& operator=(cX509&& other) noexcept;
    virtual ~cX509();

    X509* get() const noexcept { return m_cert; }
    explicit operator bool() const noexcept { return m_cert != nullptr; }
    // Gives up ownership.
    X509* release() noexcept;
    void reset(X509* cert = nullptr) noexcept;

    // OpenSSL one-line form "/C=TW/O=.../CN=...".
    std::string getSubject() const;
    std::string getIssuer() const;
    // First common name as UTF-8; empty when there is none.
    std::string getSubjectCN() const;
    std::string getIssuerCN() const;
    // Upper-case hex without leading zeros ("0" for zero).
    std::string gerSerial() const;
    std::string getSerial() const { return gerSerial(); }
    // First bit-string byte in the low byte, second in the high byte; 0 when absent.
    uint16_t getKeyUsage() const;
    bool isCaCert() const;
    bool isRootCert() const;
    // 14 digits YYYYMMDDhhmmss in Taiwan time (UTC+8).
    std::string getNotbefore() const;
    std::string getNotafter() const;
    std::vector<std::string> getCrlDP() const;
    std::string getSKI() const;
    std::string getAKI() const;
    // SHA-1 of the DER form, 40 upper-case hex digits.
    std::string getFinger() const;
    std::string getCertB64() const;
    // DER form; empty when there is no certificate.
    std::string getDer() const;

    // UTCTime years 00-69 are 20YY, 70-99 19YY; the result is shifted to UTC+8.
    // Null or unparsable time gives an empty text.
    static std::string asn1TimeParse(const ASN1_TIME* time);
    // The current moment as 14 digits in UTC+8, whatever the machine's zone,
    // so that it compares like with like against asn1TimeParse().
    static std::string nowTaiwan();
    static std::string taiwanTime14(std::time_t t);

    // The texts the signer's and the verifier's certificate getters give.
    enum Text { CERT_B64, SUBJECT_CN, SUBJECT, ISSUER, NOT_BEFORE, NOT_AFTER, SERIAL, FINGER };
    // That text of cert, held by out (freed first): null without a
    // certificate, "" for an empty text.
    static const char* textInto(X509* cert, Text which, cChars& out);

private:
    X509* m_cert = nullptr;
};
