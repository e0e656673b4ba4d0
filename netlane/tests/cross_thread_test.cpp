// Host calls from a thread other than the one that opened the channel, while
// that thread is handling the channel's socket events.
#include <atomic>

#include "netlane_fixture.h"

namespace netlane_test {
namespace {

// A blocking loopback connection to the port, or INVALID_SOCKET.
SOCKET Connect(DWORD dwPort) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<WORD>(dwPort));
    addr.sin_addr.s_addr = inet_addr("127.0.0.1");
    if (s != INVALID_SOCKET &&
        connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

// Reads from s until the byte cEnd arrives; false at the end of the stream.
bool ReadUntil(SOCKET s, char cEnd) {
    char szBuffer[4096];
    for (;;) {
        int n = recv(s, szBuffer, sizeof szBuffer, 0);
        if (n <= 0)
            return false;
        if (std::string(szBuffer, static_cast<size_t>(n)).find(cEnd) != std::string::npos)
            return true;
    }
}

TEST_F(NetlaneTest, WriteFromAWorkerWhileClientsConnectReachesEveryClient) {
    DWORD dwPort = OpenServer();
    ASSERT_NE(dwPort, 0u);
    const unsigned nClients = 200;
    platform::SocketCounters before = Counters();
    std::atomic<bool> bStop{false};
    // The host's worker: one call at a time, none on the Open thread, while
    // the Open thread accepts and grows the client list.
    std::thread writer([&] {
        while (!bStop)
            m_pChannel->Write("x", 1);
    });
    std::vector<SOCKET> clients;
    for (unsigned i = 0; i < nClients; ++i)
        clients.push_back(Connect(dwPort));
    // Each client socket here and each accepted one on the server's side.
    bool bAccepted = WaitForCounters(
        [&](const platform::SocketCounters& now) {
            return now.nCreated - before.nCreated >= 2 * nClients;
        },
        5000);
    bStop = true;
    writer.join();
    EXPECT_TRUE(bAccepted);
    EXPECT_EQ(Write("!"), 1);
    for (SOCKET s : clients) {
        ASSERT_NE(s, INVALID_SOCKET);
        EXPECT_TRUE(ReadUntil(s, '!'));
    }
    Close();
    for (SOCKET s : clients)
        closesocket(s);
}

// Opens a server channel on its own thread and dispatches its events there.
// Once the channel is released its notifications point into freed memory, so
// they are counted, never read.
class PumpThread {
public:
    PumpThread() {
        std::promise<void> ready;
        std::future<void> started = ready.get_future();
        m_thread = std::thread([this, &ready] {
            MSG msg;
            PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
            m_pChannel = InitDll();
            if (m_pChannel != nullptr) {
                m_pChannel->SetReceiver(kMsgData, TRUE, GetCurrentThreadId());
                for (int i = 0; i < 5 && m_dwPort == 0; ++i) {
                    SOCKET_ATTRIBUTE attr = {FreePort(), 0, FALSE};
                    if (m_pChannel->Open(&attr) == SK_S_OK)
                        m_dwPort = attr.dwPort;
                }
            }
            m_dwId = GetCurrentThreadId();
            ready.set_value();
            while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
                if (msg.hwnd != nullptr)
                    DispatchMessageW(&msg);
                else if (msg.message == kMsgData)
                    ++m_nNotes;
            }
        });
        started.get();
    }
    ~PumpThread() {
        PostThreadMessageW(m_dwId, WM_QUIT, 0, 0);
        m_thread.join();
    }
    PumpThread(const PumpThread&) = delete;
    PumpThread& operator=(const PumpThread&) = delete;

    ISocketChannel* Channel() const { return m_pChannel; }
    DWORD Port() const { return m_dwPort; }
    unsigned Notes() const { return m_nNotes; }

private:
    std::thread m_thread;
    DWORD m_dwId = 0;
    ISocketChannel* m_pChannel = nullptr;
    DWORD m_dwPort = 0;
    std::atomic<unsigned> m_nNotes{0};
};

TEST_F(NetlaneTest, CloseAndReleaseFromAnotherThreadWaitForTheEventInProgress) {
    for (int nRound = 0; nRound < 10; ++nRound) {
        PumpThread pump;
        ASSERT_NE(pump.Port(), 0u);
        SOCKET s = Connect(pump.Port());
        ASSERT_NE(s, INVALID_SOCKET);
        std::atomic<bool> bStop{false};
        std::thread flood([&] {
            static const char kBlock[4096] = {};
            while (!bStop && send(s, kBlock, sizeof kBlock, 0) > 0) {
            }
        });
        DWORD dwStart = GetTickCount();
        while (pump.Notes() < 20 && GetTickCount() - dwStart < 3000)
            Sleep(1);
        EXPECT_GE(pump.Notes(), 20u);
        // The Open thread is receiving the flood: Close and Release meet a
        // read event being handled.
        EXPECT_EQ(pump.Channel()->Close(), SK_S_OK);
        EXPECT_EQ(pump.Channel()->Release(), 0u);
        bStop = true;
        flood.join();
        closesocket(s);
    }
}

}  // namespace
}  // namespace netlane_test
