// The write job's runner without a window: a plain view whose posted
// messages the test runs on its own thread, the real phone-command library,
// a real record file, and a simulated handset on a pseudo-terminal
// registered as a COM port.
#include "job_runner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "batch_view.h"
#include "handset_sim.h"
#include "line_admin.h"
#include "number_ledger.h"
#include "number_rules.h"
#include "pg_test_server.h"
#include "server_record.h"
#include "station_settings.h"
#include "temp_com_map.h"
#include "temp_dir.h"

namespace {

const wchar_t kPass[] = L"写数据成功!按Enter键继续下一个";

class JobRunnerTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (m_pRunner) {
            EXPECT_TRUE(m_pRunner->WaitForWorker(5000));
        }
        m_pRunner.reset();
        if (m_pSim)
            m_pSim->Stop();
    }

    // The simulator (handsets answer at once unless options say otherwise),
    // and the runner on its port with the settings the test put in
    // m_settings and an empty record, numbers prepared as the window's
    // opening does.
    void Start(HandsetSimOptions options = {}) {
        options.dwPowerUpMs = 0;
        m_pSim = std::make_unique<CHandsetSim>(std::move(options));
        std::string error;
        ASSERT_TRUE(m_pSim->Start(&error)) << error;
        m_port.port = static_cast<int>(m_pSim->Port());
        m_settings.timeoutMs = 40000;
        m_settings.modeWaitMs = 0;
        m_pRecord = std::make_shared<CNumberLedger>();
        ASSERT_TRUE(m_pRecord->Open(m_dir.Path("Stampwell.db"), &error)) << error;
        m_pRunner = std::make_unique<CJobRunner>(m_settings, m_port, m_rules, m_boxes, m_view);
        ASSERT_TRUE(m_pRunner->CreateEvents());
        m_pRunner->SetLedger(m_pRecord);
        m_pRunner->PrepareNumbers();
        m_rules.ShowPreparedOnOpen(m_boxes);
    }
    // As Start, with the record on a fresh line database of the test's own
    // server, and generation drawing from its pool "line" (IMEI bodies from
    // 86000000000000, addresses from 00AA00000000).
    void StartOnLine(CPgTestServer& server, HandsetSimOptions options = {}) {
        Start(std::move(options));
        const std::string conninfo = m_lineConnInfo = server.ConnInfo(NewLineDatabase(server));
        AddTestPool(conninfo, TestRange("line", 86000000000000, 100, 0xAA00000000, 100));
        std::string error;
        ServerRecordSettings settings;
        settings.conninfo = conninfo;
        settings.trace.station = "st1";
        settings.pool = "line";
        settings.queuePath = m_dir.Path("StampwellQueue.db");
        m_pLine = std::make_shared<CServerRecord>();
        ASSERT_TRUE(m_pLine->Open(settings, &error)) << error;
        m_pRunner->SetLedger(m_pLine);
        m_pRunner->SetPool("line");
        m_pRunner->PrepareNumbers();
        m_rules.ShowPreparedOnOpen(m_boxes);
    }
    // Starts a job and runs the view's messages until it ended.
    bool RunJob() {
        m_view.bFinished = false;
        m_view.result = JobResult::NotStarted;
        return m_pRunner->StartJob() && m_view.RunUntilFinished(8000);
    }

    TempComMap m_map;
    TempDir m_dir;
    StationSettings m_settings;
    PortSetting m_port;
    CNumberRules m_rules{m_settings};
    NumberBoxes m_boxes;
    CBatchView m_view;  // outlives the runner, which posts to it
    std::shared_ptr<CNumberLedger> m_pRecord;
    std::shared_ptr<CServerRecord> m_pLine;
    std::string m_lineConnInfo;
    std::unique_ptr<CJobRunner> m_pRunner;
    std::unique_ptr<CHandsetSim> m_pSim;
};

TEST_F(JobRunnerTest, GenerationJobIsWrittenRecordedAndItsNumbersNeverOfferedAgain) {
    m_settings.imei1On = m_settings.imei2On = 1;
    m_settings.autoCreate = 1;
    m_settings.startNumber = L"35000000000000";
    Start();
    ASSERT_TRUE(m_pRunner->StartJob());
    EXPECT_TRUE(m_pRunner->JobActive());
    EXPECT_EQ(m_view.status, L"请在40秒内连接上手机并加电！");
    EXPECT_EQ(m_view.color, ColorWait);
    // One job at a time.
    EXPECT_FALSE(m_pRunner->StartJob());
    ASSERT_TRUE(m_view.RunUntilFinished(8000)) << "no end of the job arrived";
    EXPECT_EQ(m_view.result, JobResult::Written);
    EXPECT_EQ(m_view.status, kPass);
    EXPECT_EQ(m_view.color, ColorPass);
    EXPECT_FALSE(m_pRunner->JobActive());
    ASSERT_TRUE(m_pSim->WaitFinished(1, 3000));
    EXPECT_EQ(m_pSim->Results()[0].imei1, "350000000000006");
    EXPECT_EQ(m_pSim->Results()[0].imei2, "350000000000014");
    EXPECT_TRUE(m_pRecord->IsImeiUsed("350000000000014"));
    EXPECT_EQ(m_settings.startNumber, L"35000000000002");
    EXPECT_EQ(m_pRunner->StartNumberForSave(), 35000000000002);

    ASSERT_TRUE(RunJob());
    EXPECT_EQ(m_view.result, JobResult::Written);
    ASSERT_TRUE(m_pSim->WaitFinished(2, 3000));
    EXPECT_EQ(m_pSim->Results()[1].imei1, "350000000000022");
    EXPECT_EQ(m_pSim->Results()[1].imei2, "350000000000030");
}

TEST_F(JobRunnerTest, TypedNumberOnRecordIsRefusedAndNothingIsSent) {
    m_settings.imei1On = 1;
    Start();
    LedgerJob earlier;
    earlier.port = "COM1";
    earlier.imei1 = "490154203237518";
    std::string error;
    const int64_t nRow = m_pRecord->BeginJob(earlier, &error);
    ASSERT_GT(nRow, 0) << error;
    ASSERT_TRUE(m_pRecord->FinishJob(nRow, LedgerOutcome::Written, 0, &error)) << error;

    m_boxes.imei1.text = L"490154203237518";
    ASSERT_TRUE(RunJob());
    EXPECT_EQ(m_view.result, JobResult::NotStarted);
    EXPECT_EQ(m_view.status, L"号码490154203237518已使用过，未写入手机!");
    EXPECT_EQ(m_view.color, ColorFail);
    ASSERT_TRUE(m_pSim->WaitFinished(1, 3000));
    EXPECT_EQ(m_pSim->Results()[0].nWrites, 0);
    EXPECT_FALSE(m_pSim->Results()[0].bStored);

    // A number not on record goes to the next handset.
    m_boxes.imei1.text = L"490154203237526";
    ASSERT_TRUE(RunJob());
    EXPECT_EQ(m_view.result, JobResult::Written);
    ASSERT_TRUE(m_pSim->WaitFinished(2, 3000));
    EXPECT_EQ(m_pSim->Results()[1].imei1, "490154203237526");
}

TEST_F(JobRunnerTest, StopWhileWaitingEndsTheJobAtOnceAndSpendsNoNumber) {
    m_settings.imei1On = 1;
    m_settings.autoCreate = 1;
    m_settings.startNumber = L"35000000000000";
    HandsetSimOptions silent;
    silent.bNeverAnswer = true;
    Start(silent);
    for (int nJob = 0; nJob < 2; ++nJob) {  // the second: a start after Stop works
        ASSERT_TRUE(m_pRunner->StartJob()) << nJob;
        const auto t0 = std::chrono::steady_clock::now();
        m_pRunner->OnStop();
        // Not Stop's 3 s bound: the waiting worker ends as soon as it is told.
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2500));
        EXPECT_FALSE(m_pRunner->JobActive());
        EXPECT_FALSE(m_pRunner->WorkerAlive());
        EXPECT_EQ(m_view.status, L"按Enter键继续下一个");
        EXPECT_EQ(m_view.color, ColorIdle);
        // The worker has returned without posting an end.
        EXPECT_FALSE(m_view.RunUntilFinished(0));
        EXPECT_FALSE(m_view.bFinished);
    }
    EXPECT_EQ(m_settings.startNumber, L"35000000000000");
    EXPECT_EQ(m_pRunner->StartNumberForSave(), 35000000000000);
    EXPECT_FALSE(m_pRecord->IsImeiUsed("350000000000006"));
}

TEST_F(JobRunnerTest, GenerationFromTheLinePoolWritesItsNumbersAndLeavesTheStartNumber) {
    REQUIRE_PG_SERVER(pServer);
    m_settings.imei1On = m_settings.imei2On = 1;
    m_settings.btOn = m_settings.btAuto = 1;
    m_settings.autoCreate = 1;
    m_settings.startNumber = L"35000000000000";
    StartOnLine(*pServer);
    // Nothing is drawn before the claim: the boxes stay empty.
    EXPECT_TRUE(m_boxes.imei1.text.empty());
    for (int nJob = 0; nJob < 2; ++nJob) {
        ASSERT_TRUE(RunJob());
        EXPECT_EQ(m_view.result, JobResult::Written);
        EXPECT_EQ(m_view.status, kPass);
    }
    ASSERT_TRUE(m_pSim->WaitFinished(2, 3000));
    EXPECT_EQ(m_pSim->Results()[0].imei1, "860000000000009");
    EXPECT_EQ(m_pSim->Results()[0].imei2, "860000000000017");
    EXPECT_EQ(m_pSim->Results()[0].btAddr, "00AA00000000");
    EXPECT_EQ(m_pSim->Results()[1].imei1, "860000000000025");
    EXPECT_EQ(m_pSim->Results()[1].btAddr, "00AA00000001");
    EXPECT_EQ(m_boxes.imei1.text, L"860000000000025");  // shown once drawn
    EXPECT_EQ(m_pRunner->JobNumbers().imei2.text, L"860000000000033");
    // The start number is not the source of numbers: untouched.
    EXPECT_EQ(m_settings.startNumber, L"35000000000000");
    EXPECT_EQ(m_pRunner->StartNumberForSave(), 35000000000000);
}

TEST_F(JobRunnerTest, APoolJobTheHandsetRefusedGivesItsNumbersToTheNextHandset) {
    REQUIRE_PG_SERVER(pServer);
    m_settings.imei1On = 1;
    m_settings.autoCreate = 1;
    HandsetSimOptions refuses;
    refuses.nFailWrites = 3;  // every handset refuses all three tries
    StartOnLine(*pServer, refuses);
    ASSERT_TRUE(RunJob());
    EXPECT_EQ(m_view.result, JobResult::Refused);
    const std::wstring first = m_pRunner->JobNumbers().imei1.text;
    EXPECT_EQ(first, L"860000000000009");
    ASSERT_TRUE(RunJob());
    EXPECT_EQ(m_view.result, JobResult::Refused);
    EXPECT_EQ(m_pRunner->JobNumbers().imei1.text, first);
}

TEST_F(JobRunnerTest, AServerDownAtTheJobsStartWritesNothingAndSaysSo) {
    REQUIRE_PG_SERVER(pServer);
    m_settings.imei1On = 1;
    m_settings.autoCreate = 1;
    StartOnLine(*pServer);
    ASSERT_TRUE(pServer->StopNow());
    struct Restart {
        CPgTestServer* p;
        ~Restart() { p->Restart(); }
    } restart{pServer};
    ASSERT_TRUE(RunJob());
    EXPECT_EQ(m_view.result, JobResult::NotStarted);
    EXPECT_EQ(m_view.status, L"无法连接号码服务器，未写入手机!");
    EXPECT_EQ(m_view.color, ColorFail);
    ASSERT_TRUE(m_pSim->WaitFinished(1, 3000));
    EXPECT_EQ(m_pSim->Results()[0].nWrites, 0);
}

TEST_F(JobRunnerTest, APoolNumberThatIsNoImeiIsNeverWritten) {
    REQUIRE_PG_SERVER(pServer);
    m_settings.imei1On = 1;
    m_settings.autoCreate = 1;
    StartOnLine(*pServer);
    // A pool edited by hand past the schema's own checks: its next body has
    // 7 digits.
    CPgConnection db;
    std::string error;
    ASSERT_TRUE(db.Connect(m_lineConnInfo, "test", 5000, &error)) << error;
    ASSERT_TRUE(
        db.Run("DO $$DECLARE c text; BEGIN FOR c IN SELECT conname FROM pg_constraint"
               " WHERE conrelid = 'ranges'::regclass AND contype = 'c' LOOP"
               " EXECUTE 'ALTER TABLE ranges DROP CONSTRAINT ' || quote_ident(c);"
               " END LOOP; END$$;"
               "UPDATE ranges SET next_body = 1234567",
               &error))
        << error;
    ASSERT_TRUE(RunJob());
    EXPECT_EQ(m_view.result, JobResult::NotStarted);
    EXPECT_EQ(m_view.status, MSG_POOL_NUMBER_INVALID);
    ASSERT_TRUE(m_pSim->WaitFinished(1, 3000));
    EXPECT_EQ(m_pSim->Results()[0].nWrites, 0);
    CPgResult rows;
    ASSERT_TRUE(db.Exec("SELECT outcome FROM jobs", {}, &rows, &error)) << error;
    ASSERT_EQ(rows.Rows(), 1);
    EXPECT_EQ(rows.Text(0, 0), "refused");
}

}  // namespace
