// The write job's worker: waits for the handset, records the numbers, writes
// them, reads them back, records the outcome. Runs on its own thread and
// reaches the runner only through Shared and posted messages.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "cellbridge/cellbridge.h"
#include "job_record.h"
#include "platform/win_sync.h"
#include "write_job.h"

using job_text::Ansi;
using job_text::Format;

namespace {

constexpr int kWriteTries = 3;
// The result code recorded for a job stopped before its first write went
// out (nothing reached the handset).
constexpr int kStoppedBeforeWrite = -1;

std::wstring FormatText(const wchar_t* lpszFmt, const std::string& ansi) {
    wchar_t szAnsi[64] = {};
    MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, szAnsi, 63);
    wchar_t szText[128];
    _snwprintf_s(szText, 128, _TRUNCATE, lpszFmt, szAnsi);
    return szText;
}

void CopyText(char* pField, size_t cbField, const std::wstring& text) {
    const std::string ansi = Ansi(text);
    std::memcpy(pField, ansi.c_str(), std::min(cbField - 1, ansi.size()));
}

// What a library result says about the handset's NV store. The protocol's
// writes are all-or-none: a handset's own refusal (16 and above, or a
// status it sent) stored nothing, and so did a call that sent nothing.
// Anything else after a write went out may have been stored.
JobResult ClassifyWrite(int nResult) {
    if (nResult == CB_OK)
        return JobResult::Written;
    if (nResult >= CB_E_HANDSET_BASE || nResult == CB_E_REFUSED || nResult == CB_E_NOT_READY ||
        nResult == CB_E_INVALID_ARG)
        return JobResult::Refused;
    return JobResult::Uncertain;
}

LedgerOutcome ToOutcome(JobResult result) {
    switch (result) {
        case JobResult::Written:
            return LedgerOutcome::Written;
        case JobResult::Refused:
            return LedgerOutcome::Refused;
        default:
            return LedgerOutcome::Uncertain;
    }
}

}  // namespace

const wchar_t MSG_POOL_NUMBER_INVALID[] = L"号码池给出的号码不合法，未写入手机!";

std::wstring CJobRunner::ClaimFailureText(const JobSpec& job, const ClaimError& claim) {
    switch (claim.kind) {
        case ClaimFailure::Conflict:
            return job.bGeneration ? L"号码已写过，请按Enter键重试!"
                                   : FormatText(L"号码%s已使用过，未写入手机!", claim.conflict);
        case ClaimFailure::Unreachable:
            return L"无法连接号码服务器，未写入手机!";
        case ClaimFailure::NoPool:
            return FormatText(L"号码池%s不存在，未写入手机!", job.pShared->pool);
        case ClaimFailure::PoolUsedUp:
            return FormatText(L"号码池%s已用完，未写入手机!", job.pShared->pool);
        default:
            return L"无法记录号码，未写入手机!";
    }
}

bool CJobRunner::TakeDrawnNumbers(JobSpec& job, const LedgerJob& row, NvWriteRecord& record) {
    struct Item {
        const std::string* pDrawn;
        char* pField;
        size_t cbField;
        std::wstring* pText;
        bool bAddress;
    };
    const Item items[] = {
        {&row.imei1, record.szImei1, sizeof record.szImei1, &job.imei1, false},
        {&row.imei2, record.szImei2, sizeof record.szImei2, &job.imei2, false},
        {&row.imei3, record.szImei3, sizeof record.szImei3, &job.imei3, false},
        {&row.btAddr, record.szBtAddr, sizeof record.szBtAddr, &job.btAddr, true}};
    // Checked as the boxes are checked before a job: whatever the server
    // holds, only 15-digit IMEIs and 12-digit addresses reach a handset.
    for (const Item& item : items) {
        const std::wstring text = WideFromUtf8(*item.pDrawn);
        if (!item.pDrawn->empty() &&
            !(item.bAddress ? IsHexText(text, 12) : IsDecimalText(text, 15)))
            return false;
    }
    for (const Item& item : items) {
        if (item.pDrawn->empty())
            continue;
        *item.pText = WideFromUtf8(*item.pDrawn);
        std::memset(item.pField, 0, item.cbField);
        CopyText(item.pField, item.cbField, *item.pText);
    }
    job.PostNumbers();
    return true;
}

void CJobRunner::JobSpec::Show(const std::wstring& text, std::optional<COLORREF> crBk) const {
    CJobRunner* p = pRunner;
    const uint64_t nId = nJobId;
    pShared->Post([p, nId, text, crBk] {
        if (p->m_nJobId == nId && p->m_bJobActive)
            p->m_view.ShowStatus(text, crBk);
    });
}

void CJobRunner::JobSpec::PostDone(int nResult, bool bFirstPass) const {
    CJobRunner* p = pRunner;
    const uint64_t nId = nJobId;
    pShared->Post([p, nId, nResult, bFirstPass] {
        if (p->m_nJobId == nId && p->m_bJobActive) {
            p->m_counts.Add(static_cast<JobResult>(nResult), bFirstPass);
            p->OnJobDone();
            p->m_view.JobFinished(nResult);
        }
    });
}

void CJobRunner::JobSpec::PostNumbers() const {
    CJobRunner* p = pRunner;
    const uint64_t nId = nJobId;
    const std::wstring numbers[4] = {imei1, imei2, imei3, btAddr};
    pShared->Post([p, nId, numbers] {
        if (p->m_nJobId != nId)
            return;
        NumberBoxes& job = p->m_jobNumbers;
        job.imei1.text = numbers[0];
        job.imei2.text = numbers[1];
        job.imei3.text = numbers[2];
        job.btAddr.text = numbers[3];
        if (p->m_bJobActive) {
            p->m_boxes.imei1.text = numbers[0];
            p->m_boxes.imei2.text = numbers[1];
            p->m_boxes.imei3.text = numbers[2];
            p->m_boxes.btAddr.text = numbers[3];
            p->m_view.SyncControlsFromBoxes();
        }
    });
}

void CJobRunner::JobSpec::PostUsbPort(int nNewPort) const {
    CJobRunner* p = pRunner;
    pShared->Post([p, nNewPort] { p->m_port.port = nNewPort; });
}

DWORD WINAPI CJobRunner::WorkerProc(LPVOID lpParam) {
    std::unique_ptr<JobSpec> pJob(static_cast<JobSpec*>(lpParam));
    WorkerMain(*pJob);
    return 0;
}

void CJobRunner::WorkerMain(JobSpec& job) {
    Shared& shared = *job.pShared;
    const DWORD t0 = GetTickCount();
    for (;;) {
        if (!job.bNoTimeout && GetTickCount() - t0 > static_cast<DWORD>(job.settings.timeoutMs)) {
            VX_SessionStopModeProcess(job.Session());
            VX_SessionEndPhoneTest(job.Session());
            job.Show(L"操作超时，请重试一下!!!", ColorFail);
            job.PostDone(static_cast<int>(JobResult::NotStarted));
            return;
        }
        if (WaitForSingleObject(shared.hStopEvent, 1) == WAIT_OBJECT_0) {
            // Stopped while waiting: the port is freed in either case (a
            // handset that entered its mode meanwhile is simply let go).
            if (WaitForSingleObject(shared.hModeEvent, 0) != WAIT_OBJECT_0)
                VX_SessionStopModeProcess(job.Session());
            VX_SessionEndPhoneTest(job.Session());
            return;
        }
        if (WaitForSingleObject(shared.hModeEvent, 0) == WAIT_OBJECT_0)
            break;
        Sleep(10);
    }
    ResetEvent(shared.hModeEvent);

    if (job.nUsb != 0) {
        Sleep(100);
        job.nPort = VX_SessionGetUsbPort(job.Session());
        job.PostUsbPort(job.nPort);
        if (VX_SessionBeginPhoneTest(job.Session(), job.nPort, 115200) != 0) {
            VX_SessionEndPhoneTest(job.Session());
            job.Show(Format(L"打开串口%d失败", job.nPort), ColorFail);
            job.PostDone(static_cast<int>(JobResult::NotStarted));
            return;
        }
    }
    job.Show(L"手机连接成功! 正在操作手机，请不要断电...", std::nullopt);
    if (job.nUsb == 0 &&
        WaitForSingleObject(shared.hStopEvent, static_cast<DWORD>(std::max(
                                                   0, job.settings.modeWaitMs))) == WAIT_OBJECT_0) {
        VX_SessionEndPhoneTest(job.Session());
        return;
    }

    NvWriteRecord record;
    std::memset(&record, 0, sizeof record);
    const StationSettings& s = job.settings;
    record.nWriteImei1 = s.imei1On;
    record.nWriteImei2 = s.imei2On;
    record.nWriteBtAddr = s.btOn;
    record.nWriteImei3 = s.imei3On;
    if (s.imei1On)
        CopyText(record.szImei1, sizeof record.szImei1, job.imei1);
    if (s.imei2On)
        CopyText(record.szImei2, sizeof record.szImei2, job.imei2);
    if (s.btOn)
        CopyText(record.szBtAddr, sizeof record.szBtAddr, job.btAddr);
    if (s.imei3On)
        CopyText(record.szImei3, sizeof record.szImei3, job.imei3);

    // Stop pressed since the handset connected: nothing goes out.
    const auto stopped = [&shared] {
        return WaitForSingleObject(shared.hStopEvent, 0) == WAIT_OBJECT_0;
    };
    if (stopped()) {
        VX_SessionEndPhoneTest(job.Session());
        return;
    }

    // The numbers are recorded, durably, before anything can reach the
    // handset; a record that cannot be written means no write.
    int64_t nRow = 0;
    std::string error;
    if (shared.pLedger) {
        LedgerJob row;
        row.port = (job.nUsb ? "USB:COM" : "COM") + std::to_string(job.nPort);
        row.imei1 = s.imei1On ? record.szImei1 : "";
        row.imei2 = s.imei2On ? record.szImei2 : "";
        row.imei3 = s.imei3On ? record.szImei3 : "";
        row.btAddr = s.btOn ? record.szBtAddr : "";
        // Every number is checked against the record in the same
        // transaction that takes it, so two stations sharing the record
        // never take one number between a check and the write.
        ClaimError claim;
        if (job.bPool) {
            PoolDraw draw;
            draw.imeiOn[0] = s.imei1On != 0;
            draw.imeiOn[1] = s.imei2On != 0;
            draw.imeiOn[2] = s.imei3On != 0;
            draw.bSameImei = s.useSame != 0;
            draw.bBtAddr = s.btOn && s.btAuto;
            nRow = shared.pLedger->ClaimPoolJob(draw, row, &claim);
            if (nRow != 0 && !TakeDrawnNumbers(job, row, record)) {
                shared.pLedger->FinishJob(nRow, LedgerOutcome::Refused, kStoppedBeforeWrite,
                                          &error);
                VX_SessionEndPhoneTest(job.Session());
                job.Show(MSG_POOL_NUMBER_INVALID, ColorFail);
                job.PostDone(static_cast<int>(JobResult::NotStarted));
                return;
            }
        } else {
            nRow = shared.pLedger->ClaimJob(row, {}, &claim);
        }
        if (nRow == 0 && claim.kind == ClaimFailure::Conflict && !job.bGeneration) {
            // A typed number on record is refused, unless this handset is
            // the one that carries it (a rework): then the numbers it holds
            // are taken again, and the others are still checked.
            const std::vector<std::string> carried = NumbersInHandset(job, row);
            if (std::find(carried.begin(), carried.end(), claim.conflict) != carried.end()) {
                claim = ClaimError();
                nRow = shared.pLedger->ClaimJob(row, carried, &claim);
            }
        }
        if (nRow == 0) {
            VX_SessionEndPhoneTest(job.Session());
            job.Show(ClaimFailureText(job, claim), ColorFail);
            if (claim.kind == ClaimFailure::Conflict && job.bGeneration && !job.bPool)
                shared.MarkUsed(job.nLastBody);
            job.PostDone(static_cast<int>(JobResult::NotStarted));
            return;
        }
    }
    if (stopped()) {
        // Stopped while the record was being taken (it can wait for another
        // station's transaction): the numbers were not sent.
        if (shared.pLedger)
            shared.pLedger->FinishJob(nRow, LedgerOutcome::Refused, kStoppedBeforeWrite, &error);
        VX_SessionEndPhoneTest(job.Session());
        return;
    }
    job.pWriting->store(true);

    int nResult = CB_E_SYSTEM;
    bool bMaybeStored = false;
    int nTries = 0;
    for (int nTry = 0; nTry < kWriteTries; ++nTry) {
        nTries = nTry + 1;
        // After Stop no new try starts; the one under way finishes.
        if (nTry > 0 && stopped())
            break;
        nResult = s.fastWrite ? VX_SessionFastWriteNvInfo(job.Session(), &record)
                              : VX_SessionNvWriteDirect(job.Session(), &record);
        Sleep(100);
        if (ClassifyWrite(nResult) == JobResult::Uncertain)
            bMaybeStored = true;
        if (nResult == 0)
            break;
    }

    JobResult result = ClassifyWrite(nResult);
    if (result == JobResult::Refused && bMaybeStored)
        result = JobResult::Uncertain;
    int nCode = nResult;
    bool bShowPass = result == JobResult::Written;
    if (result != JobResult::Written)
        job.Show(Format(L"写数据失败!错误代码: %d!", nResult), ColorFail);
    if (result == JobResult::Written && s.fastWrite && s.readBack) {
        const int r = ReadBack(job);
        if (r != 0) {
            // The handset holds something, but not what was sent: the
            // numbers are spent all the same.
            result = JobResult::Uncertain;
            nCode = r;
            bShowPass = false;
        }
    }

    if (shared.pLedger)
        shared.pLedger->FinishJob(nRow, ToOutcome(result), nCode, &error);
    if (job.bGeneration && !job.bPool && result != JobResult::Refused) {
        // Written or possibly written: these numbers never go to another
        // handset. The start number moves past them in the file at once.
        shared.MarkUsed(job.nLastBody);
        shared.SaveStartNumberPastUsed();
    }
    if (bShowPass)
        job.Show(
            s.fastWrite ? L"写数据成功!按Enter键继续下一个!" : L"写数据成功!按Enter键继续下一个",
            ColorPass);
    VX_SessionEndPhoneTest(job.Session());
    job.PostDone(static_cast<int>(result), result == JobResult::Written && nTries == 1);
}

int CJobRunner::ReadBack(JobSpec& job) {
    const StationSettings& s = job.settings;
    struct Item {
        int nOn;
        int nItem;
        const std::wstring* pWritten;
        int cb;
        const wchar_t* lpszReadFail;
        const wchar_t* lpszMismatch;
    };
    const Item items[] = {
        {s.imei1On, CB_ITEM_IMEI1, &job.imei1, 16, L"读 IMEI 失败!错误码: %d.",
         L"重写IMEI失败! 错误码: %d."},
        {s.imei2On, CB_ITEM_IMEI2, &job.imei2, 16, L"读IMEI2失败!错误码: %d!",
         L"重写IMEI2失败! 错误码: %d."},
        {s.imei3On, CB_ITEM_IMEI3, &job.imei3, 16, L"读IMEI3失败!错误码: %d!",
         L"重写IMEI3失败! 错误码: %d."},
        {s.btOn, CB_ITEM_BT_ADDR, &job.btAddr, 13, L"读IMEI失败!错误码: %d!",
         L"重写蓝牙失败! 错误码: %d."},
    };
    for (const Item& item : items) {
        if (!item.nOn)
            continue;
        char szText[16] = {};
        const int nCode = VX_SessionReadNvItem(job.Session(), item.nItem, szText, item.cb);
        if (nCode != 0) {
            job.Show(Format(item.lpszReadFail, nCode), ColorFail);
            return nCode;
        }
        const int r = std::strcmp(szText, Ansi(*item.pWritten).c_str());
        if (r != 0) {
            job.Show(Format(item.lpszMismatch, r), ColorFail);
            return r;
        }
    }
    return 0;
}

std::vector<std::string> CJobRunner::NumbersInHandset(const JobSpec& job, const LedgerJob& row) {
    const StationSettings& s = job.settings;
    const std::tuple<int, int, const std::string*> items[] = {
        {s.imei1On, CB_ITEM_IMEI1, &row.imei1},
        {s.imei2On, CB_ITEM_IMEI2, &row.imei2},
        {s.imei3On, CB_ITEM_IMEI3, &row.imei3},
        {s.btOn, CB_ITEM_BT_ADDR, &row.btAddr},
    };
    // An address's hexadecimal letters may differ in case only.
    const auto same = [](const std::string& a, const char* b) {
        return a.size() == std::strlen(b) && std::equal(a.begin(), a.end(), b, [](char x, char y) {
                   return std::toupper(static_cast<unsigned char>(x)) ==
                          std::toupper(static_cast<unsigned char>(y));
               });
    };
    std::vector<std::string> carried;
    for (const auto& [nOn, nItem, pText] : items) {
        char szText[16] = {};
        if (nOn && !pText->empty() &&
            VX_SessionReadNvItem(job.Session(), nItem, szText, sizeof szText) == 0 &&
            same(*pText, szText))
            carried.push_back(*pText);
    }
    return carried;
}
