// Socket channel benchmarks, each against a plain epoll server in the same
// run: echo round trips with one client, bytes received by a server from 100
// clients, and ten thousand clients accepted and held by one server.
//
// Both servers are driven by the same raw clients (netlane_baseline.cpp).
// The channel's host copies every notification's bytes out at once, as a
// host must.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "netlane/netlane.h"
#include "netlane_baseline.h"

namespace {

using namespace netlane_bench;

constexpr UINT kMsgData = WM_USER + 10;
constexpr UINT kMsgStop = WM_USER + 11;

enum class HostMode { Echo, Sink };

// A host thread that owns one server channel on a free port and pumps it.
class ChannelServer {
public:
    explicit ChannelServer(HostMode mode) : m_mode(mode) {
        std::promise<bool> opened;
        std::future<bool> result = opened.get_future();
        m_thread = std::thread([this, &opened] { Run(opened); });
        m_bOpen = result.get();
    }
    ~ChannelServer() {
        PostThreadMessageW(m_dwThreadId, kMsgStop, 0, 0);
        m_thread.join();
    }
    ChannelServer(const ChannelServer&) = delete;
    ChannelServer& operator=(const ChannelServer&) = delete;

    bool Open() const { return m_bOpen; }
    uint16_t Port() const { return m_port; }
    size_t BytesReceived() const { return m_nBytes.load(); }

private:
    void Run(std::promise<bool>& opened) {
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
        m_dwThreadId = GetCurrentThreadId();
        ISocketChannel* pChannel = InitDll();
        pChannel->SetReceiver(kMsgData, TRUE, m_dwThreadId);
        m_port = FreePort();
        SOCKET_ATTRIBUTE attr = {m_port, 0, FALSE};
        opened.set_value(pChannel->Open(&attr) == SK_S_OK);
        std::vector<char> sink(4096);
        // Notifications first, as a host must: each is taken before the next
        // receive can overwrite its bytes.
        auto take = [&](const MSG& note) {
            if (note.lParam <= 0)
                return;
            const char* p = reinterpret_cast<const char*>(note.wParam);
            if (m_mode == HostMode::Echo)
                pChannel->Write(p, static_cast<DWORD>(note.lParam));
            else
                std::memcpy(sink.data(), p, static_cast<size_t>(note.lParam));
            m_nBytes += static_cast<size_t>(note.lParam);
        };
        for (;;) {
            while (PeekMessageW(&msg, nullptr, kMsgData, kMsgData, PM_REMOVE) &&
                   msg.message == kMsgData) {
                take(msg);
            }
            if (GetMessageW(&msg, nullptr, 0, 0) <= 0 || msg.message == kMsgStop)
                break;
            if (msg.message == kMsgData && msg.hwnd == nullptr)
                take(msg);
            else
                DispatchMessageW(&msg);
        }
        pChannel->Close();
        pChannel->Release();
    }

    const HostMode m_mode;
    std::thread m_thread;
    DWORD m_dwThreadId = 0;
    bool m_bOpen = false;
    uint16_t m_port = 0;
    std::atomic<size_t> m_nBytes{0};
};

// One client: 64-byte messages, each echoed before the next goes.
void EchoRoundTrips(benchmark::State& state, uint16_t port) {
    int fd = ConnectClient(port);
    if (fd < 0) {
        state.SkipWithError("connect failed");
        return;
    }
    char msg[64], reply[64];
    std::memset(msg, 'e', sizeof msg);
    for (auto _ : state) {
        if (!SendAll(fd, msg, sizeof msg) || !RecvAll(fd, reply, sizeof reply)) {
            state.SkipWithError("echo failed");
            break;
        }
    }
    state.counters["round_trips/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    CloseClient(fd);
}

void BM_Echo_Netlane(benchmark::State& state) {
    ChannelServer server(HostMode::Echo);
    if (!server.Open()) {
        state.SkipWithError("Open failed");
        return;
    }
    EchoRoundTrips(state, server.Port());
}
BENCHMARK(BM_Echo_Netlane)->UseRealTime()->MinTime(1.0);

void BM_Echo_Epoll(benchmark::State& state) {
    EpollServer server(true);
    EchoRoundTrips(state, server.Port());
}
BENCHMARK(BM_Echo_Epoll)->UseRealTime()->MinTime(1.0);

// 100 clients send 64 KiB each in 4 KiB writes, round robin; the time ends
// when the server has received every byte.
template <class Server>
void ManyClients(benchmark::State& state, Server& server) {
    constexpr int kClients = 100;
    constexpr size_t kPerClient = 64 * 1024, kChunk = 4096;
    std::vector<int> fds;
    for (int i = 0; i < kClients; ++i)
        fds.push_back(ConnectClient(server.Port()));
    std::vector<char> chunk(kChunk, 'm');
    size_t nTotal = 0;
    for (auto _ : state) {
        size_t nTarget = server.BytesReceived() + kClients * kPerClient;
        for (size_t sent = 0; sent < kPerClient; sent += kChunk) {
            for (int fd : fds)
                SendAll(fd, chunk.data(), kChunk);
        }
        DWORD dwStart = GetTickCount();
        while (server.BytesReceived() < nTarget && GetTickCount() - dwStart < 60000)
            Sleep(1);
        nTotal += kClients * kPerClient;
    }
    state.SetBytesProcessed(static_cast<int64_t>(nTotal));
    for (int fd : fds)
        CloseClient(fd);
}

void BM_HundredClients_Netlane(benchmark::State& state) {
    ChannelServer server(HostMode::Sink);
    if (!server.Open()) {
        state.SkipWithError("Open failed");
        return;
    }
    ManyClients(state, server);
}
BENCHMARK(BM_HundredClients_Netlane)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_HundredClients_Epoll(benchmark::State& state) {
    EpollServer server(false);
    ManyClients(state, server);
}
BENCHMARK(BM_HundredClients_Epoll)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(5);

// Ten thousand clients from a child process, in batches of 1000 (the accept
// queue holds 4096); each sends one byte once connected. Reports the time
// until the server has heard from all of them and its resident memory per
// client while it holds them.
template <class Server, class Arg>
void TenThousand(benchmark::State& state, Arg arg) {
    constexpr int kClients = 10000, kBatch = 1000;
    if (RaiseFileLimit() < kClients + 200) {
        state.SkipWithError("open-file limit below 10200");
        return;
    }
    for (auto _ : state) {
        size_t nBefore = ResidentBytes();
        auto server = std::make_unique<Server>(arg);
        ClientSwarm swarm(server->Port(), kClients, kBatch);
        if (!swarm.Started()) {
            state.SkipWithError("fork failed");
            return;
        }
        DWORD dwStart = GetTickCount();
        for (int batch = 1; batch <= kClients / kBatch; ++batch) {
            while (server->BytesReceived() < static_cast<size_t>(batch * kBatch) &&
                   GetTickCount() - dwStart < 120000) {
                Sleep(1);
            }
            swarm.NextBatch();
        }
        DWORD dwElapsed = GetTickCount() - dwStart;
        size_t nAfter = ResidentBytes();
        state.counters["clients_heard"] = static_cast<double>(server->BytesReceived());
        state.counters["accept_all_ms"] = dwElapsed;
        state.counters["rss_bytes_per_client"] =
            static_cast<double>(nAfter > nBefore ? nAfter - nBefore : 0) / kClients;
        state.SetIterationTime(dwElapsed / 1000.0);
    }
}

void BM_TenThousandClients_Netlane(benchmark::State& state) {
    TenThousand<ChannelServer>(state, HostMode::Sink);
}
BENCHMARK(BM_TenThousandClients_Netlane)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

void BM_TenThousandClients_Epoll(benchmark::State& state) {
    TenThousand<EpollServer>(state, false);
}
BENCHMARK(BM_TenThousandClients_Epoll)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
