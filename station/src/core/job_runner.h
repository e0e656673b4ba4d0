// The write job without widgets: the start on the caller's thread (the
// window's, or the batch mode's main thread), the worker that waits for the
// handset and writes, and the end. The window and the batch mode drive the
// same code; only IStationView differs.
//
// Files: the runner in job_runner.cpp, the worker in write_job.cpp, the
// choice of free numbers in number_allocation.cpp; what they share (and no
// caller needs) in write_job.h.
//
// Threads: every method runs on the runner's thread. The worker never reads
// or writes the runner's state: what it shows and reports is posted back
// through IStationView::Post, in order, and applied on the runner's thread.
// Numbers a worker wrote (or may have written) are also published at once
// through a shared counter, so no later preparation offers them again even
// before the posted messages arrive.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "label_colors.h"
#include "number_rules.h"
#include "platform/win_types.h"
#include "station_settings.h"

class IJobRecord;
struct ClaimError;
struct LedgerJob;
struct NvWriteRecord;

// A number the line's pool gave that is no valid IMEI or address: the job
// writes nothing.
extern const wchar_t MSG_POOL_NUMBER_INVALID[];

// The worker's message to the window that a job ended (with both
// parameters 0).
constexpr UINT WM_JOB_DONE = 0x0400 + 0x111;

// What the write job needs of the window (or of the batch mode).
class IStationView {
public:
    virtual ~IStationView() = default;
    // Takes the boxes' texts into the NumberBoxes the rules work on, and back.
    virtual void SyncBoxesFromControls() = 0;
    virtual void SyncControlsFromBoxes() = 0;
    // Shows a text on the result label; no colour keeps the label's colour.
    virtual void ShowStatus(const std::wstring& text, std::optional<COLORREF> crBk) = 0;
    // Start of a job: the four boxes, Write, Setup, the port list and Read
    // disabled. End of a job (bEnabled): Write and the port list enabled,
    // Setup when the operator has the privilege; the boxes are left to the
    // number rules.
    virtual void EnableJobControls(bool bEnabled) = 0;
    virtual void FocusImei1() = 0;
    virtual void FocusWrite() = 0;
    // Runs fn later on the view's thread, after everything posted before it.
    // Called from the worker thread. Must be safe after the view is gone
    // (see CJobRunner::Detach, which stops all posting first).
    virtual void Post(std::function<void()> fn) = 0;
    // A job ended (its WM_JOB_DONE arrived); the runner has already run
    // OnJobDone. For the batch mode's bookkeeping; the window does nothing.
    virtual void JobFinished(int /*nResult*/) {}
};

// How a finished job's numbers stand.
enum class JobResult {
    Written,     // the handset stored them
    Refused,     // the handset stored nothing (it said so), or no write was sent
    Uncertain,   // no clear answer after a write was sent: they may be stored
    NotStarted,  // the job ended before any write (time-out, port, validation)
};

// A station's (or a slot's) jobs since the program started: every job that
// ran, by how it ended.
struct JobCounts {
    int written = 0;
    int failed = 0;
    int firstPass = 0;  // written by the job's first write command (no retry)
    int Total() const { return written + failed; }
    void Add(JobResult result, bool bFirstPass) {
        if (result == JobResult::Written)
            ++written;
        else
            ++failed;
        if (bFirstPass)
            ++firstPass;
    }
    void Add(const JobCounts& other) {
        written += other.written;
        failed += other.failed;
        firstPass += other.firstPass;
    }
};
// "合格 W  失败 F  总数 T  直通率 P%": the counts as a window shows them; the
// first-pass yield (first-pass writes over all jobs) with one decimal, "-"
// before the first job.
std::wstring JobCountsText(const JobCounts& counts);

// The start body generation resumes at: past every number of the record in
// the start number's own allocation, or the start body itself.
int64_t ResumeStartBody(IJobRecord& record, int64_t nStartBody);

class CJobRunner {
public:
    CJobRunner(StationSettings& settings, PortSetting& port, CNumberRules& rules,
               NumberBoxes& boxes, IStationView& view);
    // Detaches (see below) if that was not done.
    ~CJobRunner();
    CJobRunner(const CJobRunner&) = delete;
    CJobRunner& operator=(const CJobRunner&) = delete;

    // The two manual-reset events, created not signalled, and the runner's
    // own phone-command session. FALSE when they cannot be created.
    bool CreateEvents();
    // A runner that starts its next job by itself: a job never enters the
    // handset the last one wrote while it is still connected, it waits for
    // the next handset.
    void SetWaitsForNewHandset(bool bOn);
    // Slots of one station: this runner takes its generated numbers from the
    // same count of used numbers as first, and keeps each job's numbers
    // from the other slots from its start on (a job that writes nothing
    // leaves a gap). Call before the first job.
    void ShareNumbersWith(CJobRunner& first);
    // A job waits for its handset until stopped (the settings' time-out
    // does not end it).
    void SetWaitWithoutTimeout(bool bOn) { m_bNoTimeout = bOn; }
    // The jobs that ran since the start, by outcome.
    const JobCounts& Counts() const { return m_counts; }
    HANDLE ModeEvent() const;
    HANDLE StopEvent() const;
    // The record of every handset written or tried, and the settings file
    // the advanced start number is stored in. Both may be left unset (tests
    // of the window alone); a job then writes nothing to either.
    void SetLedger(std::shared_ptr<IJobRecord> pLedger);
    void SetSettingsFile(const CSettingsFile& file);
    // Generation draws its IMEIs from this pool of the line's record (empty:
    // from the start number). The start number is then neither used nor
    // advanced.
    void SetPool(const std::string& pool);
    // The numbers of the current (or last) job as it writes them: the boxes
    // at its start, with the numbers its claim drew from the pool.
    const NumberBoxes& JobNumbers() const { return m_jobNumbers; }

    // Validates, opens the serial port, starts the worker and the mode entry.
    // Refused quietly (FALSE, nothing changes) while a job or a worker left by
    // Stop still runs. FALSE also when the job ends at the start (invalid
    // input, port failure), with the reason on the label.
    bool StartJob();
    // The worker's WM_JOB_DONE: prepares the next handset, re-enables.
    void OnJobDone();
    // Sets the stop event and waits at most 3000 ms for the worker. A worker
    // still inside a write then finishes on its own: it records its result
    // and the numbers it used, but shows nothing more.
    void StopWorker();
    // The Stop button: StopWorker, the next numbers, the idle text.
    void OnStop();
    // The window is closing: the worker (if any) is told to stop and left to
    // finish on its own, nothing is posted to the view any more. Never waits.
    void Detach();

    // The number preparation with every number already used by a worker
    // skipped (generation mode), and the boxes synchronised.
    void PrepareNumbers();
    // The start number to store on close: the corrected counter, but never
    // below a number a worker wrote or may have written in the same
    // allocation. In derivation mode with no number in the IMEI1 box, the
    // start number as it stands.
    int64_t StartNumberForSave() const;

    bool JobActive() const { return m_bJobActive; }
    bool WorkerAlive() const;
    // Waits up to dwMs for the last worker to return (TRUE at once when none
    // runs). A process ends only after this, so no worker outlives the
    // objects it uses.
    bool WaitForWorker(DWORD dwMs);

private:
    struct Shared;
    struct JobSpec;
    // The worker (write_job.cpp).
    static DWORD WINAPI WorkerProc(LPVOID lpParam);
    static void WorkerMain(JobSpec& job);
    static int ReadBack(JobSpec& job);
    // The job's numbers (as recorded in row) that the connected handset
    // already holds in the same item, read as the read-back reads.
    static std::vector<std::string> NumbersInHandset(const JobSpec& job, const LedgerJob& row);
    // The label's text for a claim that failed.
    static std::wstring ClaimFailureText(const JobSpec& job, const ClaimError& claim);
    // The numbers the pool gave: into the record sent and the job's texts,
    // and shown. FALSE (nothing taken) when one is not a 15-digit IMEI or a
    // 12-digit address.
    static bool TakeDrawnNumbers(JobSpec& job, const LedgerJob& row, NvWriteRecord& record);
    void ReapWorker();
    void FocusAfterJob();
    void EnableAfterJob();
    // The numbers drawn again while a job starts, keeping a typed Bluetooth
    // address.
    void RedrawForStart();
    // Number allocation (number_allocation.cpp).
    void ApplyUsedNumbers();
    enum class FreeNumbers { Found, NoneNearby, RangeUsedUp, RecordFailed };
    FreeNumbers SkipUsedNumbers();

    StationSettings& m_settings;
    PortSetting& m_port;
    CNumberRules& m_rules;
    NumberBoxes& m_boxes;
    IStationView& m_view;
    std::shared_ptr<Shared> m_pShared;
    HANDLE m_hWorker = nullptr;
    std::shared_ptr<std::atomic<bool>> m_pWriting;  // the current job reached its write
    bool m_bJobActive = false;
    bool m_bWorkerAbandoned = false;  // Stop left the worker inside a call
    uint64_t m_nJobId = 0;
    int64_t m_nJobLastBody = -1;
    NumberBoxes m_jobNumbers;
    JobCounts m_counts;
    bool m_bReserveAtStart = false;
    bool m_bNoTimeout = false;
};
