#include "server_record.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <random>
#include <set>

#include "line_admin.h"
#include "line_schema.h"
#include "number_rules.h"
#include "outcome_queue.h"
#include "pg_connection.h"
#include "platform/win_sync.h"

namespace {

// How often the delivery thread looks at the queue, and how long the
// record's end waits for it.
constexpr DWORD kDeliveryPeriodMs = 1000;
constexpr DWORD kDeliveryStopWaitMs = 3000;
// Pool numbers that someone claimed by hand are skipped (a gap); this many
// in a row end the claim.
constexpr int kPoolTries = 64;
// The result code recorded for a job whose claim's commit went unanswered:
// nothing was sent to a handset.
constexpr int kNotSent = -1;

// A server connection and its lock.
struct Link {
    std::mutex lock;
    CPgConnection db;
};

std::string Upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

struct CServerRecord::State {
    ServerRecordSettings settings;
    std::string tokenPrefix;
    std::atomic<uint64_t> nNextToken{1};
    COutcomeQueue queue;
    Link jobLink;       // claims, outcomes, lookups
    Link deliveryLink;  // the delivery thread's own
    std::mutex recoverLock;
    std::atomic<bool> bRecovered{false};  // written under recoverLock
    std::atomic<int> nRecovered{0};
    std::atomic<int> nPending{0};
    std::mutex tokenLock;
    std::map<int64_t, std::string> tokens;  // jobs begun and not finished
    HANDLE hStop = nullptr;

    ~State() {
        if (hStop != nullptr)
            CloseHandle(hStop);
    }

    // Connects when needed, checks the schema, and (once per run, before
    // any claim of this run) recovers this station's unfinished jobs.
    // *pbUnreachable (when not null) tells a server that did not answer
    // from one that answered wrongly.
    bool Ready(CPgConnection& db, std::string* pError, bool* pbUnreachable = nullptr) {
        if (pbUnreachable != nullptr)
            *pbUnreachable = false;
        if (!db.IsOpen()) {
            if (!db.Connect(settings.conninfo, "stampwell " + settings.trace.station,
                            PG_CONNECT_TIMEOUT_MS, pError)) {
                if (pbUnreachable != nullptr)
                    *pbUnreachable = true;
                return false;
            }
            if (!CheckLineSchema(db, pError)) {
                if (pbUnreachable != nullptr)
                    *pbUnreachable = db.LinkLost();
                db.Close();
                return false;
            }
        }
        std::lock_guard<std::mutex> lock(recoverLock);
        if (bRecovered)
            return true;
        CPgResult rows;
        if (!db.Exec("UPDATE jobs SET outcome = 'presumedwritten' WHERE station = $1 AND "
                     "outcome = 'inflight'",
                     {settings.trace.station}, &rows, pError)) {
            if (pbUnreachable != nullptr)
                *pbUnreachable = db.LinkLost();
            return false;
        }
        nRecovered = static_cast<int>(rows.Changed());
        bRecovered = true;
        return true;
    }

    std::string NewToken() { return tokenPrefix + "-" + std::to_string(nNextToken++); }

    // The outcome's transaction on the server. 1 done, 0 no unfinished job
    // with that token, -1 failure (LinkLost tells a lost link).
    int Finish(CPgConnection& db, const QueuedOutcome& item, std::string* pError) {
        if (!db.Run("BEGIN", pError))
            return -1;
        CPgResult rows;
        bool bOk = db.Exec(LINE_SQL_FINISH_JOB,
                           {item.token, std::string(LedgerOutcomeName(item.outcome)),
                            std::to_string(item.nResult)},
                           &rows, pError);
        const bool bFound = bOk && rows.Rows() == 1;
        if (bFound && item.outcome == LedgerOutcome::Refused) {
            // Nothing reached the handset: its numbers are free again, and a
            // pool's go back to this station for its next handset.
            const std::string id = rows.Text(0, 0);
            bOk = db.Exec("DELETE FROM numbers WHERE job_id = $1::bigint", {id}, nullptr, pError) &&
                  (rows.Text(0, 1) != "t" ||
                   db.Exec("INSERT INTO spares (range_name, station, bodies, bt_value) "
                           "SELECT pool, station, pool_bodies, pool_bt FROM jobs WHERE id = "
                           "$1::bigint",
                           {id}, nullptr, pError));
        }
        if (bOk && db.Run("COMMIT", pError))
            return bFound ? 1 : 0;
        if (db.IsOpen())
            db.Run("ROLLBACK", nullptr);
        return -1;
    }

    // Keeps an outcome that could not be delivered.
    bool Queue(const QueuedOutcome& item, std::string* pError) {
        if (!queue.Push(item, pError))
            return false;
        nPending = queue.Count();
        return true;
    }

    bool Deliver(std::string* pError) {
        std::vector<QueuedOutcome> items;
        if (!queue.Pending(&items, pError))
            return false;
        nPending = static_cast<int>(items.size());
        if (items.empty())
            return true;
        std::lock_guard<std::mutex> lock(deliveryLink.lock);
        if (!Ready(deliveryLink.db, pError))
            return false;
        for (const QueuedOutcome& item : items) {
            if (Finish(deliveryLink.db, item, pError) < 0)
                return false;
            // Delivered, or its job was never recorded (its claim did not
            // commit) or already finished: either way nothing is left to do.
            if (!queue.Remove(item.token, pError))
                return false;
            --nPending;
        }
        return true;
    }
};

namespace {

DWORD WINAPI DeliveryProc(LPVOID lpParam) {
    std::unique_ptr<std::shared_ptr<CServerRecord::State>> pHeld(
        static_cast<std::shared_ptr<CServerRecord::State>*>(lpParam));
    CServerRecord::State& state = **pHeld;
    // The first round at once: it also reaches the server early, so this
    // station's unfinished jobs are recovered before the first claim waits
    // for it.
    DWORD dwWait = 0;
    while (WaitForSingleObject(state.hStop, dwWait) == WAIT_TIMEOUT) {
        std::string error;
        if (state.nPending.load() > 0 || !state.bRecovered.load()) {
            if (state.nPending.load() > 0) {
                state.Deliver(&error);
            } else {
                std::lock_guard<std::mutex> lock(state.deliveryLink.lock);
                state.Ready(state.deliveryLink.db, &error);
            }
        }
        dwWait = kDeliveryPeriodMs;
    }
    std::lock_guard<std::mutex> lock(state.deliveryLink.lock);
    state.deliveryLink.db.Close();
    return 0;
}

}  // namespace

CServerRecord::CServerRecord() = default;

CServerRecord::~CServerRecord() {
    if (m_hDelivery != nullptr) {
        SetEvent(m_pState->hStop);
        WaitForSingleObject(m_hDelivery, kDeliveryStopWaitMs);
        CloseHandle(m_hDelivery);
    }
}

bool CServerRecord::Open(const ServerRecordSettings& settings, std::string* pError) {
    if (m_pState) {
        if (pError != nullptr)
            *pError = "the server record is already open";
        return false;
    }
    if (settings.conninfo.empty() || settings.trace.station.empty()) {
        if (pError != nullptr)
            *pError = "the server record needs a server and a station name";
        return false;
    }
    auto pState = std::make_shared<State>();
    pState->settings = settings;
    // Tokens must never repeat across runs of any station: the station's
    // name, and 64 random bits for this run.
    std::random_device random;
    char szRun[40] = {};
    std::snprintf(szRun, sizeof szRun, "%08x%08x", random(), random());
    pState->tokenPrefix = settings.trace.station + "-" + szRun;
    if (!pState->queue.Open(settings.queuePath, pError))
        return false;
    pState->nPending = pState->queue.Count();
    pState->hStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (pState->hStop == nullptr) {
        if (pError != nullptr)
            *pError = "cannot create the delivery thread's event";
        return false;
    }
    auto* pHeld = new std::shared_ptr<State>(pState);
    m_hDelivery = CreateThread(nullptr, 0, &DeliveryProc, pHeld, 0, nullptr);
    if (m_hDelivery == nullptr) {
        delete pHeld;
        if (pError != nullptr)
            *pError = "cannot start the delivery thread";
        return false;
    }
    m_pState = pState;
    return true;
}

bool CServerRecord::Connect(std::string* pError) {
    std::lock_guard<std::mutex> lock(m_pState->jobLink.lock);
    return m_pState->Ready(m_pState->jobLink.db, pError);
}

int64_t CServerRecord::ClaimJob(const LedgerJob& job, const std::vector<std::string>& inHandset,
                                ClaimError* pError) {
    LedgerJob row = job;
    return Claim(nullptr, row, inHandset, pError);
}

int64_t CServerRecord::ClaimPoolJob(const PoolDraw& draw, LedgerJob& job, ClaimError* pError) {
    return Claim(&draw, job, {}, pError);
}

int64_t CServerRecord::Claim(const PoolDraw* pDraw, LedgerJob& job,
                             const std::vector<std::string>& inHandset, ClaimError* pError) {
    ClaimError local;
    ClaimError& err = pError != nullptr ? *pError : local;
    if (!m_pState) {
        err.kind = ClaimFailure::RecordFailed;
        err.message = "the server record is not open";
        return 0;
    }
    State& state = *m_pState;
    const ServerRecordSettings& s = state.settings;
    if (pDraw != nullptr && s.pool.empty()) {
        err.kind = ClaimFailure::NoPool;
        err.message = "no pool is set for this station";
        return 0;
    }
    std::lock_guard<std::mutex> lock(state.jobLink.lock);
    CPgConnection& db = state.jobLink.db;
    bool bUnreachable = false;
    if (!state.Ready(db, &err.message, &bUnreachable)) {
        err.kind = bUnreachable ? ClaimFailure::Unreachable : ClaimFailure::RecordFailed;
        return 0;
    }
    const std::string token = state.NewToken();
    const auto fail = [&](ClaimFailure kind) {
        err.kind = db.LinkLost() ? ClaimFailure::Unreachable : kind;
        if (db.IsOpen())
            db.Run("ROLLBACK", nullptr);
        return int64_t{0};
    };
    if (!db.Run("BEGIN", &err.message))
        return fail(ClaimFailure::RecordFailed);

    const auto numbersOf = [](const LedgerJob& row) {
        std::vector<std::string> numbers;
        for (const std::string* p : {&row.imei1, &row.imei2, &row.imei3})
            if (!p->empty())
                numbers.push_back(*p);
        if (!row.btAddr.empty())
            numbers.push_back(Upper(row.btAddr));
        return numbers;
    };
    const auto insertJob = [&](const LedgerJob& row, const PgParam& bodies, const PgParam& bt,
                               CPgResult* pRows) {
        const PgParam none;
        const auto text = [](const std::string& t) { return t.empty() ? PgParam() : PgParam(t); };
        return db.Exec(LINE_SQL_INSERT_JOB,
                       {token, s.trace.station, row.port, text(row.imei1), text(row.imei2),
                        text(row.imei3), text(row.btAddr), pDraw ? PgParam(s.pool) : none, bodies,
                        bt, text(s.trace.operatorName), text(s.trace.workOrder)},
                       pRows, &err.message);
    };
    // The numbers of row not claimed by this insert (used already), in the
    // row's order.
    const auto claim = [&](const std::vector<std::string>& numbers, const std::string& id,
                           std::vector<std::string>* pMissing) {
        CPgResult rows;
        if (!db.Exec(LINE_SQL_CLAIM_NUMBERS, {PgTextArray(numbers), id}, &rows, &err.message))
            return false;
        std::set<std::string> claimed;
        for (int i = 0; i < rows.Rows(); ++i)
            claimed.insert(rows.Text(i, 0));
        pMissing->clear();
        for (const std::string& number : numbers)
            if (claimed.count(number) == 0 &&
                std::find(pMissing->begin(), pMissing->end(), number) == pMissing->end())
                pMissing->push_back(number);
        return true;
    };

    int64_t nId = 0;
    if (pDraw == nullptr) {
        CPgResult rows;
        if (!insertJob(job, PgParam(), PgParam(), &rows))
            return fail(ClaimFailure::RecordFailed);
        const std::string id = rows.Text(0, 0);
        std::vector<std::string> missing;
        if (!claim(numbersOf(job), id, &missing))
            return fail(ClaimFailure::RecordFailed);
        bool bRework = false;
        for (const std::string& number : missing) {
            const bool bCarried =
                std::any_of(inHandset.begin(), inHandset.end(),
                            [&](const std::string& c) { return Upper(c) == Upper(number); });
            if (!bCarried) {
                err.conflict = number;
                err.message = "the number " + number + " is already recorded";
                return fail(ClaimFailure::Conflict);
            }
            bRework = true;
        }
        if (bRework && !db.Exec("UPDATE jobs SET rework = 1 WHERE id = $1::bigint", {id}, nullptr,
                                &err.message))
            return fail(ClaimFailure::RecordFailed);
        nId = rows.Int(0, 0);
    } else {
        const PoolDraw& draw = *pDraw;
        int nOn = 0;
        for (bool b : draw.imeiOn)
            nOn += b ? 1 : 0;
        const int nBodies = nOn == 0 ? 0 : draw.bSameImei ? 1 : nOn;
        CPgResult range;
        if (!db.Exec("SELECT bt_first IS NOT NULL FROM ranges WHERE name = $1", {s.pool}, &range,
                     &err.message))
            return fail(ClaimFailure::RecordFailed);
        if (range.Rows() == 0) {
            err.message = "there is no pool named " + s.pool;
            return fail(ClaimFailure::NoPool);
        }
        const bool bPoolBt = draw.bBtAddr && range.Text(0, 0) == "t";
        const std::string typedBt = job.btAddr;
        for (int nTry = 0; nId == 0; ++nTry) {
            if (nTry == kPoolTries) {
                err.message = "too many numbers of pool " + s.pool + " are used elsewhere";
                return fail(ClaimFailure::RecordFailed);
            }
            // A spare this station was given back first, else fresh numbers;
            // either answers with the first body and the address.
            const std::string bt = bPoolBt ? "true" : "false";
            CPgResult taken;
            if (!db.Exec(LINE_SQL_TAKE_SPARE,
                         {s.pool, s.trace.station, std::to_string(nBodies), bt}, &taken,
                         &err.message) ||
                (taken.Rows() == 0 &&
                 !db.Exec(LINE_SQL_TAKE_FRESH, {s.pool, std::to_string(nBodies), bt}, &taken,
                          &err.message)))
                return fail(ClaimFailure::RecordFailed);
            if (taken.Rows() == 0) {
                err.message = "pool " + s.pool + " is used up";
                return fail(ClaimFailure::PoolUsedUp);
            }
            std::vector<int64_t> bodies;
            for (int k = 0; k < nBodies; ++k)
                bodies.push_back(taken.Int(0, 0) + k);
            const int64_t nBt = taken.IsNull(0, 1) ? -1 : taken.Int(0, 1);
            LedgerJob row = job;
            std::string* items[3] = {&row.imei1, &row.imei2, &row.imei3};
            size_t nNext = 0;
            for (int k = 0; k < 3; ++k) {
                if (!draw.imeiOn[k] || bodies.empty())
                    continue;
                const int64_t nBody = bodies[std::min(nNext, bodies.size() - 1)];
                *items[k] = std::to_string(nBody * 10 + ImeiCheckDigit(nBody));
                if (!draw.bSameImei)
                    ++nNext;
            }
            row.btAddr = nBt >= 0 ? BtAddressText(nBt) : typedBt;
            std::string bodyList = "{";
            for (size_t k = 0; k < bodies.size(); ++k)
                bodyList += (k > 0 ? "," : "") + std::to_string(bodies[k]);
            bodyList += "}";
            CPgResult rows;
            if (!insertJob(row, PgParam(bodyList),
                           nBt >= 0 ? PgParam(std::to_string(nBt)) : PgParam(), &rows))
                return fail(ClaimFailure::RecordFailed);
            const std::string id = rows.Text(0, 0);
            std::vector<std::string> missing;
            if (!claim(numbersOf(row), id, &missing))
                return fail(ClaimFailure::RecordFailed);
            if (missing.empty()) {
                nId = rows.Int(0, 0);
                job = row;
                break;
            }
            if (nBt < 0 && !row.btAddr.empty() &&
                std::find(missing.begin(), missing.end(), Upper(row.btAddr)) != missing.end()) {
                // The station's own address is used: that is the station's
                // conflict, not the pool's.
                err.conflict = row.btAddr;
                err.message = "the number " + row.btAddr + " is already recorded";
                return fail(ClaimFailure::Conflict);
            }
            // A pool number someone took by hand: skipped for good (the range
            // moved past it, a spare is spent), and the next ones drawn.
            if (!db.Exec("DELETE FROM numbers WHERE job_id = $1::bigint", {id}, nullptr,
                         &err.message) ||
                !db.Exec("DELETE FROM jobs WHERE id = $1::bigint", {id}, nullptr, &err.message))
                return fail(ClaimFailure::RecordFailed);
        }
    }
    if (!db.Run("COMMIT", &err.message)) {
        // The answer to the commit may have been lost with the link: the job
        // may be on record. Its refusal is queued, so it never stays in
        // flight; nothing goes to the handset.
        if (db.LinkLost())
            state.Queue({token, LedgerOutcome::Refused, kNotSent}, nullptr);
        return fail(ClaimFailure::RecordFailed);
    }
    std::lock_guard<std::mutex> tokenLock(state.tokenLock);
    state.tokens[nId] = token;
    return nId;
}

bool CServerRecord::FinishJob(int64_t id, LedgerOutcome outcome, int nResultCode,
                              std::string* pError) {
    if (!m_pState) {
        if (pError != nullptr)
            *pError = "the server record is not open";
        return false;
    }
    State& state = *m_pState;
    if (outcome != LedgerOutcome::Written && outcome != LedgerOutcome::Refused &&
        outcome != LedgerOutcome::Uncertain) {
        if (pError != nullptr)
            *pError = std::string("a job cannot finish as ") + LedgerOutcomeName(outcome);
        return false;
    }
    QueuedOutcome item;
    {
        std::lock_guard<std::mutex> lock(state.tokenLock);
        auto it = state.tokens.find(id);
        if (it == state.tokens.end()) {
            if (pError != nullptr)
                *pError = "no unfinished job with id " + std::to_string(id);
            return false;
        }
        item.token = it->second;
        state.tokens.erase(it);
    }
    item.outcome = outcome;
    item.nResult = nResultCode;
    std::string error;
    {
        std::lock_guard<std::mutex> lock(state.jobLink.lock);
        if (state.Ready(state.jobLink.db, &error)) {
            const int nDone = state.Finish(state.jobLink.db, item, &error);
            if (nDone > 0)
                return true;
            if (nDone == 0) {
                if (pError != nullptr)
                    *pError = "no unfinished job with id " + std::to_string(id);
                return false;
            }
        }
    }
    // The server did not take it: kept here, delivered when it answers.
    if (!state.Queue(item, pError))
        return false;
    return true;
}

bool CServerRecord::DeliverPending(std::string* pError) {
    if (!m_pState) {
        if (pError != nullptr)
            *pError = "the server record is not open";
        return false;
    }
    return m_pState->Deliver(pError) && m_pState->nPending.load() == 0;
}

int CServerRecord::RecoveredCount() const {
    return m_pState ? m_pState->nRecovered.load() : 0;
}

int CServerRecord::PendingOutcomes() const {
    return m_pState ? m_pState->nPending.load() : 0;
}

int64_t CServerRecord::HighestImeiBody(std::string* pError) {
    if (!m_pState)
        return LEDGER_QUERY_FAILED;
    std::lock_guard<std::mutex> lock(m_pState->jobLink.lock);
    CPgConnection& db = m_pState->jobLink.db;
    CPgResult rows;
    // Among texts of 15 digits the text order is the numeric order: the
    // key's index is walked down from the highest.
    if (!m_pState->Ready(db, pError) ||
        !db.Exec("SELECT number FROM numbers WHERE number <= '999999999999999' AND "
                 "number ~ '^[0-9]{15}$' ORDER BY number DESC LIMIT 1",
                 {}, &rows, pError))
        return LEDGER_QUERY_FAILED;
    return rows.Rows() == 0 ? -1 : std::stoll(rows.Text(0, 0)) / 10;
}

bool CServerRecord::IsImeiUsed(const std::string& imei, std::string* pError) {
    if (imei.empty())
        return false;
    if (!m_pState)
        return true;
    std::lock_guard<std::mutex> lock(m_pState->jobLink.lock);
    CPgConnection& db = m_pState->jobLink.db;
    CPgResult rows;
    if (!m_pState->Ready(db, pError) ||
        !db.Exec("SELECT 1 FROM numbers WHERE number = $1", {imei}, &rows, pError))
        return true;
    return rows.Rows() > 0;
}

bool CServerRecord::IsBtAddrUsed(const std::string& btAddr, std::string* pError) {
    return IsImeiUsed(Upper(btAddr), pError);
}

bool CServerRecord::ExportCsv(const std::string& csvPath, std::string* pError) {
    if (!m_pState)
        return false;
    std::lock_guard<std::mutex> lock(m_pState->jobLink.lock);
    return m_pState->Ready(m_pState->jobLink.db, pError) &&
           ExportLineCsv(m_pState->jobLink.db, csvPath, pError);
}
