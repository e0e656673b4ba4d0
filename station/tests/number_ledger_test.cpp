// The number ledger on real SQLite files, with the sqlite3 shell as a second process that
// reads the rows back, writes its own and holds locks while the ledger works.
#include "number_ledger.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>
#include <vector>

#include "temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;

// A SQLite VFS over the default one whose reads, writes and syncs fail on demand (the disk
// full or gone), made the default while a test holds a CFaultVfs, so the ledger's own Open
// picks it up.
class CFaultVfs {
public:
    static inline std::atomic<bool> s_bFailWrites{false};
    static inline std::atomic<bool> s_bFailReads{false};

    CFaultVfs() {
        s_pReal = sqlite3_vfs_find(nullptr);
        s_vfs = *s_pReal;
        s_vfs.zName = "ledger-test-fault";
        s_vfs.szOsFile = static_cast<int>(sizeof(CFile)) + s_pReal->szOsFile;
        s_vfs.xOpen = &Open;
        s_vfs.pNext = nullptr;
        sqlite3_vfs_register(&s_vfs, 1);
    }
    ~CFaultVfs() {
        s_bFailWrites = s_bFailReads = false;
        sqlite3_vfs_register(s_pReal, 1);
        sqlite3_vfs_unregister(&s_vfs);
    }
    CFaultVfs(const CFaultVfs&) = delete;
    CFaultVfs& operator=(const CFaultVfs&) = delete;

private:
    struct CFile {
        sqlite3_file base;
        sqlite3_file* pReal;  // the default VFS's file, right behind this header
    };
    static sqlite3_file* Real(sqlite3_file* p) { return reinterpret_cast<CFile*>(p)->pReal; }

    static int Open(sqlite3_vfs*, sqlite3_filename zName, sqlite3_file* pFile, int flags,
                    int* pOutFlags) {
        CFile* p = reinterpret_cast<CFile*>(pFile);
        p->pReal = reinterpret_cast<sqlite3_file*>(p + 1);
        int rc = s_pReal->xOpen(s_pReal, zName, p->pReal, flags, pOutFlags);
        p->base.pMethods = p->pReal->pMethods != nullptr ? &s_methods : nullptr;
        return rc;
    }

    static inline sqlite3_vfs* s_pReal = nullptr;
    static inline sqlite3_vfs s_vfs = {};
    static inline const sqlite3_io_methods s_methods = {
        3,
        [](sqlite3_file* p) { return Real(p)->pMethods->xClose(Real(p)); },
        [](sqlite3_file* p, void* pBuf, int n, sqlite3_int64 off) {
            return s_bFailReads ? SQLITE_IOERR_READ
                                : Real(p)->pMethods->xRead(Real(p), pBuf, n, off);
        },
        [](sqlite3_file* p, const void* pBuf, int n, sqlite3_int64 off) {
            return s_bFailWrites ? SQLITE_IOERR_WRITE
                                 : Real(p)->pMethods->xWrite(Real(p), pBuf, n, off);
        },
        [](sqlite3_file* p, sqlite3_int64 size) {
            return Real(p)->pMethods->xTruncate(Real(p), size);
        },
        [](sqlite3_file* p, int flags) {
            return s_bFailWrites ? SQLITE_IOERR_FSYNC : Real(p)->pMethods->xSync(Real(p), flags);
        },
        [](sqlite3_file* p, sqlite3_int64* pSize) {
            return Real(p)->pMethods->xFileSize(Real(p), pSize);
        },
        [](sqlite3_file* p, int n) { return Real(p)->pMethods->xLock(Real(p), n); },
        [](sqlite3_file* p, int n) { return Real(p)->pMethods->xUnlock(Real(p), n); },
        [](sqlite3_file* p, int* pOut) {
            return Real(p)->pMethods->xCheckReservedLock(Real(p), pOut);
        },
        [](sqlite3_file* p, int op, void* pArg) {
            return Real(p)->pMethods->xFileControl(Real(p), op, pArg);
        },
        [](sqlite3_file* p) { return Real(p)->pMethods->xSectorSize(Real(p)); },
        [](sqlite3_file* p) { return Real(p)->pMethods->xDeviceCharacteristics(Real(p)); },
        [](sqlite3_file* p, int iPg, int pgsz, int bExtend, void volatile** pp) {
            return Real(p)->pMethods->xShmMap(Real(p), iPg, pgsz, bExtend, pp);
        },
        [](sqlite3_file* p, int offset, int n, int flags) {
            return Real(p)->pMethods->xShmLock(Real(p), offset, n, flags);
        },
        [](sqlite3_file* p) { Real(p)->pMethods->xShmBarrier(Real(p)); },
        [](sqlite3_file* p, int bDelete) { return Real(p)->pMethods->xShmUnmap(Real(p), bDelete); },
        [](sqlite3_file* p, sqlite3_int64 off, int n, void** pp) {
            return Real(p)->pMethods->xFetch(Real(p), off, n, pp);
        },
        [](sqlite3_file* p, sqlite3_int64 off, void* pPage) {
            return Real(p)->pMethods->xUnfetch(Real(p), off, pPage);
        },
    };
};

class NumberLedgerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_tmp.Dir().empty());
        if (std::string(SQLITE3_SHELL).empty())
            GTEST_SKIP() << "the sqlite3 shell is not installed";
    }

    std::string DbPath() const { return m_tmp.Path("ledger.db"); }

    // Runs a script in the sqlite3 shell on the ledger file; returns its output (stderr too).
    std::string Shell(const std::string& script) const {
        m_tmp.Write("script.sql", script);
        FILE* pOut = popen(ShellCommand("script.sql").c_str(), "r");
        if (pOut == nullptr)
            return "popen failed";
        std::string out;
        char szBuf[4096];
        size_t n = 0;
        while ((n = fread(szBuf, 1, sizeof(szBuf), pOut)) > 0)
            out.append(szBuf, n);
        pclose(pOut);
        return out;
    }
    std::string ShellCommand(const std::string& scriptName) const {
        return std::string(SQLITE3_SHELL) + " -batch '" + DbPath() + "' < '" +
               m_tmp.Path(scriptName) + "' 2>&1";
    }

    // Waits (bounded) until the shell script has touched the named file.
    bool WaitForFile(const std::string& name) const {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (!std::filesystem::exists(m_tmp.Path(name))) {
            if (Clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    int64_t Begin(CNumberLedger& ledger, const std::string& imei1, const std::string& imei2 = "",
                  const std::string& imei3 = "", const std::string& btAddr = "") {
        std::string error;
        int64_t id = ledger.BeginJob({"COM3", imei1, imei2, imei3, btAddr}, &error);
        EXPECT_GT(id, 0) << error;
        return id;
    }
    void Finish(CNumberLedger& ledger, int64_t id, LedgerOutcome outcome, int nResult = 0) {
        std::string error;
        EXPECT_TRUE(ledger.FinishJob(id, outcome, nResult, &error)) << error;
    }

    TempDir m_tmp;
};

TEST_F(NumberLedgerTest, JobRoundTripAsTheShellSeesIt) {
    CNumberLedger ledger;
    std::string error;
    ASSERT_TRUE(ledger.Open(DbPath(), &error)) << error;
    EXPECT_EQ(ledger.RecoveredCount(), 0);

    const int64_t id = ledger.BeginJob(
        {"USB:COM5", "350000000000006", "350000000000014", "", "123420141530"}, &error);
    ASSERT_GT(id, 0) << error;
    // On disk, before any outcome: the item not written is NULL.
    EXPECT_EQ(Shell(".mode list\n.nullvalue NULL\nPRAGMA journal_mode;\n"
                    "SELECT port, imei1, imei2, imei3, bt_addr, outcome, result, finished "
                    "FROM jobs;\n"),
              "wal\nUSB:COM5|350000000000006|350000000000014|NULL|123420141530|inflight|NULL|"
              "NULL\n");

    ASSERT_TRUE(ledger.FinishJob(id, LedgerOutcome::Written, 0, &error)) << error;
    const std::string row =
        Shell(".mode list\nSELECT time, outcome, result, finished FROM jobs;\n");
    const std::string stamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})";
    EXPECT_TRUE(std::regex_match(row, std::regex(stamp + R"(\|written\|0\|)" + stamp + "\n")))
        << row;

    // A job finishes once; unknown ids and non-final outcomes are refused.
    EXPECT_FALSE(ledger.FinishJob(id, LedgerOutcome::Refused, 7, &error));
    EXPECT_NE(error.find("no unfinished job"), std::string::npos) << error;
    EXPECT_FALSE(ledger.FinishJob(id + 100, LedgerOutcome::Written, 0, &error));
    const int64_t second = Begin(ledger, "350000000000022");
    EXPECT_GT(second, id);
    EXPECT_FALSE(ledger.FinishJob(second, LedgerOutcome::InFlight, 0, &error));
    EXPECT_FALSE(ledger.FinishJob(second, LedgerOutcome::PresumedWritten, 0, &error));
    Finish(ledger, second, LedgerOutcome::Uncertain, -3);
    EXPECT_EQ(
        Shell("SELECT outcome, result FROM jobs WHERE id = " + std::to_string(second) + ";\n"),
        "uncertain|-3\n");
}

TEST_F(NumberLedgerTest, AnOlderFileGetsTheNewColumnsAndJobsKeepTheirTrace) {
    // The jobs table as the first versions made it, with one job.
    Shell(
        "CREATE TABLE jobs (id INTEGER PRIMARY KEY AUTOINCREMENT, time TEXT NOT NULL, port TEXT,"
        " imei1 TEXT, imei2 TEXT, imei3 TEXT, bt_addr TEXT, outcome TEXT NOT NULL,"
        " result INTEGER, finished TEXT);\n"
        "INSERT INTO jobs (time, port, imei1, outcome) VALUES ('t', 'COM1', '350000000000006',"
        " 'written');\n");
    CNumberLedger ledger;
    std::string error;
    ASSERT_TRUE(ledger.Open(DbPath(), &error)) << error;
    ledger.SetTrace({"st7", "Li", "WO-12"});
    Finish(ledger, Begin(ledger, "350000000000014"), LedgerOutcome::Written, 0);
    EXPECT_EQ(Shell(".mode list\n.nullvalue NULL\nSELECT imei1, rework, station, operator, "
                    "work_order FROM jobs ORDER BY id;\n"),
              "350000000000006|0|NULL|NULL|NULL\n350000000000014|0|st7|Li|WO-12\n");
    EXPECT_TRUE(ledger.IsImeiUsed("350000000000006"));
}

// A process that ends after BeginJob without FinishJob: by _exit (a crash that runs no
// clean-up) and by SIGKILL. The next Open finds the row and keeps its numbers used.
TEST_F(NumberLedgerTest, JobLeftInFlightByADeadProcessIsPresumedWritten) {
    {
        CNumberLedger ledger;
        std::string error;
        ASSERT_TRUE(ledger.Open(DbPath(), &error)) << error;
        Finish(ledger, Begin(ledger, "350000000000006"), LedgerOutcome::Written);
    }
    for (bool bKill : {false, true}) {
        SCOPED_TRACE(bKill ? "SIGKILL" : "_exit");
        const std::string imei = bKill ? "350000000000022" : "350000000000014";
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            CNumberLedger child;
            std::string error;
            if (!child.Open(DbPath(), &error) ||
                child.BeginJob({"COM4", imei, "", "", ""}, &error) <= 0)
                _exit(2);
            if (bKill)
                raise(SIGKILL);
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        if (bKill) {
            ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
        } else {
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        }

        CNumberLedger ledger;
        std::string error;
        ASSERT_TRUE(ledger.Open(DbPath(), &error)) << error;
        EXPECT_EQ(ledger.RecoveredCount(), 1);
        EXPECT_TRUE(ledger.IsImeiUsed(imei));
    }
    EXPECT_EQ(Shell("SELECT imei1, outcome, finished IS NULL FROM jobs ORDER BY id;\n"),
              "350000000000006|written|0\n"
              "350000000000014|presumedwritten|1\n"
              "350000000000022|presumedwritten|1\n");
    CNumberLedger again;
    std::string error;
    ASSERT_TRUE(again.Open(DbPath(), &error)) << error;
    EXPECT_EQ(again.RecoveredCount(), 0);
}

TEST_F(NumberLedgerTest, HighestImeiBodySkipsRefusedRowsAndMalformedTexts) {
    CNumberLedger ledger;
    std::string error;
    ASSERT_TRUE(ledger.Open(DbPath(), &error)) << error;
    EXPECT_EQ(ledger.HighestImeiBody(&error), -1);

    Finish(ledger, Begin(ledger, "350000000000006", "350000000000014"), LedgerOutcome::Written);
    Finish(ledger, Begin(ledger, "990000000000000"), LedgerOutcome::Refused);
    // Letters, 14 and 16 digits, a trailing letter: all sort above the real numbers.
    Finish(ledger, Begin(ledger, "abcdefghijklmno", "99999999999999", "9999999999999999"),
           LedgerOutcome::Written);
    Finish(ledger, Begin(ledger, "98000000000000x", "", " 97000000000000"), LedgerOutcome::Written);
    EXPECT_EQ(ledger.HighestImeiBody(&error), 35000000000001);

    // A job still in flight counts; once refused it no longer does.
    const int64_t inFlight = Begin(ledger, "", "", "360000000000007");
    EXPECT_EQ(ledger.HighestImeiBody(&error), 36000000000000);
    Finish(ledger, inFlight, LedgerOutcome::Refused, 5);
    EXPECT_EQ(ledger.HighestImeiBody(&error), 35000000000001);

    // A row another process wrote, with the IMEI as a number literal: the column's text
    // affinity stores it as text, and it counts.
    EXPECT_EQ(Shell("INSERT INTO jobs (time, imei2, outcome) VALUES ('x', 370000000000005, "
                    "'uncertain');\n"),
              "");
    EXPECT_EQ(ledger.HighestImeiBody(&error), 37000000000000);
}

TEST_F(NumberLedgerTest, UsedNumbersInAnyColumnUnlessRefused) {
    CNumberLedger ledger;
    std::string error;
    ASSERT_TRUE(ledger.Open(DbPath(), &error)) << error;
    Finish(ledger,
           Begin(ledger, "350000000000006", "350000000000014", "350000000000022", "123420141530"),
           LedgerOutcome::Uncertain, -1);
    Finish(ledger, Begin(ledger, "", "", "", "AABBCCDDEEFF"), LedgerOutcome::Refused, 3);

    for (const char* lpszImei : {"350000000000006", "350000000000014", "350000000000022"})
        EXPECT_TRUE(ledger.IsImeiUsed(lpszImei)) << lpszImei;
    EXPECT_FALSE(ledger.IsImeiUsed("350000000000030"));
    EXPECT_FALSE(ledger.IsImeiUsed(""));
    EXPECT_FALSE(ledger.IsImeiUsed("123420141530"));  // an address is not an IMEI
    EXPECT_TRUE(ledger.IsBtAddrUsed("123420141530"));
    EXPECT_FALSE(ledger.IsBtAddrUsed("AABBCCDDEEFF"));  // refused: free again
    EXPECT_FALSE(ledger.IsBtAddrUsed(""));

    // The checked begin: one IMEI used refuses the whole job and records nothing; all three
    // columns of one job may carry the same IMEI.
    std::string conflict;
    EXPECT_EQ(ledger.BeginJobIfUnused({"COM3", "350000000000030", "350000000000014", "", ""},
                                      &conflict, &error),
              0);
    EXPECT_EQ(conflict, "350000000000014");
    EXPECT_NE(error.find("350000000000014"), std::string::npos) << error;
    EXPECT_FALSE(ledger.IsImeiUsed("350000000000030"));
    EXPECT_GT(ledger.BeginJobIfUnused(
                  {"COM3", "350000000000030", "350000000000030", "350000000000030", "AABBCCDDEEFF"},
                  &conflict, &error),
              0)
        << error;
    EXPECT_TRUE(ledger.IsImeiUsed("350000000000030"));
    EXPECT_TRUE(ledger.IsBtAddrUsed("AABBCCDDEEFF"));
    // One address in either case of its letters.
    EXPECT_TRUE(ledger.IsBtAddrUsed("aabbccddeeff"));
    conflict.clear();
    EXPECT_EQ(ledger.BeginJobIfUnused({"COM3", "350000000000048", "", "", "aaBBccDDeeFF"},
                                      &conflict, &error),
              0);
    EXPECT_EQ(conflict, "aaBBccDDeeFF");

    // A rework: numbers the handset already holds are not conflicts, the
    // others still are, and the row says it was a rework.
    const int64_t nRework =
        ledger.BeginJobIfUnused({"COM3", "350000000000030", "350000000000055", "", ""}, &conflict,
                                &error, {"350000000000030"});
    ASSERT_GT(nRework, 0) << error;
    EXPECT_EQ(Shell("SELECT rework FROM jobs WHERE id = " + std::to_string(nRework) + ";\n"),
              "1\n");
    conflict.clear();
    EXPECT_EQ(ledger.BeginJobIfUnused({"COM3", "350000000000030", "350000000000055", "", ""},
                                      &conflict, &error, {"350000000000030"}),
              0);
    EXPECT_EQ(conflict, "350000000000055");
}

TEST_F(NumberLedgerTest, CsvExportQuotesOnlyWhatNeedsIt) {
    CNumberLedger ledger;
    std::string error;
    ASSERT_TRUE(ledger.Open(DbPath(), &error)) << error;
    Finish(ledger, Begin(ledger, "350000000000006", "", "", "123420141530"),
           LedgerOutcome::Written);
    int64_t id = ledger.BeginJob({"COM3,\"x\"", "a\nb", "c\rd", "", ""}, &error);
    ASSERT_GT(id, 0) << error;
    Finish(ledger, id, LedgerOutcome::Refused, -2);
    Begin(ledger, "350000000000014");

    const std::string times = Shell("SELECT time FROM jobs ORDER BY id;\n");
    std::vector<std::string> t;
    for (size_t pos = 0, end; (end = times.find('\n', pos)) != std::string::npos; pos = end + 1)
        t.push_back(times.substr(pos, end - pos));
    ASSERT_EQ(t.size(), 3u) << times;

    ASSERT_TRUE(ledger.ExportCsv(m_tmp.Path("jobs.csv"), &error)) << error;
    EXPECT_EQ(m_tmp.Read("jobs.csv"),
              "id,time,port,imei1,imei2,imei3,bt_addr,outcome,result,rework\n"
              "1," +
                  t[0] +
                  ",COM3,350000000000006,,,123420141530,written,0,0\n"
                  "2," +
                  t[1] +
                  ",\"COM3,\"\"x\"\"\",\"a\nb\",\"c\rd\",,,refused,-2,0\n"
                  "3," +
                  t[2] + ",COM3,350000000000014,,,,inflight,,0\n");
    EXPECT_FALSE(std::filesystem::exists(m_tmp.Path("jobs.csv.tmp")));

    EXPECT_FALSE(ledger.ExportCsv(m_tmp.Path("./ledger.db"), &error));
    EXPECT_FALSE(ledger.ExportCsv(DbPath() + "-wal", &error));
    EXPECT_NE(error.find("own file"), std::string::npos) << error;
    EXPECT_TRUE(ledger.IsImeiUsed("350000000000006"));
    EXPECT_FALSE(ledger.ExportCsv(m_tmp.Path("missing/jobs.csv"), &error));
    EXPECT_NE(error.find("missing/jobs.csv"), std::string::npos) << error;
}

TEST_F(NumberLedgerTest, OpenFailsCleanlyOnWhatIsNoLedger) {
    m_tmp.Write("plain.txt", std::string(2048, 'x'));
    std::filesystem::create_directory(m_tmp.Path("dir"));
    // A SQLite file whose `jobs` table is not the ledger's.
    EXPECT_EQ(Shell("CREATE TABLE jobs (id INTEGER PRIMARY KEY, imei TEXT);\n"), "");

    struct Case {
        std::string path, message;
    } cases[] = {
        {m_tmp.Path("plain.txt/ledger.db"), "unable to open"},  // a parent that is a file
        {m_tmp.Path("dir"), "ledger"},                          // a directory
        {m_tmp.Path("plain.txt"), "not a database"},
        {DbPath(), "another shape"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        CNumberLedger ledger;
        std::string error;
        EXPECT_FALSE(ledger.Open(c.path, &error));
        EXPECT_FALSE(ledger.IsOpen());
        EXPECT_NE(error.find(c.path), std::string::npos) << error;
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
        // Every call then fails safe: nothing recorded, every number counted as used.
        error.clear();
        EXPECT_EQ(ledger.BeginJob({"COM3", "350000000000006", "", "", ""}, &error), 0);
        EXPECT_FALSE(error.empty());
        EXPECT_FALSE(ledger.FinishJob(1, LedgerOutcome::Written, 0, &error));
        EXPECT_EQ(ledger.HighestImeiBody(&error), LEDGER_QUERY_FAILED);
        EXPECT_TRUE(ledger.IsImeiUsed("350000000000006"));
        EXPECT_TRUE(ledger.IsBtAddrUsed("123420141530"));
        EXPECT_FALSE(ledger.ExportCsv(m_tmp.Path("out.csv"), &error));
    }
    EXPECT_EQ(m_tmp.Read("plain.txt"), std::string(2048, 'x'));  // left as it was
}

// SQLite opens a write-protected file read-only without a word; the ledger refuses it.
TEST_F(NumberLedgerTest, OpenRefusesAWriteProtectedLedger) {
    {
        CNumberLedger ledger;
        std::string error;
        ASSERT_TRUE(ledger.Open(DbPath(), &error)) << error;
    }
    namespace fs = std::filesystem;
    fs::permissions(DbPath(),
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    if (std::ofstream(DbPath(), std::ios::app))
        GTEST_SKIP() << "file permissions do not bind this user (root)";
    CNumberLedger ledger;
    std::string error;
    EXPECT_FALSE(ledger.Open(DbPath(), &error));
    EXPECT_NE(error.find("read-only"), std::string::npos) << error;
    EXPECT_FALSE(ledger.IsOpen());
}

TEST_F(NumberLedgerTest, ReopenKeepsRowsAndNeverReusesAnId) {
    int64_t last = 0;
    {
        CNumberLedger ledger;
        std::string error;
        ASSERT_TRUE(ledger.Open(DbPath(), &error)) << error;
        EXPECT_FALSE(ledger.Open(DbPath(), &error));  // already open
        EXPECT_TRUE(ledger.IsOpen());
        Finish(ledger, Begin(ledger, "350000000000006"), LedgerOutcome::Written);
        last = Begin(ledger, "350000000000014");
        Finish(ledger, last, LedgerOutcome::Written);
        ledger.Close();
        EXPECT_FALSE(ledger.IsOpen());
        ASSERT_TRUE(ledger.Open(DbPath(), &error)) << error;
        EXPECT_EQ(ledger.HighestImeiBody(&error), 35000000000001);
    }
    EXPECT_EQ(Shell("DELETE FROM jobs WHERE id = " + std::to_string(last) + ";\n"), "");
    CNumberLedger ledger;
    std::string error;
    ASSERT_TRUE(ledger.Open(DbPath(), &error)) << error;
    EXPECT_EQ(ledger.RecoveredCount(), 0);
    EXPECT_TRUE(ledger.IsImeiUsed("350000000000006"));
    EXPECT_GT(Begin(ledger, "350000000000014"), last);
}

// The shell holds a read transaction across BeginJob: the ledger commits at once (the
// write-ahead log), and the shell's snapshot still shows the old row count.
TEST_F(NumberLedgerTest, ReaderInAnotherProcessDoesNotBlockBeginJob) {
    CNumberLedger ledger;
    std::string error;
    ASSERT_TRUE(ledger.Open(DbPath(), &error)) << error;
    m_tmp.Write("reader.sql",
                "BEGIN;\nSELECT count(*) FROM jobs;\n.shell touch '" + m_tmp.Path("ready") +
                    "'\n.shell for i in $(seq 1000); do [ -e '" + m_tmp.Path("go") +
                    "' ] && break; sleep 0.01; done\n"
                    "SELECT count(*) FROM jobs;\nCOMMIT;\nSELECT count(*) FROM jobs;\n");
    FILE* pOut = popen(ShellCommand("reader.sql").c_str(), "r");
    ASSERT_NE(pOut, nullptr);
    ASSERT_TRUE(WaitForFile("ready"));
    const auto t0 = Clock::now();
    const int64_t id = ledger.BeginJob({"COM3", "350000000000006", "", "", ""}, &error);
    const auto elapsed = Clock::now() - t0;
    m_tmp.Write("go", "");
    std::string out;
    char szLine[256];
    while (fgets(szLine, sizeof(szLine), pOut) != nullptr)
        out += szLine;
    pclose(pOut);
    EXPECT_GT(id, 0) << error;
    EXPECT_LT(elapsed, std::chrono::milliseconds(LEDGER_BUSY_TIMEOUT_MS / 2));
    EXPECT_EQ(out, "0\n0\n1\n");
}

// The disk fails under the ledger: every call reports it, none claims success, and the
// ledger works again once the disk does.
TEST_F(NumberLedgerTest, DiskFailuresAreReportedAndSafe) {
    CFaultVfs vfs;
    std::string error;
    CFaultVfs::s_bFailWrites = true;
    {
        CNumberLedger ledger;
        EXPECT_FALSE(ledger.Open(DbPath(), &error));
        EXPECT_NE(error.find("I/O"), std::string::npos) << error;
    }
    CFaultVfs::s_bFailWrites = false;
    CNumberLedger ledger, other;
    ASSERT_TRUE(ledger.Open(DbPath(), &error)) << error;
    ASSERT_TRUE(other.Open(DbPath(), &error)) << error;
    const int64_t id = Begin(ledger, "350000000000006");

    CFaultVfs::s_bFailWrites = true;
    error.clear();
    EXPECT_EQ(ledger.BeginJob({"COM3", "350000000000014", "", "", ""}, &error), 0);
    EXPECT_NE(error.find("I/O"), std::string::npos) << error;
    error.clear();
    EXPECT_EQ(ledger.BeginJobIfUnused({"COM3", "350000000000014", "", "", ""}, nullptr, &error), 0);
    EXPECT_FALSE(error.empty());
    error.clear();
    EXPECT_FALSE(ledger.FinishJob(id, LedgerOutcome::Refused, 1, &error));
    EXPECT_FALSE(error.empty());
    CFaultVfs::s_bFailWrites = false;

    // Another connection's commit makes the ledger read the file again, and reads fail.
    Finish(other, Begin(other, "350000000000022"), LedgerOutcome::Written);
    CFaultVfs::s_bFailReads = true;
    error.clear();
    EXPECT_TRUE(ledger.IsImeiUsed("350000000000030", &error));
    EXPECT_FALSE(error.empty());
    error.clear();
    EXPECT_TRUE(ledger.IsBtAddrUsed("123420141530", &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(ledger.HighestImeiBody(&error), LEDGER_QUERY_FAILED);
    EXPECT_FALSE(ledger.ExportCsv(m_tmp.Path("jobs.csv"), &error));
    EXPECT_FALSE(std::filesystem::exists(m_tmp.Path("jobs.csv.tmp")));
    CFaultVfs::s_bFailReads = false;

    EXPECT_FALSE(ledger.IsImeiUsed("350000000000030"));
    EXPECT_EQ(ledger.HighestImeiBody(&error), 35000000000002);
    Finish(ledger, id, LedgerOutcome::Refused, 1);
    EXPECT_EQ(Shell("SELECT imei1, outcome FROM jobs ORDER BY id;\n"),
              "350000000000006|refused\n350000000000022|written\n");
}

// A writer in another process: BeginJob waits for its lock and goes on after its commit;
// a lock held past the busy timeout makes the call fail with a message, and the ledger
// works again once the lock is gone.
TEST_F(NumberLedgerTest, WriterInAnotherProcessDelaysOrFailsBeginJob) {
    CNumberLedger ledger;
    std::string error;
    ASSERT_TRUE(ledger.Open(DbPath(), &error)) << error;
    for (int nHoldMs : {300, LEDGER_BUSY_TIMEOUT_MS + 600}) {
        SCOPED_TRACE(nHoldMs);
        std::filesystem::remove(m_tmp.Path("ready"));
        m_tmp.Write("writer.sql",
                    "BEGIN IMMEDIATE;\nINSERT INTO jobs (time, imei1, outcome) VALUES "
                    "('x', '990000000000000', 'written');\n.shell touch '" +
                        m_tmp.Path("ready") + "'\n.shell sleep " +
                        std::to_string(nHoldMs / 1000.0) + "\nCOMMIT;\n");
        FILE* pOut = popen(ShellCommand("writer.sql").c_str(), "r");
        ASSERT_NE(pOut, nullptr);
        ASSERT_TRUE(WaitForFile("ready"));
        error.clear();
        const int64_t id = ledger.BeginJob({"COM3", "350000000000006", "", "", ""}, &error);
        pclose(pOut);
        if (nHoldMs < LEDGER_BUSY_TIMEOUT_MS) {
            EXPECT_GT(id, 0) << error;
            // The shell's row committed first.
            EXPECT_EQ(Shell("SELECT max(id) FROM jobs WHERE imei1 = '990000000000000';\n"),
                      std::to_string(id - 1) + "\n");
        } else {
            EXPECT_EQ(id, 0);
            EXPECT_NE(error.find("locked"), std::string::npos) << error;
        }
    }
    EXPECT_GT(Begin(ledger, "350000000000014"), 0);
    EXPECT_EQ(ledger.HighestImeiBody(&error), 99000000000000);
}

TEST_F(NumberLedgerTest, ThreadsShareOneLedger) {
    CNumberLedger ledger;
    std::string error;
    ASSERT_TRUE(ledger.Open(DbPath(), &error)) << error;
    constexpr int THREADS = 4, JOBS = 8;
    std::vector<std::thread> threads;
    std::vector<int64_t> ids(THREADS * JOBS, 0);
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            for (int j = 0; j < JOBS; ++j) {
                const std::string imei = std::to_string(350000000000000 + 10 * (t * JOBS + j));
                int64_t id =
                    ledger.BeginJob({"COM" + std::to_string(t), imei, "", "", ""}, nullptr);
                ids[t * JOBS + j] = id;
                ledger.FinishJob(id, LedgerOutcome::Written, 0, nullptr);
                ledger.IsImeiUsed(imei);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    std::sort(ids.begin(), ids.end());
    EXPECT_GT(ids.front(), 0);
    EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end());
    EXPECT_EQ(
        Shell("SELECT count(*), count(DISTINCT imei1) FROM jobs WHERE outcome = 'written';\n"),
        std::to_string(THREADS * JOBS) + "|" + std::to_string(THREADS * JOBS) + "\n");
}

// 100,000 rows written by the shell: lookups and the highest body stay index walks.
TEST_F(NumberLedgerTest, LookupsStayFastOnAHundredThousandRows) {
    {
        CNumberLedger ledger;
        std::string error;
        ASSERT_TRUE(ledger.Open(DbPath(), &error)) << error;  // creates the schema
    }
    EXPECT_EQ(
        Shell("WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 99999)"
              " INSERT INTO jobs (time, port, imei1, imei2, bt_addr, outcome, result)"
              " SELECT 'x', 'COM3', 350000000000000 + 20 * i, 350000000000010 + 20 * i,"
              " printf('%012X', i), CASE WHEN i % 2 THEN 'written' ELSE 'refused' END, 0"
              " FROM n;\n"),
        "");
    CNumberLedger ledger;
    std::string error;
    ASSERT_TRUE(ledger.Open(DbPath(), &error)) << error;
    const auto t0 = Clock::now();
    constexpr int CALLS = 200;
    for (int i = 0; i < CALLS; ++i) {
        EXPECT_FALSE(ledger.IsImeiUsed("360000000000000"));
        EXPECT_FALSE(ledger.IsBtAddrUsed("FFFFFFFFFFFF"));
        // The top row (i = 99999) is written: its IMEI2 body.
        EXPECT_EQ(ledger.HighestImeiBody(&error), 35000000199999);
    }
    // A scan of 100,000 rows costs milliseconds each; 600 of them would take seconds.
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(500));
    EXPECT_TRUE(ledger.IsImeiUsed("350000000000030"));   // i = 1, written, imei2
    EXPECT_FALSE(ledger.IsImeiUsed("350000000000040"));  // i = 2, refused
}

}  // namespace
