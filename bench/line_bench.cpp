// Jobs recorded per second on the line's server (durable, over loopback
// TCP) by 1, 8 and 32 concurrent clients: each a thread with its own
// CServerRecord and station name, claiming a pool job (two IMEIs and an
// address) and finishing it as written, in a loop. The baseline is pgbench
// with as many clients running the statements the record runs for a job
// (LINE_SQL_TAKE_FRESH, LINE_SQL_INSERT_JOB, LINE_SQL_CLAIM_NUMBERS, then
// LINE_SQL_FINISH_JOB), in the same two transactions (the claim commits
// before anything is written to a handset, the outcome after), its script
// generated from those constants.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "line_schema.h"
#include "pg_bench_server.h"
#include "server_record.h"

namespace {

constexpr double kRunSeconds = 5.0;
const char kPool[] = "bench";

// A fresh database with a pool for one case.
std::string NewCaseLine(benchmark::State& state, const char* lpszKind) {
    static int s_nCase = 0;
    CPgServer* pServer = BenchServer();
    const std::string db = std::string(lpszKind) + std::to_string(++s_nCase);
    std::string error;
    if (pServer == nullptr || !NewBenchLine(*pServer, db, kPool, 1000000, &error)) {
        state.SkipWithError(("no PostgreSQL server: " + error).c_str());
        return std::string();
    }
    return db;
}

// Both sides are counted from the server: every job they counted is on
// record as written with its three numbers.
void Report(benchmark::State& state, const std::string& db, int64_t nJobs, double dSeconds) {
    CPgConnection check;
    CPgResult rows;
    std::string error;
    if (!check.Connect(BenchServer()->ConnInfo(db), "bench", 10000, &error) ||
        !check.Exec("SELECT (SELECT count(*) FROM jobs WHERE outcome = 'written'),"
                    " (SELECT count(*) FROM numbers)",
                    {}, &rows, &error)) {
        state.SkipWithError(("the check failed: " + error).c_str());
        return;
    }
    if (rows.Int(0, 0) != nJobs || rows.Int(0, 1) != 3 * nJobs) {
        state.SkipWithError(("counted " + std::to_string(nJobs) + " jobs, on record " +
                             rows.Text(0, 0) + " written with " + rows.Text(0, 1) + " numbers")
                                .c_str());
        return;
    }
    state.SetIterationTime(dSeconds);
    state.counters["jobs_per_s"] = static_cast<double>(nJobs) / dSeconds;
    state.counters["jobs"] = static_cast<double>(nJobs);
}

void BM_ServerRecordJobs(benchmark::State& state) {
    const int nClients = static_cast<int>(state.range(0));
    const std::string db = NewCaseLine(state, "record");
    if (db.empty())
        return;
    const std::filesystem::path queues = BenchServer()->Dir() + "/queues-" + db;
    std::filesystem::create_directories(queues);
    for (auto _ : state) {
        std::atomic<int64_t> nJobs{0};
        std::atomic<int64_t> nFailed{0};
        std::atomic<int> nReady{0};
        std::atomic<bool> bGo{false};
        std::atomic<bool> bStop{false};
        std::vector<std::thread> clients;
        for (int c = 0; c < nClients; ++c) {
            clients.emplace_back([&, c] {
                CServerRecord record;
                ServerRecordSettings settings;
                settings.conninfo = BenchServer()->TcpConnInfo(db);
                settings.trace.station = "bench" + std::to_string(c);
                settings.pool = kPool;
                settings.queuePath = (queues / (settings.trace.station + ".db")).string();
                std::string error;
                const bool bOpen = record.Open(settings, &error) && record.Connect(&error);
                ++nReady;
                while (!bGo.load())
                    std::this_thread::yield();
                PoolDraw draw;
                draw.imeiOn[0] = draw.imeiOn[1] = true;
                draw.bBtAddr = true;
                while (bOpen && !bStop.load()) {
                    LedgerJob job;
                    job.port = "COM3";
                    ClaimError claim;
                    const int64_t id = record.ClaimPoolJob(draw, job, &claim);
                    if (id != 0 && record.FinishJob(id, LedgerOutcome::Written, 0, &error))
                        ++nJobs;
                    else
                        ++nFailed;
                }
                if (!bOpen)
                    ++nFailed;
            });
        }
        while (nReady.load() < nClients)
            std::this_thread::yield();
        const auto t0 = std::chrono::steady_clock::now();
        bGo = true;
        std::this_thread::sleep_for(std::chrono::duration<double>(kRunSeconds));
        bStop = true;
        for (std::thread& t : clients)
            t.join();
        const std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
        if (nFailed.load() > 0)
            state.SkipWithError((std::to_string(nFailed.load()) + " jobs failed").c_str());
        Report(state, db, nJobs.load(), dt.count());
    }
}

// One of the record's statements with its parameters $1.. replaced by the
// pgbench variables (or SQL NULL) named in vars, in order.
std::string ScriptStatement(const char* lpszSql, const std::vector<std::string>& vars) {
    std::string out;
    const std::string sql = lpszSql;
    const std::regex param(R"(\$(\d+))");
    size_t last = 0;
    for (auto it = std::sregex_iterator(sql.begin(), sql.end(), param);
         it != std::sregex_iterator(); ++it) {
        const size_t n = std::stoul((*it)[1].str());
        out += sql.substr(last, static_cast<size_t>(it->position()) - last);
        out += n >= 1 && n <= vars.size() ? vars[n - 1] : "?";
        last = static_cast<size_t>(it->position() + it->length());
    }
    return out + sql.substr(last);
}

// The pgbench script of one job, as the record runs it. The fresh bodies'
// texts (IMEIs, address, the numbers' array), which the record makes on
// the station, are made by the query that takes them (no round trip more).
std::string PgbenchScript() {
    const std::string take = ScriptStatement(LINE_SQL_TAKE_FRESH, {":pool", "2", "true"});
    return "\\set token random(1, 9000000000000000000)\n"
           "BEGIN;\n"
           "WITH taken(body, bt) AS (" +
           take +
           ") SELECT body, bt, (body * 10)::text AS imei1, ((body + 1) * 10)::text AS imei2,"
           " lpad(upper(to_hex(bt)), 12, '0') AS btaddr,"
           " '{' || body * 10 || ',' || (body + 1) * 10 || ',' || lpad(upper(to_hex(bt)), 12, "
           "'0') || '}' AS numbers, '{' || body || ',' || body + 1 || '}' AS bodies FROM taken"
           " \\gset\n" +
           ScriptStatement(LINE_SQL_INSERT_JOB,
                           {":token", "'pgbench'", "'COM3'", ":imei1", ":imei2", "NULL", ":btaddr",
                            ":pool", ":bodies", ":bt", "NULL", "NULL"}) +
           " \\gset\n" + ScriptStatement(LINE_SQL_CLAIM_NUMBERS, {":numbers", ":id"}) +
           ";\nCOMMIT;\nBEGIN;\n" +
           ScriptStatement(LINE_SQL_FINISH_JOB, {":token", "'written'", "0"}) + ";\nCOMMIT;\n";
}

void BM_PgbenchJobs(benchmark::State& state) {
    const int nClients = static_cast<int>(state.range(0));
    const std::string db = NewCaseLine(state, "pgbench");
    if (db.empty())
        return;
    CPgServer& server = *BenchServer();
    const std::string script = server.Dir() + "/job.sql";
    {
        std::ofstream out(script);
        out << PgbenchScript();
    }
    for (auto _ : state) {
        const std::string command = "pgbench -n -M extended -c " + std::to_string(nClients) +
                                    " -j " + std::to_string(nClients) + " -T " +
                                    std::to_string(static_cast<int>(kRunSeconds)) +
                                    " -D pool=" + kPool + " -f " + script + " -h 127.0.0.1 -p " +
                                    std::to_string(server.Port()) + " -U stampwell " + db + " 2>&1";
        std::FILE* pPipe = popen(command.c_str(), "r");
        if (pPipe == nullptr) {
            state.SkipWithError("pgbench cannot be started");
            return;
        }
        std::string output;
        char szLine[512];
        while (std::fgets(szLine, sizeof szLine, pPipe) != nullptr)
            output += szLine;
        const int nStatus = pclose(pPipe);
        std::smatch m;
        const std::regex processed(R"(number of transactions actually processed: (\d+))");
        const std::regex failed(R"(number of failed transactions: (\d+))");
        if (nStatus != 0 || !std::regex_search(output, m, processed)) {
            state.SkipWithError(("pgbench failed: " + output).c_str());
            return;
        }
        const int64_t nJobs = std::stoll(m[1].str());
        std::smatch f;
        if (std::regex_search(output, f, failed) && std::stoll(f[1].str()) > 0) {
            state.SkipWithError(("pgbench: failed jobs: " + output).c_str());
            return;
        }
        Report(state, db, nJobs, kRunSeconds);
    }
}

// 1, 8 and 32 clients, one timed run of kRunSeconds each.
void Clients(benchmark::internal::Benchmark* pBench) {
    pBench->Arg(1)->Arg(8)->Arg(32)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
}

}  // namespace

BENCHMARK(BM_ServerRecordJobs)->Apply(Clients);
BENCHMARK(BM_PgbenchJobs)->Apply(Clients);
BENCHMARK_MAIN();
