// Batch mode: the write job driven from a plain loop.
#include "batch_mode.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "job_runner.h"
#include "number_ledger.h"
#include "platform/win_codepage.h"
#include "port_list.h"
#include "station_settings.h"

namespace {

std::string Utf8(const std::wstring& text) {
    std::string out(text.size() * 4 + 1, '\0');
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(),
                                      static_cast<int>(out.size()), nullptr, nullptr);
    out.resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
    return out;
}

// The view of the batch mode: boxes are plain data, posted messages wait in
// a queue that the main loop runs.
class CBatchView : public IStationView {
public:
    void SyncBoxesFromControls() override {}
    void SyncControlsFromBoxes() override {}
    void ShowStatus(const std::wstring& text, std::optional<COLORREF> crBk) override {
        status = text;
        if (crBk)
            color = *crBk;
    }
    void EnableJobControls(bool) override {}
    void FocusImei1() override {}
    void FocusWrite() override {}
    void Post(std::function<void()> fn) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_queue.push_back(std::move(fn));
        m_cv.notify_one();
    }
    void JobFinished(int nResult) override {
        bFinished = true;
        result = static_cast<JobResult>(nResult);
    }
    // Runs posted messages until a job finished.
    void RunUntilFinished() {
        while (!bFinished) {
            std::function<void()> fn;
            {
                std::unique_lock<std::mutex> lock(m_lock);
                m_cv.wait(lock, [this] { return !m_queue.empty(); });
                fn = std::move(m_queue.front());
                m_queue.pop_front();
            }
            fn();
        }
    }

    std::wstring status;
    COLORREF color = ColorIdle;
    bool bFinished = false;
    JobResult result = JobResult::NotStarted;

private:
    std::mutex m_lock;
    std::condition_variable m_cv;
    std::deque<std::function<void()>> m_queue;
};

}  // namespace

int RunBatch(int nHandsets, std::FILE* pOut) {
    CSettingsFile file;
    if (!file.LocateBesideProgram()) {
        std::fprintf(pOut, "stampwell: the program's directory cannot be found\n");
        return 2;
    }
    StationSettings settings;
    PortSetting port;
    file.LoadSettings(settings, port);
    ChooseSavedPort(FillPortList(), port);

    CNumberRules rules(settings);
    NumberBoxes boxes;
    CBatchView view;
    // The runner posts to the view until it is destroyed: declared after it.
    CJobRunner runner(settings, port, rules, boxes, view);
    if (!runner.CreateEvents()) {
        std::fprintf(pOut, "stampwell: events cannot be created\n");
        return 2;
    }
    runner.SetSettingsFile(file);

    auto pRecord = std::make_shared<CNumberLedger>();
    std::string error;
    if (!pRecord->Open(file.RecordPath(), &error)) {
        std::fprintf(pOut, "stampwell: the record %s cannot be opened: %s\n",
                     file.RecordPath().c_str(), error.c_str());
        return 2;
    }
    if (pRecord->RecoveredCount() > 0)
        std::fprintf(pOut, "record: %d interrupted job(s) counted as written\n",
                     pRecord->RecoveredCount());
    if (settings.autoCreate)
        rules.RaiseStartNumber(ResumeStartBody(*pRecord, ReadDecimal(settings.startNumber)));
    runner.SetLedger(pRecord);
    runner.PrepareNumbers();
    rules.ShowPreparedOnOpen(boxes);

    if (!settings.autoCreate && (settings.imei1On || settings.imei2On || settings.imei3On)) {
        std::fprintf(pOut, "stampwell: batch mode needs generated numbers (AutoCreateIMEI=1)\n");
        return 2;
    }
    int nWritten = 0;
    for (int i = 1; i <= nHandsets; ++i) {
        view.bFinished = false;
        view.result = JobResult::NotStarted;
        const bool bStarted = runner.StartJob();
        const NumberBoxes job = boxes;  // the numbers this job writes
        if (bStarted)
            view.RunUntilFinished();
        const bool bOk = bStarted && view.result == JobResult::Written && view.color == ColorPass;
        nWritten += bOk ? 1 : 0;
        std::fprintf(
            pOut, "handset %d: %s COM%d imei1=%s imei2=%s imei3=%s bt=%s: %s\n", i,
            bOk ? "PASS" : "FAIL", port.port, settings.imei1On ? Utf8(job.imei1.text).c_str() : "-",
            settings.imei2On ? Utf8(job.imei2.text).c_str() : "-",
            settings.imei3On ? Utf8(job.imei3.text).c_str() : "-",
            settings.btOn ? Utf8(job.btAddr.text).c_str() : "-", Utf8(view.status).c_str());
        std::fflush(pOut);
        if (!bStarted) {
            // Nothing changes between two starts that failed at once
            // (invalid numbers, a port that does not open): stop here.
            break;
        }
    }
    // As the window's close does (the start number was stored after every
    // write already).
    file.SaveSettings(settings, port, runner.StartNumberForSave());
    std::fprintf(pOut, "summary: %d of %d handsets written, start number %s\n", nWritten, nHandsets,
                 Utf8(settings.startNumber).c_str());
    return nWritten == nHandsets ? 0 : 1;
}
