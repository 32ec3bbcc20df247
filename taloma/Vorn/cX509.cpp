#include "cX509.h"

#include <cstdio>
#include <cstring>

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>

#include "cChars.h"
#include "cLog.h"
#include "vornOpenSSL.h"

namespace {

constexpr long long kTaiwanOffset = 8 * 3600;

// Proleptic Gregorian calendar, valid for any year (H. Hinnant's algorithms).
long long daysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

void civilFromDays(long long z, long long& y, unsigned& m, unsigned& d) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<long long>(yoe) + era * 400 + (m <= 2);
}

// Seconds since 1970 to 14 digits, after the fields have been normalised.
std::string format14(long long secs) {
    long long days = secs >= 0 ? secs / 86400 : -((-secs + 86399) / 86400);
    long long rem = secs - days * 86400;
    long long y;
    unsigned m, d;
    civilFromDays(days, y, m, d);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04lld%02u%02u%02lld%02lld%02lld", y, m, d, rem / 3600, rem / 60 % 60, rem % 60);
    return buf;
}

bool twoDigits(const unsigned char* p, int& out) {
    if (p[0] < '0' || p[0] > '9' || p[1] < '0' || p[1] > '9') return false;
    out = (p[0] - '0') * 10 + (p[1] - '0');
    return true;
}

std::string hexOf(const unsigned char* p, int n) {
    if (p == nullptr || n <= 0) return {};
    cChars hex;
    hex.hexEncode(p, n);
    return hex.str();
}

std::string oneline(const X509_NAME* name) {
    if (name == nullptr) return {};
    char* s = X509_NAME_oneline(name, nullptr, 0);
    if (s == nullptr) return {};
    std::string out(s);
    OPENSSL_free(s);
    return out;
}

std::string firstCN(const X509_NAME* name) {
    if (name == nullptr) return {};
    int idx = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (idx < 0) return {};
    const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, idx));
    unsigned char* utf8 = nullptr;
    int n = ASN1_STRING_to_UTF8(&utf8, value);
    if (n < 0) return {};
    std::string out(reinterpret_cast<char*>(utf8), static_cast<size_t>(n));
    OPENSSL_free(utf8);
    return out;
}

std::string generalNameText(const GENERAL_NAME* gn) {
    int type = 0;
    void* value = GENERAL_NAME_get0_value(gn, &type);
    switch (type) {
        case GEN_URI:
        case GEN_DNS:
        case GEN_EMAIL: {
            const auto* s = static_cast<const ASN1_IA5STRING*>(value);
            return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                               static_cast<size_t>(ASN1_STRING_length(s)));
        }
        case GEN_DIRNAME: return oneline(static_cast<const X509_NAME*>(value));
        default: return {};
    }
}

}  // namespace

cX509 cX509::fromRef(X509* cert) noexcept {
    if (cert != nullptr) X509_up_ref(cert);
    return cX509(cert);
}

cX509 cX509::fromDer(const unsigned char* der, int len) {
    if (der == nullptr || len <= 0) return cX509();
    const unsigned char* p = der;
    return cX509(d2i_X509(nullptr, &p, len));
}

cX509::cX509(const cX509& other) noexcept : m_cert(other.m_cert) {
    if (m_cert) X509_up_ref(m_cert);
}

cX509& cX509::operator=(const cX509& other) noexcept {
    if (this != &other) {
        if (other.m_cert) X509_up_ref(other.m_cert);
        reset(other.m_cert);
    }
    return *this;
}

cX509& cX509::operator=(cX509&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

cX509::~cX509() { X509_free(m_cert); }

X509* cX509::release() noexcept {
    X509* c = m_cert;
    m_cert = nullptr;
    return c;
}

void cX509::reset(X509* cert) noexcept {
    X509_free(m_cert);
    m_cert = cert;
}

std::string cX509::getSubject() const { return m_cert ? oneline(X509_get_subject_name(m_cert)) : std::string(); }

std::string cX509::getIssuer() const { return m_cert ? oneline(X509_get_issuer_name(m_cert)) : std::string(); }

std::string cX509::getSubjectCN() const { return m_cert ? firstCN(X509_get_subject_name(m_cert)) : std::string(); }

std::string cX509::getIssuerCN() const { return m_cert ? firstCN(X509_get_issuer_name(m_cert)) : std::string(); }

std::string cX509::gerSerial() const {
    if (m_cert == nullptr) return {};
    vorn::BignumPtr bn(ASN1_INTEGER_to_BN(X509_get0_serialNumber(m_cert), nullptr));
    if (!bn) return {};
    char* hex = BN_bn2hex(bn.get());
    if (hex == nullptr) return {};
    std::string out(hex);
    OPENSSL_free(hex);
    return out;
}

uint16_t cX509::getKeyUsage() const {
    if (m_cert == nullptr) return 0;
    auto* ku = static_cast<ASN1_BIT_STRING*>(X509_get_ext_d2i(m_cert, NID_key_usage, nullptr, nullptr));
    if (ku == nullptr) return 0;
    uint16_t v = 0;
    int n = ASN1_STRING_length(ku);
    const unsigned char* d = ASN1_STRING_get0_data(ku);
    if (n > 0) v = d[0];
    if (n > 1) v = static_cast<uint16_t>(v | d[1] << 8);
    ASN1_BIT_STRING_free(ku);
    return v;
}

bool cX509::isCaCert() const { return (getKeyUsage() & 0x06) != 0; }

bool cX509::isRootCert() const { return m_cert != nullptr && getIssuer() == getSubject(); }

std::string cX509::getNotbefore() const { return m_cert ? asn1TimeParse(X509_get0_notBefore(m_cert)) : std::string(); }

std::string cX509::getNotafter() const { return m_cert ? asn1TimeParse(X509_get0_notAfter(m_cert)) : std::string(); }

std::vector<std::string> cX509::getCrlDP() const {
    std::vector<std::string> out;
    if (m_cert == nullptr) return out;
    auto* dps = static_cast<STACK_OF(DIST_POINT)*>(
        X509_get_ext_d2i(m_cert, NID_crl_distribution_points, nullptr, nullptr));
    if (dps == nullptr) return out;
    for (int i = 0; i < sk_DIST_POINT_num(dps); ++i) {
        const DIST_POINT* dp = sk_DIST_POINT_value(dps, i);
        if (dp->distpoint == nullptr || dp->distpoint->type != 0) continue;  // full names only
        const GENERAL_NAMES* names = dp->distpoint->name.fullname;
        for (int j = 0; j < sk_GENERAL_NAME_num(names); ++j) {
            std::string text = generalNameText(sk_GENERAL_NAME_value(names, j));
            if (!text.empty()) out.push_back(std::move(text));
        }
    }
    sk_DIST_POINT_pop_free(dps, DIST_POINT_free);
    return out;
}

std::string cX509::getSKI() const {
    if (m_cert == nullptr) return {};
    const ASN1_OCTET_STRING* ski = X509_get0_subject_key_id(m_cert);
    return ski ? hexOf(ASN1_STRING_get0_data(ski), ASN1_STRING_length(ski)) : std::string();
}

std::string cX509::getAKI() const {
    if (m_cert == nullptr) return {};
    const ASN1_OCTET_STRING* aki = X509_get0_authority_key_id(m_cert);
    return aki ? hexOf(ASN1_STRING_get0_data(aki), ASN1_STRING_length(aki)) : std::string();
}

std::string cX509::getFinger() const {
    if (m_cert == nullptr) return {};
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (X509_digest(m_cert, EVP_sha1(), md, &n) != 1) return {};
    return hexOf(md, static_cast<int>(n));
}

std::string cX509::getDer() const {
    if (m_cert == nullptr) return {};
    unsigned char* der = nullptr;
    int n = i2d_X509(m_cert, &der);
    if (n <= 0) return {};
    std::string out(reinterpret_cast<char*>(der), static_cast<size_t>(n));
    OPENSSL_free(der);
    return out;
}

std::string cX509::getCertB64() const {
    std::string der = getDer();
    if (der.empty()) return {};
    cChars b64;
    if (!b64.base64Encode(reinterpret_cast<const unsigned char*>(der.data()), static_cast<int>(der.size()))) return {};
    return b64.str();
}

std::string cX509::asn1TimeParse(const ASN1_TIME* time) {
    if (time == nullptr) return {};
    const unsigned char* p = ASN1_STRING_get0_data(time);
    int len = ASN1_STRING_length(time);
    int year = 0, pos = 0, v = 0;
    int type = ASN1_STRING_type(time);
    if (type == V_ASN1_UTCTIME) {
        if (len < 12 || !twoDigits(p, v)) return {};
        year = v <= 69 ? 2000 + v : 1900 + v;
        pos = 2;
    } else if (type == V_ASN1_GENERALIZEDTIME) {
        int hi = 0;
        if (len < 14 || !twoDigits(p, hi) || !twoDigits(p + 2, v)) return {};
        year = hi * 100 + v;
        pos = 4;
    } else {
        if (len < 10) return {};
    }
    int f[5];
    for (int i = 0; i < 5; ++i)
        if (!twoDigits(p + pos + 2 * i, f[i])) return {};
    // Months past December carry into the year; days, hours and seconds are
    // normalised through the day count.
    long long y = year + (f[0] > 0 ? (f[0] - 1) / 12 : 0);
    unsigned m = static_cast<unsigned>(f[0] > 0 ? (f[0] - 1) % 12 + 1 : 1);
    long long days = daysFromCivil(y, m, 1) + f[1] - 1;
    long long secs = days * 86400 + f[2] * 3600LL + f[3] * 60LL + f[4] + kTaiwanOffset;
    return format14(secs);
}

std::string cX509::taiwanTime14(std::time_t t) { return format14(static_cast<long long>(t) + kTaiwanOffset); }

std::string cX509::nowTaiwan() { return taiwanTime14(std::time(nullptr)); }

const char* cX509::textInto(X509* cert, Text which, cChars& out) {
    out.charsFree();
    if (!cert) return nullptr;
    const cX509 view = fromRef(cert);
    std::string text;
    switch (which) {
        case CERT_B64: text = view.getCertB64(); break;
        case SUBJECT_CN: text = view.getSubjectCN(); break;
        case SUBJECT: text = view.getSubject(); break;
        case ISSUER: text = view.getIssuer(); break;
        case NOT_BEFORE: text = view.getNotbefore(); break;
        case NOT_AFTER: text = view.getNotafter(); break;
        case SERIAL: text = view.gerSerial(); break;
        case FINGER: text = view.getFinger(); break;
    }
    out.charsSet(text.data(), text.size());
    return out.c_str() ? out.c_str() : "";
}
