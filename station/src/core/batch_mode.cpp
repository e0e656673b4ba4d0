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

    CNumberRules rules(settings);
    NumberBoxes boxes;
    CBatchView view;
    // The runner posts to the view until it is destroyed: declared after it.
    CJobRunner runner(settings, port, rules, boxes, view);
    if (!runner.CreateEvents()) {
        std::fprintf(pOut, "stampwell: events cannot be created\n");
        return finish(2);
    }
    runner.SetSettingsFile(file);

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
    if (settings.autoCreate)
        rules.RaiseStartNumber(ResumeStartBody(*pRecord, ReadDecimal(settings.startNumber)));
    runner.SetLedger(pRecord);
    if (!recordSettings.server.empty())
        runner.SetPool(recordSettings.pool);
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
        std::fprintf(pOut, "handset %d: %s COM%d imei1=%s imei2=%s imei3=%s bt=%s: %s\n", i,
                     bOk ? "PASS" : "FAIL", port.port,
                     settings.imei1On ? Utf8Text(job.imei1.text).c_str() : "-",
                     settings.imei2On ? Utf8Text(job.imei2.text).c_str() : "-",
                     settings.imei3On ? Utf8Text(job.imei3.text).c_str() : "-",
                     settings.btOn ? Utf8Text(job.btAddr.text).c_str() : "-",
                     Utf8Text(view.status).c_str());
        std::fflush(pOut);
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
    // Outcomes the line's server did not take are delivered in the
    // background; a while is given for that before the run ends (those left
    // stay queued on the station for its next run).
    for (DWORD t0 = GetTickCount();
         pRecord->PendingOutcomes() > 0 && GetTickCount() - t0 < kBatchDeliveryWaitMs;)
        Sleep(100);
    if (pRecord->PendingOutcomes() > 0)
        std::fprintf(pOut, "record: %d outcome(s) kept on the station for delivery\n",
                     pRecord->PendingOutcomes());
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
