// Outcomes of jobs on the line's server that could not be delivered when
// their job ended (the server or the link was down), kept durably on the
// station until the server takes them. A SQLite file beside the program
// ("StampwellQueue.db", table `outcomes`), so a station killed or switched
// off meanwhile still delivers them after its restart.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "job_record.h"

struct sqlite3;

struct QueuedOutcome {
    std::string token;  // the job's token on the server
    LedgerOutcome outcome = LedgerOutcome::Uncertain;
    int nResult = 0;
};

// Thread-safe; failures return FALSE with *pError.
class COutcomeQueue {
public:
    COutcomeQueue() = default;
    ~COutcomeQueue();
    COutcomeQueue(const COutcomeQueue&) = delete;
    COutcomeQueue& operator=(const COutcomeQueue&) = delete;

    bool Open(const std::string& path, std::string* pError);
    void Close();
    // Keeps an outcome (a second one for the same token replaces the first);
    // on disk, synced, when it returns TRUE.
    bool Push(const QueuedOutcome& item, std::string* pError);
    // Every kept outcome, oldest first.
    bool Pending(std::vector<QueuedOutcome>* pItems, std::string* pError);
    // Forgets a delivered outcome.
    bool Remove(const std::string& token, std::string* pError);
    // Outcomes kept (-1 when the file cannot be read).
    int Count();

private:
    std::mutex m_lock;
    sqlite3* m_pDb = nullptr;
};
