#include "station_slot.h"

#include "job_record.h"
#include "label_colors.h"
#include "platform/win_sync.h"

namespace {

// A start that failed, or a job that did not write, is followed by the next
// start after this pause (an operator swaps the handset meanwhile; a port
// or server that is down is not asked in a tight loop).
constexpr DWORD kSlotRetryMs = 2000;

}  // namespace

const wchar_t MSG_SLOTS_NEED_GENERATION[] =
    L"多工位只能自动生成号码，请在设置中选择自动生成IMEI和蓝牙!";

bool SlotsCanRun(const StationSettings& s, std::wstring* pReason) {
    const bool bImei = s.imei1On || s.imei2On || s.imei3On;
    if ((bImei && !s.autoCreate) || (s.btOn && !s.btAuto) || (!bImei && !s.btOn)) {
        if (pReason != nullptr)
            *pReason = (!bImei && !s.btOn) ? MSG_NO_ITEM : MSG_SLOTS_NEED_GENERATION;
        return false;
    }
    return true;
}

CSlot::CSlot(int nPort, StationSettings& settings, CNumberRules& rules, ISlotPanel& panel)
    : m_settings(settings), m_rules(rules), m_panel(panel) {
    m_port.port = nPort;
    m_port.usb = 0;
    IStationView& view = *this;
    m_pRunner = std::make_unique<CJobRunner>(m_settings, m_port, m_rules, m_boxes, view);
}

CSlot::~CSlot() {
    m_pRunner->Detach();
}

bool CSlot::Init(std::shared_ptr<IJobRecord> pRecord, const std::string& pool,
                 const CSettingsFile* pFile, CSlot* pFirst, bool bWaitWithoutTimeout) {
    if (!m_pRunner->CreateEvents())
        return false;
    if (pFile != nullptr)
        m_pRunner->SetSettingsFile(*pFile);
    if (pRecord)
        m_pRunner->SetLedger(std::move(pRecord));
    m_pRunner->SetPool(pool);
    m_pRunner->SetWaitsForNewHandset(true);
    m_pRunner->SetWaitWithoutTimeout(bWaitWithoutTimeout);
    if (pFirst != nullptr)
        m_pRunner->ShareNumbersWith(*pFirst->m_pRunner);
    return true;
}

void CSlot::SyncControlsFromBoxes() {
    m_panel.ShowNumbers(m_boxes);
}

void CSlot::ShowStatus(const std::wstring& text, std::optional<COLORREF> crBk) {
    m_panel.ShowStatus(text, crBk);
}

void CSlot::Post(std::function<void()> fn) {
    m_panel.Post(std::move(fn));
}

void CSlot::Run() {
    m_bRunning = true;
    StartNext();
}

void CSlot::Stop() {
    m_bRunning = false;
    m_bRetry = false;
    if (m_pRunner->JobActive() || m_pRunner->WorkerAlive())
        m_pRunner->OnStop();
}

void CSlot::Tick() {
    if (m_bRunning && m_bRetry && static_cast<int32_t>(GetTickCount() - m_dwRetryAt) >= 0)
        StartNext();
}

void CSlot::StartNext() {
    m_bRetry = false;
    if (!m_bRunning || m_pRunner->JobActive())
        return;
    if (mayStart && !mayStart(*this)) {
        m_bRunning = false;
        return;
    }
    if (!m_pRunner->StartJob()) {
        // The label says why; tried again later.
        m_bRetry = true;
        m_dwRetryAt = GetTickCount() + kSlotRetryMs;
        if (startFailed)
            startFailed(*this);
    }
}

void CSlot::JobFinished(int nResult) {
    const JobResult result = static_cast<JobResult>(nResult);
    m_panel.ShowCounts(m_pRunner->Counts());
    if (jobFinished)
        jobFinished(*this, result);
    if (!m_bRunning)
        return;
    // A written handset is followed at once by a wait for the next one;
    // after a failure the label stays a moment before the next start.
    if (result == JobResult::Written) {
        StartNext();
    } else {
        m_bRetry = true;
        m_dwRetryAt = GetTickCount() + kSlotRetryMs;
    }
}
