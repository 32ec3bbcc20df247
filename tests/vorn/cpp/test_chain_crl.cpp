// Chain store, CRL files and lists, refresh schedule and thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <ctime>
#include <thread>

#include "cCertChainList.h"
#include "cCrlFileEntry.h"
#include "cCrlList.h"
#include "cLog.h"
#include "cTimerEntry.h"
#include "cUpdateCrlThread.h"
#include "cX509.h"
#include "vorn_chain_util.h"

using namespace vorntest;

namespace {

std::string logSince(std::size_t& mark) {
    const std::string all = _logger.getMemoryBuffer();
    const std::string tail = all.size() > mark ? all.substr(mark) : std::string();
    mark = all.size();
    return tail;
}

void clearTimers() {
    std::lock_guard guard(globalTimerMutex);
    globalTimerList.clear();
}

std::vector<std::string> timerKeys() {
    std::lock_guard guard(globalTimerMutex);
    std::vector<std::string> keys;
    for (const auto& [k, e] : globalTimerList) keys.push_back(k);
    return keys;
}

// A chain folder and a CRL folder of its own, with the property set over them.
struct ChainSetup {
    TempDir dir;
    std::string p7b = dir / "p7b";
    std::string crl = dir / "crl";
    cProperty prop;
    ChainSetup(const std::string& chainName = "chain.p7b") {
        EXPECT_EQ(0, std::system(("mkdir -p '" + p7b + "' '" + crl + "'").c_str()));
        EXPECT_TRUE(copyFile(pkiPath("chain.p7b"), p7b + "/" + chainName));
        EXPECT_TRUE(copyFile(crlPath("inter.crl"), crl + "/inter.crl"));
        EXPECT_TRUE(copyFile(crlPath("root.crl"), crl + "/root.crl"));
        setLines(chainLines(p7b, crl));
    }
    void setLines(const std::vector<std::string>& lines) {
        std::string text;
        for (const auto& l : lines) text += l + "\n";
        ASSERT_TRUE(prop.parse(text.c_str()));
    }
};

// A list of the generated set, "garbage", or "flipped" (inter.crl with a bit of its signature changed).
std::string crlBytes(const std::string& name) {
    if (name == "garbage") return "not a revocation list";
    std::string der = readFile(crlPath(name == "flipped" ? "inter.crl" : name));
    if (name == "flipped") der.back() ^= 0x01;
    return der;
}

}  // namespace

// --- schedule -------------------------------------------------------------

struct ScheduleCase {
    const char* text;
    std::vector<std::string> keys;
};

class ScheduleTest : public ::testing::TestWithParam<ScheduleCase> {};

TEST_P(ScheduleTest, NormalisesValidTimes) {
    clearTimers();
    cCertChainList list;
    list.resetCrlTimer(GetParam().text);
    EXPECT_EQ(GetParam().keys, timerKeys());
}

INSTANTIATE_TEST_SUITE_P(Texts, ScheduleTest,
                         ::testing::Values(ScheduleCase{"6:5, 23:59", {"06:05", "23:59"}}, ScheduleCase{"24:00", {}},
                                           ScheduleCase{"12:60", {}},
                                           ScheduleCase{" 1:02 ,  ,3:04", {"01:02", "03:04"}},
                                           ScheduleCase{"1:00,2:00,3:00,4:00", {"01:00", "02:00", "03:00"}},
                                           ScheduleCase{"abc", {}}, ScheduleCase{":30", {}}, ScheduleCase{"7", {}},
                                           ScheduleCase{"0:0", {"00:00"}}, ScheduleCase{"5:07,05:7", {"05:07"}},
                                           ScheduleCase{"", {}}));

TEST(Schedule, SameScheduleTwiceChangesNothing) {
    clearTimers();
    cCertChainList list;
    _logger.setLogLevel(cLog::DEBUG);
    list.resetCrlTimer("6:5,23:59");
    std::time_t before;
    {
        std::lock_guard guard(globalTimerMutex);
        before = globalTimerList.at("06:05").getNextExecuteTime();
        globalTimerList.at("06:05").setNextExecuteTime(before + 3600);  // mark the entry
    }
    std::size_t mark = 0;
    logSince(mark);
    list.resetCrlTimer(" 06:05 , 23:59");
    EXPECT_NE(std::string::npos, logSince(mark).find("排程設定值沒有異動"));
    {
        std::lock_guard guard(globalTimerMutex);
        EXPECT_EQ(before + 3600, globalTimerList.at("06:05").getNextExecuteTime());
    }
    list.resetCrlTimer("06:05");
    EXPECT_NE(std::string::npos, logSince(mark).find("部份排程設定值有異動"));
    EXPECT_EQ(std::vector<std::string>{"06:05"}, timerKeys());
}

TEST(TimerEntry, NextRunIsWithinTheComingDay) {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    for (int offset : {-120, 120}) {  // two minutes ago: tomorrow; in two minutes: today
        std::time_t t = now + offset;
        std::tm at{};
        localtime_r(&t, &at);
        cTimerEntry e(at.tm_hour, at.tm_min, at.tm_sec);
        EXPECT_GT(e.getNextExecuteTime(), now);
        EXPECT_LE(e.getNextExecuteTime(), now + 86400 + 3600);
        if (offset > 0 && at.tm_mday == tm.tm_mday) {
            EXPECT_EQ(t, e.getNextExecuteTime());
        }
    }
}

TEST(TimerEntry, MovesByHoursAndIsUpStrictlyAfter) {
    cTimerEntry e(3, 0, 0);
    const std::time_t next = e.getNextExecuteTime();
    EXPECT_FALSE(e.setNextExecuteTime(0));
    EXPECT_EQ(next, e.getNextExecuteTime());
    EXPECT_TRUE(e.setNextExecuteTime(24));
    const std::time_t later = e.getNextExecuteTime();
    EXPECT_GE(later - next, 23 * 3600);  // a DST change may shorten or lengthen the day
    EXPECT_LE(later - next, 25 * 3600);
    EXPECT_FALSE(e.checkIsTimeUp(later));
    EXPECT_TRUE(e.checkIsTimeUp(later + 1));
    EXPECT_FALSE(e.checkIsTimeUp());
}

TEST(RefreshThread, RunsDueEntriesAndMovesThemADayAhead) {
    clearTimers();
    const std::time_t now = std::time(nullptr);
    {
        std::lock_guard guard(globalTimerMutex);
        cTimerEntry due(1, 0, 0), notDue(2, 0, 0);
        due.setNextExecuteTime(now - 3 * 86400 - 10);  // slept through three days
        notDue.setNextExecuteTime(now + 600);
        globalTimerList.emplace("01:00", due);
        globalTimerList.emplace("02:00", notDue);
    }
    std::atomic<bool> busy{true};
    EXPECT_EQ(1, cUpdateCrlThread::runDueTimers(busy));
    EXPECT_FALSE(busy.load());
    {
        std::lock_guard guard(globalTimerMutex);
        EXPECT_GT(globalTimerList.at("01:00").getNextExecuteTime(), now);
        EXPECT_LE(globalTimerList.at("01:00").getNextExecuteTime(), now + 86400);
        EXPECT_EQ(now + 600, globalTimerList.at("02:00").getNextExecuteTime());
    }
    EXPECT_EQ(0, cUpdateCrlThread::runDueTimers(busy));
    clearTimers();
}

TEST(RefreshThread, ScansAsSoonAsItStarts) {
    clearTimers();
    const std::time_t now = std::time(nullptr);
    {
        std::lock_guard guard(globalTimerMutex);
        cTimerEntry due(4, 0, 0);
        due.setNextExecuteTime(now - 5);
        globalTimerList.emplace("04:00", due);
    }
    cUpdateCrlThread thread(20);
    bool moved = false;
    for (int i = 0; i < 100 && !moved; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::lock_guard guard(globalTimerMutex);
        moved = globalTimerList.at("04:00").getNextExecuteTime() > now;
    }
    EXPECT_TRUE(moved);
    thread.waitForUnlock();
    clearTimers();
}

TEST(RefreshThread, IntervalHasAFloorAndUnlockDoesNotWaitWhenIdle) {
    cUpdateCrlThread thread(5);
    EXPECT_EQ(20, thread.getInterval());
    EXPECT_FALSE(thread.isBusy());
    const auto t0 = std::chrono::steady_clock::now();
    thread.waitForUnlock();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(900));
}

// --- one CRL file -----------------------------------------------------------

TEST(CrlFile, LoadsEntriesAndNextUpdateInTaiwanTime) {
    cCrlFileEntry good("inter.crl", crlPath("inter.crl"));
    ASSERT_EQ(0, good.loadCrlFile());
    EXPECT_EQ(9u, good.revokedCount());
    EXPECT_EQ(14u, good.getNextUpdate().size());

    cCrlFileEntry expired("x", crlPath("inter-expired.crl"));  // PEM
    ASSERT_EQ(0, expired.loadCrlFile());
    EXPECT_EQ("20200101080000", expired.getNextUpdate());

    cCrlFileEntry missing("x", crlDir() + "/no-such.crl");
    EXPECT_EQ(1002, missing.loadCrlFile());
    EXPECT_FALSE(missing.isLoaded());
    auto cert = loadPem(crlPath("rv_keyCompromise.pem"));
    EXPECT_EQ(0, missing.verifyCrl(cert.get()));  // nothing parsed: nothing revoked

    cCrlFileEntry garbage("x", pkiPath("sign.pem"));
    EXPECT_EQ(5041, garbage.loadCrlFile());
    EXPECT_EQ(5005, good.verifyCrl(nullptr));
}

struct ReasonCase {
    const char* user;
    int code;
};

class RevocationTest : public ::testing::TestWithParam<ReasonCase> {};

TEST_P(RevocationTest, ReasonGivesCode) {
    cCrlFileEntry crl("inter.crl", crlPath("inter.crl"));
    ASSERT_EQ(0, crl.loadCrlFile());
    auto cert = loadPem(crlPath(std::string(GetParam().user) + ".pem"));
    ASSERT_TRUE(cert);
    EXPECT_EQ(GetParam().code, crl.verifyCrl(cert.get()));
}

INSTANTIATE_TEST_SUITE_P(Reasons, RevocationTest,
                         ::testing::Values(ReasonCase{"good", 0}, ReasonCase{"rv_unspecified", 5020},
                                           ReasonCase{"rv_keyCompromise", 5021}, ReasonCase{"rv_CACompromise", 5022},
                                           ReasonCase{"rv_affiliationChanged", 5023}, ReasonCase{"rv_superseded", 5024},
                                           ReasonCase{"rv_cessationOfOperation", 5025},
                                           ReasonCase{"rv_certificateHold", 5026}, ReasonCase{"rv_removeFromCRL", 0},
                                           ReasonCase{"rv_noreason", 5020}));

TEST(CrlFile, ReasonsWithoutTheirOwnCodeAreRevoked) {
    for (int reason : {9, 10, 7, 11, cCrlFileEntry::REASON_NONE}) EXPECT_EQ(5020, cCrlFileEntry::reasonToCode(reason));
    EXPECT_STREQ("CRL_REASON_PRIVILEGE_WITHDRAWN", cCrlFileEntry::reasonName(9));
    EXPECT_STREQ("CRL_REASON_AA_COMPROMISE", cCrlFileEntry::reasonName(10));
    EXPECT_STREQ("CRL_REASON_NONE", cCrlFileEntry::reasonName(cCrlFileEntry::REASON_NONE));
}

TEST(CrlFile, ExpiryIsJudgedInTaiwanTimeAndSticks) {
    cCrlFileEntry crl("x", crlPath("inter-expired.crl"));
    ASSERT_EQ(0, crl.loadCrlFile());
    auto good = loadPem(crlPath("good.pem"));
    auto revoked = loadPem(crlPath("rv_superseded.pem"));
    // nextUpdate is 2020-01-01 00:00:00Z, i.e. 08:00:00 in Taiwan.
    EXPECT_EQ(0, crl.verifyCrl(good.get(), "20200101080000"));
    EXPECT_EQ(5024, crl.verifyCrl(revoked.get(), "20200101080000"));
    EXPECT_FALSE(crl.isExpired());
    EXPECT_EQ(5030, crl.verifyCrl(good.get(), "20200101080001"));
    EXPECT_TRUE(crl.isExpired());
    EXPECT_EQ(5030, crl.verifyCrl(good.get(), "20190601000000"));  // the mark stays
    EXPECT_EQ(5030, crl.verifyCrl(good.get()));
}

// --- the CRL list of a chain -------------------------------------------------

TEST(CrlList, ConfigurationErrors) {
    ChainSetup s;
    struct Case {
        std::vector<std::string> lines;
        int rc;
        std::size_t files;
    } cases[] = {
        {{"P7B0.crlFile0 = inter.crl"}, 5005, 0},                // no folder
        {{"CRL.path = " + s.crl, "P7B0.crlFile0 = "}, 5005, 0},  // empty name
        {{"CRL.path = " + s.crl, "P7B0.crlFile0 = inter.crl", "P7B0.crlFile1 = inter.crl"}, 5005, 1},
        {{"CRL.path = " + s.crl, "P7B0.crlFile0 = inter.crl", "P7B0.crlFile2 = root.crl"}, 0, 1},  // gap ends
        {{"CRL.path = " + s.crl}, 0, 0},
        {{"CRL.path = " + s.crl, "P7B0.crlFile0 = absent.crl"}, 0, 1},  // kept for a later refresh
    };
    for (const Case& c : cases) {
        s.setLines(c.lines);
        cCrlList list;
        EXPECT_EQ(c.rc, list.loadCrlFiles(s.prop, "P7B0")) << c.lines.back();
        EXPECT_EQ(c.files, list.size()) << c.lines.back();
    }
}

TEST(CrlList, FirstFailingFileDecides) {
    ChainSetup s;
    ASSERT_TRUE(copyFile(crlPath("inter-empty.crl"), s.crl + "/a.crl"));
    s.setLines({"CRL.path = " + s.crl, "P7B0.crlFile0 = inter.crl", "P7B0.crlFile1 = a.crl"});
    cCrlList list;
    ASSERT_EQ(0, list.loadCrlFiles(s.prop, "P7B0"));
    auto revoked = loadPem(crlPath("rv_cessationOfOperation.pem"));
    auto good = loadPem(crlPath("good.pem"));
    EXPECT_EQ(5025, list.verifyCrl(revoked.get()));  // a.crl passes, inter.crl revokes
    EXPECT_EQ(0, list.verifyCrl(good.get()));
    EXPECT_EQ(5005, list.verifyCrl(nullptr));
}

// --- the chain store ------------------------------------------------------------

TEST(ChainStore, LoadsTheConfiguredChainIgnoringCaseOfTheName) {
    ChainSetup s("CHAIN.P7B");
    cCertChainList list;
    EXPECT_FALSE(list.isLoaded());
    ASSERT_EQ(0, list.loadCertChainFiles(&s.prop));
    EXPECT_TRUE(list.isLoaded());
    EXPECT_EQ(std::vector<std::string>{pki().at("inter.ski")}, list.keys());
    bool seen = false;
    list.withChain(pki().at("inter.ski"), [&](const cCertChainEntry& c) {
        seen = true;
        EXPECT_EQ("P7B0", c.getName());
        EXPECT_EQ(2u, c.getCerts().size());
        EXPECT_EQ(2u, c.getCrlList().size());
    });
    EXPECT_TRUE(seen);
}

TEST(ChainStore, DropsChainsThatFailTheirChecks) {
    ChainSetup s;
    ASSERT_TRUE(copyFile(crlPath("inter-only.p7b"), s.p7b + "/inter-only.p7b"));
    writeFile(s.p7b + "/junk.p7b", "not a chain");
    struct Case {
        std::vector<std::string> lines;
        int rc;
    } cases[] = {
        {{"P7B.path = " + s.p7b, "P7B0.name = chain.p7b", "P7B0.SKI = " + pki().at("root.ski").substr(2) + "00"}, 5202},
        {{"P7B.path = " + s.p7b, "P7B0.name = inter-only.p7b", "P7B0.SKI = " + pki().at("inter.ski")}, 5202},
        {{"P7B.path = " + s.p7b, "P7B0.name = junk.p7b", "P7B0.SKI = " + pki().at("inter.ski")}, 5202},
        {{"P7B.path = " + s.p7b, "P7B0.name = absent.p7b", "P7B0.SKI = " + pki().at("inter.ski")}, 5202},
        {{"P7B0.name = chain.p7b", "P7B0.SKI = " + pki().at("inter.ski")}, 5005},
        {{"P7B.path = " + s.dir / "nowhere", "P7B0.name = chain.p7b"}, 5903},
    };
    for (const Case& c : cases) {
        s.setLines(c.lines);
        cCertChainList list;
        EXPECT_EQ(c.rc, list.loadCertChainFiles(&s.prop)) << c.lines[1];
        EXPECT_FALSE(list.isLoaded());
        EXPECT_EQ(0u, list.size());
    }
    cCertChainList list;
    EXPECT_EQ(5005, list.loadCertChainFiles(nullptr));
}

TEST(ChainStore, OneGoodChainAmongBadOnesIsKept) {
    ChainSetup s;
    ASSERT_TRUE(copyFile(crlPath("inter-only.p7b"), s.p7b + "/inter-only.p7b"));
    s.setLines({"P7B.path = " + s.p7b, "P7B0.name = inter-only.p7b", "P7B0.SKI = " + pki().at("inter.ski"),
                "P7B2.name = chain.p7b", "P7B2.SKI = " + pki().at("inter.ski")});
    cCertChainList list;
    EXPECT_EQ(0, list.loadCertChainFiles(&s.prop));
    EXPECT_EQ(1u, list.size());
    list.withChain(pki().at("inter.ski"), [](const cCertChainEntry& c) { EXPECT_EQ("P7B2", c.getName()); });
}

TEST(ChainStore, PreparesTheChainFromIssuerToRoot) {
    ChainSetup s;
    cCertChainList list;
    ASSERT_EQ(0, list.loadCertChainFiles(&s.prop));
    auto user = loadPem(pkiPath("sign.pem"));
    auto chain = list.prepareCertChain(user.get());
    ASSERT_EQ(2, sk_X509_num(chain.get()));
    EXPECT_EQ(cX509::fromRef(sk_X509_value(chain.get(), 0)).getSKI(), pki().at("inter.ski"));
    EXPECT_EQ(cX509::fromRef(sk_X509_value(chain.get(), 1)).getSKI(), pki().at("root.ski"));
    auto stranger = loadPem(crlPath("stranger.pem"));
    EXPECT_EQ(0, sk_X509_num(list.prepareCertChain(stranger.get()).get()));
    EXPECT_EQ(0, sk_X509_num(list.prepareCertChain(nullptr).get()));
}

struct VerifyCase {
    const char* cert;  // manifest name: pki1's or crl/
    bool crl;
    int code;
};

class ChainVerifyTest : public ::testing::TestWithParam<VerifyCase> {
protected:
    static void SetUpTestSuite() {
        setup = new ChainSetup();
        list = new cCertChainList();
        ASSERT_EQ(0, list->loadCertChainFiles(&setup->prop));
    }
    static void TearDownTestSuite() {
        delete list;
        delete setup;
    }
    static ChainSetup* setup;
    static cCertChainList* list;
};
ChainSetup* ChainVerifyTest::setup = nullptr;
cCertChainList* ChainVerifyTest::list = nullptr;

TEST_P(ChainVerifyTest, Code) {
    const std::string name = GetParam().cert;
    auto cert = loadPem(crlPki().count(name) ? crlPath(name) : pkiPath(name));
    ASSERT_TRUE(cert) << name;
    EXPECT_EQ(GetParam().code, list->verifyCert(cert.get(), GetParam().crl)) << name;
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, ChainVerifyTest,
    ::testing::Values(VerifyCase{"sign.pem", false, 0}, VerifyCase{"sign.pem", true, 0},
                      VerifyCase{"good.pem", true, 0}, VerifyCase{"rv_keyCompromise.pem", false, 0},
                      VerifyCase{"rv_keyCompromise.pem", true, 5021}, VerifyCase{"rv_certificateHold.pem", true, 5026},
                      VerifyCase{"rv_removeFromCRL.pem", true, 0}, VerifyCase{"rv_noreason.pem", true, 5020},
                      VerifyCase{"expired.pem", false, 5011}, VerifyCase{"future.pem", false, 5012},
                      VerifyCase{"stranger.pem", false, 5202}, VerifyCase{"forged.pem", false, 5202},
                      VerifyCase{"forged.pem", true, 5202}, VerifyCase{"ecdsa.pem", true, 0}));

TEST_F(ChainVerifyTest, NullCertificate) { EXPECT_EQ(5040, list->verifyCert(nullptr, true)); }

// The issuing CA's list replaced by another file: the chain check still
// passes, the CRL check fails for every certificate, revoked or not.
struct ReplacedCrlCase {
    const char* file;  // as crlBytes takes it
    int code;
};

class ReplacedCrlTest : public ::testing::TestWithParam<ReplacedCrlCase> {};

TEST_P(ReplacedCrlTest, FailsOnlyTheCrlCheck) {
    ChainSetup s;
    writeFile(s.crl + "/inter.crl", crlBytes(GetParam().file));
    _logger.setLogLevel(cLog::DEBUG);
    std::size_t mark = 0;
    logSince(mark);
    cCertChainList list;
    ASSERT_EQ(0, list.loadCertChainFiles(&s.prop));
    auto good = loadPem(crlPath("good.pem"));
    auto revoked = loadPem(crlPath("rv_keyCompromise.pem"));
    EXPECT_EQ(0, list.verifyCert(good.get(), false));
    EXPECT_EQ(GetParam().code, list.verifyCert(good.get(), true));
    EXPECT_EQ(GetParam().code, list.verifyCert(revoked.get(), true));
    if (GetParam().code != 5030) {  // a refused file is named in an ERROR line
        const std::string log = logSince(mark);
        EXPECT_NE(std::string::npos, log.find("ERROR CRL 檔不合法, 不可用來驗憑證, 檔名 = " + s.crl + "/inter.crl"));
    }
}

INSTANTIATE_TEST_SUITE_P(Lists, ReplacedCrlTest,
                         ::testing::Values(ReplacedCrlCase{"inter-expired.crl", 5030},
                                           ReplacedCrlCase{"inter-nonext.crl", 5030},
                                           ReplacedCrlCase{"inter-forged.crl", 5034},
                                           ReplacedCrlCase{"other-root.crl", 5034}, ReplacedCrlCase{"flipped", 5034},
                                           ReplacedCrlCase{"garbage", 5031}),
                         [](const ::testing::TestParamInfo<ReplacedCrlCase>& info) {
                             std::string name = info.param.file;
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

TEST(ChainStore, CrlsAttachToTheChainTheirFileNamesWhoeverNumberedIt) {
    ChainSetup s;
    ASSERT_TRUE(copyFile(crlPath("other.p7b"), s.p7b + "/other.p7b"));
    // A signer's file numbered the chains first, without CRLs: ours is its P7B1.
    s.setLines({"P7B.path = " + s.p7b, "P7B0.name = other.p7b", "P7B0.SKI = " + crlPki().at("other-root.ski"),
                "P7B1.name = chain.p7b", "P7B1.SKI = " + pki().at("inter.ski")});
    cCertChainList list;
    ASSERT_EQ(0, list.loadCertChainFiles(&s.prop));
    auto revoked = loadPem(crlPath("rv_affiliationChanged.pem"));
    EXPECT_EQ(0, list.verifyCert(revoked.get(), true));
    s.setLines(chainLines(s.p7b, s.crl));  // the verifier's: P7B0 is our chain
    EXPECT_EQ(0, list.attachCrlFiles(s.prop));
    EXPECT_EQ(5023, list.verifyCert(revoked.get(), true));
    EXPECT_EQ(0, list.attachCrlFiles(s.prop));  // chains with CRLs are left alone
    list.withChain(pki().at("inter.ski"), [](const cCertChainEntry& c) { EXPECT_EQ(2u, c.getCrlList().size()); });
    list.withChain(crlPki().at("other-root.ski"),
                   [](const cCertChainEntry& c) { EXPECT_TRUE(c.getCrlList().empty()); });
}

TEST(ChainStore, RefreshReplacesChangedCrlsAndKeepsTheOldOnFailure) {
    ChainSetup s;
    const std::string file = s.crl + "/inter.crl";
    ASSERT_TRUE(copyFile(crlPath("inter-empty.crl"), file));
    cCertChainList list;
    ASSERT_EQ(0, list.loadCertChainFiles(&s.prop));
    auto revoked = loadPem(crlPath("rv_keyCompromise.pem"));
    EXPECT_EQ(0, list.verifyCert(revoked.get(), true));

    ASSERT_TRUE(copyFile(crlPath("inter.crl"), file));
    list.updateCrlByTimer();
    EXPECT_EQ(5021, list.verifyCert(revoked.get(), true));

    _logger.setLogLevel(cLog::DEBUG);
    std::size_t mark = 0;
    logSince(mark);
    list.updateCrlByTimer();  // same bytes
    EXPECT_NE(std::string::npos, logSince(mark).find("CRL 檔內容沒有異動"));
    EXPECT_EQ(5021, list.verifyCert(revoked.get(), true));

    for (const char* bad : {"inter-forged.crl", "other-root.crl", "garbage"}) {
        writeFile(file, crlBytes(bad));
        list.updateCrlByTimer();
        EXPECT_NE(std::string::npos, logSince(mark).find("CRL 檔不採用, 沿用原 CRL, 檔名 = " + file)) << bad;
        EXPECT_EQ(5021, list.verifyCert(revoked.get(), true)) << bad;
    }

    ASSERT_EQ(0, std::remove(file.c_str()));
    list.updateCrlByTimer();
    EXPECT_NE(std::string::npos, logSince(mark).find("CRL 檔載入失敗"));
    EXPECT_EQ(5021, list.verifyCert(revoked.get(), true));
}

TEST(ChainStore, RefusedListIsReplacedByAGoodOne) {
    ChainSetup s;
    const std::string file = s.crl + "/inter.crl";
    ASSERT_TRUE(copyFile(crlPath("inter-forged.crl"), file));
    cCertChainList list;
    ASSERT_EQ(0, list.loadCertChainFiles(&s.prop));
    auto good = loadPem(crlPath("good.pem"));
    EXPECT_EQ(5034, list.verifyCert(good.get(), true));
    writeFile(file, crlBytes("garbage"));
    list.updateCrlByTimer();
    EXPECT_EQ(5031, list.verifyCert(good.get(), true));
    ASSERT_TRUE(copyFile(crlPath("inter.crl"), file));
    list.updateCrlByTimer();
    EXPECT_EQ(0, list.verifyCert(good.get(), true));
}

TEST(ChainStore, RefreshClearsTheExpiredMark) {
    ChainSetup s;
    const std::string file = s.crl + "/inter.crl";
    ASSERT_TRUE(copyFile(crlPath("inter-expired.crl"), file));
    cCertChainList list;
    ASSERT_EQ(0, list.loadCertChainFiles(&s.prop));
    auto good = loadPem(crlPath("good.pem"));
    EXPECT_EQ(5030, list.verifyCert(good.get(), true));
    ASSERT_TRUE(copyFile(crlPath("inter.crl"), file));
    list.updateCrlByTimer();
    EXPECT_EQ(0, list.verifyCert(good.get(), true));
}

// Three threads check a revoked certificate while the issuing CA's list is
// rewritten with each of writes in turn and refreshed; false when a check gave
// a code outside accepted.
static bool checksHoldWhileRefreshing(const std::vector<std::string>& writes, int rounds, std::vector<int> accepted) {
    ChainSetup s;
    const std::string file = s.crl + "/inter.crl";
    cCertChainList list;
    EXPECT_EQ(0, list.loadCertChainFiles(&s.prop));
    auto revoked = loadPem(crlPath("rv_keyCompromise.pem"));
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0}, checks{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i)
        readers.emplace_back([&] {
            while (!stop.load()) {
                const int rc = list.verifyCert(revoked.get(), true);
                if (std::find(accepted.begin(), accepted.end(), rc) == accepted.end()) ++wrong;
                ++checks;
            }
        });
    for (int i = 0; i < rounds; ++i) {
        writeFile(file, writes[i % writes.size()]);
        list.updateCrlByTimer();
    }
    stop = true;
    for (auto& t : readers) t.join();
    EXPECT_GT(checks.load(), 0);
    EXPECT_EQ(5021, list.verifyCert(revoked.get(), true));  // each run ends on the full list
    return wrong.load() == 0;
}

TEST(ChainStore, VerificationsRunWhileCrlsAreReplaced) {
    EXPECT_TRUE(checksHoldWhileRefreshing({crlBytes("inter-empty.crl"), crlBytes("inter.crl")}, 40, {0, 5021}));
}

TEST(ChainStore, RefusedRefreshesNeverClearACertificateUnderLoad) {
    // The genuine list in two encodings (each a real replacement) between refused ones.
    const std::string der = crlBytes("inter.crl");
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    vorn::X509CrlPtr crl(d2i_X509_CRL(nullptr, &p, static_cast<long>(der.size())));
    ASSERT_TRUE(crl);
    vorn::BioPtr bio(BIO_new(BIO_s_mem()));
    ASSERT_TRUE(PEM_write_bio_X509_CRL(bio.get(), crl.get()));
    char* pemData = nullptr;
    const long pemLen = BIO_get_mem_data(bio.get(), &pemData);
    const std::string pem(pemData, static_cast<std::size_t>(pemLen));
    EXPECT_TRUE(checksHoldWhileRefreshing(
        {crlBytes("inter-forged.crl"), pem, crlBytes("other-root.crl"), crlBytes("garbage"), crlBytes("flipped"), der},
        36, {5021}));
}
