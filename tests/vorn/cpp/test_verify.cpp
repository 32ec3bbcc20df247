// The verifier: signature check, chain and CRL flags, content and getters,
// input forms, and signatures made by openssl cms.
#include <gtest/gtest.h>

#include <cstring>

#include <openssl/pkcs7.h>

#include "VornSign.h"
#include "VornVerify.h"
#include "cBytes.h"
#include "cChars.h"
#include "cTimerEntry.h"
#include "vorn_chain_util.h"

using namespace vorntest;

namespace {

struct Env {
    TempDir dir;
    std::string p7b = dir / "P7B";
    std::string crl = dir / "CRL";
    Env() {
        if (std::system(("mkdir -p '" + p7b + "' '" + crl + "'").c_str()) != 0) throw std::runtime_error("mkdir");
        copyFile(pkiPath("chain.p7b"), p7b + "/chain.p7b");
        copyFile(crlPath("inter.crl"), crl + "/inter.crl");
        copyFile(crlPath("root.crl"), crl + "/root.crl");
    }
};

Env& env() {
    static Env e;  // removed at exit
    return e;
}

std::string props(std::map<std::string, std::string> override) {
    std::map<std::string, std::string> kv = {{"LOG.level", "ERROR"}, {"PKCS7.digest", "SHA256"},
                                             {"PKCS7.addCert", "1"}, {"PKCS7.addPlainText", "true"},
                                             {"PFX.path", pkiDir()}, {"PFX.file", "sign.p12"}};
    for (const std::string& line : chainLines(env().p7b, env().crl)) {
        const auto eq = line.find(" = ");
        kv[line.substr(0, eq)] = line.substr(eq + 3);
    }
    for (auto& [k, v] : override) {
        if (v.empty()) kv.erase(k);
        else kv[k] = v;
    }
    static int n = 0;
    const std::string path = env().dir / ("vorn.properties." + std::to_string(++n));
    std::string text;
    for (auto& [k, v] : kv) text += k + " = " + v + "\n";
    writeFile(path, text);
    return path;
}

std::unique_ptr<VornVerify> verifier(bool chain, bool crl) {
    auto v = std::make_unique<VornVerify>();
    const std::string p = props({{"VerifyCertChain", chain ? "true" : "false"}, {"VerifyCRL", crl ? "true" : "false"}});
    EXPECT_EQ(0, v->LoadProperty(p.c_str()));
    return v;
}

// Base64 signature of text by the credential folder/pfx with the given settings.
std::string sign(const std::string& text, const std::string& pfx = "sign.p12", const std::string& folder = pkiDir(),
                 std::map<std::string, std::string> override = {}, const char* encoding = "BIG5") {
    override["PFX.file"] = pfx;
    override["PFX.path"] = folder;
    override["PFX.pswd"] = "1234";
    VornSign s;
    const std::string p = props(override);
    EXPECT_EQ(0, s.LoadProperty(p.c_str(), nullptr)) << pfx;
    EXPECT_EQ(0, s.SignPkcs7(text.c_str(), encoding)) << pfx;
    return s.GetSignedPkcs7() ? s.GetSignedPkcs7() : "";
}

std::string der(const std::string& b64) {
    cBytes b;
    EXPECT_TRUE(b.base64Decode(b64.c_str()));
    return std::string(reinterpret_cast<const char*>(b.data()), static_cast<std::size_t>(b.length()));
}

int verifyDer(VornVerify& v, const std::string& d) {
    return v.VerifyPkcs7Bin(reinterpret_cast<const unsigned char*>(d.data()), static_cast<int>(d.size()));
}

std::string contentOf(VornVerify& v) {
    int len = 0;
    if (v.GetVerifyContentData(nullptr, &len) != 5003) return "<none>";
    std::string out(static_cast<std::size_t>(len), '\0');
    EXPECT_EQ(0, v.GetVerifyContentData(reinterpret_cast<unsigned char*>(out.data()), &len));
    return out;
}

}  // namespace

TEST(VerifierLoad, ArgumentsAndOneReadPerObject) {
    VornVerify v;
    EXPECT_EQ(5005, v.LoadProperty(nullptr));
    EXPECT_EQ(5005, v.LoadProperty(""));
    EXPECT_EQ(1202, v.LoadProperty((env().dir / "absent").c_str()));
    EXPECT_FALSE(v.isLoaded());
    EXPECT_EQ(
        0, v.LoadProperty(
               props({{"VerifyCertChain", "TRUE"}, {"VerifyCRL", "yes"}, {"CRL.updateTimer", "6:5, 23:59"}}).c_str()));
    EXPECT_TRUE(v.isLoaded());
    {
        std::lock_guard guard(globalTimerMutex);
        ASSERT_EQ(2u, globalTimerList.size());
        EXPECT_EQ("06:05", globalTimerList.begin()->first);
        EXPECT_EQ("23:59", globalTimerList.rbegin()->first);
    }
    EXPECT_TRUE(v.getVerifyCertChain());
    EXPECT_FALSE(v.getVerifyCrl());
    EXPECT_EQ(0, v.LoadProperty(props({{"VerifyCertChain", "false"}, {"VerifyCRL", "true"}}).c_str()));
    EXPECT_TRUE(v.getVerifyCertChain());  // the first file holds
    EXPECT_FALSE(v.getVerifyCrl());
}

TEST(Verify, RoundTripWithContentAndSigner) {
    auto v = verifier(false, false);
    for (auto getter :
         {&VornVerify::GetVerifyCertB64, &VornVerify::GetVerifyCertSubject, &VornVerify::GetVerifyContent})
        EXPECT_EQ(nullptr, ((*v).*getter)());
    const std::string sig = sign("A1231.2.3.4x1702000000.5");
    ASSERT_EQ(0, v->VerifyPkcs7(sig.c_str()));
    EXPECT_EQ("A1231.2.3.4x1702000000.5", contentOf(*v));
    EXPECT_STREQ("A1231.2.3.4x1702000000.5", v->GetVerifyContent());
    VornSign s;
    ASSERT_EQ(0, s.LoadProperty(props({{"PFX.pswd", "1234"}}).c_str(), nullptr));
    ASSERT_EQ(0, s.SignPkcs7("x", "BIG5"));
    EXPECT_STREQ(s.GetSignerCertSubject(), v->GetVerifyCertSubject());
    EXPECT_STREQ(s.GetSignerCertSubjectCN(), v->GetVerifyCertSubjectCN());
    EXPECT_STREQ(s.GetSignerCertIssuer(), v->GetVerifyCertIssuer());
    EXPECT_STREQ(s.GetSignerCertSerial(), v->GetVerifyCertSerial());
    EXPECT_STREQ(s.GetSignerCertFinger(), v->GetVerifyCertFinger());
    EXPECT_STREQ(s.GetSignerCertNotBefore(), v->GetVerifyCertNotBefore());
    EXPECT_STREQ(s.GetSignerCertNotAfter(), v->GetVerifyCertNotAfter());
    EXPECT_STREQ(s.GetSignerCertB64(), v->GetVerifyCertB64());
    EXPECT_STREQ("成功(0)", v->GetErrorMsg());
}

struct FlagCase {
    const char* pfx;
    bool crlFolder;  // pfx from the crl/ set
    bool chain, crl;
    int code;
    int addCert = 1;
};

class VerifyFlags : public ::testing::TestWithParam<FlagCase> {};

TEST_P(VerifyFlags, Code) {
    const FlagCase& c = GetParam();
    const std::string sig = sign("flags", c.pfx, c.crlFolder ? crlDir() : pkiDir(),
                                 {{"PKCS7.addCert", std::to_string(c.addCert)}});
    auto v = verifier(c.chain, c.crl);
    EXPECT_EQ(c.code, v->VerifyPkcs7(sig.c_str())) << c.pfx << " chain=" << c.chain << " crl=" << c.crl;
    EXPECT_EQ(c.code, v->GetErrorCode());
    EXPECT_EQ("flags", contentOf(*v));  // the signature itself was good in every case
}

INSTANTIATE_TEST_SUITE_P(
    Matrix, VerifyFlags,
    ::testing::Values(
        FlagCase{"sign.p12", false, false, false, 0}, FlagCase{"sign.p12", false, true, false, 0},
        FlagCase{"sign.p12", false, false, true, 0}, FlagCase{"sign.p12", false, true, true, 0},
        FlagCase{"rv_keyCompromise.p12", true, false, false, 0}, FlagCase{"rv_keyCompromise.p12", true, true, false, 0},
        FlagCase{"rv_keyCompromise.p12", true, false, true, 5021},
        FlagCase{"rv_keyCompromise.p12", true, true, true, 5021},
        FlagCase{"rv_certificateHold.p12", true, true, true, 5026},
        FlagCase{"rv_superseded.p12", true, true, true, 5024}, FlagCase{"rv_removeFromCRL.p12", true, true, true, 0},
        FlagCase{"rv_noreason.p12", true, true, true, 5020}, FlagCase{"stranger.p12", true, false, false, 0},
        FlagCase{"stranger.p12", true, true, false, 5202}, FlagCase{"forged.p12", true, true, false, 5202},
        FlagCase{"ecdsa.p12", true, true, true, 0}, FlagCase{"sign.p12", false, false, false, 0, 0},
        FlagCase{"sign.p12", false, true, false, 5052, 0}, FlagCase{"sign.p12", false, false, true, 5052, 0},
        FlagCase{"sign.p12", false, true, true, 0, 2}));

TEST(Verify, MalformedInput) {
    auto v = verifier(false, false);
    const std::string good = der(sign("abc"));
    std::string badSig = good;
    badSig[badSig.size() - 5] ^= 0x01;  // inside the signature value
    std::string badContent = good;
    const auto at = badContent.find("abc");
    ASSERT_NE(std::string::npos, at);
    badContent[at] = 'x';

    vorn::Pkcs7Ptr data(PKCS7_new());
    PKCS7_set_type(data.get(), NID_pkcs7_data);
    ASN1_OCTET_STRING_set(data->d.data, reinterpret_cast<const unsigned char*>("abc"), 3);
    unsigned char* raw = nullptr;
    const int rawLen = i2d_PKCS7(data.get(), &raw);
    const std::string dataDer(reinterpret_cast<char*>(raw), static_cast<std::size_t>(rawLen));
    OPENSSL_free(raw);

    struct Case {
        const char* what;
        std::string input;
        int code;
    } cases[] = {
        {"signature", badSig, 5062},
        {"content", badContent, 5062},
        {"not DER", "not a signature", 5042},
        {"truncated", good.substr(0, good.size() / 2), 5042},
        {"data, not signedData", dataDer, 5042},
        {"detached", der(sign("abc", "sign.p12", pkiDir(), {{"PKCS7.addPlainText", "false"}})), 5051},
        {"a chain file (no content, no signer)", readFile(pkiPath("chain.p7b")), 5051},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.code, verifyDer(*v, c.input)) << c.what;
        EXPECT_EQ(nullptr, v->GetVerifyCertSubject()) << c.what;
        EXPECT_EQ(nullptr, v->GetVerifyContent()) << c.what;
        int len = 10;
        unsigned char buf[10];
        EXPECT_EQ(5051, v->GetVerifyContentData(buf, &len)) << c.what;
    }
    EXPECT_EQ(5005, v->VerifyPkcs7Bin(nullptr, 3));
    EXPECT_EQ(5005, v->VerifyPkcs7Bin(reinterpret_cast<const unsigned char*>("x"), 0));
    EXPECT_EQ(5005, v->VerifyPkcs7(nullptr));
    EXPECT_EQ(5005, v->VerifyPkcs7(""));
    EXPECT_EQ(5008, v->VerifyPkcs7("@@@@"));
    EXPECT_EQ(5008, v->VerifyPkcs7("QUJD*"));
}

TEST(Verify, ContentBufferCapacity) {
    auto v = verifier(false, false);
    ASSERT_EQ(0, v->VerifyPkcs7(sign("0123456789").c_str()));
    unsigned char buf[16] = {};
    int len = 9;
    EXPECT_EQ(5003, v->GetVerifyContentData(buf, &len));
    EXPECT_EQ(10, len);
    EXPECT_EQ(0, buf[0]);
    len = 0;
    EXPECT_EQ(5003, v->GetVerifyContentData(nullptr, &len));
    EXPECT_EQ(10, len);
    len = 10;
    EXPECT_EQ(0, v->GetVerifyContentData(buf, &len));
    EXPECT_EQ(10, len);
    EXPECT_EQ(0, std::memcmp(buf, "0123456789", 10));
    EXPECT_EQ(5005, v->GetVerifyContentData(buf, nullptr));
}

struct TextCase {
    const char* text;
    const char* encoding;
};

class VerifyText : public ::testing::TestWithParam<TextCase> {};

TEST_P(VerifyText, ComesBackAsUtf8) {
    auto v = verifier(false, false);
    ASSERT_EQ(0, v->VerifyPkcs7(sign(GetParam().text, "sign.p12", pkiDir(), {}, GetParam().encoding).c_str()));
    EXPECT_STREQ(GetParam().text, v->GetVerifyContent());
}

INSTANTIATE_TEST_SUITE_P(Encodings, VerifyText,
                         ::testing::Values(TextCase{"abc", "BIG5"}, TextCase{"abcd", "BIG5"}, TextCase{"測試", "BIG5"},
                                           TextCase{"下單 2330", "BIG5"}, TextCase{"abc", "UTF-16LE"},
                                           TextCase{"測試 ok", "UTF-16LE"}, TextCase{"測試", "UTF-16LE"}));

TEST(Verify, FileForms) {
    auto v = verifier(false, false);
    const std::string sig = sign("file forms");
    const std::string d = env().dir / "sig";
    writeFile(d + ".der", der(sig));
    writeFile(d + ".b64", sig + "\n");
    std::string wrapped;
    for (std::size_t i = 0; i < sig.size(); i += 64) wrapped += sig.substr(i, 64) + "\n";
    writeFile(d + ".pem", "-----BEGIN PKCS7-----\n" + wrapped + "-----END PKCS7-----\n");
    writeFile(d + ".bad", "-----BEGIN PKCS7-----\n***\n-----END PKCS7-----\n");
    for (const char* ext : {".der", ".b64", ".pem"}) {
        EXPECT_EQ(0, v->VerifyPkcs7File((d + ext).c_str())) << ext;
        EXPECT_EQ("file forms", contentOf(*v)) << ext;
    }
    EXPECT_EQ(0, v->VerifyPkcs7(wrapped.c_str()));  // line breaks are tolerated
    EXPECT_EQ(5008, v->VerifyPkcs7File((d + ".bad").c_str()));
    EXPECT_EQ(1002, v->VerifyPkcs7File((d + ".absent").c_str()));
    EXPECT_EQ(5005, v->VerifyPkcs7File(nullptr));
    EXPECT_EQ(5005, v->VerifyPkcs7File(""));
}

// --- signatures made by openssl cms --------------------------------------------

struct CmsCase {
    const char* what;
    const char* pem;  // signer, from pki1's set
    const char* args;
    bool chain;
    int code;
};

class VerifyOpenssl : public ::testing::TestWithParam<CmsCase> {};

TEST_P(VerifyOpenssl, Accepts) {
    const CmsCase& c = GetParam();
    sign("register the in-process signer");
    const std::string data = env().dir / "cms-data.txt", out = env().dir / "cms.der";
    writeFile(data, "signed by openssl");
    std::remove(out.c_str());
    const std::string base = pkiDir() + "/" + c.pem;
    std::string args = c.args;
    if (args == "-certfile CHAIN") args = "-certfile '" + pkiPath("chain.pem") + "'";
    const std::string cmd = "openssl cms -sign -binary -nodetach -in '" + data + "' -signer '" + base +
                            ".pem' -inkey '" + base + ".key' -outform DER " + args + " -out '" + out + "' 2>&1";
    ASSERT_EQ("", run(cmd)) << cmd;
    auto v = verifier(c.chain, false);
    EXPECT_EQ(c.code, verifyDer(*v, readFile(out))) << c.what;
    EXPECT_EQ("signed by openssl", contentOf(*v)) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Forms, VerifyOpenssl,
                         ::testing::Values(CmsCase{"defaults", "sign", "", true, 0},
                                           CmsCase{"no attributes", "sign", "-noattr", true, 0},
                                           CmsCase{"no capabilities", "sign", "-nosmimecap", false, 0},
                                           CmsCase{"sha1", "sign", "-md sha1", true, 0},
                                           CmsCase{"sha512", "sign", "-md sha512", false, 0},
                                           CmsCase{"sha384 no attributes", "sign", "-md sha384 -noattr", false, 0},
                                           CmsCase{"streamed BER", "sign", "-stream", true, 0},
                                           CmsCase{"with chain", "sign", "-certfile CHAIN", true, 0},
                                           CmsCase{"no certificates, known signer", "sign", "-nocerts", false, 0},
                                           CmsCase{"no certificates, flags on", "sign", "-nocerts", true, 5052},
                                           CmsCase{"other signer", "nonrep", "", true, 0}));

TEST(VerifyOpensslMore, UnknownSignerWithoutCertificatesFails) {
    const std::string data = env().dir / "cms-data2.txt", out = env().dir / "cms2.der";
    writeFile(data, "x");
    const std::string base = pkiDir() + "/edge";
    ASSERT_EQ("", run("openssl cms -sign -binary -nodetach -nocerts -in '" + data + "' -signer '" + base +
                      ".pem' -inkey '" + base + ".key' -outform DER -out '" + out + "' 2>&1"));
    auto v = verifier(false, false);
    EXPECT_EQ(5062, verifyDer(*v, readFile(out)));
}

TEST(VerifyOpensslMore, TwoSignersBothChecked) {
    const std::string data = env().dir / "cms-data3.txt", out = env().dir / "cms3.der";
    writeFile(data, "two");
    const std::string a = pkiDir() + "/sign", b = crlPath("rv_keyCompromise.pem");
    const std::string bk = crlPath("rv_keyCompromise.key");
    ASSERT_EQ("", run("openssl cms -sign -binary -nodetach -in '" + data + "' -signer '" + a + ".pem' -inkey '" + a +
                      ".key' -signer '" + b + "' -inkey '" + bk + "' -outform DER -out '" + out + "' 2>&1"));
    auto plain = verifier(false, false);
    EXPECT_EQ(0, verifyDer(*plain, readFile(out)));
    auto crl = verifier(true, true);
    EXPECT_EQ(5021, verifyDer(*crl, readFile(out)));
    EXPECT_STREQ("Jo Lee", plain->GetVerifyCertSubjectCN());  // the first signer
}

TEST(VerifyOpensslMore, AttributesMustMatchTheContent) {
    // Same signed attributes over other content: the message digest no longer matches.
    const std::string data = env().dir / "cms-data4.txt", out = env().dir / "cms4.der";
    writeFile(data, "AAAA");
    const std::string a = pkiDir() + "/sign";
    ASSERT_EQ("", run("openssl cms -sign -binary -nodetach -in '" + data + "' -signer '" + a + ".pem' -inkey '" + a +
                      ".key' -outform DER -out '" + out + "' 2>&1"));
    std::string d = readFile(out);
    const auto at = d.find("AAAA");
    ASSERT_NE(std::string::npos, at);
    d[at] = 'B';
    auto v = verifier(false, false);
    EXPECT_EQ(5062, verifyDer(*v, d));
}

TEST(Verify, SignersAlternateThroughTheCache) {
    auto v = verifier(true, true);
    const std::string a = sign("a"), b = sign("b", "rv_keyCompromise.p12", crlDir()), c = sign("c", "nonrep.p12");
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(0, v->VerifyPkcs7(a.c_str()));
        EXPECT_STREQ("Jo Lee", v->GetVerifyCertSubjectCN());
        EXPECT_EQ(5021, v->VerifyPkcs7(b.c_str()));
        EXPECT_EQ(0, v->VerifyPkcs7(c.c_str()));
        EXPECT_STREQ("Nonrep User", v->GetVerifyCertSubjectCN());
    }
}
