// Batch mode: the write job driven from a plain loop.
#include "batch_mode.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "batch_view.h"
#include "job_runner.h"
#include "platform/win_sync.h"
#include "port_list.h"
#include "station_record.h"
#include "station_settings.h"
#include "station_slot.h"

namespace {

// How long the end of a run waits for the last worker to return.
constexpr DWORD kBatchWorkerWaitMs = 15000;
constexpr DWORD kBatchDeliveryWaitMs = 15000;

// One handset's typed numbers from the numbers file: "IMEI1,IMEI2,IMEI3,BT",
// blanks around a field ignored, empty fields for items not typed.
class CNumbersFile {
public:
    // lpszPath "-" is standard input. FALSE when the file cannot be opened.
    bool Open(const char* lpszPath) {
        m_pFile = std::strcmp(lpszPath, "-") == 0 ? stdin : std::fopen(lpszPath, "rb");
        m_bOwned = m_pFile != nullptr && m_pFile != stdin;
        return m_pFile != nullptr;
    }
    ~CNumbersFile() {
        if (m_bOwned)
            std::fclose(m_pFile);
    }
    CNumbersFile() = default;
    CNumbersFile(const CNumbersFile&) = delete;
    CNumbersFile& operator=(const CNumbersFile&) = delete;

    // The next line that is not blank, without its line end; FALSE at the end.
    // Read one at a time, so a program can feed standard input handset by
    // handset.
    bool NextLine(std::string& line) {
        for (;;) {
            line.clear();
            int c;
            while ((c = std::fgetc(m_pFile)) != EOF && c != '\n')
                line += static_cast<char>(c);
            if (c == EOF && line.empty())
                return false;
            ++m_nLine;
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.find_first_not_of(" \t") != std::string::npos)
                return true;
        }
    }
    int LineNumber() const { return m_nLine; }

private:
    std::FILE* m_pFile = nullptr;
    bool m_bOwned = false;
    int m_nLine = 0;
};

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Puts one line's numbers into the boxes the job reads. Only typed items
// are read: IMEIs in manual mode, IMEI1 in derivation mode (the derived
// IMEI2 and IMEI3 fields are not read), the address when it is typed. A
// value for an item that is neither in use nor typed means the file does
// not fit the settings: FALSE with the reason.
bool FillFromLine(const std::string& line, const StationSettings& s, NumberBoxes& boxes,
                  std::string& reason) {
    std::vector<std::string> fields;
    for (size_t pos = 0;;) {
        const size_t comma = line.find(',', pos);
        fields.push_back(Trim(line.substr(pos, comma - pos)));
        if (comma == std::string::npos)
            break;
        pos = comma + 1;
    }
    if (fields.size() > 4) {
        reason = "more than 4 fields (IMEI1,IMEI2,IMEI3,BT)";
        return false;
    }
    fields.resize(4);
    const bool bManual = !s.autoCreate && !s.autoFromImei1;
    struct Field {
        const char* lpszName;
        bool bTyped;    // read from the line
        bool bIgnored;  // may be given, is not read
        EditBox* pBox;
    };
    const Field items[4] = {
        {"IMEI1", s.imei1On && !s.autoCreate, false, &boxes.imei1},
        {"IMEI2", s.imei2On && bManual, s.imei2On && s.autoFromImei1 && !s.autoCreate,
         &boxes.imei2},
        {"IMEI3", s.imei3On && bManual, s.imei3On && s.autoFromImei1 && !s.autoCreate,
         &boxes.imei3},
        {"BT", s.btOn && !s.btAuto, false, &boxes.btAddr},
    };
    // The typed boxes take the line first, so a refused line is reported
    // with its own numbers.
    for (size_t i = 0; i < 4; ++i) {
        if (items[i].bTyped)
            items[i].pBox->text = WideFromUtf8(fields[i]);
    }
    for (size_t i = 0; i < 4; ++i) {
        if (!items[i].bTyped && !items[i].bIgnored && !fields[i].empty()) {
            reason = std::string(items[i].lpszName) + " is given but is not typed in this mode";
            return false;
        }
    }
    return true;
}

// One handset's line: "handset K: PASS|FAIL COMn imei1=.. imei2=.. imei3=.. bt=..: label".
void PrintHandset(std::FILE* pOut, int nHandset, bool bOk, int nPort, const StationSettings& s,
                  const NumberBoxes& job, const std::wstring& status) {
    std::fprintf(pOut, "handset %d: %s COM%d imei1=%s imei2=%s imei3=%s bt=%s: %s\n", nHandset,
                 bOk ? "PASS" : "FAIL", nPort, s.imei1On ? Utf8Text(job.imei1.text).c_str() : "-",
                 s.imei2On ? Utf8Text(job.imei2.text).c_str() : "-",
                 s.imei3On ? Utf8Text(job.imei3.text).c_str() : "-",
                 s.btOn ? Utf8Text(job.btAddr.text).c_str() : "-", Utf8Text(status).c_str());
    std::fflush(pOut);
}

// Waits (bounded) for outcomes the line's server did not take yet; those
// left stay queued on the station for its next run.
void WaitForDelivery(IJobRecord& record, std::FILE* pOut) {
    for (DWORD t0 = GetTickCount();
         record.PendingOutcomes() > 0 && GetTickCount() - t0 < kBatchDeliveryWaitMs;)
        Sleep(100);
    if (record.PendingOutcomes() > 0)
        std::fprintf(pOut, "record: %d outcome(s) kept on the station for delivery\n",
                     record.PendingOutcomes());
}

// A slot's panel in the batch mode: its label and numbers, its posts in the
// run's one queue.
class CBatchSlotPanel : public ISlotPanel {
public:
    explicit CBatchSlotPanel(CPostQueue& queue) : m_queue(queue) {}
    void ShowStatus(const std::wstring& text, std::optional<COLORREF> crBk) override {
        status = text;
        if (crBk)
            color = *crBk;
    }
    void ShowNumbers(const NumberBoxes&) override {}
    void ShowCounts(const JobCounts&) override {}
    void Post(std::function<void()> fn) override { m_queue.Post(std::move(fn)); }

    std::wstring status;
    COLORREF color = ColorIdle;

private:
    CPostQueue& m_queue;
};

// The batch mode with slots: nHandsets jobs in all, each slot taking the next
// one as soon as it is free. Returns the handsets written.
int RunSlots(int nHandsets, const std::vector<int>& ports, StationSettings& settings,
             CNumberRules& rules, const CSettingsFile& file,
             const std::shared_ptr<IJobRecord>& pRecord, const std::string& pool, std::FILE* pOut,
             bool* pbWorkersEnded, int64_t* pnStartForSave) {
    CPostQueue queue;
    std::vector<std::unique_ptr<CBatchSlotPanel>> panels;
    std::vector<std::unique_ptr<CSlot>> slots;
    int nStarted = 0, nFinished = 0, nWritten = 0;
    for (int nPort : ports) {
        panels.push_back(std::make_unique<CBatchSlotPanel>(queue));
        slots.push_back(std::make_unique<CSlot>(nPort, settings, rules, *panels.back()));
        CSlot& slot = *slots.back();
        CBatchSlotPanel& panel = *panels.back();
        if (!slot.Init(pRecord, pool, &file, slots.size() > 1 ? slots.front().get() : nullptr,
                       false)) {
            std::fprintf(pOut, "stampwell: events cannot be created\n");
            *pbWorkersEnded = true;
            return 0;
        }
        slot.mayStart = [&](CSlot&) { return nStarted < nHandsets && ++nStarted > 0; };
        slot.startFailed = [&](CSlot& failed) {
            // An absent port or a record out of reach: this slot stops, the
            // others go on.
            --nStarted;
            failed.Stop();
            std::fprintf(pOut, "slot COM%d: %s\n", failed.Port(), Utf8Text(panel.status).c_str());
            std::fflush(pOut);
        };
        slot.jobFinished = [&](CSlot& done, JobResult result) {
            const bool bOk = result == JobResult::Written && panel.color == ColorPass;
            nWritten += bOk ? 1 : 0;
            PrintHandset(pOut, ++nFinished, bOk, done.Port(), settings, done.Runner().JobNumbers(),
                         panel.status);
        };
    }
    for (auto& pSlot : slots) {
        pSlot->Runner().PrepareNumbers();
        pSlot->Run();
    }
    const auto idle = [&] {
        for (auto& pSlot : slots)
            if (pSlot->Running() || pSlot->Runner().JobActive())
                return false;
        return true;
    };
    while (!idle()) {
        queue.RunUntil([] { return false; }, 200);
        for (auto& pSlot : slots)
            pSlot->Tick();
    }
    *pbWorkersEnded = true;
    for (auto& pSlot : slots)
        *pbWorkersEnded = pSlot->Runner().WaitForWorker(kBatchWorkerWaitMs) && *pbWorkersEnded;
    // The slots share their used numbers: the first one's start number is
    // past every slot's.
    *pnStartForSave = slots.front()->Runner().StartNumberForSave();
    return nWritten;
}

}  // namespace

int RunBatch(int nHandsets, const char* lpszNumbersFile, std::FILE* pOut) {
    int nWritten = 0;
    std::wstring startNumber;
    // The summary ends every run, whatever ended it.
    const auto finish = [&](int nStatus) {
        std::fprintf(pOut, "summary: %d of %d handsets written, start number %s\n", nWritten,
                     nHandsets, Utf8Text(startNumber).c_str());
        std::fflush(pOut);
        return nStatus;
    };

    CSettingsFile file;
    if (!file.LocateBesideProgram()) {
        std::fprintf(pOut, "stampwell: the program's directory cannot be found\n");
        return finish(2);
    }
    StationSettings settings;
    PortSetting port;
    file.LoadSettings(settings, port);
    startNumber = settings.startNumber;
    ChooseSavedPort(FillPortList(), port);

    CNumbersFile numbers;
    if (lpszNumbersFile != nullptr && !numbers.Open(lpszNumbersFile)) {
        std::fprintf(pOut, "stampwell: the numbers file %s cannot be opened\n", lpszNumbersFile);
        return finish(2);
    }
    const bool bTyped =
        ((settings.imei1On || settings.imei2On || settings.imei3On) && !settings.autoCreate) ||
        (settings.btOn && !settings.btAuto);
    if (bTyped && lpszNumbersFile == nullptr) {
        std::fprintf(pOut, "stampwell: typed numbers need --numbers FILE\n");
        return finish(2);
    }

    std::vector<int> slotPorts;
    if (!file.LoadSlots(slotPorts)) {
        std::fprintf(pOut, "stampwell: %s\n", Utf8Text(MSG_SLOTS_INVALID).c_str());
        return finish(2);
    }
    std::wstring reason;
    if (!slotPorts.empty() && !SlotsCanRun(settings, &reason)) {
        std::fprintf(pOut, "stampwell: %s\n", Utf8Text(reason).c_str());
        return finish(2);
    }

    RecordSettings recordSettings;
    file.LoadRecordSettings(recordSettings);
    std::string error;
    std::shared_ptr<IJobRecord> pRecord = OpenStationRecord(file, recordSettings, &error);
    if (!pRecord) {
        std::fprintf(pOut, "stampwell: the record cannot be opened: %s\n", error.c_str());
        return finish(2);
    }
    if (pRecord->RecoveredCount() > 0)
        std::fprintf(pOut, "record: %d interrupted job(s) counted as written\n",
                     pRecord->RecoveredCount());
    CNumberRules rules(settings);
    if (settings.autoCreate)
        rules.RaiseStartNumber(ResumeStartBody(*pRecord, ReadDecimal(settings.startNumber)));
    const std::string pool = recordSettings.server.empty() ? std::string() : recordSettings.pool;

    if (!slotPorts.empty()) {
        bool bWorkersEnded = true;
        int64_t nStartForSave = ReadDecimal(settings.startNumber);
        nWritten = RunSlots(nHandsets, slotPorts, settings, rules, file, pRecord, pool, pOut,
                            &bWorkersEnded, &nStartForSave);
        WaitForDelivery(*pRecord, pOut);
        // As the single run's end does.
        file.SaveSettings(settings, port, nStartForSave);
        startNumber = settings.startNumber;
        const int nStatus = finish(nWritten == nHandsets ? 0 : 1);
        if (!bWorkersEnded)
            std::quick_exit(nStatus);
        return nStatus;
    }

    NumberBoxes boxes;
    CBatchView view;
    // The runner posts to the view until it is destroyed: declared after it.
    CJobRunner runner(settings, port, rules, boxes, view);
    if (!runner.CreateEvents()) {
        std::fprintf(pOut, "stampwell: events cannot be created\n");
        return finish(2);
    }
    runner.SetSettingsFile(file);
    runner.SetLedger(pRecord);
    runner.SetPool(pool);
    runner.PrepareNumbers();
    rules.ShowPreparedOnOpen(boxes);

    for (int i = 1; i <= nHandsets; ++i) {
        view.bFinished = false;
        view.result = JobResult::NotStarted;
        view.status.clear();
        bool bStarted = false;
        if (lpszNumbersFile != nullptr) {
            std::string line, reason;
            if (!numbers.NextLine(line)) {
                std::fprintf(pOut, "stampwell: the numbers file ended after %d handset(s)\n",
                             i - 1);
                break;
            }
            if (!FillFromLine(line, settings, boxes, reason))
                view.status =
                    WideFromUtf8("line " + std::to_string(numbers.LineNumber()) + ": " + reason);
        }
        if (view.status.empty())
            bStarted = runner.StartJob();
        if (bStarted)
            view.RunUntilFinished();
        // The numbers this job wrote (a pool's are known after its claim).
        const NumberBoxes job = bStarted ? runner.JobNumbers() : boxes;
        const bool bOk = bStarted && view.result == JobResult::Written && view.color == ColorPass;
        nWritten += bOk ? 1 : 0;
        PrintHandset(pOut, i, bOk, port.port, settings, job, view.status);
        if (!bStarted && lpszNumbersFile == nullptr) {
            // Generated numbers do not change between two starts that failed
            // at once (invalid numbers, a port that does not open): stop here.
            // Each line of a numbers file is a handset of its own.
            break;
        }
    }
    // The last worker posted its end just before it returned; no thread may
    // outlive the objects it uses (the library's state among them). Its
    // calls are bounded, so this wait is too.
    const bool bWorkerEnded = runner.WaitForWorker(kBatchWorkerWaitMs);
    WaitForDelivery(*pRecord, pOut);
    // As the window's close does (the start number was stored after every
    // write already).
    file.SaveSettings(settings, port, runner.StartNumberForSave());
    startNumber = settings.startNumber;
    const int nStatus = finish(nWritten == nHandsets ? 0 : 1);
    if (!bWorkerEnded) {
        // Never seen: a library call past its bound. Nothing of the process
        // may be torn down under it.
        std::quick_exit(nStatus);
    }
    return nStatus;
}
