// The record on the line's PostgreSQL server, against a real server started
// by the test: one pool and one set of used numbers for several stations,
// refusals given back, outages bounded and outcomes queued on the station.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "line_admin.h"
#include "number_rules.h"
#include "pg_test_server.h"
#include "platform/win_sync.h"
#include "server_record.h"

namespace {

namespace fs = std::filesystem;

class ServerRecordTest : public testing::Test {
protected:
    void SetUp() override {
        m_dir =
            fs::temp_directory_path() / ("server-record-" + std::to_string(GetCurrentProcessId()));
        fs::create_directories(m_dir);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }

    // A station on database db (its own queue file), opened.
    std::unique_ptr<CServerRecord> Station(const std::string& conninfo, const std::string& name,
                                           const std::string& pool = "") {
        ServerRecordSettings settings;
        settings.conninfo = conninfo;
        settings.trace.station = name;
        settings.trace.operatorName = "op-" + name;
        settings.pool = pool;
        settings.queuePath = (m_dir / (name + "-queue.db")).string();
        auto pRecord = std::make_unique<CServerRecord>();
        std::string error;
        EXPECT_TRUE(pRecord->Open(settings, &error)) << error;
        return pRecord;
    }

    // One value of the line's record.
    static std::string Query(const std::string& conninfo, const std::string& sql) {
        CPgConnection db;
        CPgResult rows;
        std::string error;
        EXPECT_TRUE(db.Connect(conninfo, "test", 5000, &error)) << error;
        EXPECT_TRUE(db.Exec(sql, {}, &rows, &error)) << error;
        return rows.Text(0, 0);
    }

    static PoolDraw TwoImeisAndBt() {
        PoolDraw draw;
        draw.imeiOn[0] = draw.imeiOn[1] = true;
        draw.bBtAddr = true;
        return draw;
    }

    fs::path m_dir;
};

bool ValidImei(const std::string& imei) {
    if (imei.size() != 15)
        return false;
    const int64_t nValue = std::stoll(imei);
    return nValue % 10 == ImeiCheckDigit(nValue / 10);
}

TEST_F(ServerRecordTest, SchemaIsVersionedAndInitTwiceChangesNothing) {
    REQUIRE_PG_SERVER(pServer);
    const std::string conninfo = pServer->ConnInfo(NewLineDatabase(*pServer));
    CPgConnection db;
    std::string error;
    ASSERT_TRUE(db.Connect(conninfo, "test", 5000, &error)) << error;
    int nBefore = -1;
    ASSERT_TRUE(InitLineSchema(db, &nBefore, &error)) << error;
    EXPECT_EQ(LINE_SCHEMA_VERSION, nBefore);
    EXPECT_TRUE(CheckLineSchema(db, &error)) << error;
    // A server of a later version is refused, not downgraded.
    ASSERT_TRUE(db.Run("INSERT INTO stampwell_schema VALUES (99)", &error)) << error;
    EXPECT_FALSE(InitLineSchema(db, nullptr, &error));
    EXPECT_NE(std::string::npos, error.find("newer")) << error;
    EXPECT_FALSE(CheckLineSchema(db, &error));
}

TEST_F(ServerRecordTest, StationsDrawingAtOnceNeverGetOneNumberTwice) {
    REQUIRE_PG_SERVER(pServer);
    const std::string conninfo = pServer->ConnInfo(NewLineDatabase(*pServer));
    AddTestPool(conninfo, TestRange("line7", 86123450000000, 200, 0x00A0B0000000, 100));

    constexpr int kStations = 4;
    constexpr int kJobs = 25;
    std::vector<std::vector<LedgerJob>> drawn(kStations);
    std::vector<std::thread> threads;
    for (int s = 0; s < kStations; ++s) {
        threads.emplace_back([&, s] {
            auto pRecord = Station(conninfo, "st" + std::to_string(s), "line7");
            for (int j = 0; j < kJobs; ++j) {
                LedgerJob job;
                job.port = "COM3";
                ClaimError claim;
                const int64_t nId = pRecord->ClaimPoolJob(TwoImeisAndBt(), job, &claim);
                EXPECT_GT(nId, 0) << claim.message;
                std::string error;
                EXPECT_TRUE(pRecord->FinishJob(nId, LedgerOutcome::Written, 0, &error)) << error;
                drawn[static_cast<size_t>(s)].push_back(job);
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    std::set<std::string> seen;
    for (const auto& jobs : drawn) {
        for (const LedgerJob& job : jobs) {
            EXPECT_TRUE(ValidImei(job.imei1) && ValidImei(job.imei2)) << job.imei1;
            EXPECT_EQ(std::stoll(job.imei1) / 10 + 1, std::stoll(job.imei2) / 10);
            EXPECT_EQ(12u, job.btAddr.size());
            for (const std::string& n : {job.imei1, job.imei2, job.btAddr})
                EXPECT_TRUE(seen.insert(n).second) << n << " drawn twice";
        }
    }
    EXPECT_EQ(3u * kStations * kJobs, seen.size());
    // 100 jobs of 2 bodies used the whole pool: the next claim is refused.
    auto pLast = Station(conninfo, "st0", "line7");
    LedgerJob job;
    ClaimError claim;
    EXPECT_EQ(0, pLast->ClaimPoolJob(TwoImeisAndBt(), job, &claim));
    EXPECT_EQ(ClaimFailure::PoolUsedUp, claim.kind) << claim.message;
    EXPECT_EQ("100", Query(conninfo, "SELECT count(*) FROM jobs WHERE station <> ''"));
    EXPECT_EQ("op-st1", Query(conninfo, "SELECT operator FROM jobs WHERE station = 'st1' LIMIT 1"));
}

TEST_F(ServerRecordTest, ARefusalGivesTheNumbersBackToTheSameStationOnly) {
    REQUIRE_PG_SERVER(pServer);
    const std::string conninfo = pServer->ConnInfo(NewLineDatabase(*pServer));
    AddTestPool(conninfo, TestRange("p", 35000000000000, 1000));
    auto pA = Station(conninfo, "A", "p");
    auto pB = Station(conninfo, "B", "p");
    PoolDraw draw;
    draw.imeiOn[0] = true;
    LedgerJob refused;
    ClaimError claim;
    const int64_t nId = pA->ClaimPoolJob(draw, refused, &claim);
    ASSERT_GT(nId, 0) << claim.message;
    std::string error;
    ASSERT_TRUE(pA->FinishJob(nId, LedgerOutcome::Refused, 23, &error)) << error;

    LedgerJob other;
    ASSERT_GT(pB->ClaimPoolJob(draw, other, &claim), 0) << claim.message;
    EXPECT_NE(refused.imei1, other.imei1);
    LedgerJob again;
    const int64_t nAgain = pA->ClaimPoolJob(draw, again, &claim);
    ASSERT_GT(nAgain, 0) << claim.message;
    EXPECT_EQ(refused.imei1, again.imei1);
    // Uncertain keeps them: never offered again.
    ASSERT_TRUE(pA->FinishJob(nAgain, LedgerOutcome::Uncertain, 2, &error)) << error;
    LedgerJob next;
    ASSERT_GT(pA->ClaimPoolJob(draw, next, &claim), 0) << claim.message;
    EXPECT_NE(refused.imei1, next.imei1);
    EXPECT_NE(other.imei1, next.imei1);
}

TEST_F(ServerRecordTest, TypedNumbersAreUniqueAcrossTheLineAndPoolsSkipThem) {
    REQUIRE_PG_SERVER(pServer);
    const std::string conninfo = pServer->ConnInfo(NewLineDatabase(*pServer));
    AddTestPool(conninfo, TestRange("p", 35000000000000, 10));
    auto pA = Station(conninfo, "A");
    auto pB = Station(conninfo, "B", "p");
    const std::string first = std::to_string(35000000000000 * 10 + ImeiCheckDigit(35000000000000));

    LedgerJob typed;
    typed.port = "COM1";
    typed.imei1 = first;  // the pool's first number, typed by hand on A
    typed.btAddr = "00a0c0d0e0f0";
    ClaimError claim;
    const int64_t nTyped = pA->ClaimJob(typed, {}, &claim);
    ASSERT_GT(nTyped, 0) << claim.message;

    // The same address in the other letter case, on another station.
    LedgerJob again;
    again.imei1 = "490154203237518";
    again.btAddr = "00A0C0D0E0F0";
    EXPECT_EQ(0, pB->ClaimJob(again, {}, &claim));
    EXPECT_EQ(ClaimFailure::Conflict, claim.kind);
    EXPECT_EQ("00A0C0D0E0F0", claim.conflict);
    EXPECT_FALSE(pB->IsImeiUsed("490154203237518", nullptr));  // nothing of it stayed

    // The handset that carries the number comes back for a rework.
    claim = ClaimError();
    const int64_t nRework = pB->ClaimJob(again, {"00A0C0D0E0F0"}, &claim);
    ASSERT_GT(nRework, 0) << claim.message;
    EXPECT_EQ("1",
              Query(conninfo, "SELECT rework FROM jobs WHERE id = " + std::to_string(nRework)));

    // The pool steps over the number typed by hand.
    PoolDraw draw;
    draw.imeiOn[0] = true;
    LedgerJob drawn;
    ASSERT_GT(pB->ClaimPoolJob(draw, drawn, &claim), 0) << claim.message;
    EXPECT_NE(first, drawn.imei1);
    EXPECT_EQ(35000000000001, std::stoll(drawn.imei1) / 10);

    // A refused rework leaves the number the handset carries used; a refused
    // job frees the numbers it took.
    std::string error;
    ASSERT_TRUE(pB->FinishJob(nRework, LedgerOutcome::Refused, 23, &error)) << error;
    EXPECT_TRUE(pB->IsBtAddrUsed("00a0c0d0e0f0", nullptr));
    EXPECT_FALSE(pB->IsImeiUsed("490154203237518", nullptr));  // its own new number
    ASSERT_TRUE(pA->FinishJob(nTyped, LedgerOutcome::Refused, 23, &error)) << error;
    EXPECT_FALSE(pB->IsImeiUsed(first, nullptr));
    EXPECT_FALSE(pB->IsBtAddrUsed("00a0c0d0e0f0", nullptr));
}

TEST_F(ServerRecordTest, OverlappingOrMisshapenPoolsAreRefused) {
    REQUIRE_PG_SERVER(pServer);
    const std::string conninfo = pServer->ConnInfo(NewLineDatabase(*pServer));
    const LineRange range = TestRange("a", 35000000000000, 100, 0x1000, 16);
    AddTestPool(conninfo, range);
    CPgConnection db;
    std::string error;
    ASSERT_TRUE(db.Connect(conninfo, "test", 5000, &error)) << error;
    LineRange other = range;
    other.name = "b";
    other.firstBody = 35000000000099;  // shares one body
    other.btFirst = 0x2000;
    EXPECT_FALSE(AddLineRange(db, other, &error));
    EXPECT_NE(std::string::npos, error.find("pool a")) << error;
    other.firstBody = 35000000000100;
    other.btFirst = 0x100F;  // shares one address
    EXPECT_FALSE(AddLineRange(db, other, &error));
    other.btFirst = 0x1010;
    EXPECT_TRUE(AddLineRange(db, other, &error)) << error;
    EXPECT_FALSE(AddLineRange(db, other, &error));  // the name is taken
    other.name = "c";
    other.bHasBt = false;
    other.firstBody = 35000000999990;  // would leave the allocation
    other.count = 11;
    EXPECT_FALSE(AddLineRange(db, other, &error));
    other.firstBody = 3500000000000;  // 13 digits
    other.count = 1;
    EXPECT_FALSE(AddLineRange(db, other, &error));
}

TEST_F(ServerRecordTest, AnOutageIsBoundedAndQueuedOutcomesArriveAfterIt) {
    REQUIRE_PG_SERVER(pServer);
    const std::string conninfo = pServer->ConnInfo(NewLineDatabase(*pServer));
    auto pA = Station(conninfo, "A");
    LedgerJob job;
    job.imei1 = "490154203237518";
    ClaimError claim;
    const int64_t nId = pA->ClaimJob(job, {}, &claim);
    ASSERT_GT(nId, 0) << claim.message;

    ASSERT_TRUE(pServer->StopNow());
    struct Restart {
        CPgTestServer* p;
        ~Restart() { p->Restart(); }
    } restart{pServer};
    // The outcome is kept on the station, and its numbers stay used.
    std::string error;
    EXPECT_TRUE(pA->FinishJob(nId, LedgerOutcome::Written, 0, &error)) << error;
    EXPECT_EQ(1, pA->PendingOutcomes());
    // A job's claim while the server is down fails soon, with its reason.
    const DWORD t0 = GetTickCount();
    LedgerJob next;
    next.imei1 = "356938035643809";
    EXPECT_EQ(0, pA->ClaimJob(next, {}, &claim));
    EXPECT_EQ(ClaimFailure::Unreachable, claim.kind) << claim.message;
    EXPECT_LT(GetTickCount() - t0, PG_CONNECT_TIMEOUT_MS + 1000);
    // The station is restarted meanwhile: its queue is on disk.
    pA.reset();
    ASSERT_TRUE(pServer->Restart());
    pA = Station(conninfo, "A");
    for (DWORD t1 = GetTickCount(); pA->PendingOutcomes() > 0 && GetTickCount() - t1 < 10000;)
        Sleep(50);
    EXPECT_EQ(0, pA->PendingOutcomes());
    EXPECT_EQ("written",
              Query(conninfo, "SELECT outcome FROM jobs WHERE id = " + std::to_string(nId)));
}

TEST_F(ServerRecordTest, AStationRecoversOnlyItsOwnUnfinishedJobs) {
    REQUIRE_PG_SERVER(pServer);
    const std::string conninfo = pServer->ConnInfo(NewLineDatabase(*pServer));
    ClaimError claim;
    {
        auto pA = Station(conninfo, "A");
        auto pB = Station(conninfo, "B");
        LedgerJob a, b;
        a.imei1 = "490154203237518";
        b.imei1 = "356938035643809";
        ASSERT_GT(pA->ClaimJob(a, {}, &claim), 0) << claim.message;
        ASSERT_GT(pB->ClaimJob(b, {}, &claim), 0) << claim.message;
        // Both end without an outcome (as a killed station does).
    }
    auto pA = Station(conninfo, "A");
    std::string error;
    ASSERT_TRUE(pA->Connect(&error)) << error;
    EXPECT_EQ(1, pA->RecoveredCount());
    EXPECT_EQ("presumedwritten", Query(conninfo, "SELECT outcome FROM jobs WHERE station = 'A'"));
    EXPECT_EQ("inflight", Query(conninfo, "SELECT outcome FROM jobs WHERE station = 'B'"));
    EXPECT_TRUE(pA->IsImeiUsed("490154203237518", nullptr));
}

}  // namespace
