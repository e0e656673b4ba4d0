// Private to the write job's three files: job_runner.cpp (start, end, stop),
// write_job.cpp (the worker that waits for the handset and writes) and
// number_allocation.cpp (which numbers a job may take). Callers of the runner
// include job_runner.h only.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "cellbridge/cellbridge.h"
#include "job_runner.h"
#include "platform/win_codepage.h"
#include "platform/win_format.h"
#include "platform/win_handle.h"
#include "station_settings.h"

// The texts of the job's messages, and the numbers as the library's ANSI
// fields and the record hold them.
namespace job_text {

inline std::wstring Format(const wchar_t* lpszFmt, int nValue) {
    wchar_t szText[128];
    _snwprintf_s(szText, 128, _TRUNCATE, lpszFmt, nValue);
    return szText;
}

inline std::string Ansi(const std::wstring& text) {
    char szText[64] = {};
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, szText, sizeof szText - 1, nullptr, nullptr);
    return szText;
}

}  // namespace job_text

// What the runner and its workers share. Lives as long as the longest of
// them: a worker left running after the window closed still has its events
// and its record.
struct CJobRunner::Shared {
    HANDLE hModeEvent = nullptr;
    HANDLE hStopEvent = nullptr;
    // The runner's own phone-command session: its port, mode entry and
    // handset, apart from every other runner's.
    HVXSESSION hSession = nullptr;
    std::shared_ptr<IJobRecord> pLedger;
    std::string pool;  // generation's pool on the line's record, empty for none
    CSettingsFile settingsFile;
    bool bHaveSettingsFile = false;
    // The numbers this run's jobs took; one for all the runners of a
    // station's slots.
    struct UsedNumbers {
        // The highest IMEI body a worker wrote or may have written
        // (generation mode) in the allocation used last, -1 for none yet.
        std::atomic<int64_t> nUpTo{-1};
        // Generated addresses given to jobs (slots start side by side, and
        // addresses made in one second are equal).
        std::mutex lock;
        std::set<std::wstring> btTaken;
        // Orders the workers' stores of the start number.
        std::mutex saveLock;
        bool IsBtTaken(const std::wstring& address) {
            std::lock_guard<std::mutex> guard(lock);
            return btTaken.count(address) != 0;
        }
        void TakeBt(const std::wstring& address) {
            std::lock_guard<std::mutex> guard(lock);
            btTaken.insert(address);
        }
    };
    std::shared_ptr<UsedNumbers> pUsed = std::make_shared<UsedNumbers>();

    std::mutex postLock;
    IStationView* pView = nullptr;  // null once the runner detached

    ~Shared() {
        // The last owner is gone: no call on the session is in progress.
        VX_DestroySession(hSession);
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
    // Publishes nBody as written or possibly written (number_allocation.cpp).
    void MarkUsed(int64_t nBody);
    // Stores the start number past every number published so far, when there
    // is a settings file (number_allocation.cpp).
    void SaveStartNumberPastUsed();
};

// One job as the worker sees it: copied at the start, never shared with the
// window except through Shared and the posted messages. Its messages to the
// view are in write_job.cpp.
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
    bool bPool = false;       // generation draws from the pool (bGeneration too)
    bool bNoTimeout = false;  // waits for its handset until stopped
    int64_t nLastBody = -1;   // the body of the job's last IMEI (generation)

    HVXSESSION Session() const { return pShared->hSession; }
    // Shown only while the job is the window's current one.
    void Show(const std::wstring& text, std::optional<COLORREF> crBk) const;
    // The end of the job; bFirstPass: written by its first write command.
    void PostDone(int nResult, bool bFirstPass = false) const;
    void PostUsbPort(int nNewPort) const;
    // The numbers the claim drew, shown in the boxes while the job is the
    // window's current one.
    void PostNumbers() const;
};
