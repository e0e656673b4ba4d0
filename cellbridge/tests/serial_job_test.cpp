// The station's calling order against simulated handsets on a serial port:
// real channel, real pseudo-terminal, simulator on its own thread.
#include <set>

#include "cellbridge_fixture.h"

namespace cellbridge_test {
namespace {

const NvWriteRecord kFull =
    MakeRecord("350000000000006", "350000000000014", "350000000000022", "123420141530");

using SerialJob = CellbridgeTest;

TEST_F(SerialJob, BeginAndEnd) {
    EXPECT_EQ(VX_BeginPhoneTest(0, 115200), CB_E_INVALID_ARG);
    EXPECT_EQ(VX_BeginPhoneTest(3, 0), CB_E_INVALID_ARG);
    EXPECT_EQ(VX_BeginPhoneTest(42, 115200), CB_E_PORT_OPEN);  // not in the map
    VX_EndPhoneTest();

    CHandsetSim& sim = StartSim();
    const int nPort = static_cast<int>(sim.Port());
    ASSERT_EQ(VX_BeginPhoneTest(nPort, 115200), CB_OK);
    // Beginning again ends the first test and reopens the port.
    ASSERT_EQ(VX_BeginPhoneTest(nPort, 115200), CB_OK);
    VX_EndPhoneTest();
    VX_EndPhoneTest();  // harmless with nothing open
    // The port was freed: it opens again.
    ASSERT_EQ(VX_BeginPhoneTest(nPort, 115200), CB_OK);
    VX_EndPhoneTest();
}

TEST_F(SerialJob, CallsOutOfOrderAreRefused) {
    EXPECT_EQ(VX_EnterModeProcess(0, 10, m_hEvent, 0), CB_E_NOT_READY);
    EXPECT_EQ(VX_EnterModeProcess(1, 10, nullptr, 0), CB_E_INVALID_ARG);
    EXPECT_EQ(VX_NvWriteDirect(&kFull), CB_E_NOT_READY);
    EXPECT_EQ(VX_NvWriteDirect(nullptr), CB_E_INVALID_ARG);
    EXPECT_EQ(VX_FastWriteNvInfo(nullptr), CB_E_INVALID_ARG);
    char szText[16] = "x";
    EXPECT_EQ(VX_ReadNvItem(CB_ITEM_IMEI1, szText, sizeof(szText)), CB_E_NOT_READY);
    EXPECT_STREQ(szText, "");
    EXPECT_EQ(VX_ReadNvItem(CB_ITEM_IMEI1, nullptr, 16), CB_E_INVALID_ARG);
    EXPECT_EQ(VX_ReadNvItem(0, szText, sizeof(szText)), CB_E_INVALID_ARG);
    EXPECT_EQ(VX_GetUsbPort(), 0);
    EXPECT_FALSE(WaitEvent(0));
}

TEST_F(SerialJob, ModeEntrySetsEventAfterPowerUp) {
    HandsetSimOptions options = QuickSim();
    options.dwPowerUpMs = 150;
    CHandsetSim& sim = StartSim(options);
    ASSERT_EQ(VX_BeginPhoneTest(static_cast<int>(sim.Port()), 115200), CB_OK);
    const DWORD dwStart = GetTickCount();
    ASSERT_EQ(VX_EnterModeProcess(0, 10, m_hEvent, 0), CB_OK);
    EXPECT_LT(Since(dwStart), 100u) << "returns at once";
    ASSERT_TRUE(WaitEvent(3000));
    EXPECT_GE(Since(dwStart), 140u) << "not before the handset powered up";
    // In the mode now: a write goes through.
    EXPECT_EQ(VX_NvWriteDirect(&kFull), CB_OK);
}

TEST_F(SerialJob, ModeNumberIsPassedToTheHandset) {
    CHandsetSim& sim = StartSim();
    ASSERT_EQ(VX_BeginPhoneTest(static_cast<int>(sim.Port()), 115200), CB_OK);
    // The handset refuses mode 9: the entry keeps trying and never signals.
    ASSERT_EQ(VX_EnterModeProcess(0, 9, m_hEvent, 0), CB_OK);
    EXPECT_FALSE(WaitEvent(200));
    VX_StopModeProcess();
    // A write outside mode 10 comes back with the handset's own code.
    EXPECT_EQ(VX_NvWriteDirect(&kFull), CB_NV_E_NOT_IN_MODE);
}

TEST_F(SerialJob, StopAbandonsPendingEntryPromptly) {
    HandsetSimOptions options = QuickSim();
    options.dwPowerUpMs = 300;  // answers only after the stop
    CHandsetSim& sim = StartSim(options);
    CbSetTimings(CbTimings());  // the production waits and slice
    ASSERT_EQ(VX_BeginPhoneTest(static_cast<int>(sim.Port()), 115200), CB_OK);
    ASSERT_EQ(VX_EnterModeProcess(0, 10, m_hEvent, 0), CB_OK);
    ASSERT_FALSE(WaitEvent(100));
    const DWORD dwStart = GetTickCount();
    VX_StopModeProcess();
    RecordProperty("stop_ms", static_cast<int>(Since(dwStart)));
    EXPECT_LT(Since(dwStart), 250u);
    // The handset now answers, but the abandoned entry never signals.
    EXPECT_FALSE(WaitEvent(400));
    VX_StopModeProcess();  // harmless twice
}

TEST_F(SerialJob, EndStopsPendingEntryAndFreesThePort) {
    HandsetSimOptions options = QuickSim();
    options.bNeverAnswer = true;
    CHandsetSim& sim = StartSim(options);
    const int nPort = static_cast<int>(sim.Port());
    ASSERT_EQ(VX_BeginPhoneTest(nPort, 115200), CB_OK);
    ASSERT_EQ(VX_EnterModeProcess(0, 10, m_hEvent, 0), CB_OK);
    ASSERT_FALSE(WaitEvent(60));
    const DWORD dwStart = GetTickCount();
    VX_EndPhoneTest();
    // No handset ever answered: nothing to wait for at the end.
    EXPECT_LT(Since(dwStart), 250u);
    EXPECT_FALSE(WaitEvent(50));
    ASSERT_EQ(VX_BeginPhoneTest(nPort, 115200), CB_OK);
}

TEST_F(SerialJob, HandsetThatNeverAnswers) {
    HandsetSimOptions options = QuickSim();
    options.bNeverAnswer = true;
    CHandsetSim& sim = StartSim(options);
    const JobOutcome outcome = RunJob(false, sim.Port(), kFull, false, true, 300);
    EXPECT_EQ(outcome.stage, "mode");
    EXPECT_EQ(outcome.nResult, CB_E_NO_ANSWER);

    // A write to it returns after the write time-out, not later.
    CbTimings timings = FastTimings();
    timings.dwWriteReplyMs = 100;
    CbSetTimings(timings);
    ASSERT_EQ(VX_BeginPhoneTest(static_cast<int>(sim.Port()), 115200), CB_OK);
    const DWORD dwStart = GetTickCount();
    EXPECT_EQ(VX_NvWriteDirect(&kFull), CB_E_NO_ANSWER);
    EXPECT_GE(Since(dwStart), 95u);
    EXPECT_LT(Since(dwStart), 400u);
    EXPECT_EQ(sim.FinishedCount(), 0u);
}

TEST_F(SerialJob, AllItemsLandAtTheirOffsets) {
    CHandsetSim& sim = StartSim();
    for (bool bFast : {false, true}) {
        SCOPED_TRACE(bFast ? "fast write" : "direct write");
        const JobOutcome outcome = RunJob(false, sim.Port(), kFull, bFast);
        ASSERT_EQ(outcome.stage, "done");
        EXPECT_EQ(outcome.nWriteCalls, 1);
    }
    ASSERT_TRUE(sim.WaitFinished(2, 1000));
    for (const HandsetResult& result : sim.Results()) {
        EXPECT_TRUE(result.bEnded);
        EXPECT_EQ(result.imei1, "350000000000006");
        EXPECT_EQ(result.imei2, "350000000000014");
        EXPECT_EQ(result.imei3, "350000000000022");
        EXPECT_EQ(result.btAddr, "123420141530");
    }
    const auto rows = CsvRows(CsvPath());
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][1], "350000000000006");
    EXPECT_EQ(rows[0][2], "350000000000014");
    EXPECT_EQ(rows[0][3], "350000000000022");
    EXPECT_EQ(rows[0][4], "123420141530");
}

TEST_F(SerialJob, OnlySelectedItemsAreStoredAndAllOrNone) {
    CHandsetSim& sim = StartSim();
    // IMEI2's text is there but its flag is clear: it is not stored.
    NvWriteRecord record = MakeRecord("350000000000006", "", "350000000000022", "");
    strcpy(record.szImei2, "999999999999999");
    ASSERT_EQ(RunJob(false, sim.Port(), record).stage, "done");

    // One bad text (14 characters) refuses the whole record.
    NvWriteRecord bad = MakeRecord("35000000000001", "350000000000030", "", "");
    const JobOutcome outcome = RunJob(false, sim.Port(), bad);
    EXPECT_EQ(outcome.nResult, CB_NV_E_BAD_TEXT);
    EXPECT_EQ(outcome.nWriteCalls, 3);

    ASSERT_TRUE(sim.WaitFinished(2, 1000));
    const auto results = sim.Results();
    EXPECT_EQ(results[0].imei2, "");
    EXPECT_EQ(results[0].imei3, "350000000000022");
    EXPECT_FALSE(results[1].bStored);
    const auto rows = CsvRows(CsvPath());
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][2], "");
}

TEST_F(SerialJob, WriteThatFailsTwiceSucceedsOnTheThird) {
    HandsetSimOptions options = QuickSim();
    options.nFailWrites = 2;
    options.wFailCode = 0x31;
    CHandsetSim& sim = StartSim(options);
    ASSERT_EQ(VX_BeginPhoneTest(static_cast<int>(sim.Port()), 115200), CB_OK);
    ASSERT_EQ(VX_EnterModeProcess(0, 10, m_hEvent, 0), CB_OK);
    ASSERT_TRUE(WaitEvent(2000));
    EXPECT_EQ(VX_FastWriteNvInfo(&kFull), 0x31);
    EXPECT_EQ(VX_FastWriteNvInfo(&kFull), 0x31);
    EXPECT_EQ(VX_FastWriteNvInfo(&kFull), CB_OK);
    VX_EndPhoneTest();
    ASSERT_TRUE(sim.WaitFinished(1, 1000));
    EXPECT_EQ(sim.Results()[0].nRefused, 2);
    EXPECT_EQ(CsvRows(CsvPath()).size(), 1u);
}

TEST_F(SerialJob, HandsetCodesBelowSixteenBecomeRefused) {
    HandsetSimOptions options = QuickSim();
    options.nFailWrites = 1;
    options.wFailCode = 2;  // would read as "no answer" if passed on
    CHandsetSim& sim = StartSim(options);
    const JobOutcome outcome = RunJob(false, sim.Port(), kFull);
    EXPECT_EQ(outcome.nWriteCalls, 2);
    EXPECT_EQ(outcome.stage, "done");
    ASSERT_EQ(VX_BeginPhoneTest(static_cast<int>(sim.Port()), 115200), CB_OK);
    ASSERT_EQ(VX_EnterModeProcess(0, 10, m_hEvent, 0), CB_OK);
    ASSERT_TRUE(WaitEvent(2000));
    EXPECT_EQ(VX_NvWriteDirect(&kFull), CB_E_REFUSED);
}

TEST_F(SerialJob, LateReplyIsNeverTakenForTheNextOne) {
    // The first write is refused with 0x30, but its reply comes after the
    // library gave up on it and sent the second write.
    HandsetSimOptions options = QuickSim();
    options.nFailWrites = 1;
    options.wFailCode = 0x30;
    options.nSlowWrites = 1;
    options.dwSlowReplyMs = 300;
    CHandsetSim& sim = StartSim(options);
    CbTimings timings = FastTimings();
    timings.dwWriteReplyMs = 60;
    CbSetTimings(timings);
    ASSERT_EQ(VX_BeginPhoneTest(static_cast<int>(sim.Port()), 115200), CB_OK);
    ASSERT_EQ(VX_EnterModeProcess(0, 10, m_hEvent, 0), CB_OK);
    ASSERT_TRUE(WaitEvent(2000));
    timings.dwWriteReplyMs = 500;
    EXPECT_EQ(VX_NvWriteDirect(&kFull), CB_E_NO_ANSWER);
    CbSetTimings(timings);
    EXPECT_EQ(VX_NvWriteDirect(&kFull), CB_OK);
    VX_EndPhoneTest();
    ASSERT_TRUE(sim.WaitFinished(1, 1000));
    EXPECT_EQ(sim.Results()[0].nWrites, 2);
    EXPECT_EQ(sim.Results()[0].imei1, "350000000000006");
}

TEST_F(SerialJob, ReadBack) {
    CHandsetSim& sim = StartSim();
    const NvWriteRecord record = MakeRecord("350000000000006", "", "", "123420141530");
    ASSERT_EQ(VX_BeginPhoneTest(static_cast<int>(sim.Port()), 115200), CB_OK);
    ASSERT_EQ(VX_EnterModeProcess(0, 10, m_hEvent, 0), CB_OK);
    ASSERT_TRUE(WaitEvent(2000));
    ASSERT_EQ(VX_NvWriteDirect(&record), CB_OK);

    char szText[16] = {};
    EXPECT_EQ(VX_ReadNvItem(CB_ITEM_IMEI1, szText, sizeof(szText)), CB_OK);
    EXPECT_STREQ(szText, "350000000000006");
    char szAddr[13] = {};
    EXPECT_EQ(VX_ReadNvItem(CB_ITEM_BT_ADDR, szAddr, sizeof(szAddr)), CB_OK);
    EXPECT_STREQ(szAddr, "123420141530");
    EXPECT_EQ(VX_ReadNvItem(CB_ITEM_IMEI2, szText, sizeof(szText)), CB_NV_E_NOT_STORED);
    EXPECT_STREQ(szText, "");
    // A buffer too small is cut, never overrun, and never reported as a match.
    char szSmall[9] = {};
    memset(szSmall, '#', sizeof(szSmall));
    EXPECT_EQ(VX_ReadNvItem(CB_ITEM_IMEI1, szSmall, 8), CB_E_INVALID_ARG);
    EXPECT_STREQ(szSmall, "3500000");
    EXPECT_EQ(szSmall[8], '#');
}

TEST_F(SerialJob, ReadBackCatchesAHandsetThatStoredSomethingElse) {
    HandsetSimOptions options = QuickSim();
    options.bCorrupt = true;
    CHandsetSim& sim = StartSim(options);
    const JobOutcome outcome = RunJob(false, sim.Port(), kFull, true);
    EXPECT_EQ(outcome.stage, "read-back");
    EXPECT_EQ(outcome.nResult, -1);
    ASSERT_TRUE(sim.WaitFinished(1, 1000));
    EXPECT_EQ(CsvRows(CsvPath())[0][1], "350000000000007");  // what really reached it
}

TEST_F(SerialJob, GarbageOnTheLine) {
    HandsetSimOptions options = QuickSim();
    options.bGarbage = true;
    CHandsetSim& sim = StartSim(options);
    const JobOutcome outcome = RunJob(false, sim.Port(), kFull, true);
    EXPECT_EQ(outcome.stage, "done");
    EXPECT_EQ(outcome.nWriteCalls, 1);
    ASSERT_TRUE(sim.WaitFinished(1, 1000));
    EXPECT_EQ(sim.Results()[0].imei3, "350000000000022");
}

TEST_F(SerialJob, PlatformFailuresAreReported) {
    CHandsetSim& sim = StartSim();
    platform::InjectFault("CreateFileW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(VX_BeginPhoneTest(static_cast<int>(sim.Port()), 115200), CB_E_PORT_OPEN);
    platform::ClearFaults();
    ASSERT_EQ(VX_BeginPhoneTest(static_cast<int>(sim.Port()), 115200), CB_OK);
    platform::InjectFault("CreateThread", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(VX_EnterModeProcess(0, 10, m_hEvent, 0), CB_E_SYSTEM);
    platform::ClearFaults();
    EXPECT_FALSE(WaitEvent(50));
}

TEST_F(SerialJob, VanishedPortFailsTheWriteQuickly) {
    CHandsetSim& sim = StartSim();
    ASSERT_EQ(VX_BeginPhoneTest(static_cast<int>(sim.Port()), 115200), CB_OK);
    ASSERT_EQ(VX_EnterModeProcess(0, 10, m_hEvent, 0), CB_OK);
    ASSERT_TRUE(WaitEvent(2000));
    sim.Stop();  // the device goes away
    const DWORD dwStart = GetTickCount();
    EXPECT_EQ(VX_NvWriteDirect(&kFull), CB_E_PORT_LOST);
    EXPECT_LT(Since(dwStart), 250u);
    const DWORD dwEnd = GetTickCount();
    VX_EndPhoneTest();
    EXPECT_LT(Since(dwEnd), 250u);
}

TEST_F(SerialJob, TwoHundredHandsetsInARow) {
    // Every handset answers, so no wait runs out on the way: the production
    // reply waits keep a loaded machine from turning a slow reply into a
    // second write.
    CbTimings timings = FastTimings();
    const CbTimings production;
    timings.dwModeReplyMs = production.dwModeReplyMs;
    timings.dwWriteReplyMs = production.dwWriteReplyMs;
    timings.dwReadReplyMs = production.dwReadReplyMs;
    CbSetTimings(timings);
    CHandsetSim& sim = StartSim();
    std::set<std::string> written;
    for (int i = 0; i < 200; ++i) {
        char szImei1[32], szImei2[32], szBt[32];  // room for any int: no truncation
        snprintf(szImei1, sizeof(szImei1), "3500000%08d", 2 * i);
        snprintf(szImei2, sizeof(szImei2), "3500000%08d", 2 * i + 1);
        snprintf(szBt, sizeof(szBt), "BT%010d", i);
        const JobOutcome outcome =
            RunJob(false, sim.Port(), MakeRecord(szImei1, szImei2, "", szBt), i % 2 == 1);
        ASSERT_EQ(outcome.stage, "done") << "handset " << i << " result " << outcome.nResult;
        ASSERT_EQ(outcome.nWriteCalls, 1);
        written.insert(std::string(szImei1) + "," + szImei2 + "," + szBt);
    }
    ASSERT_TRUE(sim.WaitFinished(200, 2000));
    const auto rows = CsvRows(CsvPath());
    ASSERT_EQ(rows.size(), 200u);
    std::set<std::string> stored;
    for (const auto& row : rows) {
        ASSERT_EQ(row.size(), 5u);
        EXPECT_EQ(row[3], "");
        stored.insert(row[1] + "," + row[2] + "," + row[4]);
    }
    EXPECT_EQ(stored, written);  // 200 distinct rows: none lost, none doubled
}

}  // namespace
}  // namespace cellbridge_test
