// cBytes / cChars: hexadecimal and Base64 in both directions, growth, aliasing,
// character-set conversion.
#include <gtest/gtest.h>

#include <ostream>

#include <climits>
#include <cstring>
#include <string>

#include "cBytes.h"
#include "cChars.h"

namespace {

std::string bytesOf(const cBytes& b) { return std::string(reinterpret_cast<const char*>(b.data()), b.length()); }
const unsigned char* u8(const char* s) { return reinterpret_cast<const unsigned char*>(s); }

struct B64Case {
    std::string plain, encoded;
};
std::ostream& operator<<(std::ostream& os, const B64Case& c) { return os << "\"" << c.encoded << "\""; }

// RFC 4648 test vectors plus bytes that exercise "+" and "/".
class Base64Vectors : public ::testing::TestWithParam<B64Case> {};

TEST_P(Base64Vectors, EncodesAndDecodes) {
    const auto& [plain, encoded] = GetParam();
    cChars text;
    ASSERT_TRUE(text.base64Encode(u8(plain.data()), static_cast<int>(plain.size())));
    EXPECT_EQ(text.str(), encoded);
    EXPECT_EQ(text.length() % 4, 0);
    cBytes back;
    ASSERT_TRUE(back.base64Decode(encoded.c_str()));
    EXPECT_EQ(bytesOf(back), plain);
    cBytes line;
    ASSERT_TRUE(line.base64DecodeLine(encoded.data(), encoded.size()));
    EXPECT_EQ(bytesOf(line), plain);
}

INSTANTIATE_TEST_SUITE_P(Rfc4648, Base64Vectors,
                         ::testing::Values(B64Case{"a", "YQ=="}, B64Case{"abc", "YWJj"}, B64Case{"f", "Zg=="},
                                           B64Case{"fo", "Zm8="}, B64Case{"foobar", "Zm9vYmFy"},
                                           B64Case{std::string("\xfb\xff\xbf", 3), "+/+/"},
                                           B64Case{std::string("\0\0\0\0", 4), "AAAAAA=="}));

class Base64Rejects : public ::testing::TestWithParam<std::string> {};

TEST_P(Base64Rejects, LeavesBufferEmpty) {
    cBytes b(u8("keep"), 4);
    EXPECT_FALSE(b.base64Decode(GetParam().c_str()));
    EXPECT_TRUE(b.empty());
    EXPECT_EQ(b.data(), nullptr);
    cBytes line(u8("keep"), 4);
    EXPECT_FALSE(line.base64DecodeLine(GetParam().data(), GetParam().size()));
    EXPECT_TRUE(line.empty());
}

INSTANTIATE_TEST_SUITE_P(Malformed, Base64Rejects,
                         ::testing::Values("", "Y", "YQ", "YQ=", "Y===", "=QQQ", "YQ==YQ==", "YW-j", "YW_j", "YQ=a",
                                           "YWJj\x80", "\r\n"));

TEST(Base64, ToleratesLineBreaksAndTakesAnExplicitLength) {
    cBytes b;
    ASSERT_TRUE(b.base64Decode("Zm9v\r\nYmFy\n"));
    EXPECT_EQ(bytesOf(b), "foobar");
    const char notTerminated[] = {'Y', 'W', 'J', 'j', 'Z', 'Z'};
    ASSERT_TRUE(b.base64Decode(notTerminated, 4));
    EXPECT_EQ(bytesOf(b), "abc");
}

TEST(Base64, OneLineFormRefusesWhatOnlyTheGeneralFormTakes) {
    cBytes b;
    for (const char* text : {"Zm9v\r\nYmFy", "Zm9vYmFy\n", " Zm9vYmFy", "Zm9v YmE="}) {
        EXPECT_FALSE(b.base64DecodeLine(text, std::strlen(text))) << text;
        EXPECT_TRUE(b.base64Decode(text)) << text;
    }
}

TEST(Base64, OneLineFormReusesItsStorageAndWipesWhatIsLeftOver) {
    cBytes b;
    ASSERT_TRUE(b.base64DecodeLine("Zm9vYmFyYmF6", 12));
    const unsigned char* storage = b.data();
    ASSERT_TRUE(b.base64DecodeLine("YQ==", 4));
    EXPECT_EQ(bytesOf(b), "a");
    EXPECT_EQ(b.data(), storage);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(storage + 1), 8), std::string(8, '\0'));
}

TEST(Base64, RoundTripsEveryLengthAndByte) {
    std::string data;
    for (int i = 0; i < 300; ++i) data.push_back(static_cast<char>(i * 37 + 11));
    for (size_t n = 1; n <= data.size(); n += 7) {
        cChars text;
        ASSERT_TRUE(text.base64Encode(u8(data.data()), static_cast<int>(n)));
        EXPECT_EQ(std::strchr(text.c_str(), '\n'), nullptr) << "one line";
        cBytes back;
        ASSERT_TRUE(back.base64Decode(text.c_str()));
        ASSERT_EQ(bytesOf(back), data.substr(0, n));
    }
}

TEST(Base64, EncodeRefusesNothing) {
    cChars text("old");
    EXPECT_FALSE(text.base64Encode(nullptr, 3));
    EXPECT_FALSE(text.base64Encode(u8("abc"), 0));
    EXPECT_EQ(text.c_str(), nullptr);
}

TEST(Hex, EncodesUpperCase) {
    const unsigned char in[] = {0x0A, 0xFF, 0x00, 0x5c};
    cChars text;
    ASSERT_TRUE(text.hexEncode(in, 2));
    EXPECT_EQ(text.str(), "0AFF");
    ASSERT_TRUE(text.hexEncode(in, 4));
    EXPECT_EQ(text.str(), "0AFF005C");
    EXPECT_FALSE(text.hexEncode(in, 0));
    EXPECT_FALSE(text.hexEncode(nullptr, 2));
}

struct HexCase {
    const char* text;
    bool ok;
    std::string bytes;
};
std::ostream& operator<<(std::ostream& os, const HexCase& c) {
    return os << "\"" << (c.text ? c.text : "(null)") << "\"";
}

class HexDecode : public ::testing::TestWithParam<HexCase> {};

TEST_P(HexDecode, Decodes) {
    const auto& c = GetParam();
    cBytes b;
    EXPECT_EQ(b.hexDecode(c.text), c.ok);
    EXPECT_EQ(bytesOf(b), c.bytes);
}

INSTANTIATE_TEST_SUITE_P(Cases, HexDecode,
                         ::testing::Values(HexCase{"0AFF", true, "\x0a\xff"}, HexCase{"0aff", true, "\x0a\xff"},
                                           HexCase{"00", true, std::string(1, '\0')}, HexCase{"0", false, ""},
                                           HexCase{"0G", false, ""}, HexCase{"", false, ""}, HexCase{"0A F", false, ""},
                                           HexCase{nullptr, false, ""}));

TEST(Hex, DecodeHonoursLength) {
    cBytes b;
    ASSERT_TRUE(b.hexDecode("ABCDxx", 4));
    EXPECT_EQ(bytesOf(b), "\xab\xcd");
}

TEST(CBytes, AppendGrowsAndSurvivesSelfAliasing) {
    cBytes b;
    std::string expect;
    for (int i = 0; i < 1000; ++i) {
        unsigned char c = static_cast<unsigned char>(i);
        ASSERT_TRUE(b.bytesAppend(&c, 1));
        expect.push_back(static_cast<char>(c));
    }
    EXPECT_EQ(bytesOf(b), expect);
    ASSERT_TRUE(b.bytesAppend(b.data(), b.length()));  // the source moves when the buffer grows
    EXPECT_EQ(bytesOf(b), expect + expect);
    EXPECT_FALSE(b.bytesAppend(nullptr, 1));
    EXPECT_FALSE(b.bytesAppend(u8("x"), -1));
    EXPECT_FALSE(b.bytesAppend(u8("x"), INT_MAX)) << "length would overflow";
    EXPECT_EQ(b.length(), 2000);
}

TEST(CBytes, InitZeroReverseAndCompare) {
    cBytes b;
    ASSERT_TRUE(b.bytesInit(5));
    EXPECT_EQ(bytesOf(b), std::string(5, '\0'));
    EXPECT_FALSE(b.bytesInit(-1));
    ASSERT_TRUE(b.reverseBytes(u8("abcde"), 5));
    EXPECT_EQ(bytesOf(b), "edcba");
    ASSERT_TRUE(b.reverseBytes(b.data() + 1, 3));
    EXPECT_EQ(bytesOf(b), "bcd");

    cBytes copy = b;
    EXPECT_TRUE(copy == b);
    EXPECT_NE(copy.data(), b.data()) << "deep copy";
    copy.bytesZero();
    EXPECT_EQ(bytesOf(copy), std::string(3, '\0'));
    EXPECT_TRUE(copy != b);
    cBytes moved = std::move(b);
    EXPECT_EQ(bytesOf(moved), "bcd");
    EXPECT_TRUE(b.empty());
    EXPECT_TRUE(cBytes() == cBytes(u8(""), 0));
}

TEST(CChars, AppendInitAndCopies) {
    cChars c;
    EXPECT_EQ(c.c_str(), nullptr);
    ASSERT_TRUE(c.charsAppend("ab"));
    ASSERT_TRUE(c.charsAppend("cd\0ef", 5));
    EXPECT_EQ(c.length(), 7);
    EXPECT_EQ(std::string(c.c_str(), 7), std::string("abcd\0ef", 7));
    ASSERT_TRUE(c.charsAppend(c.c_str(), 2));  // from its own storage
    EXPECT_EQ(c.view().substr(7), "ab");

    cChars copy(c);
    EXPECT_TRUE(copy == c);
    ASSERT_TRUE(copy.charsInit(3));
    EXPECT_EQ(copy.length(), 3);
    EXPECT_EQ(copy.c_str()[3], '\0');
    EXPECT_TRUE(copy != c);
    EXPECT_TRUE(cChars("") != cChars()) << "empty text differs from no text";
    c.charsSet(nullptr);
    EXPECT_EQ(c.c_str(), nullptr);
}

struct ConvertCase {
    const char* code;
    std::string utf8, encoded;
};
std::ostream& operator<<(std::ostream& os, const ConvertCase& c) { return os << c.code; }

// The signer's conversions from UTF-8 and the verifier's back.
class Convert : public ::testing::TestWithParam<ConvertCase> {};

TEST_P(Convert, ConvertsBothWays) {
    const auto& [code, utf8, encoded] = GetParam();
    cBytes out;
    ASSERT_TRUE(out.convert(utf8.data(), utf8.size(), code, "UTF-8"));
    EXPECT_EQ(bytesOf(out), encoded);
    ASSERT_TRUE(out.convert(utf8.data(), utf8.size(), code, "UTF-8"))
        << "a kept descriptor starts afresh (the byte-order mark again)";
    EXPECT_EQ(bytesOf(out), encoded);
    cChars back("old");
    ASSERT_TRUE(back.fromEncoding(u8(encoded.data()), encoded.size(), code));
    EXPECT_EQ(back.str(), utf8);
}

INSTANTIATE_TEST_SUITE_P(Codes, Convert,
                         ::testing::Values(ConvertCase{"BIG5", "\xe4\xb8\xad\xe6\x96\x87 ab", "\xa4\xa4\xa4\xe5 ab"},
                                           ConvertCase{"UTF-16LE", "\xe4\xb8\xad\xe6\x96\x87 ab",
                                                       std::string("\x2d\x4e\x87\x65 \0a\0b\0", 10)},
                                           ConvertCase{"UTF-32LE", "a", std::string("a\0\0\0", 4)},
                                           ConvertCase{"UTF-16", "a",
                                                       std::string("\xff\xfe"
                                                                   "a\0",
                                                                   4)}));

TEST(Convert, FailureLeavesTheBufferEmpty) {
    cBytes out(u8("keep"), 4);
    EXPECT_FALSE(out.convert("abc", 3, "NO-SUCH-CODE", "UTF-8"));
    EXPECT_TRUE(out.empty());
    ASSERT_TRUE(out.bytesSet(u8("keep"), 4));
    EXPECT_FALSE(out.convert("\xe4\xb8", 2, "UTF-16LE", "UTF-8")) << "cut-off UTF-8";
    EXPECT_TRUE(out.empty());
    ASSERT_TRUE(out.bytesSet(u8("keep"), 4));
    EXPECT_FALSE(out.convert("\xf0\x9f\x98\x80", 4, "BIG5", "UTF-8")) << "a character BIG5 lacks";
    EXPECT_TRUE(out.empty());
    cChars text("keep");
    EXPECT_FALSE(text.fromEncoding(u8("\xa4"), 1, "BIG5"));
    EXPECT_EQ(text.c_str(), nullptr);
}

TEST(Convert, GrowsForWideTargets) {
    const std::string text(300, 'x');
    cBytes out;
    ASSERT_TRUE(out.convert(text.data(), text.size(), "UTF-32LE", "UTF-8"));
    EXPECT_EQ(out.length(), 1200);
}

struct CmpCase {
    const char *a, *b;
    bool equal;
};
std::ostream& operator<<(std::ostream& os, const CmpCase& c) {
    return os << (c.a ? c.a : "(null)") << " vs " << (c.b ? c.b : "(null)");
}

class InsensitiveCompare : public ::testing::TestWithParam<CmpCase> {};

TEST_P(InsensitiveCompare, Compares) {
    EXPECT_EQ(cChars::insensitiveStringCompare(GetParam().a, GetParam().b), GetParam().equal);
}

INSTANTIATE_TEST_SUITE_P(Cases, InsensitiveCompare,
                         ::testing::Values(CmpCase{"big5", "BIG5", true}, CmpCase{"Utf-16le", "UTF-16LE", true},
                                           CmpCase{"", "", true}, CmpCase{"abc", "abcd", false},
                                           CmpCase{"abcd", "abc", false}, CmpCase{"abc", nullptr, false},
                                           CmpCase{nullptr, nullptr, false}, CmpCase{"a[", "A{", false}));

}  // namespace
