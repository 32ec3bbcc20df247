// The signer: configuration, password wrapping, encodings, digests, add-cert
// levels, attributes, gates, getters, and signatures checked by openssl cms.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

#include <openssl/pkcs7.h>

#include "VornSign.h"
#include "cBytes.h"
#include "cLog.h"
#include "cX509.h"
#include "vorn_chain_util.h"

using namespace vorntest;

namespace {

// One folder for the whole run: chains, CRLs, property files, outputs.
struct Env {
    TempDir dir;
    std::string p7b = dir / "P7B";
    std::string logDir = dir / "logs";
    Env() {
        if (std::system(("mkdir -p '" + p7b + "'").c_str()) != 0) throw std::runtime_error("mkdir");
        copyFile(pkiPath("chain.p7b"), p7b + "/chain.p7b");
        // A credential with a password that cannot occur by chance in a log.
        const std::string cmd = "openssl pkcs12 -export -inkey '" + pkiPath("sign.key") + "' -in '" +
                                pkiPath("sign.pem") + "' -certfile '" + pkiPath("chain.pem") +
                                "' -passout pass:Qx7-unlikely-PW -out '" + (dir / "secret.p12") + "'";
        if (std::system(cmd.c_str()) != 0) throw std::runtime_error("pkcs12");
    }
};

Env& env() {
    static Env e;  // removed at exit
    return e;
}

// The template's keys; override replaces (or, with an empty value, drops) a key.
std::string props(const std::string& pfx, std::map<std::string, std::string> override = {},
                  const std::string& folder = pkiDir()) {
    std::map<std::string, std::string> kv = {
        {"LOG.path", env().logDir},
        {"LOG.file", "ca.log"},
        {"LOG.level", "DEBUG"},
        {"PFX.path", folder},
        {"PFX.file", pfx},
        {"PFX.checkValid", "true"},
        {"PKCS7.digest", "SHA256"},
        {"PKCS7.addCert", "1"},
        {"PKCS7.addPlainText", "true"},
        {"PKCS7.addTimestamp", "false"},
        {"P7B.path", env().p7b},
        {"P7B0.name", "chain.p7b"},
        {"P7B0.SKI", pki().at("inter.ski")},
    };
    for (auto& [k, v] : override) {
        if (v.empty()) kv.erase(k);
        else kv[k] = v;
    }
    static int n = 0;
    const std::string path = env().dir / ("p7Sign.properties." + std::to_string(++n));
    std::string text;
    for (auto& [k, v] : kv) text += k + " = " + v + "\n";
    writeFile(path, text);
    return path;
}

std::string wrap(const std::string& propFile, const std::string& password) {
    char buf[1024];
    int len = sizeof buf;
    EXPECT_EQ(0, VornSign::MakeVornSignPasswd(buf, &len, propFile.c_str(), password.c_str()));
    return std::string(buf, static_cast<std::size_t>(len));
}

// An activated signer over pfx with the given overrides.
int load(VornSign& s, const std::string& pfx, std::map<std::string, std::string> override = {},
         const std::string& password = "1234", const std::string& folder = pkiDir()) {
    const std::string p = props(pfx, std::move(override), folder);
    return s.LoadProperty(p.c_str(), wrap(p, password).c_str());
}

vorn::Pkcs7Ptr decode(const char* b64) {
    cBytes der;
    if (!b64 || !der.base64Decode(b64)) return nullptr;
    const unsigned char* p = der.data();
    return vorn::Pkcs7Ptr(d2i_PKCS7(nullptr, &p, der.length()));
}

std::string content(PKCS7* p7) {
    ASN1_OCTET_STRING* os = p7->d.sign->contents->d.data;
    return os ? std::string(reinterpret_cast<const char*>(os->data), static_cast<std::size_t>(os->length)) : "";
}

}  // namespace

// --- configuration --------------------------------------------------------

TEST(SignerLoad, PropertyFileErrors) {
    VornSign s;
    EXPECT_EQ(1202, s.LoadProperty(nullptr, nullptr));
    EXPECT_EQ(1202, s.LoadProperty("", nullptr));
    EXPECT_EQ(1202, s.LoadProperty((env().dir / "absent.properties").c_str(), nullptr));
    EXPECT_EQ(1202, s.GetErrorCode());
    EXPECT_FALSE(s.isActivated());
}

TEST(SignerLoad, PasswordSources) {
    const std::string base = props("sign.p12");
    const std::string wrapped = wrap(base, "1234");
    struct Case {
        const char* what;
        std::map<std::string, std::string> override;
        std::string enced;
        int rc;
    } cases[] = {
        {"wrapped", {}, wrapped, 0},
        {"clear key", {{"PFX.pswd", "1234"}}, "", 0},
        {"wrapped key", {{"PFX.pswdB64", wrapped}}, "", 0},
        {"wrapped key, wrong", {{"PFX.pswdB64", "AAAAAAAAAAAAAAAAAAAAAA=="}}, "", 5005},
        {"wrapped key, not Base64", {{"PFX.pswdB64", "@@@"}}, "", 5005},
        {"no password at all", {}, "", 5005},
        {"argument not Base64", {}, "***", 5005},
        {"argument garbage", {}, "AAAAAAAAAAAAAAAAAAAAAA==", 5005},
        {"wrong password", {}, "", 5208},
        {"missing file", {{"PFX.file", "absent.p12"}}, "", 1102},
        {"certificate without key", {{"PFX.file", "sign-certonly.p12"}, {"PFX.pswd", "1234"}}, "", 5208},
    };
    for (const Case& c : cases) {
        VornSign s;
        std::string p = props("sign.p12", c.override);
        std::string enced = c.enced;
        if (std::string(c.what) == "wrong password") enced = wrap(p, "4321");
        if (std::string(c.what) == "missing file") enced = wrap(p, "1234");
        const int rc = s.LoadProperty(p.c_str(), enced.empty() ? nullptr : enced.c_str());
        if (std::string(c.what) == "certificate without key") {
            EXPECT_NE(0, rc) << c.what;
        } else if ((std::string(c.what) == "wrapped key, wrong" || std::string(c.what) == "argument garbage") &&
                   rc == 5208) {
            // The key of the wrapping follows the credential's path (a fresh folder each run): about
            // one run in 256, garbage decrypts to well-padded bytes, read as a wrong password.
            SUCCEED() << c.what;
        } else {
            EXPECT_EQ(c.rc, rc) << c.what;
        }
        EXPECT_EQ(rc == 0, s.isActivated()) << c.what;
    }
}

TEST(SignerLoad, LegacyAndDefaultPkcs12Open) {
    for (const char* f : {"sign.p12", "sign-legacy.p12", "sign-nochain.p12"}) {
        VornSign s;
        EXPECT_EQ(0, load(s, f)) << f;
    }
}

TEST(SignerLoad, FailedReloadKeepsTheActiveCredential) {
    VornSign s;
    ASSERT_EQ(0, load(s, "sign.p12"));
    EXPECT_EQ(5208, load(s, "sign.p12", {{"PKCS7.digest", "SHA1"}}, "bad"));
    EXPECT_TRUE(s.isActivated());
    EXPECT_STREQ("SHA256", s.getDigest());
    EXPECT_EQ(0, s.SignPkcs7("abc", "BIG5"));
}

TEST(SignerLoad, AbsentKeysKeepDefaults) {
    VornSign s;
    ASSERT_EQ(0, load(s, "sign.p12",
                      {{"PKCS7.addCert", ""},
                       {"PKCS7.addPlainText", ""},
                       {"PKCS7.addTimestamp", ""},
                       {"PFX.checkValid", ""},
                       {"PKCS7.digest", ""}}));
    EXPECT_EQ(1, s.getAddCert());
    EXPECT_TRUE(s.getAddPlainText());
    EXPECT_FALSE(s.getAddTimestamp());
    EXPECT_TRUE(s.getCheckValid());
    EXPECT_TRUE(s.getCheckKeyUsage());
    EXPECT_EQ(nullptr, s.getDigest());
}

// --- password wrapping --------------------------------------------------------

TEST(WrapPassword, CapacityMustHoldTheTerminator) {
    const std::string p = props("sign.p12");
    int needed = 0;
    ASSERT_EQ(0, VornSign::MakeVornSignPasswd(nullptr, &needed, p.c_str(), "1234"));
    ASSERT_GT(needed, 0);
    std::vector<char> buf(static_cast<std::size_t>(needed) + 8, 'x');
    int len = needed;
    EXPECT_EQ(5003, VornSign::MakeVornSignPasswd(buf.data(), &len, p.c_str(), "1234"));
    EXPECT_EQ(needed, len);
    for (int i = 0; i < needed; ++i) ASSERT_EQ(0, buf[static_cast<std::size_t>(i)]) << i;  // cleared, nothing copied
    EXPECT_EQ('x', buf[static_cast<std::size_t>(needed)]);                                 // beyond the capacity
    len = needed + 1;
    EXPECT_EQ(0, VornSign::MakeVornSignPasswd(buf.data(), &len, p.c_str(), "1234"));
    EXPECT_EQ(needed, len);
    EXPECT_EQ(static_cast<std::size_t>(needed), std::strlen(buf.data()));
    EXPECT_EQ(wrap(p, "1234"), std::string(buf.data()));  // deterministic
}

TEST(WrapPassword, ArgumentErrors) {
    const std::string p = props("sign.p12");
    const std::string noFile = props("sign.p12", {{"PFX.file", ""}});
    char buf[1024];
    int len = sizeof buf;
    EXPECT_EQ(5005, VornSign::MakeVornSignPasswd(buf, &len, p.c_str(), ""));
    EXPECT_EQ(5005, VornSign::MakeVornSignPasswd(buf, &len, p.c_str(), nullptr));
    EXPECT_EQ(5005, VornSign::MakeVornSignPasswd(buf, &len, nullptr, "1234"));
    EXPECT_EQ(5005, VornSign::MakeVornSignPasswd(buf, &len, "", "1234"));
    EXPECT_EQ(5005, VornSign::MakeVornSignPasswd(buf, &len, (env().dir / "absent").c_str(), "1234"));
    EXPECT_EQ(5005, VornSign::MakeVornSignPasswd(buf, &len, noFile.c_str(), "1234"));
    EXPECT_EQ(5005, VornSign::MakeVornSignPasswd(buf, nullptr, p.c_str(), "1234"));
    EXPECT_EQ(5063, VornSign::MakeVornSignPasswd(nullptr, &len, p.c_str(), std::string(512, 'p').c_str()));
    EXPECT_EQ(0, VornSign::MakeVornSignPasswd(nullptr, &len, p.c_str(), std::string(511, 'p').c_str()));
    EXPECT_EQ(684, len);  // 512 cipher bytes in Base64
}

TEST(WrapPassword, DependsOnTheCredentialNamed) {
    const std::string a = props("sign.p12"), b = props("nonrep.p12");
    EXPECT_EQ(wrap(a, "1234"), wrap(props("sign.p12", {{"PKCS7.digest", "SHA1"}}), "1234"));
    EXPECT_NE(wrap(a, "1234"), wrap(b, "1234"));
    VornSign s;
    EXPECT_NE(0, s.LoadProperty(a.c_str(), wrap(b, "1234").c_str()));
}

TEST(WrapPassword, ClearPasswordNeverReachesTheLog) {
    const std::string folder = env().dir.path();
    VornSign s;
    const std::string p = props("secret.p12", {}, folder);
    ASSERT_EQ(0, s.LoadProperty(p.c_str(), wrap(p, "Qx7-unlikely-PW").c_str()));
    const std::string clear = props("secret.p12", {{"PFX.pswd", "Qx7-unlikely-PW"}}, folder);
    ASSERT_EQ(0, s.LoadProperty(clear.c_str(), nullptr));
    EXPECT_EQ(5208, s.LoadProperty(p.c_str(), wrap(p, "Qx7-wrong-PW").c_str()));
    ASSERT_EQ(0, s.SignPkcs7("abc", "BIG5"));
    const std::string logs = run("cat '" + env().logDir + "'/* 2>/dev/null") + _logger.getMemoryBuffer();
    EXPECT_FALSE(logs.empty());
    EXPECT_EQ(std::string::npos, logs.find("Qx7-unlikely-PW"));
    EXPECT_EQ(std::string::npos, logs.find("Qx7-wrong-PW"));
}

// --- signing --------------------------------------------------------------------

class Signer : public ::testing::Test {
protected:
    VornSign s;
    void SetUp() override { ASSERT_EQ(0, load(s, "sign.p12")); }
};

struct EncodingCase {
    const char* text;
    const char* encoding;
    std::string bytes;
};

class SignEncoding : public ::testing::TestWithParam<EncodingCase> {};

TEST_P(SignEncoding, SignsTheConvertedBytes) {
    VornSign s;
    ASSERT_EQ(0, load(s, "sign.p12"));
    ASSERT_EQ(0, s.SignPkcs7(GetParam().text, GetParam().encoding));
    auto p7 = decode(s.GetSignedPkcs7());
    ASSERT_TRUE(p7);
    EXPECT_EQ(GetParam().bytes, content(p7.get()));
}

INSTANTIATE_TEST_SUITE_P(Encodings, SignEncoding,
                         ::testing::Values(EncodingCase{"abc", "big5", "abc"}, EncodingCase{"abc", "BIG5", "abc"},
                                           EncodingCase{"abc", "UTF-16LE", std::string("a\0b\0c\0", 6)},
                                           EncodingCase{"abc", "utf-16le", std::string("a\0b\0c\0", 6)},
                                           EncodingCase{"測試", "BIG5", "\xB4\xFA\xB8\xD5"},
                                           EncodingCase{"測試", "UTF-16LE", "\x2C\x6E\x66\x8A"}));

TEST_F(Signer, EncodingAndContentErrors) {
    struct Case {
        const char* text;
        const char* encoding;
        int rc;
    } cases[] = {
        {"abc", "UTF-8", 5901},     {"abc", "ASCII", 5901},
        {"\xFF\xFE", "BIG5", 5901}, {"\xF0\x9F\x98\x80", "BIG5", 5901},  // no BIG5 form
        {nullptr, "BIG5", 5005},    {"", "BIG5", 5005},
        {"abc", nullptr, 5005},     {"abc", "", 5005},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.rc, s.SignPkcs7(c.text, c.encoding)) << (c.encoding ? c.encoding : "null");
        EXPECT_EQ(nullptr, s.GetSignedPkcs7());
        EXPECT_EQ(c.rc, s.GetErrorCode());
    }
    EXPECT_EQ(5005, s.SignPkcs7Bin(nullptr, 3));
    EXPECT_EQ(5005, s.SignPkcs7Bin(reinterpret_cast<const unsigned char*>("abc"), 0));
}

TEST(SignerState, NothingBeforeACredential) {
    VornSign s;
    EXPECT_EQ(5010, s.SignPkcs7("abc", "BIG5"));
    EXPECT_EQ(5204, s.SignPkcs7Bin(reinterpret_cast<const unsigned char*>("abc"), 3));
    for (auto getter :
         {&VornSign::GetSignerCertB64, &VornSign::GetSignerCertSubjectCN, &VornSign::GetSignerCertSubject,
          &VornSign::GetSignerCertIssuer, &VornSign::GetSignerCertNotBefore, &VornSign::GetSignerCertNotAfter,
          &VornSign::GetSignerCertSerial, &VornSign::GetSignerCertFinger})
        EXPECT_EQ(nullptr, (s.*getter)());
    EXPECT_EQ(nullptr, s.GetSignedPkcs7());
    EXPECT_STREQ("2.0.1.2", VornSign::GetPkiVersion());
}

TEST(SignDigest, OnlyExactNames) {
    struct Case {
        const char* digest;
        int rc;
        int nid;
    } cases[] = {{"SHA256", 0, NID_sha256}, {"SHA1", 0, NID_sha1}, {"sha256", 5061, 0},
                 {"SHA-256", 5061, 0},      {"MD5", 5061, 0},      {"", 5061, 0}};
    for (const Case& c : cases) {
        VornSign s;
        ASSERT_EQ(0, load(s, "sign.p12", {{"PKCS7.digest", c.digest}}));
        EXPECT_EQ(c.rc, s.SignPkcs7("abc", "BIG5")) << c.digest;
        if (c.rc == 0) {
            auto p7 = decode(s.GetSignedPkcs7());
            PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);
            EXPECT_EQ(c.nid, OBJ_obj2nid(si->digest_alg->algorithm));
        }
    }
}

struct CertLevelCase {
    const char* pfx;
    int level;
    int certs;
};

class SignCertLevel : public ::testing::TestWithParam<CertLevelCase> {};

TEST_P(SignCertLevel, CarriesCertificates) {
    VornSign s;
    ASSERT_EQ(0, load(s, GetParam().pfx, {{"PKCS7.addCert", std::to_string(GetParam().level)}}));
    ASSERT_EQ(0, s.SignPkcs7("abc", "BIG5"));
    auto p7 = decode(s.GetSignedPkcs7());
    STACK_OF(X509)* certs = p7->d.sign->cert;
    ASSERT_EQ(GetParam().certs, std::max(0, sk_X509_num(certs)));  // no certificates: no set at all
    std::set<std::string> subjects;
    for (int i = 0; i < sk_X509_num(certs); ++i)
        subjects.insert(cX509::fromRef(sk_X509_value(certs, i)).getSubjectCN());
    if (GetParam().certs > 0) {
        EXPECT_TRUE(subjects.count("Jo Lee"));
    }
    if (GetParam().certs == 3) {
        EXPECT_TRUE(subjects.count("Taloma Test Issuing CA"));
        EXPECT_TRUE(subjects.count("Taloma Test Root CA"));
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, SignCertLevel,
                         ::testing::Values(CertLevelCase{"sign.p12", 0, 0}, CertLevelCase{"sign.p12", 1, 1},
                                           CertLevelCase{"sign.p12", 2, 3},
                                           // no CA certificates in the file: the loaded chain completes it
                                           CertLevelCase{"sign-nochain.p12", 2, 3},
                                           CertLevelCase{"sign-nochain.p12", 1, 1}));

TEST(SignOptions, TimestampAddsSignedAttributesAndDetachedLeavesContentOut) {
    VornSign s;
    ASSERT_EQ(0, load(s, "sign.p12", {{"PKCS7.addTimestamp", "true"}, {"PKCS7.addPlainText", "false"}}));
    ASSERT_EQ(0, s.SignPkcs7("abc", "BIG5"));
    auto p7 = decode(s.GetSignedPkcs7());
    EXPECT_TRUE(PKCS7_get_detached(p7.get()));
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);
    EXPECT_NE(nullptr, PKCS7_get_signed_attribute(si, NID_pkcs9_signingTime));
    EXPECT_NE(nullptr, PKCS7_get_signed_attribute(si, NID_pkcs9_contentType));
    EXPECT_NE(nullptr, PKCS7_get_signed_attribute(si, NID_pkcs9_messageDigest));

    ASSERT_EQ(0, load(s, "sign.p12"));
    ASSERT_EQ(0, s.SignPkcs7("abc", "BIG5"));
    p7 = decode(s.GetSignedPkcs7());
    EXPECT_FALSE(PKCS7_get_detached(p7.get()));
    si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);
    EXPECT_GE(0, sk_X509_ATTRIBUTE_num(si->auth_attr));
}

TEST_F(Signer, Base64IsOneLine) {
    ASSERT_EQ(0, s.SignPkcs7(std::string(5000, 'z').c_str(), "BIG5"));
    const std::string b64 = s.GetSignedPkcs7();
    EXPECT_EQ(std::string::npos, b64.find_first_of("\r\n "));
    EXPECT_EQ(0u, b64.size() % 4);
    EXPECT_EQ(std::string(5000, 'z'), content(decode(b64.c_str()).get()));
}

struct GateCase {
    const char* pfx;
    std::map<std::string, std::string> override;
    int rc;
};

class SignGate : public ::testing::TestWithParam<GateCase> {};

TEST_P(SignGate, Code) {
    VornSign s;
    ASSERT_EQ(0, load(s, GetParam().pfx, GetParam().override));
    EXPECT_EQ(GetParam().rc, s.SignPkcs7("abc", "BIG5")) << GetParam().pfx;
    EXPECT_EQ(GetParam().rc == 0, s.GetSignedPkcs7() != nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Gates, SignGate,
    ::testing::Values(
        GateCase{"expired.p12", {}, 5011}, GateCase{"future.p12", {}, 5012},
        GateCase{"expired.p12", {{"PFX.checkValid", "false"}}, 0}, GateCase{"nosign.p12", {}, 5017},
        GateCase{"noku.p12", {}, 5017}, GateCase{"nonrep.p12", {}, 0},
        GateCase{"nosign.p12", {{"PFX.checkKeyUsage", "false"}}, 0},
        GateCase{"sign.p12", {{"PFX.signerFilter", "//S_C=TW,S_O=Taloma Bank,I_CN=Taloma Test Issuing CA//"}}, 0},
        GateCase{"sign.p12", {{"PFX.signerFilter", "//S_O=Other//S_CN=Jo//"}}, 0},
        GateCase{"sign.p12", {{"PFX.signerFilter", "//S_O=Other//"}}, 5010},
        GateCase{"sign.p12", {{"PFX.signerFilter", "S_C=TW"}}, 5010}));

TEST_F(Signer, GettersReportTheSignerCertificate) {
    ASSERT_EQ(0, s.SignPkcs7("abc", "BIG5"));
    const cX509 cert(loadPem(pkiPath("sign.pem")).release());
    EXPECT_STREQ("/C=TW/O=Taloma Bank/OU=Trading/OU=Futures/CN=Jo Lee", s.GetSignerCertSubject());
    EXPECT_STREQ("Jo Lee", s.GetSignerCertSubjectCN());
    EXPECT_STREQ("/C=TW/O=Taloma Test/OU=Issuing/CN=Taloma Test Issuing CA", s.GetSignerCertIssuer());
    EXPECT_EQ(cert.getNotbefore(), s.GetSignerCertNotBefore());
    EXPECT_EQ(cert.getNotafter(), s.GetSignerCertNotAfter());
    EXPECT_EQ(14u, std::strlen(s.GetSignerCertNotAfter()));
    const std::string serial = run("openssl x509 -noout -serial -in '" + pkiPath("sign.pem") + "'");
    EXPECT_EQ("serial=" + std::string(s.GetSignerCertSerial()) + "\n", serial);
    std::string finger = run("openssl x509 -noout -fingerprint -sha1 -in '" + pkiPath("sign.pem") + "'");
    finger.erase(std::remove(finger.begin(), finger.end(), ':'), finger.end());
    EXPECT_EQ("sha1 Fingerprint=" + std::string(s.GetSignerCertFinger()) + "\n", finger);
    cBytes der;
    ASSERT_TRUE(der.base64Decode(s.GetSignerCertB64()));
    EXPECT_EQ(readFile(pkiPath("sign.der")), std::string(reinterpret_cast<const char*>(der.data()), der.length()));
}

TEST_F(Signer, FailureClearsTheSignatureButNotTheLastSigner) {
    ASSERT_EQ(0, s.SignPkcs7("abc", "BIG5"));
    EXPECT_EQ(5901, s.SignPkcs7("abc", "UTF-8"));
    EXPECT_EQ(nullptr, s.GetSignedPkcs7());
    EXPECT_EQ(5901, s.GetErrorCode());
    EXPECT_STREQ("Unicode 編碼錯誤(5901)", s.GetErrorMsg());
    EXPECT_STREQ("Jo Lee", s.GetSignerCertSubjectCN());
    EXPECT_EQ(0, s.SignPkcs7("abc", "BIG5"));
    EXPECT_STREQ("成功(0)", s.GetErrorMsg());
}

TEST_F(Signer, SignsFiles) {
    const std::string file = env().dir / "doc.bin";
    writeFile(file, std::string("\x00\x01\r\n\x02", 5));
    ASSERT_EQ(0, s.SignPkcs7File(file.c_str()));
    EXPECT_EQ(std::string("\x00\x01\r\n\x02", 5), content(decode(s.GetSignedPkcs7()).get()));
    EXPECT_EQ(5005, s.SignPkcs7File(nullptr));
    EXPECT_EQ(5005, s.SignPkcs7File(""));
    EXPECT_EQ(1002, s.SignPkcs7File((env().dir / "absent.bin").c_str()));
    writeFile(file, "");
    EXPECT_EQ(5005, s.SignPkcs7File(file.c_str()));
}

// --- cross-check with openssl cms -verify ----------------------------------------

struct CmsCase {
    std::map<std::string, std::string> override;
    const char* extra;  // openssl arguments
};

class SignCmsVerify : public ::testing::TestWithParam<CmsCase> {};

TEST_P(SignCmsVerify, OpensslAccepts) {
    VornSign s;
    ASSERT_EQ(0, load(s, "sign.p12", GetParam().override));
    const std::string text = "order 2330 buy 1 @ 600.5";
    ASSERT_EQ(0, s.SignPkcs7(text.c_str(), "BIG5"));
    const std::string sig = env().dir / "sig.b64", data = env().dir / "data.txt", out = env().dir / "out.txt";
    writeFile(sig, std::string(s.GetSignedPkcs7()) + "\n");
    writeFile(data, text);
    std::remove(out.c_str());
    std::string extra = GetParam().extra;
    if (extra == "-certfile SIGNER") extra = "-certfile '" + pkiPath("sign.pem") + "'";
    const std::string cmd = "openssl base64 -d -A -in '" + sig +
                            "' | openssl cms -verify -binary -inform DER -CAfile '" + pkiPath("chain.pem") + "' " +
                            extra + " -out '" + out + "' 2>&1";
    const std::string result = run(
        extra.find("-content") != std::string::npos ? "cd '" + env().dir.path() + "' && " + cmd : cmd);
    EXPECT_NE(std::string::npos, result.find("Verification successful")) << result;
    EXPECT_EQ(text, readFile(out));
}

INSTANTIATE_TEST_SUITE_P(
    Settings, SignCmsVerify,
    ::testing::Values(CmsCase{{}, ""}, CmsCase{{{"PKCS7.digest", "SHA1"}}, ""},
                      CmsCase{{{"PKCS7.addTimestamp", "true"}}, ""}, CmsCase{{{"PKCS7.addCert", "2"}}, ""},
                      CmsCase{{{"PKCS7.addPlainText", "false"}}, "-content data.txt"},
                      CmsCase{{{"PKCS7.addCert", "0"}, {"PKCS7.addTimestamp", "true"}}, "-certfile SIGNER"}));
