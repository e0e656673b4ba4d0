// The error database's two busy paths against plain SQLite in the same run.
//
// Lookup: GetErrorInfo of one word (module name, interface text and error
// text, each one keyed query, texts converted to GBK) against the same three
// rows read with three prepared statements kept across iterations, each
// reset after its row, so that both sides end every read.
//
// Import: ImportCsv of a 20000-line file into an error code table (one
// transaction, one bound INSERT a line) and of 20000 and 1000000 lines into
// an interface table (a keyed read before each INSERT) against the sqlite3
// shell's ".import" of the same rows (in UTF-8) into the same table,
// process start included.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "ansi_text.h"
#include "database_file.h"
#include "faultreader_object.h"

namespace {

std::string TempDirectory() {
    const char* lpszBase = getenv("TMPDIR");
    std::string tmpl = std::string(lpszBase != nullptr && *lpszBase ? lpszBase : "/tmp") +
                       "/faultreader-bench-XXXXXX";
    const char* lpszDir = mkdtemp(tmpl.data());
    return lpszDir != nullptr ? lpszDir : "/tmp";
}

const std::string& WorkDir() {
    static const std::string s_dir = TempDirectory();
    return s_dir;
}

std::string SampleCopy() {
    const std::string path = WorkDir() + "/lookup.db";
    std::filesystem::copy_file(FAULTREADER_SAMPLE_DB, path,
                               std::filesystem::copy_options::overwrite_existing);
    return path;
}

void BM_GetErrorInfo(benchmark::State& state) {
    faultreader::CFaultreader reader(SampleCopy(), "");
    if (!reader.ConnectDatabase()) {
        state.SkipWithError("no sample database");
        return;
    }
    const DWORD dwWord = 0x14001C07;
    std::string out;
    for (auto _ : state) {
        reader.GetErrorInfo(&dwWord, 1, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetErrorInfo);

void BM_DirectPreparedQueries(benchmark::State& state) {
    sqlite3* pDb = nullptr;
    if (sqlite3_open(SampleCopy().c_str(), &pDb) != SQLITE_OK) {
        state.SkipWithError("no sample database");
        return;
    }
    const char* sql[3] = {"SELECT 模块名 FROM 模块索引表 WHERE 索引码 = ?",
                          "SELECT 接口描述 FROM 接口索引表5 WHERE 索引码 = ?",
                          "SELECT 错误描述 FROM 错误代码索引表5 WHERE 错误代码 = ?"};
    const int keys[3] = {5, 3, 7};
    sqlite3_stmt* stmts[3] = {};
    for (int i = 0; i < 3; ++i)
        sqlite3_prepare_v2(pDb, sql[i], -1, &stmts[i], nullptr);
    std::string out;
    for (auto _ : state) {
        out.clear();
        for (int i = 0; i < 3; ++i) {
            sqlite3_reset(stmts[i]);
            sqlite3_bind_int(stmts[i], 1, keys[i]);
            if (sqlite3_step(stmts[i]) == SQLITE_ROW)
                out += reinterpret_cast<const char*>(sqlite3_column_text(stmts[i], 0));
            // Ends the read, as each lookup of the library does: a statement
            // left on its row would hold the read transaction (and its lock)
            // open across iterations.
            sqlite3_reset(stmts[i]);
        }
        benchmark::DoNotOptimize(out.data());
    }
    for (sqlite3_stmt* p : stmts)
        sqlite3_finalize(p);
    sqlite3_close(pDb);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DirectPreparedQueries);

// The tables imported into: an error code table (a bound INSERT a line) and
// an interface table (each INSERT preceded by the keyed read that refuses a
// present key).
const char* const kImportTables[] = {"错误代码索引表5", "接口索引表5"};

// The same rows for both: GBK with CR LF for the library, UTF-8 for the shell.
void WriteImportFiles(int nRows, const std::string& strGbk, const std::string& strUtf8) {
    std::ofstream gbk(strGbk, std::ios::binary), utf8(strUtf8, std::ios::binary);
    for (int i = 1; i <= nRows; ++i) {
        const std::string line =
            std::to_string(i) + ",写入超时，手机无应答，请检查数据线 " + std::to_string(i);
        gbk << faultreader::Utf8ToAnsi(line) << "\r\n";
        utf8 << line << "\n";
    }
}

// The import cases, the same for both sides. Arguments: the rows, and the
// index into kImportTables.
void ImportCases(benchmark::internal::Benchmark* pBench) {
    pBench->Unit(benchmark::kMillisecond)->UseRealTime()->Args({20000, 0})->Args({20000, 1});
}

// One million rows take seconds: one run each.
void MillionRowCase(benchmark::internal::Benchmark* pBench) {
    pBench->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Args({1000000, 1});
}

void BM_ImportCsv(benchmark::State& state) {
    const int nRows = static_cast<int>(state.range(0));
    const std::string table = kImportTables[state.range(1)];
    const std::string db = WorkDir() + "/import.db";
    std::filesystem::remove(db);
    faultreader::CreateErrorDatabase(db, {5}, "");
    // Named in UTF-8 on disk; the library takes the path in GBK.
    WriteImportFiles(nRows, WorkDir() + "/" + table + ".csv", WorkDir() + "/utf8.csv");
    const std::string csv = faultreader::Utf8ToAnsi(WorkDir() + "/" + table + ".csv");
    faultreader::CFaultreader reader(db, "");
    if (!reader.ConnectDatabase()) {
        state.SkipWithError("no database");
        return;
    }
    for (auto _ : state) {
        if (!reader.ImportCsv(csv.c_str()))
            state.SkipWithError("import failed");
    }
    state.SetItemsProcessed(state.iterations() * nRows);
}
BENCHMARK(BM_ImportCsv)->Apply(ImportCases);
BENCHMARK(BM_ImportCsv)->Apply(MillionRowCase);

void BM_Sqlite3ShellImport(benchmark::State& state) {
    const int nRows = static_cast<int>(state.range(0));
    const std::string table = kImportTables[state.range(1)];
    const std::string db = WorkDir() + "/shell.db";
    std::filesystem::remove(db);
    faultreader::CreateErrorDatabase(db, {5}, "");
    const std::string csv = WorkDir() + "/utf8.csv";
    WriteImportFiles(nRows, WorkDir() + "/unused.csv", csv);
    const std::string script = WorkDir() + "/import.sql";
    std::ofstream(script) << "DELETE FROM " << table << ";\n.import --csv " << csv << " " << table
                          << "\n";
    const std::string cmd = "sqlite3 -batch " + db + " < " + script;
    for (auto _ : state) {
        if (std::system(cmd.c_str()) != 0)
            state.SkipWithError("sqlite3 shell failed");
    }
    state.SetItemsProcessed(state.iterations() * nRows);
}
BENCHMARK(BM_Sqlite3ShellImport)->Apply(ImportCases);
BENCHMARK(BM_Sqlite3ShellImport)->Apply(MillionRowCase);

}  // namespace

BENCHMARK_MAIN();
