// The station's calling order when the handset brings its own USB serial
// port: the port appears in the COM port map after power-up and goes away
// when the test ends.
#include "cellbridge_fixture.h"

namespace cellbridge_test {
namespace {

using UsbJob = CellbridgeTest;

HandsetSimOptions UsbSim(DWORD dwPowerUpMs) {
    HandsetSimOptions options;
    options.bUsb = true;
    options.dwPowerUpMs = dwPowerUpMs;
    options.dwUnplugDelayMs = 5;
    return options;
}

TEST_F(UsbJob, HandsetsOneAfterAnother) {
    // Each handset's port appears 100 ms after the previous one went: the
    // job must have begun by then (a port present before it is never taken),
    // with room for a loaded machine.
    CHandsetSim& sim = StartSim(UsbSim(100));
    EXPECT_EQ(VX_GetUsbPort(), 0);
    for (int i = 0; i < 3; ++i) {
        const DWORD dwGone = GetTickCount();
        while (sim.Port() != 0 && Since(dwGone) < 1000)
            Sleep(1);
        char szImei[32];
        snprintf(szImei, sizeof(szImei), "86000000000000%d", i);
        const JobOutcome outcome =
            RunJob(true, 0, MakeRecord(szImei, "", "", "001122334455"), true);
        ASSERT_EQ(outcome.stage, "done") << "handset " << i << " result " << outcome.nResult;
        EXPECT_NE(outcome.dwPort, 0u);
        ASSERT_TRUE(sim.WaitFinished(static_cast<size_t>(i) + 1, 1000));
        EXPECT_EQ(sim.Results()[i].dwPort, outcome.dwPort);
        EXPECT_EQ(VX_GetUsbPort(), static_cast<int>(outcome.dwPort));
    }
    const auto rows = CsvRows(CsvPath());
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[2][1], "860000000000002");
    EXPECT_EQ(rows[2][4], "001122334455");
}

TEST_F(UsbJob, APortNotYetOpenableAndRepliesInPiecesStillMakeAJob) {
    // The port is announced 150 ms before it can be opened, and every reply
    // arrives in four pieces a few milliseconds apart.
    HandsetSimOptions options = UsbSim(20);
    options.dwOpenDelayMs = 150;
    options.nReplyPieces = 4;
    options.dwPieceGapMs = 2;
    CHandsetSim& sim = StartSim(options);
    const JobOutcome outcome =
        RunJob(true, 0, MakeRecord("860000000000077", "", "", "AABBCCDDEEFF"), false);
    ASSERT_EQ(outcome.stage, "done") << "result " << outcome.nResult;
    ASSERT_TRUE(sim.WaitFinished(1, 1000));
    EXPECT_EQ(sim.Results()[0].imei1, "860000000000077");
}

TEST_F(UsbJob, PortPresentBeforeTheJobIsNotTaken) {
    // A handset left connected from before the job (already written, say)
    // must not receive this job's numbers.
    CHandsetSim& sim = StartSim(UsbSim(0));
    const DWORD dwStart = GetTickCount();
    while (sim.Port() == 0 && Since(dwStart) < 2000)
        Sleep(2);
    ASSERT_NE(sim.Port(), 0u);
    ASSERT_EQ(VX_EnterModeProcess(1, 10, m_hEvent, 0), CB_OK);
    EXPECT_FALSE(WaitEvent(200));
    VX_StopModeProcess();
    EXPECT_EQ(VX_GetUsbPort(), 0);
}

TEST_F(UsbJob, StopWhileNoPortHasAppeared) {
    CHandsetSim& sim = StartSim(UsbSim(60000));
    (void)sim;
    ASSERT_EQ(VX_EnterModeProcess(1, 10, m_hEvent, 0), CB_OK);
    ASSERT_FALSE(WaitEvent(50));
    const DWORD dwStart = GetTickCount();
    VX_StopModeProcess();
    EXPECT_LT(Since(dwStart), 250u);
    EXPECT_FALSE(WaitEvent(20));
}

TEST_F(UsbJob, SilentPortIsProbedAndStopIsStillPrompt) {
    HandsetSimOptions options = UsbSim(10);
    options.bNeverAnswer = true;
    CHandsetSim& sim = StartSim(options);
    ASSERT_EQ(VX_EnterModeProcess(1, 10, m_hEvent, 0), CB_OK);
    const DWORD dwWait = GetTickCount();
    while (sim.Port() == 0 && Since(dwWait) < 2000)
        Sleep(2);
    ASSERT_FALSE(WaitEvent(150));  // the entry is probing the silent port now
    const DWORD dwStart = GetTickCount();
    VX_StopModeProcess();
    RecordProperty("stop_ms", static_cast<int>(Since(dwStart)));
    EXPECT_LT(Since(dwStart), 250u);
    EXPECT_EQ(VX_GetUsbPort(), 0);
}

}  // namespace
}  // namespace cellbridge_test
