// Sessions: several handsets, each on a session of its own, at the same time
// in one process, beside the station's default session.
#include <condition_variable>
#include <mutex>
#include <thread>

#include "cellbridge_fixture.h"

namespace cellbridge_test {
namespace {

struct SessionDeleter {
    void operator()(VxSession* hSession) const { VX_DestroySession(hSession); }
};
using SessionPtr = std::unique_ptr<VxSession, SessionDeleter>;

SessionPtr NewSession() {
    SessionPtr pSession(VX_CreateSession());
    EXPECT_NE(pSession, nullptr);
    return pSession;
}

// A manual-reset event, closed with the object.
class Event {
public:
    Event() : m_hEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        EXPECT_NE(m_hEvent, nullptr);
    }
    ~Event() {
        if (m_hEvent != nullptr)
            CloseHandle(m_hEvent);
    }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    HANDLE Get() const { return m_hEvent; }
    bool Wait(DWORD dwMs) const { return WaitForSingleObject(m_hEvent, dwMs) == WAIT_OBJECT_0; }

private:
    HANDLE m_hEvent;
};

// Lets n threads go on together once all of them arrived.
class StartLine {
public:
    explicit StartLine(size_t n) : m_nWaiting(n) {}
    void ArriveAndWait() {
        std::unique_lock<std::mutex> lock(m_lock);
        if (--m_nWaiting == 0)
            m_ready.notify_all();
        m_ready.wait(lock, [this] { return m_nWaiting == 0; });
    }

private:
    std::mutex m_lock;
    std::condition_variable m_ready;
    size_t m_nWaiting;
};

// A 15-digit IMEI that differs per index.
std::string Imei(int nIndex) {
    char szImei[32];
    snprintf(szImei, sizeof(szImei), "3510000000000%02d", nIndex);
    return szImei;
}

using Sessions = CellbridgeTest;

TEST_F(Sessions, NullHandleIsRefusedAndFreshSessionHasNoTest) {
    const NvWriteRecord record = MakeRecord(Imei(0), "", "", "");
    EXPECT_EQ(VX_SessionBeginPhoneTest(nullptr, 3, 115200), CB_E_INVALID_ARG);
    EXPECT_EQ(VX_SessionEnterModeProcess(nullptr, 1, 10, m_hEvent, 0), CB_E_INVALID_ARG);
    EXPECT_EQ(VX_SessionNvWriteDirect(nullptr, &record), CB_E_INVALID_ARG);
    EXPECT_EQ(VX_SessionFastWriteNvInfo(nullptr, &record), CB_E_INVALID_ARG);
    char szText[16] = "x";
    EXPECT_EQ(VX_SessionReadNvItem(nullptr, CB_ITEM_IMEI1, szText, sizeof(szText)),
              CB_E_INVALID_ARG);
    EXPECT_STREQ(szText, "");
    EXPECT_EQ(VX_SessionReadNvItem(nullptr, CB_ITEM_IMEI1, nullptr, 16), CB_E_INVALID_ARG);
    // No port: 6 (CB_E_INVALID_ARG) would name COM6 to a caller.
    EXPECT_EQ(VX_SessionGetUsbPort(nullptr), 0);
    VX_SessionEndPhoneTest(nullptr);
    VX_SessionStopModeProcess(nullptr);
    VX_DestroySession(nullptr);

    SessionPtr pSession = NewSession();
    EXPECT_EQ(VX_SessionEnterModeProcess(pSession.get(), 0, 10, m_hEvent, 0), CB_E_NOT_READY);
    EXPECT_EQ(VX_SessionNvWriteDirect(pSession.get(), &record), CB_E_NOT_READY);
    EXPECT_EQ(VX_SessionReadNvItem(pSession.get(), CB_ITEM_IMEI1, szText, sizeof(szText)),
              CB_E_NOT_READY);
    EXPECT_EQ(VX_SessionGetUsbPort(pSession.get()), 0);
    EXPECT_FALSE(WaitEvent(0));
}

TEST_F(Sessions, FourHandsetsWrittenAtTheSameTime) {
    constexpr int kSessions = 4;
    constexpr DWORD kSlowWriteMs = 300;
    CbTimings timings = FastTimings();
    timings.dwWriteReplyMs = CbTimings().dwWriteReplyMs;  // a loaded machine is no failure
    CbSetTimings(timings);
    std::vector<std::unique_ptr<CHandsetSim>> sims;
    for (int i = 0; i < kSessions; ++i) {
        HandsetSimOptions options = QuickSim();
        options.nSlowWrites = 1;
        options.dwSlowReplyMs = kSlowWriteMs;
        sims.push_back(StartNamedSim("handset" + std::to_string(i), options));
    }
    StartLine startLine(kSessions);
    struct Span {
        DWORD dwStart = 0, dwEnd = 0;
        int nResult = -1;
    };
    std::vector<Span> spans(kSessions);
    std::vector<std::thread> threads;
    for (int i = 0; i < kSessions; ++i) {
        threads.emplace_back([&, i] {
            // Each thread is one station position: session, event, job.
            SessionPtr pSession = NewSession();
            Event modeEvent;
            VxSession* hSession = pSession.get();
            const NvWriteRecord record = MakeRecord(Imei(i), "", "", "");
            int nResult =
                VX_SessionBeginPhoneTest(hSession, static_cast<int>(sims[i]->Port()), 115200);
            if (nResult == CB_OK)
                nResult = VX_SessionEnterModeProcess(hSession, 0, 10, modeEvent.Get(), 0);
            if (nResult == CB_OK && !modeEvent.Wait(3000))
                nResult = CB_E_NO_ANSWER;
            // The writes start together, so they can only finish together
            // if they run side by side.
            startLine.ArriveAndWait();
            spans[i].dwStart = GetTickCount();
            if (nResult == CB_OK)
                nResult = VX_SessionNvWriteDirect(hSession, &record);
            spans[i].dwEnd = GetTickCount();
            if (nResult == CB_OK)
                nResult = ReadBack(record, hSession);
            VX_SessionEndPhoneTest(hSession);
            spans[i].nResult = nResult;
        });
    }
    for (std::thread& thread : threads)
        thread.join();

    DWORD dwFirstStart = spans[0].dwStart, dwLastStart = spans[0].dwStart;
    DWORD dwFirstEnd = spans[0].dwEnd, dwLastEnd = spans[0].dwEnd;
    for (const Span& span : spans) {
        EXPECT_EQ(span.nResult, CB_OK);
        EXPECT_GE(span.dwEnd - span.dwStart, kSlowWriteMs - 5);
        dwFirstStart = std::min(dwFirstStart, span.dwStart);
        dwLastStart = std::max(dwLastStart, span.dwStart);
        dwFirstEnd = std::min(dwFirstEnd, span.dwEnd);
        dwLastEnd = std::max(dwLastEnd, span.dwEnd);
    }
    RecordProperty("writes_ms", static_cast<int>(dwLastEnd - dwFirstStart));
    // Every write was in progress while every other one was.
    EXPECT_LT(dwLastStart, dwFirstEnd);
    EXPECT_LT(dwLastEnd - dwFirstStart, kSessions * kSlowWriteMs / 2);
    for (int i = 0; i < kSessions; ++i) {
        SCOPED_TRACE("handset " + std::to_string(i));
        ASSERT_TRUE(sims[i]->WaitFinished(1, 1000));
        const HandsetResult result = sims[i]->Results()[0];
        EXPECT_TRUE(result.bEnded);
        EXPECT_EQ(result.nWrites, 1);
        EXPECT_EQ(result.imei1, Imei(i));
        ASSERT_EQ(CsvRows(CsvPath("handset" + std::to_string(i))).size(), 1u);
    }
}

TEST_F(Sessions, EndingOneSessionLeavesTheOthersPortsOpen) {
    auto pSimA = StartNamedSim("a");
    auto pSimB = StartNamedSim("b");
    const int nPortA = static_cast<int>(pSimA->Port());
    const int nPortB = static_cast<int>(pSimB->Port());
    SessionPtr pSessionA = NewSession();
    SessionPtr pSessionB = NewSession();
    ASSERT_EQ(VX_SessionBeginPhoneTest(pSessionA.get(), nPortA, 115200), CB_OK);
    ASSERT_EQ(VX_SessionBeginPhoneTest(pSessionB.get(), nPortB, 115200), CB_OK);
    // A port is one session's: another cannot open it, nor the default one.
    EXPECT_EQ(VX_SessionBeginPhoneTest(pSessionA.get(), nPortB, 115200), CB_E_PORT_OPEN);
    EXPECT_EQ(VX_BeginPhoneTest(nPortB, 115200), CB_E_PORT_OPEN);
    ASSERT_EQ(VX_SessionBeginPhoneTest(pSessionA.get(), nPortA, 115200), CB_OK);
    ASSERT_EQ(VX_SessionEnterModeProcess(pSessionB.get(), 0, 10, m_hEvent, 0), CB_OK);
    ASSERT_TRUE(WaitEvent(2000));

    VX_SessionEndPhoneTest(pSessionA.get());
    VX_EndPhoneTest();
    VX_StopModeProcess();
    // Session B's test and port are untouched: its write goes through.
    const NvWriteRecord record = MakeRecord(Imei(1), "", "", "");
    EXPECT_EQ(VX_SessionNvWriteDirect(pSessionB.get(), &record), CB_OK);
    EXPECT_EQ(VX_SessionNvWriteDirect(pSessionA.get(), &record), CB_E_NOT_READY);
    EXPECT_EQ(VX_BeginPhoneTest(nPortB, 115200), CB_E_PORT_OPEN);
    // Session A's port was freed.
    EXPECT_EQ(VX_BeginPhoneTest(nPortA, 115200), CB_OK);
    pSessionB.reset();  // destroying ends B's test
    ASSERT_TRUE(pSimB->WaitFinished(1, 1000));
    EXPECT_TRUE(pSimB->Results()[0].bEnded);
    EXPECT_EQ(pSimB->Results()[0].imei1, Imei(1));
    EXPECT_EQ(pSimA->FinishedCount(), 0u);
}

TEST_F(Sessions, DestroyWhileTheSerialEntryIsPendingIsPrompt) {
    HandsetSimOptions options = QuickSim();
    options.bNeverAnswer = true;
    auto pSim = StartNamedSim("silent", options);
    CbSetTimings(CbTimings());  // the production waits and slice
    SessionPtr pSession = NewSession();
    ASSERT_EQ(VX_SessionBeginPhoneTest(pSession.get(), static_cast<int>(pSim->Port()), 115200),
              CB_OK);
    ASSERT_EQ(VX_SessionEnterModeProcess(pSession.get(), 0, 10, m_hEvent, 0), CB_OK);
    ASSERT_FALSE(WaitEvent(100));
    const DWORD dwStart = GetTickCount();
    pSession.reset();
    RecordProperty("destroy_ms", static_cast<int>(Since(dwStart)));
    EXPECT_LT(Since(dwStart), 250u);
    // The port was freed and the entry is gone.
    EXPECT_EQ(VX_BeginPhoneTest(static_cast<int>(pSim->Port()), 115200), CB_OK);
    EXPECT_FALSE(WaitEvent(50));
}

TEST_F(Sessions, DestroyWhileTheUsbEntryProbesOutlivesTheSession) {
    // The entry's thread is left running: the destroy does not wait for it
    // at all, so the thread winds down after the session memory is gone.
    CbTimings timings = FastTimings();
    timings.dwJoinMs = 0;
    CbSetTimings(timings);
    HandsetSimOptions options;
    options.bUsb = true;
    options.dwPowerUpMs = 10;
    options.bNeverAnswer = true;
    CHandsetSim& sim = StartSim(options);
    SessionPtr pSession = NewSession();
    ASSERT_EQ(VX_SessionEnterModeProcess(pSession.get(), 1, 10, m_hEvent, 0), CB_OK);
    const DWORD dwWait = GetTickCount();
    while (sim.Port() == 0 && Since(dwWait) < 2000)
        Sleep(2);
    ASSERT_NE(sim.Port(), 0u);
    ASSERT_FALSE(WaitEvent(60));  // the entry is probing the silent port now
    const DWORD dwStart = GetTickCount();
    pSession.reset();
    EXPECT_LT(Since(dwStart), 100u);
    // The thread lets the port go once it saw the stop.
    const DWORD dwFree = GetTickCount();
    int nResult = CB_E_PORT_OPEN;
    while (nResult != CB_OK && Since(dwFree) < 1000) {
        nResult = VX_BeginPhoneTest(static_cast<int>(sim.Port()), 115200);
        Sleep(nResult == CB_OK ? 0 : 2);
    }
    EXPECT_EQ(nResult, CB_OK);
    EXPECT_FALSE(WaitEvent(20));
}

TEST_F(Sessions, TwoUsbEntriesNeverTakeTheSameHandset) {
    // Each handset's port appears 150 ms after the previous one left; both
    // sessions wait for a handset from the start.
    HandsetSimOptions options;
    options.bUsb = true;
    options.dwPowerUpMs = 150;
    options.dwUnplugDelayMs = 5;
    CHandsetSim& sim = StartSim(options);
    SessionPtr pSessions[2] = {NewSession(), NewSession()};
    Event events[2];
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(VX_SessionEnterModeProcess(pSessions[i].get(), 1, 10, events[i].Get(), 0), CB_OK);
    }
    std::vector<DWORD> ports;
    // Writes handset nJob through session nSession, whose event was set,
    // while the other session's entry (pOther, if still pending) must go on
    // waiting, also while the port is closed between the entry and the test.
    auto writeHandset = [&](int nSession, int nJob, const Event* pOther) {
        VxSession* hSession = pSessions[nSession].get();
        const int nPort = VX_SessionGetUsbPort(hSession);
        ports.push_back(static_cast<DWORD>(nPort));
        if (pOther != nullptr) {
            Sleep(20);  // the other entry scans every 5 ms
            EXPECT_FALSE(pOther->Wait(0));
        }
        ASSERT_EQ(VX_SessionBeginPhoneTest(hSession, nPort, 115200), CB_OK);
        const NvWriteRecord record = MakeRecord(Imei(nJob), "", "", "");
        EXPECT_EQ(VX_SessionFastWriteNvInfo(hSession, &record), CB_OK);
        if (pOther != nullptr) {
            EXPECT_FALSE(pOther->Wait(20));
        }
        VX_SessionEndPhoneTest(hSession);
    };
    const HANDLE ahEvents[2] = {events[0].Get(), events[1].Get()};
    const DWORD dwWait = WaitForMultipleObjects(2, ahEvents, FALSE, 3000);
    ASSERT_LT(dwWait, WAIT_OBJECT_0 + 2);
    const int nFirst = static_cast<int>(dwWait - WAIT_OBJECT_0);
    const int nSecond = 1 - nFirst;
    writeHandset(nFirst, 0, &events[nSecond]);
    EXPECT_EQ(VX_SessionGetUsbPort(pSessions[nSecond].get()), 0);
    // The next handset is the other session's.
    ASSERT_TRUE(events[nSecond].Wait(3000));
    writeHandset(nSecond, 1, nullptr);
    ASSERT_TRUE(sim.WaitFinished(2, 1000));
    const auto results = sim.Results();
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(results[i].dwPort, ports[i]);
        EXPECT_EQ(results[i].nWrites, 1);
        EXPECT_EQ(results[i].imei1, Imei(i));
    }
}

TEST_F(Sessions, NewHandsetOnlyWaitsWhileTheWrittenHandsetStillAnswers) {
    CHandsetSim& sim = StartSim();
    const int nPort = static_cast<int>(sim.Port());
    SessionPtr pSession = NewSession();
    VX_SessionSetNewHandsetOnly(pSession.get(), 1);
    const NvWriteRecord record = MakeRecord(Imei(1), "", "", "");
    ASSERT_EQ(VX_SessionBeginPhoneTest(pSession.get(), nPort, 115200), CB_OK);
    ASSERT_EQ(VX_SessionEnterModeProcess(pSession.get(), 0, 10, m_hEvent, 0), CB_OK);
    ASSERT_TRUE(WaitEvent(2000));
    ASSERT_EQ(VX_SessionNvWriteDirect(pSession.get(), &record), CB_OK);

    // The written handset is still on the line: no entry into it again.
    ResetEvent(m_hEvent);
    ASSERT_EQ(VX_SessionEnterModeProcess(pSession.get(), 0, 10, m_hEvent, 0), CB_OK);
    EXPECT_FALSE(WaitEvent(500));
    // Without the option it would be taken at once.
    VX_SessionSetNewHandsetOnly(pSession.get(), 0);
    ASSERT_EQ(VX_SessionEnterModeProcess(pSession.get(), 0, 10, m_hEvent, 0), CB_OK);
    EXPECT_TRUE(WaitEvent(2000));

    // After the end of its test the next handset (another id) is taken.
    VX_SessionSetNewHandsetOnly(pSession.get(), 1);
    VX_SessionEndPhoneTest(pSession.get());
    ResetEvent(m_hEvent);
    ASSERT_EQ(VX_SessionBeginPhoneTest(pSession.get(), nPort, 115200), CB_OK);
    ASSERT_EQ(VX_SessionEnterModeProcess(pSession.get(), 0, 10, m_hEvent, 0), CB_OK);
    EXPECT_TRUE(WaitEvent(2000));
    VX_SessionEndPhoneTest(pSession.get());
}

}  // namespace
}  // namespace cellbridge_test
