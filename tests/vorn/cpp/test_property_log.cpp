// cProperty parsing and typed reads; cLog levels, line format, daily files, threads.
#include <gtest/gtest.h>

#include <ostream>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "cLog.h"
#include "cProperty.h"
#include "vorn_test_util.h"

namespace {

using vorntest::TempDir;

TEST(Property, TrimsSkipsCommentsAndKeepsLastDuplicate) {
    cProperty p;
    ASSERT_TRUE(
        p.parse("  LOG.path   =   logs  \r\n"
                "; LOG.file = commented\n"
                "# also = comment\n"
                "no equals sign\n"
                "\tPFX.file\t=\tuser.pfx\x01\n"
                "PKCS7.digest = SHA1\n"
                "PKCS7.digest = SHA256\n"
                "url = a=b=c\n"
                " = nameless\n"
                "empty =\n"
                "last=1"));
    EXPECT_EQ(p.getProperty("LOG.path"), "logs");
    EXPECT_FALSE(p.hasProperty("; LOG.file"));
    EXPECT_FALSE(p.hasProperty("LOG.file"));
    EXPECT_EQ(p.getProperty("PFX.file"), "user.pfx");
    EXPECT_EQ(p.getProperty("PKCS7.digest"), "SHA256");
    EXPECT_EQ(p.getProperty("url"), "a=b=c") << "split at the first =";
    EXPECT_TRUE(p.hasProperty("empty"));
    EXPECT_EQ(p.getProperty("empty"), "");
    EXPECT_EQ(p.getProperty("last"), "1") << "no final line feed";
    EXPECT_EQ(p.size(), 6u);
}

TEST(Property, ParseFailuresClearTheMap) {
    cProperty p;
    ASSERT_TRUE(p.parse("a = 1"));
    EXPECT_FALSE(p.parse(""));
    EXPECT_EQ(p.size(), 0u);
    ASSERT_TRUE(p.parse("a = 1"));
    EXPECT_FALSE(p.parse(nullptr));
    EXPECT_FALSE(p.hasProperty("a"));
    EXPECT_FALSE(p.loadFromFile("/nonexistent/p7Sign.properties"));
}

TEST(Property, LongLinesAreKeptWhole) {
    std::string value(5000, 'v');
    cProperty p;
    ASSERT_TRUE(p.parse("k = " + value + "=tail\nnext = 2\n"));
    EXPECT_EQ(p.getProperty("k"), value + "=tail");
    EXPECT_EQ(p.getProperty("next"), "2");
    EXPECT_EQ(p.size(), 2u);
}

TEST(Property, QuotedValuesAreTakenAsWritten) {
    cProperty p;
    ASSERT_TRUE(p.parse("a = \" name \"\nb = \"\"x\"\"\nc = \"open\nd = \"\n"));
    EXPECT_EQ(p.getProperty("a"), " name ");
    EXPECT_EQ(p.getProperty("b"), "\"x\"");
    EXPECT_EQ(p.getProperty("c"), "\"open");
    EXPECT_EQ(p.getProperty("d"), "\"");
}

TEST(Property, LengthFormNeedsNoTerminator) {
    const char text[] = {'a', '=', '1', '\n', 'b', '=', '2'};
    cProperty p;
    ASSERT_TRUE(p.parse(text, 5));
    EXPECT_EQ(p.getProperty("a"), "1");
    EXPECT_FALSE(p.hasProperty("b"));
}

TEST(Property, KeysWithNullOrEmptyReadAsAbsent) {
    cProperty p;
    ASSERT_TRUE(p.parse("a = 1"));
    EXPECT_EQ(p.getProperty(nullptr), "");
    EXPECT_EQ(p.getProperty(""), "");
    EXPECT_EQ(p.getProperty("b"), "");
    EXPECT_FALSE(p.hasProperty(nullptr));
    EXPECT_EQ(p.getPropertyInt(nullptr), -1);
    EXPECT_FALSE(p.getPropertyBool(nullptr));
}

struct IntCase {
    const char* value;
    int expect;
};
std::ostream& operator<<(std::ostream& os, const IntCase& c) { return os << "\"" << c.value << "\""; }

class PropertyInt : public ::testing::TestWithParam<IntCase> {};

TEST_P(PropertyInt, Reads) {
    cProperty p;
    ASSERT_TRUE(p.parse(std::string("n = ") + GetParam().value + "\n"));
    EXPECT_EQ(p.getPropertyInt("n"), GetParam().expect);
}

INSTANTIATE_TEST_SUITE_P(Values, PropertyInt,
                         ::testing::Values(IntCase{"1", 1}, IntCase{"0", 0}, IntCase{"2", 2}, IntCase{"-7", -7},
                                           IntCase{"+3", 3}, IntCase{"12abc", 12}, IntCase{"2147483647", 2147483647},
                                           IntCase{"2147483648", -1}, IntCase{"-2147483649", -1},
                                           IntCase{"99999999999999999999", -1}, IntCase{"abc", -1}, IntCase{"", -1},
                                           IntCase{"-", -1}, IntCase{"0x10", 0}));

struct BoolCase {
    const char* value;
    bool expect;
};
std::ostream& operator<<(std::ostream& os, const BoolCase& c) { return os << "\"" << c.value << "\""; }

class PropertyBool : public ::testing::TestWithParam<BoolCase> {};

TEST_P(PropertyBool, OnlyTrueIsTrue) {
    cProperty p;
    ASSERT_TRUE(p.parse(std::string("b = ") + GetParam().value + "\n"));
    EXPECT_EQ(p.getPropertyBool("b"), GetParam().expect);
}

INSTANTIATE_TEST_SUITE_P(Values, PropertyBool,
                         ::testing::Values(BoolCase{"true", true}, BoolCase{"True", true}, BoolCase{"TRUE", true},
                                           BoolCase{"yes", false}, BoolCase{"1", false}, BoolCase{"truex", false},
                                           BoolCase{"", false}));

TEST(Property, PasswordsNeverReachTheLog) {
    _logger.setLogLevel(cLog::DEBUG);
    cProperty p;
    ASSERT_TRUE(p.parse("PFX.pswd = s3cr3t-one\nPFX.pswdB64 = czNjcjN0LXR3bw==\nPFX.file = visible.pfx\n"));
    EXPECT_EQ(p.getProperty("PFX.pswd"), "s3cr3t-one");
    EXPECT_EQ(p.getProperty("PFX.pswdB64"), "czNjcjN0LXR3bw==");
    p.getProperty("PFX.file");
    std::string log = _logger.getMemoryBuffer();
    _logger.setLogLevel(0);
    EXPECT_EQ(log.find("s3cr3t-one"), std::string::npos);
    EXPECT_EQ(log.find("czNjcjN0LXR3bw=="), std::string::npos);
    EXPECT_NE(log.find("visible.pfx"), std::string::npos) << "other values are logged";
    EXPECT_NE(log.find("Insert MAP Name = PFX.pswd"), std::string::npos);
}

TEST(Property, LoadsFromFileAndInitialisesALogger) {
    TempDir dir;
    std::string path = dir / "p7Sign.properties";
    vorntest::writeFile(path, "LOG.path = " + (dir / "logs") + "\nLOG.file = ca.log\n");
    cProperty p;
    ASSERT_TRUE(p.loadFromFile(path.c_str()));
    EXPECT_FALSE(p.initLogger("LOG.path", "LOG.missing"));
    // initLogger sets the process-wide logger once; a separate logger checks the folder creation.
    cLog log;
    EXPECT_TRUE(log.setLogFile(p.getProperty("LOG.path").c_str(), p.getProperty("LOG.file").c_str()));
    EXPECT_EQ(log.getBaseName(), dir / "logs/ca.log");
    EXPECT_TRUE(vorntest::run("test -d '" + (dir / "logs") + "' && echo yes") == "yes\n");
}

struct LevelCase {
    const char* name;
    int level;
};
std::ostream& operator<<(std::ostream& os, const LevelCase& c) { return os << (c.name ? c.name : "(null)"); }

class LogLevelNames : public ::testing::TestWithParam<LevelCase> {};

TEST_P(LogLevelNames, SetsByName) {
    cLog log;
    log.setLogLevel(55);
    log.setLogLevel(GetParam().name);
    EXPECT_EQ(log.getLogLevel(), GetParam().level);
}

INSTANTIATE_TEST_SUITE_P(Names, LogLevelNames,
                         ::testing::Values(LevelCase{"DEBUG", 10}, LevelCase{"debug", 10}, LevelCase{"Info", 20},
                                           LevelCase{"WARN", 30}, LevelCase{"error", 40}, LevelCase{"OFF", 100},
                                           LevelCase{"TRACE", 55}, LevelCase{"", 55}, LevelCase{nullptr, 55}));

TEST(Log, ThresholdsIncludingParam) {
    cLog log;
    log.setLogLevel(cLog::INFO);
    EXPECT_FALSE(log.isEnabled(cLog::DEBUG));
    EXPECT_TRUE(log.isEnabled(cLog::INFO));
    EXPECT_TRUE(log.isEnabled(cLog::PARAM));
    log.setLogLevel(cLog::WARN);
    EXPECT_FALSE(log.isEnabled(cLog::PARAM));
    EXPECT_TRUE(log.isEnabled(cLog::ERROR));
    log.setLogLevel(cLog::OFF);
    EXPECT_FALSE(log.isEnabled(cLog::ERROR));
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    for (size_t pos = 0, end; (end = text.find("\r\n", pos)) != std::string::npos; pos = end + 2)
        out.push_back(text.substr(pos, end - pos));
    return out;
}

TEST(Log, LineFormatAndValueForms) {
    cLog log;
    log.setLogLevel(cLog::DEBUG);
    log.logLevel(cLog::DEBUG, "plain");
    log.logLevel(cLog::PARAM, "text", "v");
    log.logLevel(cLog::INFO, "int", 10);
    log.logLevel(cLog::WARN, "neg", -1);
    log.logLevel(cLog::ERROR, "flag", true);
    log.logLevel(cLog::ERROR, "flag", false);
    log.logFormat(cLog::DEBUG, "載入 %s 檔成功", "P7B0");
    auto got = lines(log.getMemoryBuffer());
    ASSERT_EQ(got.size(), 7u);
    std::regex prefix(R"(^\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \(PID=\d+\) ([ A-Z]{5}) (.*)$)");
    const char* expect[][2] = {{"DEBUG", "plain"},
                               {"PARAM", "text = v"},
                               {" INFO", "int = 0x0000000A(10)"},
                               {" WARN", "neg = 0xFFFFFFFF(-1)"},
                               {"ERROR", "flag = true"},
                               {"ERROR", "flag = false"},
                               {"DEBUG", "載入 P7B0 檔成功"}};
    for (size_t i = 0; i < got.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(got[i], m, prefix)) << got[i];
        EXPECT_EQ(m[1].str(), expect[i][0]);
        EXPECT_EQ(m[2].str(), expect[i][1]);
    }
}

TEST(Log, ByteDumpLayout) {
    cLog log;
    log.setLogLevel(cLog::DEBUG);
    std::string data = "0123456789ABCDEF\x01z";
    log.logLevel(cLog::DEBUG, "der", reinterpret_cast<const unsigned char*>(data.data()), 18);
    auto got = lines(log.getMemoryBuffer());
    ASSERT_EQ(got.size(), 3u);
    EXPECT_TRUE(std::regex_search(got[0], std::regex(R"(der\(len=18, 0x[0-9A-F]+\)$)"))) << got[0];
    EXPECT_EQ(got[1], " 0x00000000 - 30 31 32 33 34 35 36 37 38 39 41 42 43 44 45 46 : 0123456789ABCDEF");
    EXPECT_EQ(got[2], " 0x00000010 - 01 7a" + std::string(14 * 3, ' ') + " : .z");
}

TEST(Log, MessagesBelowTheLevelAreDropped) {
    cLog log;
    log.setLogLevel(cLog::ERROR);
    log.logLevel(cLog::WARN, "dropped");
    log.logFormat(cLog::INFO, "%s", "dropped");
    log.logLevel(cLog::ERROR, "kept");
    auto got = lines(log.getMemoryBuffer());
    ASSERT_EQ(got.size(), 1u);
    EXPECT_NE(got[0].find("kept"), std::string::npos);
}

std::string todaysFile(const std::string& base) {
    time_t now = time(nullptr);
    struct tm lt;
    localtime_r(&now, &lt);
    char day[16];
    strftime(day, sizeof day, ".%Y%m%d", &lt);
    return base + day;
}

TEST(Log, DailyFileGetsEarlierMemoryLinesFirst) {
    TempDir dir;
    cLog log;
    log.setLogLevel(cLog::DEBUG);
    log.logLevel(cLog::INFO, "before file");
    EXPECT_FALSE(log.setLogFile("", "ca.log"));
    EXPECT_FALSE(log.setLogFile((dir / "logs").c_str(), nullptr));
    ASSERT_TRUE(log.setLogFile((dir / "logs").c_str(), "ca.log"));
    EXPECT_FALSE(log.setLogFile((dir / "other").c_str(), "x.log")) << "only the first file counts";
    log.logLevel(cLog::INFO, "after file");
    auto got = lines(vorntest::readFile(todaysFile(dir / "logs/ca.log")));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_NE(got[0].find("before file"), std::string::npos);
    EXPECT_NE(got[1].find("after file"), std::string::npos);
    EXPECT_EQ(log.getMemoryBuffer(), "");
}

TEST(Log, LinesFromManyThreadsStayWhole) {
    TempDir dir;
    cLog log;
    log.setLogLevel(cLog::DEBUG);
    ASSERT_TRUE(log.setLogFile(dir.path().c_str(), "mt.log"));
    const int threads = 4, perThread = 300;
    std::string payload(200, 'x');
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) log.logFormat(cLog::INFO, "T%d-%d %s", t, i, payload.c_str());
        });
    for (auto& th : pool) th.join();
    auto got = lines(vorntest::readFile(todaysFile(dir / "mt.log")));
    ASSERT_EQ(got.size(), static_cast<size_t>(threads * perThread));
    std::regex whole(R"(^.* \(PID=\d+\)  INFO T\d-\d+ x{200}$)");
    for (const auto& l : got) ASSERT_TRUE(std::regex_match(l, whole)) << l;
}

TEST(Log, MemoryBufferIsBounded) {
    cLog log;
    log.setLogLevel(cLog::DEBUG);
    std::string big(1000, 'm');
    for (int i = 0; i < 3000; ++i) log.logLevel(cLog::DEBUG, big.c_str());
    std::string mem = log.getMemoryBuffer();
    EXPECT_LE(mem.size(), 1u << 20);
    EXPECT_GT(mem.size(), 1u << 18);
    EXPECT_EQ(mem.rfind("\r\n"), mem.size() - 2);
    EXPECT_EQ(lines(mem).front().size(), lines(mem).back().size()) << "oldest lines dropped whole";
}

}  // namespace
