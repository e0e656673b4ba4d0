// The write job's runner: the start on the caller's thread, the end, Stop
// and the close. The worker is in write_job.cpp, the choice of free numbers
// in number_allocation.cpp.
#include "job_runner.h"

#include <memory>

#include "cellbridge/cellbridge.h"
#include "job_record.h"
#include "platform/win_error.h"
#include "platform/win_sync.h"
#include "write_job.h"

namespace {

constexpr DWORD kStopWaitMs = 3000;

}  // namespace

using job_text::Ansi;
using job_text::Format;

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
    m_pShared->hSession = VX_CreateSession();
    return m_pShared->hStopEvent != nullptr && m_pShared->hModeEvent != nullptr &&
           m_pShared->hSession != nullptr;
}

void CJobRunner::ShareNumbersWith(CJobRunner& first) {
    m_pShared->pUsed = first.m_pShared->pUsed;
    m_bReserveAtStart = true;
    first.m_bReserveAtStart = true;
}

std::wstring JobCountsText(const JobCounts& counts) {
    wchar_t szYield[16] = L"-";
    if (counts.Total() > 0)
        _snwprintf_s(szYield, 16, _TRUNCATE, L"%.1f%%", 100.0 * counts.firstPass / counts.Total());
    wchar_t szText[128];
    _snwprintf_s(szText, 128, _TRUNCATE, L"合格 %d  失败 %d  总数 %d  直通率 %s", counts.written,
                 counts.failed, counts.Total(), szYield);
    return szText;
}

void CJobRunner::SetWaitsForNewHandset(bool bOn) {
    VX_SessionSetNewHandsetOnly(m_pShared->hSession, bOn ? 1 : 0);
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

void CJobRunner::SetPool(const std::string& pool) {
    m_pShared->pool = pool;
    m_rules.SetPoolGeneration(!pool.empty());
}

void CJobRunner::SetLedger(std::shared_ptr<IJobRecord> pLedger) {
    m_pShared->pLedger = std::move(pLedger);
    // An address another slot's job took is used; so is one on record. A
    // record on the network is never asked from this thread: the job's
    // claim checks every number.
    std::shared_ptr<IJobRecord> pRecord =
        m_pShared->pLedger && !m_pShared->pLedger->Networked() ? m_pShared->pLedger : nullptr;
    std::shared_ptr<Shared> pShared = m_pShared;
    m_rules.SetBtAddressUsed([pRecord, pShared](const std::wstring& address) {
        if (pShared->pUsed->IsBtTaken(address))
            return true;
        // A record that cannot be read stops the search for a new address;
        // the job then fails to record its numbers and writes nothing.
        std::string error;
        return pRecord && pRecord->IsBtAddrUsed(Ansi(address), &error) && error.empty();
    });
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
    const bool bPool = m_rules.PoolGeneration();
    if (m_settings.autoCreate && !bPool && !IsDecimalText(m_settings.startNumber, 14)) {
        m_view.ShowStatus(MSG_START_NUMBER, ColorFail);
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
    FreeNumbers free = bPool ? FreeNumbers::Found : SkipUsedNumbers();
    // The job's last number must stay in the start number's allocation.
    if (free == FreeNumbers::Found && m_settings.autoCreate && !bPool &&
        !SameAllocation(ReadDecimal(m_settings.startNumber), m_rules.Counter()))
        free = FreeNumbers::RangeUsedUp;
    if (free != FreeNumbers::Found) {
        m_view.SyncControlsFromBoxes();
        m_view.ShowStatus(free == FreeNumbers::RecordFailed ? L"无法记录号码，未写入手机!"
                          : free == FreeNumbers::RangeUsedUp ? MSG_RANGE_USED_UP
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
        if (VX_SessionBeginPhoneTest(m_pShared->hSession, m_port.port, 115200) != 0) {
            VX_SessionEndPhoneTest(m_pShared->hSession);
            if (VX_SessionBeginPhoneTest(m_pShared->hSession, m_port.port, 115200) != 0) {
                PrepareNumbers();
                EnableAfterJob();
                m_view.ShowStatus(Format(L"打开串口失败%d", m_port.port), ColorFail);
                VX_SessionEndPhoneTest(m_pShared->hSession);
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
    pJob->bPool = bPool;
    pJob->bNoTimeout = m_bNoTimeout;
    pJob->nLastBody = m_nJobLastBody = m_rules.Counter();
    m_jobNumbers = m_boxes;

    m_bJobActive = true;
    m_bWorkerAbandoned = false;
    JobSpec* pRaw = pJob.release();
    m_hWorker = CreateThread(nullptr, 0, &CJobRunner::WorkerProc, pRaw, 0, nullptr);
    if (m_hWorker == nullptr) {
        delete pRaw;
        m_bJobActive = false;
        if (m_port.usb == 0)
            VX_SessionEndPhoneTest(m_pShared->hSession);
        PrepareNumbers();
        EnableAfterJob();
        m_view.ShowStatus(Format(L"写数据失败!错误代码: %d!", CB_E_SYSTEM), ColorFail);
        FocusAfterJob();
        return false;
    }
    const int nEnter =
        VX_SessionEnterModeProcess(m_pShared->hSession, m_port.usb, 10, m_pShared->hModeEvent, 0);
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
    // Slots start side by side: the numbers this job took are kept from the
    // other slots' next preparations at once.
    if (m_bReserveAtStart && m_settings.autoCreate && !bPool)
        m_pShared->MarkUsed(m_nJobLastBody);
    if (m_bReserveAtStart && m_settings.btOn && m_settings.btAuto)
        m_pShared->pUsed->TakeBt(m_boxes.btAddr.text);
    m_view.ShowStatus(m_bNoTimeout
                          ? std::wstring(L"请连接手机并加电！")
                          : Format(L"请在%d秒内连接上手机并加电！", m_settings.timeoutMs / 1000),
                      ColorWait);
    return true;
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
        if (m_pWriting && m_pWriting->load() && m_settings.autoCreate && !m_rules.PoolGeneration())
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
            m_settings.autoCreate && !m_rules.PoolGeneration())
            m_pShared->MarkUsed(m_nJobLastBody);
        CloseHandle(m_hWorker);
        m_hWorker = nullptr;
    }
    m_bJobActive = false;
}
