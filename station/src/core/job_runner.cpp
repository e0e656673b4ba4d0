// The write job: start, worker, end, stop.
#include "job_runner.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>
#include <tuple>
#include <vector>

#include "cellbridge/cellbridge.h"
#include "number_ledger.h"
#include "platform/win_codepage.h"
#include "platform/win_error.h"
#include "platform/win_format.h"
#include "platform/win_handle.h"
#include "platform/win_sync.h"

namespace {

constexpr DWORD kStopWaitMs = 3000;
constexpr int kWriteTries = 3;
// The result code recorded for a job stopped before its first write went
// out (nothing reached the handset).
constexpr int kStoppedBeforeWrite = -1;

std::wstring Format(const wchar_t* lpszFmt, int nValue) {
    wchar_t szText[128];
    _snwprintf_s(szText, 128, _TRUNCATE, lpszFmt, nValue);
    return szText;
}

std::wstring FormatText(const wchar_t* lpszFmt, const std::string& ansi) {
    wchar_t szAnsi[64] = {};
    MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, szAnsi, 63);
    wchar_t szText[128];
    _snwprintf_s(szText, 128, _TRUNCATE, lpszFmt, szAnsi);
    return szText;
}

std::string Ansi(const std::wstring& text) {
    char szText[64] = {};
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, szText, sizeof szText - 1, nullptr, nullptr);
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

// What the runner and its workers share. Lives as long as the longest of
// them: a worker left running after the window closed still has its events
// and its record.
struct CJobRunner::Shared {
    HANDLE hModeEvent = nullptr;
    HANDLE hStopEvent = nullptr;
    std::shared_ptr<CNumberLedger> pLedger;
    CSettingsFile settingsFile;
    bool bHaveSettingsFile = false;
    // The highest IMEI body a worker wrote or may have written (generation
    // mode) in the allocation used last, -1 for none yet.
    std::atomic<int64_t> nUsedUpTo{-1};

    std::mutex postLock;
    IStationView* pView = nullptr;  // null once the runner detached

    ~Shared() {
        if (hModeEvent != nullptr)
            CloseHandle(hModeEvent);
        if (hStopEvent != nullptr)
            CloseHandle(hStopEvent);
    }
    void Post(std::function<void()> fn) {
        std::lock_guard<std::mutex> lock(postLock);
        if (pView != nullptr)
            pView->Post(std::move(fn));
    }
    void MarkUsed(int64_t nBody) {
        // A number of another allocation starts that allocation's count (the
        // operator moved the start number there).
        int64_t nOld = nUsedUpTo.load();
        while ((nOld < nBody || !SameAllocation(nOld, nBody)) &&
               !nUsedUpTo.compare_exchange_weak(nOld, nBody)) {
        }
    }
};

// One job as the worker sees it: copied at the start, never shared with the
// window except through Shared and the posted messages.
struct CJobRunner::JobSpec {
    CJobRunner* pRunner = nullptr;  // only dereferenced in posted messages
    std::shared_ptr<Shared> pShared;
    std::shared_ptr<std::atomic<bool>> pWriting;
    uint64_t nJobId = 0;
    int nUsb = 0;
    int nPort = 0;
    StationSettings settings;
    std::wstring imei1, imei2, imei3, btAddr;
    bool bGeneration = false;
    int64_t nLastBody = -1;  // the body of the job's last IMEI (generation)

    // Shown only while the job is the window's current one.
    void Show(const std::wstring& text, std::optional<COLORREF> crBk) const {
        CJobRunner* p = pRunner;
        const uint64_t nId = nJobId;
        pShared->Post([p, nId, text, crBk] {
            if (p->m_nJobId == nId && p->m_bJobActive)
                p->m_view.ShowStatus(text, crBk);
        });
    }
    void PostDone(int nResult) const {
        CJobRunner* p = pRunner;
        const uint64_t nId = nJobId;
        pShared->Post([p, nId, nResult] {
            if (p->m_nJobId == nId && p->m_bJobActive) {
                p->OnJobDone();
                p->m_view.JobFinished(nResult);
            }
        });
    }
    void PostUsbPort(int nNewPort) const {
        CJobRunner* p = pRunner;
        pShared->Post([p, nNewPort] { p->m_port.port = nNewPort; });
    }
};

CJobRunner::CJobRunner(StationSettings& settings, PortSetting& port, CNumberRules& rules,
                       NumberBoxes& boxes, IStationView& view)
    : m_settings(settings),
      m_port(port),
      m_rules(rules),
      m_boxes(boxes),
      m_view(view),
      m_pShared(std::make_shared<Shared>()) {
    m_pShared->pView = &view;
}

CJobRunner::~CJobRunner() {
    Detach();
}

bool CJobRunner::CreateEvents() {
    m_pShared->hStopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_pShared->hModeEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return m_pShared->hStopEvent != nullptr && m_pShared->hModeEvent != nullptr;
}

HANDLE CJobRunner::ModeEvent() const {
    return m_pShared->hModeEvent;
}
HANDLE CJobRunner::StopEvent() const {
    return m_pShared->hStopEvent;
}

void CJobRunner::SetSettingsFile(const CSettingsFile& file) {
    m_pShared->settingsFile = file;
    m_pShared->bHaveSettingsFile = true;
}

void CJobRunner::SetLedger(std::shared_ptr<CNumberLedger> pLedger) {
    m_pShared->pLedger = std::move(pLedger);
    if (m_pShared->pLedger) {
        std::shared_ptr<CNumberLedger> pRecord = m_pShared->pLedger;
        // A record that cannot be read stops the search for a new address;
        // the job then fails to record its numbers and writes nothing.
        m_rules.SetBtAddressUsed([pRecord](const std::wstring& address) {
            std::string error;
            return pRecord->IsBtAddrUsed(Ansi(address), &error) && error.empty();
        });
    }
}

bool CJobRunner::WorkerAlive() const {
    return m_hWorker != nullptr && WaitForSingleObject(m_hWorker, 0) == WAIT_TIMEOUT;
}

bool CJobRunner::WaitForWorker(DWORD dwMs) {
    if (m_hWorker != nullptr && WaitForSingleObject(m_hWorker, dwMs) == WAIT_TIMEOUT)
        return false;
    ReapWorker();
    return true;
}

void CJobRunner::ReapWorker() {
    if (m_hWorker != nullptr && WaitForSingleObject(m_hWorker, 0) != WAIT_TIMEOUT) {
        CloseHandle(m_hWorker);
        m_hWorker = nullptr;
    }
}

void CJobRunner::ApplyUsedNumbers() {
    // Only within the start number's own allocation: a start number the
    // operator moved to another range in Setup is taken as it stands (the
    // record still keeps every used number of that range away).
    const int64_t nUsed = m_pShared->nUsedUpTo.load();
    if (m_settings.autoCreate && nUsed >= 0 &&
        SameAllocation(nUsed, ReadDecimal(m_settings.startNumber)))
        m_rules.RaiseStartNumber(nUsed + 1);
}

void CJobRunner::PrepareNumbers() {
    m_view.SyncBoxesFromControls();
    ApplyUsedNumbers();
    m_rules.PrepareNumbers(m_boxes);
    m_view.SyncControlsFromBoxes();
}

void CJobRunner::RedrawForStart() {
    const std::wstring typedBtAddr = m_boxes.btAddr.text;
    m_rules.PrepareNumbers(m_boxes);
    if (m_settings.btOn && !m_settings.btAuto)
        m_boxes.btAddr.text = typedBtAddr;
}

int64_t CJobRunner::StartNumberForSave() const {
    // In derivation mode the counter is what the IMEI1 box held; when that
    // is not a number (an empty box), the generation start number stays.
    if (m_settings.autoFromImei1 && !m_rules.CounterIsBody())
        return ReadDecimal(m_settings.startNumber);
    int64_t nStart = CounterForSave(m_settings, m_rules.Counter());
    const int64_t nUsed = m_pShared->nUsedUpTo.load();
    if (m_settings.autoCreate && nUsed >= nStart && SameAllocation(nUsed, nStart))
        nStart = std::min(nUsed + 1, AllocationLast(nUsed));
    return nStart;
}

// In generation mode, steps past numbers the record (or a worker of this
// run) holds as written or possibly written: a start number edited back in
// the file, one that a second station took, the last body of a used-up
// allocation. Never leaves the start number's allocation.
CJobRunner::FreeNumbers CJobRunner::SkipUsedNumbers() {
    if (!m_settings.autoCreate)
        return FreeNumbers::Found;
    for (int nTry = 0; nTry < 1000; ++nTry) {
        const std::pair<int, const std::wstring*> items[] = {
            {m_settings.imei1On, &m_rules.PreparedImei1()},
            {m_settings.imei2On, &m_rules.PreparedImei2()},
            {m_settings.imei3On, &m_rules.PreparedImei3()}};
        const int64_t nUsed = m_pShared->nUsedUpTo.load();
        bool bUsed = false;
        for (const auto& [nOn, pImei] : items) {
            if (!nOn)
                continue;
            const int64_t nBody = ReadDecimal(*pImei) / 10;
            if (nUsed >= 0 && nBody <= nUsed && SameAllocation(nBody, nUsed)) {
                bUsed = true;
                continue;
            }
            std::string error;
            if (m_pShared->pLedger && m_pShared->pLedger->IsImeiUsed(Ansi(*pImei), &error)) {
                // A record that cannot be read answers "used": give up at
                // once (the job could not record its numbers either).
                if (!error.empty())
                    return FreeNumbers::RecordFailed;
                bUsed = true;
            }
        }
        if (!bUsed)
            return FreeNumbers::Found;
        if (m_rules.Counter() + 1 > AllocationLast(ReadDecimal(m_settings.startNumber)))
            return FreeNumbers::RangeUsedUp;
        m_rules.RaiseStartNumber(m_rules.Counter() + 1);
        RedrawForStart();
    }
    return FreeNumbers::NoneNearby;
}

void CJobRunner::FocusAfterJob() {
    if (m_settings.imei1On && !m_settings.autoCreate && !m_settings.autoFromImei1)
        m_view.FocusImei1();
    else
        m_view.FocusWrite();
}

bool CJobRunner::StartJob() {
    // One job at a time, and never while a worker that Stop left behind is
    // still inside the library (its calls and ours must not overlap).
    if (m_bJobActive)
        return false;
    if (m_hWorker != nullptr && !m_bWorkerAbandoned) {
        // A worker that posted its end is past its last library call and
        // returning; this wait is that return.
        WaitForSingleObject(m_hWorker, 1000);
    }
    ReapWorker();
    if (m_hWorker != nullptr)
        return false;

    // Every redraw here keeps a typed Bluetooth address: it is the
    // operator's input for this handset.
    m_view.SyncBoxesFromControls();
    if (m_settings.autoCreate && !IsDecimalText(m_settings.startNumber, 14)) {
        m_view.ShowStatus(kMsgStartNumber, ColorFail);
        return false;
    }
    if (m_settings.autoFromImei1)
        RedrawForStart();
    // A worker's result that came in after the numbers on screen were drawn
    // moves the start number: draw them again from where it stands now.
    const std::wstring startBefore = m_settings.startNumber;
    ApplyUsedNumbers();
    if (m_settings.startNumber != startBefore)
        RedrawForStart();
    FreeNumbers free = SkipUsedNumbers();
    // The job's last number must stay in the start number's allocation.
    if (free == FreeNumbers::Found && m_settings.autoCreate &&
        !SameAllocation(ReadDecimal(m_settings.startNumber), m_rules.Counter()))
        free = FreeNumbers::RangeUsedUp;
    if (free != FreeNumbers::Found) {
        m_view.SyncControlsFromBoxes();
        m_view.ShowStatus(free == FreeNumbers::RecordFailed ? L"无法记录号码，未写入手机!"
                          : free == FreeNumbers::RangeUsedUp ? kMsgRangeUsedUp
                                                             : L"无可用IMEI号，请检查起始号!",
                          ColorFail);
        return false;
    }
    m_rules.ShowPreparedAtJobStart(m_boxes);
    m_view.SyncControlsFromBoxes();

    std::wstring status;
    if (!m_rules.ValidateInput(m_boxes, status)) {
        m_view.ShowStatus(status, ColorFail);
        m_view.FocusImei1();
        return false;
    }

    m_view.EnableJobControls(false);
    if (m_port.port == -1)
        m_port.usb = 1;

    if (m_port.usb == 0) {
        if (VX_BeginPhoneTest(m_port.port, 115200) != 0) {
            VX_EndPhoneTest();
            if (VX_BeginPhoneTest(m_port.port, 115200) != 0) {
                PrepareNumbers();
                EnableAfterJob();
                m_view.ShowStatus(Format(L"打开串口失败%d", m_port.port), ColorFail);
                VX_EndPhoneTest();
                FocusAfterJob();
                return false;
            }
        }
    }

    ResetEvent(m_pShared->hStopEvent);
    ResetEvent(m_pShared->hModeEvent);

    auto pJob = std::make_unique<JobSpec>();
    pJob->pRunner = this;
    pJob->pShared = m_pShared;
    pJob->pWriting = m_pWriting = std::make_shared<std::atomic<bool>>(false);
    pJob->nJobId = ++m_nJobId;
    pJob->nUsb = m_port.usb;
    pJob->nPort = m_port.port;
    pJob->settings = m_settings;
    pJob->imei1 = m_boxes.imei1.text;
    pJob->imei2 = m_boxes.imei2.text;
    pJob->imei3 = m_boxes.imei3.text;
    pJob->btAddr = m_boxes.btAddr.text;
    pJob->bGeneration = m_settings.autoCreate != 0;
    pJob->nLastBody = m_nJobLastBody = m_rules.Counter();

    m_bJobActive = true;
    m_bWorkerAbandoned = false;
    JobSpec* pRaw = pJob.release();
    m_hWorker = CreateThread(nullptr, 0, &CJobRunner::WorkerProc, pRaw, 0, nullptr);
    if (m_hWorker == nullptr) {
        delete pRaw;
        m_bJobActive = false;
        if (m_port.usb == 0)
            VX_EndPhoneTest();
        PrepareNumbers();
        EnableAfterJob();
        m_view.ShowStatus(Format(L"写数据失败!错误代码: %d!", CB_E_SYSTEM), ColorFail);
        FocusAfterJob();
        return false;
    }
    const int nEnter = VX_EnterModeProcess(m_port.usb, 10, m_pShared->hModeEvent, 0);
    if (nEnter != 0) {
        // The mode entry never started: the worker would only wait for the
        // whole time-out. It is stopped (it frees the port) and the reason
        // shown at once.
        StopWorker();
        m_bJobActive = false;
        PrepareNumbers();
        EnableAfterJob();
        m_view.ShowStatus(Format(L"进入写号模式失败!错误代码: %d!", nEnter), ColorFail);
        FocusAfterJob();
        return false;
    }
    m_view.ShowStatus(Format(L"请在%d秒内连接上手机并加电！", m_settings.timeoutMs / 1000),
                      ColorWait);
    return true;
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
        if (GetTickCount() - t0 > static_cast<DWORD>(job.settings.timeoutMs)) {
            VX_StopModeProcess();
            VX_EndPhoneTest();
            job.Show(L"操作超时，请重试一下!!!", ColorFail);
            job.PostDone(static_cast<int>(JobResult::NotStarted));
            return;
        }
        if (WaitForSingleObject(shared.hStopEvent, 1) == WAIT_OBJECT_0) {
            // Stopped while waiting: the port is freed in either case (a
            // handset that entered its mode meanwhile is simply let go).
            if (WaitForSingleObject(shared.hModeEvent, 0) != WAIT_OBJECT_0)
                VX_StopModeProcess();
            VX_EndPhoneTest();
            return;
        }
        if (WaitForSingleObject(shared.hModeEvent, 0) == WAIT_OBJECT_0)
            break;
        Sleep(10);
    }
    ResetEvent(shared.hModeEvent);

    if (job.nUsb != 0) {
        Sleep(100);
        job.nPort = VX_GetUsbPort();
        job.PostUsbPort(job.nPort);
        if (VX_BeginPhoneTest(job.nPort, 115200) != 0) {
            VX_EndPhoneTest();
            job.Show(Format(L"打开串口%d失败", job.nPort), ColorFail);
            job.PostDone(static_cast<int>(JobResult::NotStarted));
            return;
        }
    }
    job.Show(L"手机连接成功! 正在操作手机，请不要断电...", std::nullopt);
    if (job.nUsb == 0 &&
        WaitForSingleObject(shared.hStopEvent, static_cast<DWORD>(std::max(
                                                   0, job.settings.modeWaitMs))) == WAIT_OBJECT_0) {
        VX_EndPhoneTest();
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
        VX_EndPhoneTest();
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
        // transaction that takes it, so two stations sharing the file never
        // take one number between a check and the write.
        std::string conflict;
        nRow = shared.pLedger->BeginJobIfUnused(row, &conflict, &error);
        if (nRow == 0 && !conflict.empty() && !job.bGeneration) {
            // A typed number on record is refused, unless this handset is
            // the one that carries it (a rework): then the numbers it holds
            // are taken again, and the others are still checked.
            const std::vector<std::string> carried = NumbersInHandset(job, row);
            if (std::find(carried.begin(), carried.end(), conflict) != carried.end()) {
                conflict.clear();
                error.clear();
                nRow = shared.pLedger->BeginJobIfUnused(row, &conflict, &error, carried);
            }
        }
        if (nRow == 0 && !conflict.empty()) {
            VX_EndPhoneTest();
            if (job.bGeneration) {
                shared.MarkUsed(job.nLastBody);
                job.Show(L"号码已写过，请按Enter键重试!", ColorFail);
            } else {
                job.Show(FormatText(L"号码%s已使用过，未写入手机!", conflict), ColorFail);
            }
            job.PostDone(static_cast<int>(JobResult::NotStarted));
            return;
        }
        if (nRow == 0) {
            VX_EndPhoneTest();
            job.Show(L"无法记录号码，未写入手机!", ColorFail);
            job.PostDone(static_cast<int>(JobResult::NotStarted));
            return;
        }
    }
    if (stopped()) {
        // Stopped while the record was being taken (it can wait for another
        // station's transaction): the numbers were not sent.
        if (shared.pLedger)
            shared.pLedger->FinishJob(nRow, LedgerOutcome::Refused, kStoppedBeforeWrite, &error);
        VX_EndPhoneTest();
        return;
    }
    job.pWriting->store(true);

    int nResult = CB_E_SYSTEM;
    bool bMaybeStored = false;
    for (int nTry = 0; nTry < kWriteTries; ++nTry) {
        // After Stop no new try starts; the one under way finishes.
        if (nTry > 0 && stopped())
            break;
        nResult = s.fastWrite ? VX_FastWriteNvInfo(&record) : VX_NvWriteDirect(&record);
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
    if (job.bGeneration && result != JobResult::Refused) {
        // Written or possibly written: these numbers never go to another
        // handset. The start number moves past them in the file at once.
        shared.MarkUsed(job.nLastBody);
        // The last body of an allocation stays the start number: the next
        // job finds it used and is refused, instead of running on into the
        // next allocation.
        if (shared.bHaveSettingsFile)
            shared.settingsFile.SaveStartNumber(
                DecimalText(std::min(job.nLastBody + 1, AllocationLast(job.nLastBody))));
    }
    if (bShowPass)
        job.Show(
            s.fastWrite ? L"写数据成功!按Enter键继续下一个!" : L"写数据成功!按Enter键继续下一个",
            ColorPass);
    VX_EndPhoneTest();
    job.PostDone(static_cast<int>(result));
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
        const int nCode = VX_ReadNvItem(item.nItem, szText, item.cb);
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
        if (nOn && !pText->empty() && VX_ReadNvItem(nItem, szText, sizeof szText) == 0 &&
            same(*pText, szText))
            carried.push_back(*pText);
    }
    return carried;
}

int64_t ResumeStartBody(CNumberLedger& ledger, int64_t nStartBody) {
    // Only numbers of the start number's own type allocation (its first
    // eight digits) move it: a number typed by hand from another range must
    // never send generation into that range.
    const int64_t nHighest = ledger.HighestImeiBody();
    if (nHighest >= nStartBody && SameAllocation(nHighest, nStartBody))
        return std::min(nHighest + 1, AllocationLast(nHighest));
    return nStartBody;
}

void CJobRunner::EnableAfterJob() {
    m_view.EnableJobControls(true);
}

void CJobRunner::OnJobDone() {
    m_bJobActive = false;
    ReapWorker();
    PrepareNumbers();
    EnableAfterJob();
    FocusAfterJob();
    if (m_settings.autoFromImei1) {
        m_boxes.imei1.text.clear();
        m_view.SyncControlsFromBoxes();
    }
}

void CJobRunner::StopWorker() {
    if (m_hWorker == nullptr)
        return;
    SetEvent(m_pShared->hStopEvent);
    if (WaitForSingleObject(m_hWorker, kStopWaitMs) == WAIT_TIMEOUT) {
        // Still inside a bounded library call: it finishes on its own. The
        // numbers it is writing are spent now, whatever it reports later.
        if (m_pWriting && m_pWriting->load() && m_settings.autoCreate)
            m_pShared->MarkUsed(m_nJobLastBody);
        m_bWorkerAbandoned = true;
        return;  // the handle is kept until the worker has ended
    }
    CloseHandle(m_hWorker);
    m_hWorker = nullptr;
}

void CJobRunner::OnStop() {
    StopWorker();
    m_bJobActive = false;
    PrepareNumbers();
    if (m_settings.autoFromImei1) {
        m_boxes.imei1.text.clear();
        m_view.SyncControlsFromBoxes();
    }
    EnableAfterJob();
    m_view.ShowStatus(L"按Enter键继续下一个", ColorIdle);
    m_view.FocusWrite();
}

void CJobRunner::Detach() {
    {
        std::lock_guard<std::mutex> lock(m_pShared->postLock);
        m_pShared->pView = nullptr;
    }
    if (m_hWorker != nullptr) {
        SetEvent(m_pShared->hStopEvent);
        if (WaitForSingleObject(m_hWorker, 0) == WAIT_TIMEOUT && m_pWriting && m_pWriting->load() &&
            m_settings.autoCreate)
            m_pShared->MarkUsed(m_nJobLastBody);
        CloseHandle(m_hWorker);
        m_hWorker = nullptr;
    }
    m_bJobActive = false;
}
