// One slot of a station that writes several handsets at once: its own port,
// numbers, write job and counts, beside the other slots. The slots of a
// station share its settings, number rules and record, so no two slots ever
// draw one number. Each slot runs the same write job as the single window
// (CJobRunner); once a job ends it starts the next one by itself, which
// waits for the next handset (never the one just written while it is still
// connected). Widget-free: the window shows each slot in a panel, the batch
// mode prints it.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "job_runner.h"
#include "platform/win_types.h"
#include "station_settings.h"

class IJobRecord;

// What a slot shows, on the thread that runs its jobs.
class ISlotPanel {
public:
    virtual ~ISlotPanel() = default;
    // The slot's label: a text, and a colour (none keeps the colour).
    virtual void ShowStatus(const std::wstring& text, std::optional<COLORREF> crBk) = 0;
    // The numbers of its current handset.
    virtual void ShowNumbers(const NumberBoxes& numbers) = 0;
    // A job ended: its counts changed.
    virtual void ShowCounts(const JobCounts& counts) = 0;
    // Runs fn later on the panel's thread, after everything posted before;
    // called from the workers.
    virtual void Post(std::function<void()> fn) = 0;
};

// The modes a slot can run: generation of every number (a typed number
// would need an operator per slot). FALSE with the reason for the label.
bool SlotsCanRun(const StationSettings& settings, std::wstring* pReason);
// The reason's text.
extern const wchar_t MSG_SLOTS_NEED_GENERATION[];

class CSlot : private IStationView {
public:
    // settings and rules are the station's, shared by its slots; the panel
    // must outlive the slot.
    CSlot(int nPort, StationSettings& settings, CNumberRules& rules, ISlotPanel& panel);
    ~CSlot() override;
    CSlot(const CSlot&) = delete;
    CSlot& operator=(const CSlot&) = delete;

    // The record, the pool (empty: the start number) and the settings file;
    // pFirst: the station's first slot (null for the first itself), whose
    // numbers this one shares. FALSE when the slot's events or session
    // cannot be made.
    bool Init(std::shared_ptr<IJobRecord> pRecord, const std::string& pool,
              const CSettingsFile* pFile, CSlot* pFirst, bool bWaitWithoutTimeout);

    int Port() const { return m_port.port; }
    CJobRunner& Runner() { return *m_pRunner; }
    const JobCounts& Counts() const { return m_pRunner->Counts(); }
    bool Running() const { return m_bRunning; }

    // Starts a job now, and the next one whenever one ends; a start that
    // failed (an absent port, a record not reached) is tried again by Tick.
    void Run();
    // Stops the job under way (as the Stop button does) and starts no more.
    void Stop();
    // Call about once a second: a start that failed is tried again after
    // kSlotRetryMs.
    void Tick();
    // Called instead of starting the next job when it returns FALSE (the
    // batch mode's budget of handsets); the slot then idles until Run.
    std::function<bool(CSlot&)> mayStart;
    // Called when a job ended, after the counts (the batch mode's line).
    std::function<void(CSlot&, JobResult)> jobFinished;
    // Called when a job could not start (the label says why); without it the
    // start is tried again after a pause.
    std::function<void(CSlot&)> startFailed;

private:
    // IStationView: the slot's panel.
    void SyncBoxesFromControls() override {}
    void SyncControlsFromBoxes() override;
    void ShowStatus(const std::wstring& text, std::optional<COLORREF> crBk) override;
    void EnableJobControls(bool) override {}
    void FocusImei1() override {}
    void FocusWrite() override {}
    void Post(std::function<void()> fn) override;
    void JobFinished(int nResult) override;

    void StartNext();

    StationSettings& m_settings;
    CNumberRules& m_rules;
    ISlotPanel& m_panel;
    PortSetting m_port;
    NumberBoxes m_boxes;
    std::unique_ptr<CJobRunner> m_pRunner;
    bool m_bRunning = false;
    DWORD m_dwRetryAt = 0;
    bool m_bRetry = false;
};
