// Shared set-up for the library tests: a temporary COM port map, short
// time-outs, the station's event, in-process simulated handsets, and the
// station's calling order for one handset.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "cellbridge/cellbridge.h"
#include "handset_sim.h"
#include "platform/ext/com_port_map.h"
#include "platform/windows.h"
#include "platform_testing/fault_injection.h"
#include "timings.h"

namespace cellbridge_test {

namespace fs = std::filesystem;

// Milliseconds since dwStart.
inline DWORD Since(DWORD dwStart) {
    return GetTickCount() - dwStart;
}

inline NvWriteRecord MakeRecord(const std::string& imei1, const std::string& imei2,
                                const std::string& imei3, const std::string& btAddr) {
    NvWriteRecord record;
    memset(&record, 0, sizeof(record));
    auto put = [](char* pField, size_t cbField, const std::string& text) {
        memcpy(pField, text.data(), std::min(text.size(), cbField - 1));
    };
    if (!imei1.empty())
        record.nWriteImei1 = 1, put(record.szImei1, 16, imei1);
    if (!imei2.empty())
        record.nWriteImei2 = 1, put(record.szImei2, 16, imei2);
    if (!imei3.empty())
        record.nWriteImei3 = 1, put(record.szImei3, 16, imei3);
    if (!btAddr.empty())
        record.nWriteBtAddr = 1, put(record.szBtAddr, 13, btAddr);
    return record;
}

// The CSV's data rows (header dropped), each split at commas.
inline std::vector<std::vector<std::string>> CsvRows(const fs::path& path) {
    std::vector<std::vector<std::string>> rows;
    std::ifstream in(path);
    std::string line;
    bool bHeader = true;
    while (std::getline(in, line)) {
        if (bHeader) {
            EXPECT_EQ(line, "time,imei1,imei2,imei3,bt_address");
            bHeader = false;
            continue;
        }
        std::vector<std::string> fields;
        size_t pos = 0;
        for (;;) {
            size_t comma = line.find(',', pos);
            fields.push_back(line.substr(pos, comma == std::string::npos ? comma : comma - pos));
            if (comma == std::string::npos)
                break;
            pos = comma + 1;
        }
        rows.push_back(fields);
    }
    return rows;
}

// What the station's calling order ended with for one handset.
struct JobOutcome {
    int nResult = -1;   // 0, or the code the station would show
    std::string stage;  // "open", "mode", "usb-open", "write", "read-back", "done"
    int nWriteCalls = 0;
    DWORD dwPort = 0;  // the port written through
};

class CellbridgeTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/cellbridge-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        setenv("COMPORT_MAP_DIR", (m_dir / "comports").c_str(), 1);
        // The machine's own serial hardware is numbered (and the numbers
        // saved) by the first look at a new map: done here, so that a test's
        // timing does not include it.
        platform::ListComPorts();
        CbSetTimings(FastTimings());
        m_hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(m_hEvent, nullptr);
    }

    void TearDown() override {
        VX_EndPhoneTest();
        platform::ClearFaults();
        m_pSim.reset();
        CloseHandle(m_hEvent);
        CbSetTimings(CbTimings());
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }

    static CbTimings FastTimings() {
        CbTimings t;
        t.dwHelloReplyMs = 20;
        t.dwPollIntervalMs = 5;
        t.dwModeReplyMs = 500;
        t.dwWriteReplyMs = 500;
        t.dwReadReplyMs = 300;
        t.dwEndReplyMs = 200;
        t.dwUsbScanMs = 5;
        t.dwUsbProbeMs = 300;
        t.dwSliceMs = 10;
        t.dwJoinMs = 2000;
        return t;
    }

    // Handsets that power up within a few milliseconds.
    static HandsetSimOptions QuickSim() {
        HandsetSimOptions options;
        options.dwPowerUpMs = 5;
        return options;
    }

    // Starts simulated handsets with their CSV in the temporary directory.
    CHandsetSim& StartSim(HandsetSimOptions options = QuickSim()) {
        m_pSim = StartNamedSim("handsets", options);
        return *m_pSim;
    }

    // Further simulated handsets, owned by the caller, with the CSV
    // <name>.csv in the temporary directory.
    std::unique_ptr<CHandsetSim> StartNamedSim(const std::string& name,
                                               HandsetSimOptions options = QuickSim()) {
        options.csvPath = CsvPath(name).string();
        auto pSim = std::make_unique<CHandsetSim>(options);
        std::string error;
        EXPECT_TRUE(pSim->Start(&error)) << error;
        return pSim;
    }

    fs::path CsvPath(const std::string& name = "handsets") const { return m_dir / (name + ".csv"); }

    bool WaitEvent(DWORD dwMs) { return WaitForSingleObject(m_hEvent, dwMs) == WAIT_OBJECT_0; }

    // The station's order for one handset: open (retried once), mode entry,
    // USB port, up to three writes, read-back, end of test.
    JobOutcome RunJob(bool bUsb, DWORD dwPort, const NvWriteRecord& record, bool bFast = false,
                      bool bReadBack = true, DWORD dwModeTimeoutMs = 5000) {
        JobOutcome outcome;
        if (!bUsb) {
            int nResult = VX_BeginPhoneTest(static_cast<int>(dwPort), 115200);
            if (nResult != 0) {
                VX_EndPhoneTest();
                nResult = VX_BeginPhoneTest(static_cast<int>(dwPort), 115200);
            }
            if (nResult != 0) {
                VX_EndPhoneTest();
                outcome.nResult = nResult;
                outcome.stage = "open";
                return outcome;
            }
        }
        ResetEvent(m_hEvent);
        VX_EnterModeProcess(bUsb ? 1 : 0, 10, m_hEvent, 0);
        if (!WaitEvent(dwModeTimeoutMs)) {
            VX_StopModeProcess();
            VX_EndPhoneTest();
            outcome.nResult = CB_E_NO_ANSWER;
            outcome.stage = "mode";
            return outcome;
        }
        ResetEvent(m_hEvent);
        if (bUsb) {
            dwPort = static_cast<DWORD>(VX_GetUsbPort());
            int nResult = VX_BeginPhoneTest(static_cast<int>(dwPort), 115200);
            if (nResult != 0) {
                VX_EndPhoneTest();
                outcome.nResult = nResult;
                outcome.stage = "usb-open";
                return outcome;
            }
        }
        outcome.dwPort = dwPort;
        int nResult = -1;
        for (int i = 0; i < 3 && nResult != 0; ++i) {
            nResult = bFast ? VX_FastWriteNvInfo(&record) : VX_NvWriteDirect(&record);
            ++outcome.nWriteCalls;
        }
        outcome.stage = "write";
        if (nResult == 0 && bReadBack) {
            outcome.stage = "read-back";
            nResult = ReadBack(record);
        }
        if (nResult == 0)
            outcome.stage = "done";
        outcome.nResult = nResult;
        VX_EndPhoneTest();
        return outcome;
    }

    // The read-back: each selected item read and compared; 0, the read's
    // code, or -1 for a text that differs. Through hSession, or the
    // station's exports when it is null.
    static int ReadBack(const NvWriteRecord& record, HVXSESSION hSession = nullptr) {
        struct Item {
            int32_t nFlag;
            int nId;
            const char* pszWritten;
        } items[] = {{record.nWriteImei1, CB_ITEM_IMEI1, record.szImei1},
                     {record.nWriteImei2, CB_ITEM_IMEI2, record.szImei2},
                     {record.nWriteImei3, CB_ITEM_IMEI3, record.szImei3},
                     {record.nWriteBtAddr, CB_ITEM_BT_ADDR, record.szBtAddr}};
        for (const Item& item : items) {
            if (item.nFlag == 0)
                continue;
            char szText[16] = {};
            int nResult = hSession != nullptr
                              ? VX_SessionReadNvItem(hSession, item.nId, szText, sizeof(szText))
                              : VX_ReadNvItem(item.nId, szText, sizeof(szText));
            if (nResult != 0)
                return nResult;
            if (strcmp(szText, item.pszWritten) != 0)
                return -1;
        }
        return 0;
    }

    fs::path m_dir;
    HANDLE m_hEvent = nullptr;
    std::unique_ptr<CHandsetSim> m_pSim;
};

}  // namespace cellbridge_test
