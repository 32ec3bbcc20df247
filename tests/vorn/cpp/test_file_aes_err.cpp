// cFile, cAesCipher and cErr.
#include <gtest/gtest.h>

#include <ostream>

#include <sys/stat.h>

#include <string>
#include <tuple>

#include "cAesCipher.h"
#include "cChars.h"
#include "cErr.h"
#include "cFile.h"
#include "vorn_test_util.h"

namespace {

using vorntest::TempDir;

const unsigned char* u8(const char* s) { return reinterpret_cast<const unsigned char*>(s); }
std::string hexOf(const unsigned char* p, int n) {
    cChars h;
    h.hexEncode(p, n);
    return h.str();
}

TEST(CFile, SaveLoadDeleteRoundTrip) {
    TempDir dir;
    std::string data("\x00\x01binary\r\n\xff", 11);
    cFile out(u8(data.data()), static_cast<int>(data.size()));
    std::string path = dir / "f.bin";
    ASSERT_TRUE(out.saveToFile(path.c_str()));
    EXPECT_TRUE(cFile::checkFileExist(path.c_str()));
    EXPECT_EQ(vorntest::readFile(path), data) << "binary mode, no line-end conversion";

    cFile in;
    ASSERT_TRUE(in.loadFromFile(path.c_str()));
    EXPECT_TRUE(in == out);
    EXPECT_TRUE(cFile::deleteFile(path.c_str()));
    EXPECT_FALSE(cFile::checkFileExist(path.c_str()));
    EXPECT_FALSE(in.loadFromFile(path.c_str()));
    EXPECT_TRUE(in.empty()) << "a failed load leaves nothing behind";
}

TEST(CFile, RefusesWhatCannotBeDone) {
    TempDir dir;
    cFile empty;
    EXPECT_FALSE(empty.saveToFile((dir / "x").c_str())) << "no content";
    cFile some(u8("x"), 1);
    EXPECT_FALSE(some.saveToFile(""));
    EXPECT_FALSE(some.saveToFile(nullptr));
    EXPECT_FALSE(some.saveToFile((dir / "missing/x").c_str()));
    EXPECT_FALSE(cFile::checkFileExist(dir.path().c_str())) << "a folder is not a file";
    EXPECT_FALSE(cFile::checkFileExist(nullptr));
    EXPECT_FALSE(some.loadFromFile(nullptr));
    EXPECT_FALSE(cFile::deleteFile((dir / "nothing").c_str()));
}

TEST(CFile, LoadsAnEmptyFile) {
    TempDir dir;
    vorntest::writeFile(dir / "empty", "");
    cFile f(u8("old"), 3);
    EXPECT_TRUE(f.loadFromFile((dir / "empty").c_str()));
    EXPECT_TRUE(f.empty());
    EXPECT_EQ(f.getSHA1(), "");
}

TEST(CFile, CreateFolderMakesEveryLevel) {
    TempDir dir;
    std::string deep = dir / "a/b//c/";
    ASSERT_TRUE(cFile::createFolder(deep.c_str(), 0755));
    struct stat st;
    ASSERT_EQ(::stat((dir / "a/b/c").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_TRUE(cFile::createFolder(deep.c_str(), 0755)) << "existing folders are fine";
    vorntest::writeFile(dir / "file", "x");
    EXPECT_FALSE(cFile::createFolder((dir / "file/sub").c_str(), 0755));
}

TEST(CFile, Digests) {
    cFile f(u8("abc"), 3);
    EXPECT_EQ(f.getSHA1(), "A9993E364706816ABA3E25717850C26C9CD0D89D");
    EXPECT_EQ(f.getSHA256(), "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
}

// FIPS-197 appendix C vectors: the first block of the ECB output is the
// known cipher text; the second is the PKCS#7 padding block.
struct FipsCase {
    int bits;
    const char* key;
    const char* cipher;
};
std::ostream& operator<<(std::ostream& os, const FipsCase& c) { return os << "AES-" << c.bits; }

class AesFips : public ::testing::TestWithParam<FipsCase> {};

TEST_P(AesFips, EcbMatchesKnownAnswer) {
    cBytes key, plain;
    ASSERT_TRUE(key.hexDecode(GetParam().key));
    ASSERT_TRUE(plain.hexDecode("00112233445566778899AABBCCDDEEFF"));
    cAesCipher aes;
    ASSERT_TRUE(aes.setKey(key.data(), nullptr, cAesCipher::ECB, GetParam().bits));
    cBytes out;
    ASSERT_EQ(aes.encrypt(plain, out), 0);
    ASSERT_EQ(out.length(), 32);
    EXPECT_EQ(hexOf(out.data(), 16), GetParam().cipher);
    cBytes back;
    ASSERT_EQ(aes.decrypt(out, back), 0);
    EXPECT_TRUE(back == plain);
}

INSTANTIATE_TEST_SUITE_P(
    Fips197, AesFips,
    ::testing::Values(FipsCase{128, "000102030405060708090A0B0C0D0E0F", "69C4E0D86A7B0430D8CDB78070B4C55A"},
                      FipsCase{192, "000102030405060708090A0B0C0D0E0F1011121314151617",
                               "DDA97CA4864CDFE06EAF70A0EC0D7191"},
                      FipsCase{256, "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F",
                               "8EA2B7CA516745BFEAFC49904B496089"}));

class AesModes : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(AesModes, RoundTripsAnyLength) {
    auto [mode, bits] = GetParam();
    unsigned char key[32], iv[16];
    for (int i = 0; i < 32; ++i) key[i] = static_cast<unsigned char>(i * 7 + 1);
    for (int i = 0; i < 16; ++i) iv[i] = static_cast<unsigned char>(0xA0 + i);
    cAesCipher aes;
    ASSERT_TRUE(aes.setKey(key, iv, mode, bits));
    for (int n : {1, 15, 16, 17, 512}) {
        std::string plain(static_cast<size_t>(n), 'p');
        unsigned char out[512 + 256];
        int outLen = n + bits;
        ASSERT_EQ(aes.encrypt(u8(plain.data()), n, out, &outLen), 0);
        if (mode != cAesCipher::CFB) {
            EXPECT_EQ(outLen, (n / 16 + 1) * 16) << "PKCS#7 padding";
        } else {
            EXPECT_EQ(outLen, n) << "stream mode, no padding";
        }
        unsigned char back[512 + 256];
        int backLen = outLen + bits;
        ASSERT_EQ(aes.decrypt(out, outLen, back, &backLen), 0);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(back), static_cast<size_t>(backLen)), plain);
    }
}

INSTANTIATE_TEST_SUITE_P(All, AesModes,
                         ::testing::Combine(::testing::Values(0, 1, 2), ::testing::Values(128, 192, 256)));

TEST(Aes, RejectsBadSettingsAndInput) {
    unsigned char key[32] = {1}, iv[16] = {2};
    cAesCipher aes;
    EXPECT_FALSE(aes.isKeySet());
    unsigned char out[64];
    int outLen = sizeof out;
    EXPECT_EQ(aes.encrypt(u8("x"), 1, out, &outLen), ERR_CIPHER_ALGORITHM) << "no key yet";
    EXPECT_FALSE(aes.setKey(key, iv, 3, 128));
    EXPECT_FALSE(aes.setKey(key, iv, -1, 128));
    EXPECT_FALSE(aes.setKey(key, iv, 0, 64));
    EXPECT_FALSE(aes.setKey(nullptr, iv, 0, 128));
    EXPECT_FALSE(aes.setKey(key, nullptr, cAesCipher::CBC, 128)) << "CBC needs an IV";
    EXPECT_EQ(aes.mode(), -1);
    ASSERT_TRUE(aes.setKey(key, nullptr, cAesCipher::ECB, 256));

    EXPECT_EQ(aes.encrypt(nullptr, 1, out, &outLen), ERR_PARAMETER);
    EXPECT_EQ(aes.encrypt(u8("x"), 0, out, &outLen), ERR_PARAMETER);
    outLen = 16;
    EXPECT_EQ(aes.encrypt(u8("0123456789abcdef"), 16, out, &outLen), ERR_MEMORY_NOT_ENOUGH) << "needs a pad block";
    outLen = sizeof out;
    EXPECT_EQ(aes.decrypt(u8("0123456789"), 10, out, &outLen), ERR_DECRYPT) << "not whole blocks";
}

struct MsgCase {
    int code;
    const char* message;
};
std::ostream& operator<<(std::ostream& os, const MsgCase& c) { return os << c.code; }

class ErrMessages : public ::testing::TestWithParam<MsgCase> {};

TEST_P(ErrMessages, TextThenCode) { EXPECT_EQ(cErr::getMessage(GetParam().code), GetParam().message); }

INSTANTIATE_TEST_SUITE_P(Table, ErrMessages,
                         ::testing::Values(MsgCase{0, "成功(0)"}, MsgCase{5005, "錯誤的參數(5005)"},
                                           MsgCase{5070, "使用者按下\"取消\"按鈕(5070)"},
                                           MsgCase{25632, "CRL 尚未取得, 無法驗證(25632)"},
                                           MsgCase{1, "錯誤碼未定義(1)"}, MsgCase{-1, "錯誤碼未定義(-1)"},
                                           MsgCase{5204, "錯誤碼未定義(5204)"}, MsgCase{5208, "錯誤碼未定義(5208)"},
                                           MsgCase{5051, "錯誤碼未定義(5051)"}));

// The shipped file is read the way the signing module reads it, and every
// line must agree with the compiled table.
TEST(ErrTable, AgreesWithShippedHeader) {
    std::string text = vorntest::readFile(std::string(VORN_SOURCE_DIR) + "/cError.h");
    ASSERT_FALSE(text.empty());
    int lines = 0;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos) << "every line ends in CRLF";
        std::string line = text.substr(pos, end - pos);
        pos = end + 2;
        ASSERT_EQ(line.rfind("#define ", 0), 0u) << line;
        size_t s1 = line.find(' '), s2 = line.find(' ', s1 + 1), s3 = line.find(' ', s2 + 1);
        std::string name = line.substr(s1 + 1, s2 - s1 - 1);
        int code = std::stoi(line.substr(s2 + 1, s3 - s2 - 1));
        std::string msg = line.substr(line.rfind("// ") + 3);
        ASSERT_NE(cErr::getText(code), nullptr) << code;
        EXPECT_EQ(cErr::getText(code), msg);
        EXPECT_EQ(cErr::getName(code), name);
        ++lines;
    }
    EXPECT_EQ(lines, cErr::count());
    EXPECT_EQ(lines, 87);
}

}  // namespace
