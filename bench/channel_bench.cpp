// Bytes per second and peer-write-to-delivery latency of the serial channel
// (receive thread + posted messages + FreeMem) against a plain poll()+read()
// loop on the same kind of device, a pseudo-terminal, in the same run.
//
// The baseline talks to the tty directly with POSIX calls: that is the point
// of a baseline, so this file is the one place outside the platform layer
// that includes them.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "cordlink/cordlink.h"
#include "platform/pseudo_terminal.h"
#include "platform/windows.h"

namespace {

constexpr UINT kMsgData = WM_USER + 1;
constexpr size_t kChunk = 4096;
constexpr size_t kBytesPerIteration = 1 << 20;

using Clock = std::chrono::steady_clock;

void UsePrivateComPortMap() {
    static bool s_done = false;
    if (s_done)
        return;
    std::string dir =
        std::filesystem::temp_directory_path() / ("channel-bench-" + std::to_string(getpid()));
    setenv("COMPORT_MAP_DIR", dir.c_str(), 1);
    s_done = true;
}

std::vector<char> Payload(size_t n) {
    std::vector<char> data(n);
    for (size_t i = 0; i < n; ++i)
        data[i] = static_cast<char>(i * 31 + 7);
    return data;
}

// The channel under test, receiving on the calling thread.
struct ChannelRig {
    platform::PseudoTerminal pty;
    ICommChannel* pChannel = nullptr;
    bool ok = false;

    ChannelRig() {
        UsePrivateComPortMap();
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
        if (!pty.Open(0) || !CreateChannel(&pChannel, CHANNEL_TYPE_UART))
            return;
        std::string log = std::filesystem::temp_directory_path() / "channel-bench.log";
        std::wstring wlog(log.begin(), log.end());
        pChannel->InitLog(wlog.c_str(), 0x7002, 0, nullptr);
        pChannel->SetReceiver(kMsgData, TRUE, GetCurrentThreadId());
        CHANNEL_ATTRIBUTE attr = {CHANNEL_TYPE_UART, pty.Port(), 115200};
        ok = pChannel->Open(&attr) != FALSE;
    }
    ~ChannelRig() {
        if (pChannel != nullptr)
            ReleaseChannel(pChannel);
    }

    // Takes delivered blocks until `want` bytes arrived; returns the count.
    size_t Receive(size_t want) {
        size_t got = 0;
        MSG msg;
        while (got < want && GetMessageW(&msg, nullptr, 0, 0) > 0) {
            if (msg.message != kMsgData)
                continue;
            got += static_cast<size_t>(msg.lParam);
            pChannel->FreeMem(reinterpret_cast<void*>(msg.wParam));
        }
        return got;
    }
};

// The baseline: the same pseudo-terminal's slave opened raw, read with
// poll() and read().
struct PollRig {
    platform::PseudoTerminal pty;
    int fd = -1;

    PollRig() {
        if (!pty.Open())
            return;
        fd = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return;
        termios tio;
        tcgetattr(fd, &tio);
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
    ~PollRig() {
        if (fd >= 0)
            close(fd);
    }

    size_t Receive(size_t want) {
        size_t got = 0;
        std::vector<char> buf(kChunk * 4);
        pollfd pfd = {fd, POLLIN, 0};
        while (got < want) {
            if (poll(&pfd, 1, 5000) <= 0)
                break;
            ssize_t n = read(fd, buf.data(), buf.size());
            if (n > 0) {
                benchmark::DoNotOptimize(buf.data());
                got += static_cast<size_t>(n);
            }
        }
        return got;
    }
};

template <class Rig>
void Throughput(benchmark::State& state) {
    Rig rig;
    static const std::vector<char> data = Payload(kBytesPerIteration);
    for (auto _ : state) {
        std::thread peer([&] {
            for (size_t off = 0; off < data.size(); off += kChunk)
                rig.pty.Write(data.data() + off, static_cast<DWORD>(kChunk));
        });
        size_t got = rig.Receive(data.size());
        peer.join();
        if (got != data.size())
            state.SkipWithError("bytes lost");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytesPerIteration));
}

template <class Rig>
void Latency(benchmark::State& state) {
    Rig rig;
    const int kRounds = 2000;
    std::vector<double> samples;
    samples.reserve(kRounds);
    for (auto _ : state) {
        samples.clear();
        for (int i = 0; i < kRounds; ++i) {
            char c = static_cast<char>(i);
            auto t0 = Clock::now();
            rig.pty.Write(&c, 1);
            if (rig.Receive(1) != 1) {
                state.SkipWithError("byte lost");
                return;
            }
            samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        }
    }
    std::sort(samples.begin(), samples.end());
    state.counters["median_us"] = samples[samples.size() / 2];
    state.counters["p99_us"] = samples[samples.size() * 99 / 100];
}

void BM_Throughput_Channel(benchmark::State& s) {
    Throughput<ChannelRig>(s);
}
void BM_Throughput_PollRead(benchmark::State& s) {
    Throughput<PollRig>(s);
}
void BM_Latency_Channel(benchmark::State& s) {
    Latency<ChannelRig>(s);
}
void BM_Latency_PollRead(benchmark::State& s) {
    Latency<PollRig>(s);
}

BENCHMARK(BM_Throughput_Channel)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_Throughput_PollRead)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_Latency_Channel)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Latency_PollRead)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
