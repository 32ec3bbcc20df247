// cX509 views of generated certificates (cross-checked with the openssl tool)
// and the cPkcs12 credential: opening, validity, key usage, signer filters.
#define OPENSSL_SUPPRESS_DEPRECATED  // RSA_flags, to see that blinding stays on
#include <gtest/gtest.h>

#include <ostream>

#include <openssl/asn1.h>
#include <openssl/rsa.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "cBytes.h"
#include "cErr.h"
#include "cPkcs12.h"
#include "cX509.h"
#include "vorn_test_util.h"

namespace {

using vorntest::pkiDir;
using vorntest::pkiPath;

cX509 load(const std::string& name) {
    std::string der = vorntest::readFile(pkiPath(name + ".der"));
    return cX509::fromDer(reinterpret_cast<const unsigned char*>(der.data()), static_cast<int>(der.size()));
}

// "openssl x509 <args>" on a generated certificate, last token of the first matching line.
std::string opensslField(const std::string& name, const std::string& args) {
    std::string out = vorntest::run("openssl x509 -in '" + pkiPath(name + ".pem") + "' -noout " + args);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

std::string upperNoColons(std::string s) {
    std::string out;
    for (char c : s)
        if (c != ':') out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    return out;
}

struct TimeCase {
    int type;
    const char* text;
    const char* taiwan;
};
std::ostream& operator<<(std::ostream& os, const TimeCase& c) { return os << c.text; }

class Asn1Time : public ::testing::TestWithParam<TimeCase> {};

TEST_P(Asn1Time, RendersInTaiwanTime) {
    ASN1_TIME* t = ASN1_TIME_new();
    ASSERT_EQ(ASN1_STRING_set(t, GetParam().text, -1), 1);
    t->type = GetParam().type;
    EXPECT_EQ(cX509::asn1TimeParse(t), GetParam().taiwan);
    ASN1_TIME_free(t);
}

INSTANTIATE_TEST_SUITE_P(Cases, Asn1Time,
                         ::testing::Values(TimeCase{V_ASN1_UTCTIME, "491231160000Z", "20500101000000"},
                                           TimeCase{V_ASN1_UTCTIME, "700101000000Z", "19700101080000"},
                                           TimeCase{V_ASN1_UTCTIME, "691231235959Z", "20700101075959"},
                                           TimeCase{V_ASN1_UTCTIME, "240228200000Z", "20240229040000"},
                                           TimeCase{V_ASN1_UTCTIME, "230228200000Z", "20230301040000"},
                                           TimeCase{V_ASN1_GENERALIZEDTIME, "20991231200000Z", "21000101040000"},
                                           TimeCase{V_ASN1_GENERALIZEDTIME, "20000228160000Z", "20000229000000"},
                                           TimeCase{V_ASN1_UTCTIME, "4912311600", ""},
                                           TimeCase{V_ASN1_UTCTIME, "49123116000AZ", ""},
                                           TimeCase{V_ASN1_GENERALIZEDTIME, "2049123116Z", ""}));

TEST(Asn1Time, NullIsEmpty) { EXPECT_EQ(cX509::asn1TimeParse(nullptr), ""); }

// "now" is Taiwan time whatever the machine's zone.
class NowZone : public ::testing::TestWithParam<const char*> {};

TEST_P(NowZone, NowIsUtcPlusEight) {
    const char* old = std::getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", GetParam(), 1);
    tzset();
    time_t before = time(nullptr);
    std::string now = cX509::nowTaiwan();
    time_t after = time(nullptr);
    if (old) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
    auto expect = [](time_t t) {
        t += 8 * 3600;
        struct tm g;
        gmtime_r(&t, &g);
        char buf[32];
        strftime(buf, sizeof buf, "%Y%m%d%H%M%S", &g);
        return std::string(buf);
    };
    EXPECT_TRUE(now == expect(before) || now == expect(after)) << now;
}

INSTANTIATE_TEST_SUITE_P(Zones, NowZone, ::testing::Values("UTC0", "EST5EDT", "CST-8", "NZST-12"));

TEST(X509, NamesOfTheSigningCertificate) {
    cX509 c = load("sign");
    ASSERT_TRUE(c);
    EXPECT_EQ(c.getSubject(), "/C=TW/O=Taloma Bank/OU=Trading/OU=Futures/CN=Jo Lee");
    EXPECT_EQ(c.getIssuer(), "/C=TW/O=Taloma Test/OU=Issuing/CN=Taloma Test Issuing CA");
    EXPECT_EQ(c.getSubjectCN(), "Jo Lee");
    EXPECT_EQ(c.getIssuerCN(), "Taloma Test Issuing CA");
    EXPECT_EQ(load("utf8").getSubjectCN(), "王小明");
}

TEST(X509, IdentifiersMatchTheOpensslTool) {
    for (const char* name : {"root", "inter", "sign", "edge"}) {
        SCOPED_TRACE(name);
        cX509 c = load(name);
        std::string serial = opensslField(name, "-serial");
        serial = serial.substr(serial.find('=') + 1);
        while (serial.size() > 1 && serial[0] == '0') serial.erase(0, 1);
        EXPECT_EQ(c.gerSerial(), serial);
        std::string finger = opensslField(name, "-fingerprint -sha1");
        EXPECT_EQ(c.getFinger(), upperNoColons(finger.substr(finger.find('=') + 1)));
        EXPECT_EQ(c.getFinger().size(), 40u);
        std::string ski = opensslField(name, "-ext subjectKeyIdentifier");
        EXPECT_EQ(c.getSKI(), upperNoColons(ski.substr(ski.rfind(' ') + 1)));
    }
    EXPECT_EQ(load("sign").getAKI(), vorntest::pki().at("inter.ski"));
    EXPECT_EQ(load("inter").getAKI(), vorntest::pki().at("root.ski"));
}

struct UsageCase {
    const char* name;
    uint16_t usage;
    bool ca, root;
};
std::ostream& operator<<(std::ostream& os, const UsageCase& c) { return os << c.name; }

class KeyUsage : public ::testing::TestWithParam<UsageCase> {};

TEST_P(KeyUsage, BitsAndRoles) {
    cX509 c = load(GetParam().name);
    EXPECT_EQ(c.getKeyUsage(), GetParam().usage);
    EXPECT_EQ(c.isCaCert(), GetParam().ca);
    EXPECT_EQ(c.isRootCert(), GetParam().root);
}

INSTANTIATE_TEST_SUITE_P(Certs, KeyUsage,
                         ::testing::Values(UsageCase{"root", 0x06, true, true}, UsageCase{"inter", 0x06, true, false},
                                           UsageCase{"sign", 0xC0, false, false},
                                           UsageCase{"nonrep", 0x40, false, false},
                                           UsageCase{"nosign", 0x20, false, false},
                                           UsageCase{"noku", 0, false, false}));

TEST(X509, DatesInTaiwanTime) {
    cX509 edge = load("edge");
    EXPECT_EQ(edge.getNotbefore(), "19700101080000");
    EXPECT_EQ(edge.getNotafter(), "20500101000000");
    EXPECT_EQ(load("expired").getNotafter(), "20200101080000");
}

TEST(X509, DistributionPointsAndEncodings) {
    EXPECT_EQ(load("sign").getCrlDP(), std::vector<std::string>{"http://crl.example.test/inter.crl"});
    EXPECT_TRUE(load("root").getCrlDP().empty());
    cX509 c = load("sign");
    cBytes der;
    ASSERT_TRUE(der.base64Decode(c.getCertB64().c_str()));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(der.data()), der.length()), vorntest::readFile(pkiPath("sign.der")));
}

TEST(X509, EmptyViewAndOwnership) {
    cX509 none;
    EXPECT_FALSE(none);
    EXPECT_EQ(none.getSubject(), "");
    EXPECT_EQ(none.getKeyUsage(), 0);
    EXPECT_FALSE(none.isRootCert());
    EXPECT_EQ(none.getNotafter(), "");
    EXPECT_FALSE(cX509::fromDer(reinterpret_cast<const unsigned char*>("junk"), 4));
    cX509 a = load("sign");
    cX509 b = a;  // shared reference
    EXPECT_EQ(a.get(), b.get());
    cX509 c = std::move(a);
    EXPECT_FALSE(a);
    EXPECT_EQ(c.getSubjectCN(), "Jo Lee");
}

// -------------------------------------------------------------- cPkcs12

struct LoadCase {
    const char* file;
    int rc;
    int caCount;
};
std::ostream& operator<<(std::ostream& os, const LoadCase& c) { return os << c.file; }

class Pkcs12Load : public ::testing::TestWithParam<LoadCase> {};

TEST_P(Pkcs12Load, Opens) {
    cPkcs12 p;
    EXPECT_EQ(p.loadPfxFile(pkiDir().c_str(), GetParam().file, "1234"), GetParam().rc);
    EXPECT_EQ(p.isLoaded(), GetParam().rc == 0);
    if (GetParam().rc == 0) {
        EXPECT_EQ(GetParam().caCount, p.getCaCerts() ? sk_X509_num(p.getCaCerts()) : 0);
        // Blinding protects the key against timing attacks; it must not be switched off.
        const RSA* rsa = EVP_PKEY_get0_RSA(p.getPrivateKey());
        ASSERT_NE(rsa, nullptr);
        EXPECT_EQ(RSA_flags(rsa) & RSA_FLAG_NO_BLINDING, 0);
    } else {
        EXPECT_EQ(p.getCert(), nullptr);
        EXPECT_EQ(p.getPrivateKey(), nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, Pkcs12Load,
                         ::testing::Values(LoadCase{"sign.p12", 0, 2}, LoadCase{"sign-legacy.p12", 0, 2},
                                           LoadCase{"sign-nochain.p12", 0, 0}, LoadCase{"expired-legacy.p12", 0, 2},
                                           LoadCase{"sign-certonly.p12", ERR_KEY_NOT_EXIST, 0},
                                           LoadCase{"missing.p12", ERR_CERT_FILE_READ, 0},
                                           LoadCase{"sign.pem", ERR_CERT_FILE_READ, 0}));

class Pkcs12WrongPassword : public ::testing::TestWithParam<const char*> {};

TEST_P(Pkcs12WrongPassword, Is5208) {
    cPkcs12 p;
    EXPECT_EQ(p.loadPfxFile(pkiDir().c_str(), GetParam(), "4321"), ERR_PFX_PASSWORD);
    EXPECT_FALSE(p.isLoaded());
}

INSTANTIATE_TEST_SUITE_P(Formats, Pkcs12WrongPassword, ::testing::Values("sign.p12", "sign-legacy.p12"));

TEST(Pkcs12, ArgumentsAreCheckedInOrder) {
    cPkcs12 p;
    const std::string dir = pkiDir();
    EXPECT_EQ(p.loadPfxFile(nullptr, "sign.p12", "1234"), ERR_PARAMETER);
    EXPECT_EQ(p.loadPfxFile("", "sign.p12", "1234"), ERR_PARAMETER);
    EXPECT_EQ(p.loadPfxFile(dir.c_str(), nullptr, "1234"), ERR_PARAMETER);
    EXPECT_EQ(p.loadPfxFile(dir.c_str(), "", "1234"), ERR_PARAMETER);
    EXPECT_EQ(p.loadPfxFile(dir.c_str(), "missing.p12", nullptr), ERR_CERT_FILE_READ) << "existence first";
    EXPECT_EQ(p.loadPfxFile(dir.c_str(), "sign.p12", nullptr), ERR_PARAMETER);
    EXPECT_EQ(p.loadPfxFile(dir.c_str(), "sign.p12", ""), ERR_PARAMETER);
}

TEST(Pkcs12, ReloadReplacesAndFailureClears) {
    cPkcs12 p;
    ASSERT_EQ(p.loadPfxFile(pkiDir().c_str(), "sign.p12", "1234"), 0);
    ASSERT_EQ(p.loadPfxFile(pkiDir().c_str(), "nosign.p12", "1234"), 0);
    EXPECT_EQ(cX509::fromRef(p.getCert()).getSubjectCN(), "Cipher Only");
    EXPECT_EQ(p.loadPfxFile(pkiDir().c_str(), "sign.p12", "bad"), ERR_PFX_PASSWORD);
    EXPECT_FALSE(p.isLoaded());
    EXPECT_EQ(p.checkCertValid(), ERR_CERT_NOT_FOUND);
}

struct ValidCase {
    const char* file;
    int rc;
};
std::ostream& operator<<(std::ostream& os, const ValidCase& c) { return os << c.file; }

class Pkcs12Valid : public ::testing::TestWithParam<ValidCase> {};

TEST_P(Pkcs12Valid, NowInTaiwanTime) {
    cPkcs12 p;
    ASSERT_EQ(p.loadPfxFile(pkiDir().c_str(), GetParam().file, "1234"), 0);
    EXPECT_EQ(p.checkCertValid(), GetParam().rc);
}

INSTANTIATE_TEST_SUITE_P(Certs, Pkcs12Valid,
                         ::testing::Values(ValidCase{"sign.p12", 0}, ValidCase{"future.p12", ERR_CERT_NOT_YET_VALID},
                                           ValidCase{"expired.p12", ERR_CERT_EXPIRED}, ValidCase{"edge.p12", 0}));

TEST(Pkcs12, ValidityBoundsAreInclusive) {
    cPkcs12 p;
    ASSERT_EQ(p.loadPfxFile(pkiDir().c_str(), "expired.p12", "1234"), 0);
    // 2010-01-01T00:00:00Z .. 2020-01-01T00:00:00Z, rendered in UTC+8.
    EXPECT_EQ(p.checkCertValid("20100101075959"), ERR_CERT_NOT_YET_VALID);
    EXPECT_EQ(p.checkCertValid("20100101080000"), 0);
    EXPECT_EQ(p.checkCertValid("20200101080000"), 0);
    EXPECT_EQ(p.checkCertValid("20200101080001"), ERR_CERT_EXPIRED);
    EXPECT_EQ(p.checkCertValid("2020"), ERR_CERT_INVALID);
}

struct UsageSignCase {
    const char* file;
    int rc;
};
std::ostream& operator<<(std::ostream& os, const UsageSignCase& c) { return os << c.file; }

class Pkcs12KeyUsage : public ::testing::TestWithParam<UsageSignCase> {};

TEST_P(Pkcs12KeyUsage, NeedsASigningBit) {
    cPkcs12 p;
    ASSERT_EQ(p.loadPfxFile(pkiDir().c_str(), GetParam().file, "1234"), 0);
    EXPECT_EQ(p.checkKeyUsageForSign(), GetParam().rc);
}

INSTANTIATE_TEST_SUITE_P(Certs, Pkcs12KeyUsage,
                         ::testing::Values(UsageSignCase{"sign.p12", 0}, UsageSignCase{"nonrep.p12", 0},
                                           UsageSignCase{"nosign.p12", ERR_CERT_KEY_USAGE},
                                           UsageSignCase{"noku.p12", ERR_CERT_KEY_USAGE}));

TEST(Pkcs12, ChecksWithoutCertificate) {
    cPkcs12 p;
    EXPECT_EQ(p.checkCertValid(), ERR_CERT_NOT_FOUND);
    EXPECT_EQ(p.checkKeyUsageForSign(), ERR_CERT_NOT_FOUND);
    EXPECT_EQ(p.checkSignerFilter(""), ERR_CERT_NOT_FOUND);
}

struct FilterCase {
    const char* filter;
    const char* subject;
    const char* issuer;
    int rc;
};
std::ostream& operator<<(std::ostream& os, const FilterCase& c) {
    return os << "\"" << (c.filter ? c.filter : "(null)") << "\" on " << c.subject;
}

class SignerFilter : public ::testing::TestWithParam<FilterCase> {};

TEST_P(SignerFilter, Matches) {
    const auto& c = GetParam();
    EXPECT_EQ(cPkcs12::matchSignerFilter(c.filter, c.subject, c.issuer), c.rc) << c.filter;
}

constexpr const char* kSubj = "/C=TW/O=Bank/OU=Sales/OU=North/CN=Jo Lee";
constexpr const char* kIss = "/C=TW/O=Root Org/CN=Root CA";

INSTANTIATE_TEST_SUITE_P(
    Cases, SignerFilter,
    ::testing::Values(
        FilterCase{"//S_C=TW,S_O=Bank//", "/C=TW/O=Bank/CN=Jo", kIss, 0},
        FilterCase{"//S_C=TW,S_O=Bank//", "/C=TW/O=Other/CN=Jo", kIss, ERR_CERT_NOT_FOUND},
        FilterCase{"//S_CN=Jo//", kSubj, kIss, 0}, FilterCase{"//S_CN=Lee J//", kSubj, kIss, ERR_CERT_NOT_FOUND},
        FilterCase{"//I_CN=Root//", kSubj, kIss, ERR_CERT_NOT_FOUND}, FilterCase{"//I_CN=Root CA//", kSubj, kIss, 0},
        FilterCase{"S_C=TW", kSubj, kIss, ERR_CERT_NOT_FOUND}, FilterCase{"//S_C=TW", kSubj, kIss, ERR_CERT_NOT_FOUND},
        FilterCase{"", kSubj, kIss, 0}, FilterCase{nullptr, kSubj, kIss, 0}, FilterCase{"////", kSubj, kIss, 0},
        FilterCase{"//S_OU=Sales,S_OU=North//", kSubj, kIss, 0},
        FilterCase{"//S_OU=Sales,S_OU=South//", kSubj, kIss, ERR_CERT_NOT_FOUND},
        FilterCase{"//S_C=JP//S_O=Bank,I_O=Root Org//", kSubj, kIss, 0},
        FilterCase{"//S_C=JP//S_O=Bank,I_O=Other//", kSubj, kIss, ERR_CERT_NOT_FOUND},
        FilterCase{"ignored//I_C=TW,S_CN=Lee//ignored", kSubj, kIss, 0},
        FilterCase{"//S_C=TW//", "/DC=tw/C=TW/CN=x", kIss, 0},
        FilterCase{"//S_C=TW//", "/CN=no country", kIss, ERR_CERT_NOT_FOUND},
        FilterCase{"//S_O=//", "/C=TW/O=/CN=x", kIss, 0}));

TEST(SignerFilterSplit, AlternativesBetweenMarkers) {
    EXPECT_EQ(cPkcs12::splitFilter("a//b//c//d"), (std::vector<std::string>{"b", "c"}));
    EXPECT_EQ(cPkcs12::splitFilter("//x//"), (std::vector<std::string>{"x"}));
    EXPECT_TRUE(cPkcs12::splitFilter("//only one").empty());
    EXPECT_TRUE(cPkcs12::splitFilter("no markers").empty());
}

TEST(Pkcs12, SignerFilterOnTheLoadedCertificate) {
    cPkcs12 p;
    ASSERT_EQ(p.loadPfxFile(pkiDir().c_str(), "sign.p12", "1234"), 0);
    EXPECT_EQ(p.checkSignerFilter("//S_O=Taloma Bank,S_OU=Futures,I_CN=Taloma Test Issuing CA//"), 0);
    EXPECT_EQ(p.checkSignerFilter("//I_CN=Taloma Test Root CA//"), ERR_CERT_NOT_FOUND);
    EXPECT_EQ(p.checkSignerFilter(nullptr), 0);
}

}  // namespace
