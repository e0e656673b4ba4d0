// Lines per second and hex-dump throughput of CVxLog, against spdlog writing
// the same lines (same timestamp text, CR LF) to a file in the same run.
//
// Guarantees compared: CVxLog hands every line to the OS before the call
// returns (one write per line, no flush to disk). spdlog does the same with
// flush_on(trace) (the C stream is flushed after each call); its default
// keeps lines in the stream buffer, which is shown beside as the upper bound.
#include <benchmark/benchmark.h>
#include <spdlog/fmt/bin_to_hex.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "vx_log.h"

namespace {

namespace fs = std::filesystem;

// One scratch directory per run, removed at exit.
const fs::path& ScratchDir() {
    static const fs::path dir = [] {
        std::random_device rd;
        fs::path p = fs::temp_directory_path() / ("vxlog-bench-" + std::to_string(rd()));
        fs::create_directories(p);
        return p;
    }();
    return dir;
}

struct ScratchCleanup {
    ~ScratchCleanup() {
        std::error_code ec;
        fs::remove_all(ScratchDir(), ec);
    }
} g_cleanup;

IVxLog* OpenVxLog(const wchar_t* name) {
    CVxLog* log = new CVxLog();
    std::wstring dir = ScratchDir().wstring();
    log->SetOption(LOG_OPT_DIRECTORY, LOG_DIR_EXPLICIT, reinterpret_cast<DWORD_PTR>(dir.c_str()));
    if (!log->Open(name, LOG_TEXT)) {
        log->Release();
        return nullptr;
    }
    return log;
}

// spdlog with CVxLog's line format: "[YYYY-MM-DD hh:mm:ss:0mmm] text\r\n".
std::shared_ptr<spdlog::logger> OpenSpdlog(const std::string& name, bool flushEachLine) {
    auto sink =
        std::make_shared<spdlog::sinks::basic_file_sink_st>((ScratchDir() / name).string(), true);
    auto logger = std::make_shared<spdlog::logger>(name, sink);
    logger->set_formatter(std::make_unique<spdlog::pattern_formatter>(
        "[%Y-%m-%d %H:%M:%S:0%e] %v", spdlog::pattern_time_type::local, "\r\n"));
    if (flushEachLine)
        logger->flush_on(spdlog::level::trace);
    return logger;
}

std::vector<BYTE> DumpData(size_t cb) {
    std::vector<BYTE> data(cb);
    for (size_t i = 0; i < cb; ++i)
        data[i] = static_cast<BYTE>(i * 7 + 3);
    return data;
}

// --- lines -----------------------------------------------------------------

void BM_VxLog_LineFormatA(benchmark::State& state) {
    IVxLog* log = OpenVxLog(L"lines_a");
    if (log == nullptr)
        return state.SkipWithError("open failed");
    int i = 0;
    for (auto _ : state)
        log->WriteFormatA("Want to write to channel %d bytes.", ++i);
    state.SetItemsProcessed(state.iterations());
    log->Release();
}
BENCHMARK(BM_VxLog_LineFormatA);

void BM_VxLog_LineFormatW(benchmark::State& state) {
    IVxLog* log = OpenVxLog(L"lines_w");
    if (log == nullptr)
        return state.SkipWithError("open failed");
    int i = 0;
    for (auto _ : state)
        log->WriteFormatW(L"Want to write to channel %d bytes.", ++i);
    state.SetItemsProcessed(state.iterations());
    log->Release();
}
BENCHMARK(BM_VxLog_LineFormatW);

void BM_Spdlog_Line_FlushEach(benchmark::State& state) {
    auto logger = OpenSpdlog("lines_flush.log", true);
    int i = 0;
    for (auto _ : state)
        logger->info("Want to write to channel {} bytes.", ++i);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Spdlog_Line_FlushEach);

void BM_Spdlog_Line_Buffered(benchmark::State& state) {
    auto logger = OpenSpdlog("lines_buffered.log", false);
    int i = 0;
    for (auto _ : state)
        logger->info("Want to write to channel {} bytes.", ++i);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Spdlog_Line_Buffered);

// --- hex dumps ---------------------------------------------------------------
// CVxLog: header line plus one line of 16 bytes (offset, hex, characters) per
// write. spdlog: the same header and bytes through its own hex formatter
// (to_hex, 16 per line, upper case, characters), one call per dump.

void BM_VxLog_Dump(benchmark::State& state) {
    IVxLog* log = OpenVxLog(L"dump");
    if (log == nullptr)
        return state.SkipWithError("open failed");
    std::vector<BYTE> data = DumpData(static_cast<size_t>(state.range(0)));
    for (auto _ : state)
        log->WriteDump(data.data(), static_cast<DWORD>(data.size()), DUMP_WRITE);
    state.SetBytesProcessed(state.iterations() * state.range(0));
    log->Release();
}
BENCHMARK(BM_VxLog_Dump)->Arg(256)->Arg(4096);

void SpdlogDump(benchmark::State& state, bool flushEachCall) {
    auto logger = OpenSpdlog(flushEachCall ? "dump_flush.log" : "dump_buffered.log", flushEachCall);
    std::vector<BYTE> data = DumpData(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        logger->info("--> {}(0x{:08x}) Bytes{:Xa}", data.size(), data.size(),
                     spdlog::to_hex(data.begin(), data.end(), 16));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Spdlog_Dump_FlushEach(benchmark::State& state) {
    SpdlogDump(state, true);
}
BENCHMARK(BM_Spdlog_Dump_FlushEach)->Arg(256)->Arg(4096);

void BM_Spdlog_Dump_Buffered(benchmark::State& state) {
    SpdlogDump(state, false);
}
BENCHMARK(BM_Spdlog_Dump_Buffered)->Arg(256)->Arg(4096);

}  // namespace

BENCHMARK_MAIN();
