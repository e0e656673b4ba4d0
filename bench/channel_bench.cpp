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
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "cordlink/cordlink.h"
#include "platform/ext/pseudo_terminal.h"
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

    // Takes every block already delivered, returning its buffer, until none
    // has arrived for dwQuietMs. Returns the number of messages taken.
    size_t Drain(DWORD dwQuietMs) {
        size_t nTaken = 0;
        DWORD dwLast = GetTickCount();
        MSG msg;
        for (;;) {
            if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                if (GetTickCount() - dwLast >= dwQuietMs)
                    break;
                Sleep(1);
                continue;
            }
            dwLast = GetTickCount();
            if (msg.message != kMsgData)
                continue;
            ++nTaken;
            pChannel->FreeMem(reinterpret_cast<void*>(msg.wParam));
        }
        return nTaken;
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

// Resident memory of the whole process, in bytes.
size_t ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    size_t nPages = 0;
    size_t nResident = 0;
    statm >> nPages >> nResident;
    return nResident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

double Megabytes(size_t cbNow, size_t cbBase) {
    return (static_cast<double>(cbNow) - static_cast<double>(cbBase)) / (1024.0 * 1024.0);
}

// A peer that writes 4 KiB chunks to the pseudo-terminal until stopped.
class Flood {
public:
    explicit Flood(platform::PseudoTerminal& pty) : m_pty(pty), m_thread([this] { Run(); }) {}
    ~Flood() { Stop(); }
    Flood(const Flood&) = delete;
    Flood& operator=(const Flood&) = delete;

    // Ends the flood; returns the bytes written.
    size_t Stop() {
        m_bStop = true;
        if (m_thread.joinable())
            m_thread.join();
        return m_cbWritten;
    }

private:
    void Run() {
        static const std::vector<char> data = Payload(kChunk);
        while (!m_bStop)
            m_cbWritten += m_pty.Write(data.data(), static_cast<DWORD>(data.size()), 100);
    }

    platform::PseudoTerminal& m_pty;
    std::atomic<bool> m_bStop{false};
    size_t m_cbWritten = 0;
    std::thread m_thread;
};

// A host that names its own thread as receiver but does not pump while the
// peer floods the port for range(0) seconds, twice; after each round it takes
// what was queued and must receive fresh bytes. Counters: the process's
// resident growth every five seconds and after each round's drain (MB), the
// messages the host found queued, the bytes the peer sent. The baseline host pumps
// all the time.
void Flood_Channel(benchmark::State& state, bool bPump) {
    ChannelRig rig;
    if (!rig.ok) {
        state.SkipWithError("channel did not open");
        return;
    }
    const int nSeconds = static_cast<int>(state.range(0));
    const size_t cbBase = ResidentBytes();
    for (auto _ : state) {
        for (int nRound = 1; nRound <= 2; ++nRound) {
            Flood flood(rig.pty);
            const DWORD dwStart = GetTickCount();
            for (int nSecond = 5; nSecond <= nSeconds; nSecond += 5) {
                const DWORD dwUntil = static_cast<DWORD>(nSecond) * 1000;
                while (GetTickCount() - dwStart < dwUntil) {
                    if (bPump)
                        rig.Drain(0);
                    Sleep(bPump ? 1 : 50);
                }
                state.counters["r" + std::to_string(nRound) + "_rss_MB_" + std::to_string(nSecond) +
                               "s"] = Megabytes(ResidentBytes(), cbBase);
            }
            const size_t cbRound = flood.Stop();
            state.counters["r" + std::to_string(nRound) + "_flood_MB"] = Megabytes(cbRound, 0);
            const size_t nQueued = rig.Drain(200);
            state.counters["r" + std::to_string(nRound) + "_queued"] = static_cast<double>(nQueued);
            state.counters["r" + std::to_string(nRound) + "_rss_MB_drained"] =
                Megabytes(ResidentBytes(), cbBase);
            // Bytes the peer wrote just before it stopped may still come in
            // ahead of these.
            const char kFresh[] = "fresh";
            rig.pty.Write(kFresh, 5);
            if (rig.Receive(5) < 5)
                state.SkipWithError("no fresh data after the flood");
        }
    }
}

void BM_Flood_Unpumped(benchmark::State& s) {
    Flood_Channel(s, false);
}
void BM_Flood_Pumped(benchmark::State& s) {
    Flood_Channel(s, true);
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
BENCHMARK(BM_Flood_Unpumped)->Arg(15)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_Flood_Pumped)->Arg(15)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
