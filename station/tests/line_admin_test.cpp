// The line's administration against a real server started by the test: the
// pools' state as stations draw from them, and the per-station report on a
// known set of jobs.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "line_admin.h"
#include "pg_test_server.h"
#include "platform/win_sync.h"
#include "server_record.h"

namespace {

namespace fs = std::filesystem;

class LineAdminTest : public testing::Test {
protected:
    void SetUp() override {
        REQUIRE_PG_SERVER(pServer);
        m_conninfo = pServer->ConnInfo(NewLineDatabase(*pServer));
        std::string error;
        ASSERT_TRUE(m_db.Connect(m_conninfo, "test", 5000, &error)) << error;
        m_dir = fs::temp_directory_path() / ("line-admin-" + std::to_string(GetCurrentProcessId()));
        fs::create_directories(m_dir);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }

    // A job row as a station leaves it: time, station, IMEI1, address,
    // outcome, rework.
    void Job(const std::string& time, const std::string& station, const PgParam& imei1,
             const PgParam& btAddr, const std::string& outcome, int nRework = 0) {
        std::string error;
        ASSERT_TRUE(
            m_db.Exec("INSERT INTO jobs (token, time, station, port, imei1, bt_addr,"
                      " outcome, rework) VALUES ($1, $2::timestamptz, $3, 'COM3', $4, $5,"
                      " $6, $7::smallint)",
                      {"t" + std::to_string(m_nToken++), "2024-05-06 " + time + "+00", station,
                       imei1, btAddr, outcome, std::to_string(nRework)},
                      nullptr, &error))
            << error;
    }

    std::string m_conninfo;
    CPgConnection m_db;
    fs::path m_dir;
    int m_nToken = 1;
};

TEST_F(LineAdminTest, StatusFollowsWhatTheStationsDrawAndARefusedOverlapChangesNothing) {
    std::string error;
    ASSERT_TRUE(AddLineRange(m_db, TestRange("a", 35000000000000, 10, 0x00A0B0000000, 3), &error))
        << error;
    ASSERT_TRUE(AddLineRange(m_db, TestRange("b", 35000000000100, 1), &error)) << error;
    // Shares b's one body: refused, and the pools stay as they were.
    EXPECT_FALSE(AddLineRange(m_db, TestRange("c", 35000000000090, 20), &error));
    EXPECT_NE(std::string::npos, error.find("overlap")) << error;

    ServerRecordSettings settings;
    settings.conninfo = m_conninfo;
    settings.trace.station = "st1";
    settings.queuePath = (m_dir / "queue.db").string();
    PoolDraw draw;
    draw.imeiOn[0] = true;
    draw.bBtAddr = true;
    for (const char* lpszPool : {"a", "b"}) {
        settings.pool = lpszPool;
        CServerRecord record;
        ASSERT_TRUE(record.Open(settings, &error)) << error;
        // Pool a: three jobs, the last refused (its numbers wait as the
        // station's spares and stay counted as handed out). Pool b: its one.
        for (int nJob = 0; nJob < (settings.pool == "a" ? 3 : 1); ++nJob) {
            LedgerJob job;
            ClaimError claim;
            const int64_t nId = record.ClaimPoolJob(draw, job, &claim);
            ASSERT_GT(nId, 0) << claim.message;
            ASSERT_TRUE(record.FinishJob(
                nId, nJob == 2 ? LedgerOutcome::Refused : LedgerOutcome::Written, 0, &error))
                << error;
        }
    }

    std::vector<LineRangeState> ranges;
    ASSERT_TRUE(ReadLineRanges(m_db, "", &ranges, &error)) << error;
    ASSERT_EQ(2u, ranges.size());
    const LineRangeState& a = ranges[0];
    EXPECT_EQ("a", a.range.name);
    EXPECT_EQ(35000000000000, a.range.firstBody);
    EXPECT_EQ(35000000000003, a.nextBody);
    EXPECT_EQ(3, a.Used());
    EXPECT_EQ(7, a.Left());
    ASSERT_TRUE(a.range.bHasBt);
    EXPECT_EQ(0x00A0B0000000, a.range.btFirst);
    EXPECT_EQ(0x00A0B0000003, a.btNext);
    EXPECT_EQ(3, a.BtUsed());
    EXPECT_EQ(0, a.BtLeft());
    const LineRangeState& b = ranges[1];
    EXPECT_EQ("b", b.range.name);
    EXPECT_FALSE(b.range.bHasBt);
    EXPECT_EQ(1, b.Used());
    EXPECT_EQ(0, b.Left());

    ASSERT_TRUE(ReadLineRanges(m_db, "b", &ranges, &error)) << error;
    ASSERT_EQ(1u, ranges.size());
    EXPECT_EQ("b", ranges[0].range.name);
    EXPECT_FALSE(ReadLineRanges(m_db, "c", &ranges, &error));
    EXPECT_EQ("no pool named c", error);
}

TEST_F(LineAdminTest, ReportCountsOutcomesFirstPassYieldAndRate) {
    std::string error;
    std::vector<StationReport> report;
    ASSERT_TRUE(ReadLineReport(m_db, &report, &error)) << error;
    EXPECT_TRUE(report.empty());

    const std::string x1 = "350000000000001", x2 = "350000000000019", x3 = "350000000000027",
                      x4 = "350000000000035", x5 = "350000000000043", x6 = "350000000000050",
                      x7 = "350000000000068";
    const PgParam none;
    // A: four handsets first tried here (X1, X2, X3, and one by its address
    // alone, in the other letter case the second time), two of them written
    // at once; three written in one hour.
    Job("10:00:00", "A", x1, none, "written");
    Job("10:10:00", "A", x2, none, "refused");
    Job("10:20:00", "A", x2, none, "written");
    Job("10:30:00", "A", x3, none, "uncertain");
    Job("11:00:00", "A", none, PgParam("00a0b0c0d0e0"), "written");
    Job("10:50:00", "A", none, PgParam("00A0B0C0D0E0"), "refused", 1);
    // B: a rework of X3 earlier than X3's first job on A still comes after
    // it; X4 presumed written, X5 in flight; one written in 3 h 0 min 20 s.
    Job("09:00:00", "B", x3, none, "written", 1);
    Job("12:00:00", "B", x4, none, "presumedwritten");
    Job("12:00:20", "B", x5, none, "inflight");
    // C: two written within 30 s: counted over one minute.
    Job("13:00:00", "C", x6, none, "written");
    Job("13:00:30", "C", x7, none, "written");
    // D: a job with neither IMEI1 nor address is no handset.
    std::string sql =
        "INSERT INTO jobs (token, station, port, imei2, outcome) VALUES"
        " ('d1', 'D', 'COM1', '" +
        x1 + "', 'refused')";
    ASSERT_TRUE(m_db.Run(sql, &error)) << error;

    ASSERT_TRUE(ReadLineReport(m_db, &report, &error)) << error;
    ASSERT_EQ(4u, report.size());
    const StationReport& a = report[0];
    EXPECT_EQ("A", a.station);
    EXPECT_EQ(3, a.written);
    EXPECT_EQ(2, a.refused);
    EXPECT_EQ(1, a.uncertain);
    EXPECT_EQ(0, a.presumedWritten);
    EXPECT_EQ(0, a.inFlight);
    EXPECT_EQ("50.0", a.firstPassYield);
    EXPECT_EQ("3.0", a.perHour);
    const StationReport& b = report[1];
    EXPECT_EQ("B", b.station);
    EXPECT_EQ(1, b.written);
    EXPECT_EQ(1, b.presumedWritten);
    EXPECT_EQ(1, b.inFlight);
    EXPECT_EQ("0.0", b.firstPassYield);  // X4 and X5, neither written
    EXPECT_EQ("0.3", b.perHour);
    EXPECT_EQ("C", report[2].station);
    EXPECT_EQ("100.0", report[2].firstPassYield);
    EXPECT_EQ("120.0", report[2].perHour);
    const StationReport& d = report[3];
    EXPECT_EQ("D", d.station);
    EXPECT_EQ(1, d.refused);
    EXPECT_EQ("-", d.firstPassYield);
    EXPECT_EQ("0.0", d.perHour);
}

}  // namespace
