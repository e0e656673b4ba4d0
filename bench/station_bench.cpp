// The station's own time per handset: `stampwell --batch N` against a
// simulated handset that answers at once, and, as the baseline, a minimal
// loop making the same Cellbridge calls (with the same 100 ms pause after
// each write that the station's write job makes). The difference is what
// the station adds: its record (two durable commits per handset), the
// start number stored after every write, the worker thread and its 10 ms
// polling, and the process start amortised over the batch. The batch runs
// twice: with the record in its SQLite file beside the program, and with
// the line's PostgreSQL server (durable, over loopback TCP) and a pool.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "cellbridge/cellbridge.h"
#include "handset_sim.h"
#include "pg_bench_server.h"
#include "platform/win_handle.h"
#include "platform/win_sync.h"
#include "temp_com_map.h"

namespace {

constexpr int kBatch = 20;

struct Line {
    TempComMap map;
    CHandsetSim sim{[] {
        HandsetSimOptions options;
        options.dwPowerUpMs = 0;
        return options;
    }()};
    Line() {
        std::string error;
        if (!sim.Start(&error))
            std::abort();
    }
};

// One handset the way the station's write job calls the library.
bool MinimalHandset(int nPort, HANDLE hEvent, int64_t nBody) {
    if (VX_BeginPhoneTest(nPort, 115200) != 0)
        return false;
    ResetEvent(hEvent);
    VX_EnterModeProcess(0, 10, hEvent, 0);
    if (WaitForSingleObject(hEvent, 5000) != WAIT_OBJECT_0) {
        VX_StopModeProcess();
        VX_EndPhoneTest();
        return false;
    }
    NvWriteRecord record{};
    record.nWriteImei1 = 1;
    const std::string imei = std::to_string(nBody);  // 15 digits
    imei.copy(record.szImei1, sizeof record.szImei1 - 1);
    const int r = VX_NvWriteDirect(&record);
    Sleep(100);
    VX_EndPhoneTest();
    return r == 0;
}

void BM_MinimalCellbridgeLoop(benchmark::State& state) {
    Line line;
    HANDLE hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    int64_t nBody = 350000000000000;
    for (auto _ : state) {
        if (!MinimalHandset(static_cast<int>(line.sim.Port()), hEvent, nBody++))
            state.SkipWithError("handset failed");
    }
    CloseHandle(hEvent);
    line.sim.Stop();
}

// state.range(0): 0 the SQLite record, 1 the line's server with a pool.
void BM_StationBatch(benchmark::State& state) {
    const bool bServer = state.range(0) != 0;
    std::string record;
    if (bServer) {
        CPgServer* pServer = BenchServer();
        std::string error;
        if (pServer == nullptr || !NewBenchLine(*pServer, "batch", "bench", 100000, &error)) {
            state.SkipWithError(("no PostgreSQL server: " + error).c_str());
            return;
        }
        record = "[Record]\r\nServer=" + pServer->TcpConnInfo("batch") +
                 "\r\nStation=bench\r\nPool=bench\r\n";
    }
    state.SetLabel(bServer ? "line server, pool" : "SQLite file");
    Line line;
    const std::filesystem::path dir = std::filesystem::path(line.map.Dir()) / "station";
    std::filesystem::create_directories(dir);
    std::filesystem::copy_file(STAMPWELL_PATH, dir / "stampwell");
    {
        std::ofstream ini(dir / "Stampwell.ini", std::ios::binary);
        ini << "[General]\r\nIMEI=1\r\nAutoCreateIMEI=1\r\nDefaultIMEI=35000000000000\r\nPort="
            << line.sim.Port() << "\r\nEntrerModeWait=0\r\nTimeout=5000\r\n"
            << record;
    }
    const std::string command = "LD_LIBRARY_PATH=" STATION_LIBDIRS " " +
                                (dir / "stampwell").string() + " --batch " +
                                std::to_string(kBatch) + " > /dev/null";
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        if (std::system(command.c_str()) != 0)
            state.SkipWithError("batch failed");
        const std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
        state.SetIterationTime(dt.count() / kBatch);
    }
    line.sim.Stop();
}

}  // namespace

BENCHMARK(BM_MinimalCellbridgeLoop)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK(BM_StationBatch)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(5);
BENCHMARK_MAIN();
