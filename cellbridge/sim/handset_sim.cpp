// The simulated handsets: power-up, mode entry, the atomic NV store, reads,
// end of test, the CSV of stored handsets, and the misbehaviours.
#include "handset_sim.h"

#include <algorithm>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "cellbridge/cellbridge.h"
#include "platform/windows.h"

namespace {

// Noise sent before a reply with bGarbage: stray bytes, a marker with an
// impossible length, and a marker whose length promises bytes that never come.
const BYTE kNoise[] = {0x00, 0x13, CB_FRAME_MARKER0, CB_FRAME_MARKER0, CB_FRAME_MARKER1, 0xFF,
                       0x7F, 0x42};
const BYTE kFalseStart[] = {CB_FRAME_MARKER0, CB_FRAME_MARKER1, 0x20, 0x00, 0x81};

std::string NowText() {
    SYSTEMTIME st = {};
    GetLocalTime(&st);
    char sz[64];
    std::snprintf(sz, sizeof(sz), "%04u-%02u-%02u %02u:%02u:%02u.%03u", st.wYear, st.wMonth,
                  st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
    return sz;
}

// The text of a record field when it has exactly nLength characters and a
// terminator inside the field; otherwise false.
bool FieldText(const BYTE* pField, size_t cbField, size_t nLength, std::string* pText) {
    const char* psz = reinterpret_cast<const char*>(pField);
    const size_t n = strnlen(psz, cbField);
    if (n != nLength || n == cbField)
        return false;
    pText->assign(psz, n);
    return true;
}

// What a handset with a faulty NV store keeps instead of the text written.
std::string Corrupted(std::string text) {
    if (text.empty())
        return "X";
    char& c = text.back();
    c = (c >= '0' && c <= '9') ? static_cast<char>('0' + (c - '0' + 1) % 10) : 'X';
    return text;
}

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

}  // namespace

CHandsetSim::CHandsetSim(HandsetSimOptions options) : m_options(std::move(options)) {}

CHandsetSim::~CHandsetSim() {
    Stop();
}

bool CHandsetSim::Start(std::string* pError) {
    if (m_thread.joinable())
        return true;
    if (!m_options.bUsb) {
        if (!m_pty.Open(m_options.bUnregistered ? 0xFFFFFFFFu : m_options.dwPort)) {
            if (pError != nullptr) {
                char sz[96];
                std::snprintf(sz, sizeof(sz), "cannot create the port (error %u)",
                              static_cast<unsigned>(GetLastError()));
                *pError = sz;
            }
            return false;
        }
        m_dwPort = m_pty.Port();
        NewHandset(Power::kOff);
    } else {
        m_dwPowerAt = GetTickCount() + m_options.dwPowerUpMs;
    }
    m_bStop = false;
    m_thread = std::thread(&CHandsetSim::Run, this);
    return true;
}

void CHandsetSim::Stop() {
    if (m_thread.joinable()) {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_bStop = true;
        }
        m_changed.notify_all();
        m_thread.join();
        // Items stored without an end of test still reached the handset.
        if (m_handset.result.bStored)
            FinishHandset(false);
    }
    m_pty.Close();
    m_dwPort = 0;
}

std::vector<HandsetResult> CHandsetSim::Results() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_results;
}

size_t CHandsetSim::FinishedCount() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_results.size();
}

bool CHandsetSim::WaitFinished(size_t n, DWORD dwTimeoutMs) const {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(dwTimeoutMs),
                              [&] { return m_results.size() >= n; });
}

bool CHandsetSim::Pause(DWORD dwMs) {
    std::unique_lock<std::mutex> lock(m_lock);
    return !m_changed.wait_for(lock, std::chrono::milliseconds(dwMs),
                               [&] { return m_bStop.load(); });
}

void CHandsetSim::NewHandset(Power power) {
    m_handset = Handset();
    m_handset.nIndex = m_nNextIndex++;
    m_handset.result.nIndex = m_handset.nIndex;
    m_handset.result.dwPort = m_dwPort.load();
    m_handset.result.imei1 = m_options.carriedImei1;
    m_handset.result.imei2 = m_options.carriedImei2;
    m_handset.result.imei3 = m_options.carriedImei3;
    m_handset.result.btAddr = m_options.carriedBtAddr;
    m_power = power;
    m_decoder.Reset();
}

void CHandsetSim::Run() {
    BYTE abBuffer[512];
    while (!m_bStop.load()) {
        const DWORD dwNow = GetTickCount();
        if (m_options.bUsb && !m_pty.IsOpen()) {
            // Unplugged: the next handset appears after its power-up time.
            const LONG nLeft = static_cast<LONG>(m_dwPowerAt - dwNow);
            if (nLeft > 0) {
                Pause(nLeft < 10 ? static_cast<DWORD>(nLeft) : 10);
                continue;
            }
            if (!m_pty.Open(m_options.dwPort)) {
                Pause(50);
                continue;
            }
            m_dwPort = m_pty.Port();
            NewHandset(Power::kOn);
            if (m_options.dwOpenDelayMs != 0 && m_pty.HoldExclusive(true)) {
                m_bHeld = true;
                m_dwOpenableAt = GetTickCount() + m_options.dwOpenDelayMs;
            }
            continue;
        }
        if (m_bHeld && static_cast<LONG>(dwNow - m_dwOpenableAt) >= 0) {
            m_pty.HoldExclusive(false);
            m_bHeld = false;
        }
        if (m_power == Power::kUnplugging && static_cast<LONG>(dwNow - m_dwPowerAt) >= 0) {
            m_pty.Close();  // also drops a hold
            m_bHeld = false;
            m_dwPort = 0;
            m_dwPowerAt = dwNow + m_options.dwPowerUpMs;
            m_power = Power::kOff;
            continue;
        }
        if (m_power == Power::kPoweringUp && static_cast<LONG>(dwNow - m_dwPowerAt) >= 0) {
            m_power = Power::kOn;
        }
        const DWORD cbRead = m_pty.Read(abBuffer, sizeof(abBuffer), 5);
        if (cbRead == 0)
            continue;
        m_decoder.Feed(abBuffer, cbRead);
        CbFrame frame;
        while (m_decoder.Next(&frame)) {
            if (m_options.bNeverAnswer)
                continue;
            if (m_power == Power::kOff) {
                // The station is asking: this handset is being connected.
                m_power = Power::kPoweringUp;
                m_dwPowerAt = GetTickCount() + m_options.dwPowerUpMs;
                continue;
            }
            if (m_power != Power::kOn)
                continue;
            HandleFrame(frame);
            if (m_bDone.load())
                return;
        }
    }
}

void CHandsetSim::Reply(BYTE bCommand, WORD wSequence, WORD wStatus, const BYTE* pExtra,
                        size_t cbExtra) {
    std::vector<BYTE> payload(CB_STATUS_SIZE + cbExtra);
    CbPutLe16(payload.data(), wStatus);
    if (cbExtra > 0)
        memcpy(payload.data() + CB_STATUS_SIZE, pExtra, cbExtra);
    std::vector<BYTE> out;
    CbEncodeFrame(static_cast<BYTE>(bCommand | CB_CMD_REPLY), wSequence, payload.data(),
                  payload.size(), &out);
    if (m_options.bGarbage) {
        std::vector<BYTE> noisy(std::begin(kNoise), std::end(kNoise));
        std::vector<BYTE> damaged = out;
        damaged.back() ^= 0x5A;
        noisy.insert(noisy.end(), damaged.begin(), damaged.end());
        noisy.insert(noisy.end(), std::begin(kFalseStart), std::end(kFalseStart));
        out.insert(out.begin(), noisy.begin(), noisy.end());
    }
    // A real line delivers a reply in several reads, with gaps between.
    const size_t nPieces =
        m_options.nReplyPieces > 1 ? static_cast<size_t>(m_options.nReplyPieces) : 1;
    const size_t cbPiece = (out.size() + nPieces - 1) / nPieces;
    for (size_t pos = 0; pos < out.size(); pos += cbPiece) {
        if (pos != 0 && m_options.dwPieceGapMs != 0 && !Pause(m_options.dwPieceGapMs))
            return;
        const size_t cb = std::min(cbPiece, out.size() - pos);
        m_pty.Write(out.data() + pos, static_cast<DWORD>(cb), 1000);
    }
}

WORD CHandsetSim::Store(const BYTE* pRecord) {
    NvWriteRecord record;
    memcpy(&record, pRecord, sizeof(record));
    const BYTE* pBase = pRecord;
    struct Item {
        int32_t nFlag;
        size_t nOffset, cbField, nLength;
        std::string* pTarget;
    };
    std::string imei1, imei2, imei3, btAddr;
    const Item items[] = {
        {record.nWriteImei1, offsetof(NvWriteRecord, szImei1), 16, 15, &imei1},
        {record.nWriteImei2, offsetof(NvWriteRecord, szImei2), 16, 15, &imei2},
        {record.nWriteImei3, offsetof(NvWriteRecord, szImei3), 16, 15, &imei3},
        {record.nWriteBtAddr, offsetof(NvWriteRecord, szBtAddr), 13, 12, &btAddr},
    };
    // Every selected item is checked before anything is stored: all or none.
    for (const Item& item : items) {
        if (item.nFlag == 0)
            continue;
        if (!FieldText(pBase + item.nOffset, item.cbField, item.nLength, item.pTarget)) {
            return CB_NV_E_BAD_TEXT;
        }
    }
    HandsetResult& result = m_handset.result;
    std::string* targets[] = {&result.imei1, &result.imei2, &result.imei3, &result.btAddr};
    for (size_t i = 0; i < 4; ++i) {
        if (items[i].nFlag == 0)
            continue;
        *targets[i] = m_options.bCorrupt ? Corrupted(*items[i].pTarget) : *items[i].pTarget;
        result.bStored = true;
    }
    return 0;
}

void CHandsetSim::HandleFrame(const CbFrame& frame) {
    if (frame.bCommand & CB_CMD_REPLY)
        return;  // not a request
    const std::vector<BYTE>& payload = frame.payload;
    HandsetResult& result = m_handset.result;
    switch (frame.bCommand) {
        case CB_CMD_HELLO: {
            BYTE abExtra[1 + CB_HANDSET_ID_SIZE] = {};
            abExtra[0] = static_cast<BYTE>(m_handset.dwMode);
            std::snprintf(reinterpret_cast<char*>(abExtra + 1), CB_HANDSET_ID_SIZE, "SIM-%06u",
                          m_handset.nIndex);
            Reply(frame.bCommand, frame.wSequence, 0, abExtra, sizeof(abExtra));
            return;
        }
        case CB_CMD_ENTER_MODE: {
            WORD wStatus = 0;
            if (payload.size() != CB_MODE_REQUEST_SIZE) {
                wStatus = CB_NV_E_BAD_LENGTH;
            } else if (CbGetLe32(payload.data()) != CB_MODE_NV_WRITE) {
                wStatus = CB_NV_E_BAD_MODE;
            } else {
                m_handset.dwMode = CB_MODE_NV_WRITE;
            }
            Reply(frame.bCommand, frame.wSequence, wStatus, nullptr, 0);
            if (m_options.bUsb && wStatus == 0 && m_nDrops < m_options.nDropsAfterMode) {
                // Gone once the reply had its moment on the line, nothing stored.
                ++m_nDrops;
                m_power = Power::kUnplugging;
                m_dwPowerAt = GetTickCount() + m_options.dwUnplugDelayMs;
            }
            return;
        }
        case CB_CMD_NV_WRITE_DIRECT:
        case CB_CMD_NV_WRITE_FAST: {
            WORD wStatus = 0;
            const int nCall = ++m_handset.nWriteCalls;
            if (payload.size() != CB_RECORD_SIZE) {
                wStatus = CB_NV_E_BAD_LENGTH;
            } else if (m_handset.dwMode != CB_MODE_NV_WRITE) {
                wStatus = CB_NV_E_NOT_IN_MODE;
            } else {
                ++result.nWrites;
                // A refusal is never 0, or the station would count it a success.
                const WORD wFail = m_options.wFailCode != 0
                                       ? m_options.wFailCode
                                       : static_cast<WORD>(CB_NV_E_STORE_FAILED);
                wStatus = nCall <= m_options.nFailWrites ? wFail : Store(payload.data());
                if (wStatus != 0)
                    ++result.nRefused;
            }
            if (nCall <= m_options.nSlowWrites && !Pause(m_options.dwSlowReplyMs))
                return;
            Reply(frame.bCommand, frame.wSequence, wStatus, nullptr, 0);
            return;
        }
        case CB_CMD_NV_READ: {
            BYTE abText[CB_ITEM_TEXT_SIZE] = {};
            WORD wStatus = 0;
            const std::string* pText = nullptr;
            if (payload.size() != CB_READ_REQUEST_SIZE) {
                wStatus = CB_NV_E_BAD_LENGTH;
            } else if (m_handset.dwMode != CB_MODE_NV_WRITE) {
                wStatus = CB_NV_E_NOT_IN_MODE;
            } else {
                switch (CbGetLe16(payload.data())) {
                    case CB_ITEM_IMEI1:
                        pText = &result.imei1;
                        break;
                    case CB_ITEM_IMEI2:
                        pText = &result.imei2;
                        break;
                    case CB_ITEM_IMEI3:
                        pText = &result.imei3;
                        break;
                    case CB_ITEM_BT_ADDR:
                        pText = &result.btAddr;
                        break;
                    default:
                        wStatus = CB_NV_E_BAD_ITEM;
                        break;
                }
                if (pText != nullptr && pText->empty())
                    wStatus = CB_NV_E_NOT_STORED;
                if (wStatus == 0)
                    memcpy(abText, pText->data(), pText->size());
                ++result.nReads;
            }
            Reply(frame.bCommand, frame.wSequence, wStatus, wStatus == 0 ? abText : nullptr,
                  wStatus == 0 ? sizeof(abText) : 0);
            return;
        }
        case CB_CMD_END_TEST:
            Reply(frame.bCommand, frame.wSequence, 0, nullptr, 0);
            FinishHandset(true);
            return;
        default:
            Reply(frame.bCommand, frame.wSequence, CB_NV_E_UNKNOWN_COMMAND, nullptr, 0);
            return;
    }
}

void CHandsetSim::FinishHandset(bool bEnded) {
    HandsetResult result = m_handset.result;
    result.bEnded = bEnded;
    result.time = NowText();
    if (result.bStored)
        AppendCsv(result);
    if (m_options.onSummary) {
        char sz[256];
        if (result.bStored) {
            std::snprintf(sz, sizeof(sz),
                          "handset %u COM%u: stored IMEI1=%s IMEI2=%s IMEI3=%s BT=%s "
                          "(writes %d, refused %d, reads %d)%s",
                          result.nIndex, static_cast<unsigned>(result.dwPort),
                          result.imei1.empty() ? "-" : result.imei1.c_str(),
                          result.imei2.empty() ? "-" : result.imei2.c_str(),
                          result.imei3.empty() ? "-" : result.imei3.c_str(),
                          result.btAddr.empty() ? "-" : result.btAddr.c_str(), result.nWrites,
                          result.nRefused, result.nReads, bEnded ? "" : ", no end of test");
        } else {
            std::snprintf(sz, sizeof(sz),
                          "handset %u COM%u: nothing stored (writes %d, refused %d)", result.nIndex,
                          static_cast<unsigned>(result.dwPort), result.nWrites, result.nRefused);
        }
        m_options.onSummary(sz);
    }
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_results.push_back(result);
        if (m_options.nHandsets != 0 && m_results.size() >= m_options.nHandsets)
            m_bDone = true;
    }
    m_changed.notify_all();
    if (m_options.bUsb) {
        // Unplugged a moment later, so the acknowledgement reaches the station.
        m_handset.result.bStored = false;
        m_power = Power::kUnplugging;
        m_dwPowerAt = GetTickCount() + m_options.dwUnplugDelayMs;
    } else {
        NewHandset(Power::kOff);
    }
}

void CHandsetSim::AppendCsv(const HandsetResult& result) {
    if (m_options.csvPath.empty())
        return;
    bool bNew = false;
    {
        std::ifstream probe(m_options.csvPath, std::ios::binary | std::ios::ate);
        bNew = !probe.is_open() || probe.tellg() == 0;
    }
    std::ofstream out(m_options.csvPath, std::ios::binary | std::ios::app);
    if (bNew)
        out << "time,imei1,imei2,imei3,bt_address\n";
    out << CsvField(result.time) << ',' << CsvField(result.imei1) << ',' << CsvField(result.imei2)
        << ',' << CsvField(result.imei3) << ',' << CsvField(result.btAddr) << '\n';
}
