// Shared set-up for the socket channel tests: a host thread that owns the
// channel and pumps its messages (copying each notification's bytes out at
// once, as a host must), foreign peers (python3, socat) started as child
// processes, and the socket layer's counters.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "netlane/netlane.h"
#include "platform/ext/socket_counters.h"
#include "platform_testing/fault_injection.h"
#include "socket_channel.h"

namespace netlane_test {

constexpr UINT kMsgData = WM_USER + 10;
constexpr UINT kMsgWake = WM_USER + 100;

// One notification as the host saw it: the message, the pointer, the result
// and the bytes copied out when it arrived (the peer text for kMsgData + 1).
struct Note {
    UINT uMsg;
    uintptr_t pData;
    LPARAM lParam;
    std::string bytes;
};

// A thread with a message queue on which channel calls run and whose loop
// dispatches the channel's window messages and records notifications.
class HostThread {
public:
    HostThread() {
        std::promise<DWORD> ready;
        std::future<DWORD> id = ready.get_future();
        m_thread = std::thread([this, &ready] {
            MSG msg;
            PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
            ready.set_value(GetCurrentThreadId());
            Loop();
        });
        m_dwId = id.get();
    }
    ~HostThread();
    HostThread(const HostThread&) = delete;
    HostThread& operator=(const HostThread&) = delete;

    DWORD Id() const { return m_dwId; }

    // Runs f on the host thread and returns its result.
    template <class F>
    auto Run(F f) {
        using R = decltype(f());
        auto task = std::make_shared<std::packaged_task<R()>>(std::move(f));
        std::future<R> result = task->get_future();
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_tasks.push_back([task] { (*task)(); });
        }
        PostThreadMessageW(m_dwId, kMsgWake, 0, 0);
        return result.get();
    }

    std::vector<Note> Notes() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_notes;
    }

    // Waits until pred(notes) holds; false after dwTimeoutMs.
    bool WaitFor(const std::function<bool(const std::vector<Note>&)>& pred, DWORD dwTimeoutMs) {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_cv.wait_for(lock, std::chrono::milliseconds(dwTimeoutMs),
                             [&] { return pred(m_notes); });
    }

    // Waits until the data notifications carry nBytes bytes in all.
    std::string WaitForBytes(size_t nBytes, DWORD dwTimeoutMs) {
        WaitFor([&](const std::vector<Note>&) { return m_nDataBytes >= nBytes; }, dwTimeoutMs);
        std::lock_guard<std::mutex> lock(m_lock);
        std::string all;
        for (const Note& note : m_notes) {
            if (note.uMsg == kMsgData)
                all += note.bytes;
        }
        return all;
    }

private:
    // Takes the channel's notifications before anything else is dispatched,
    // so that each one is copied before the next receive can overwrite it.
    void Loop() {
        MSG msg;
        for (;;) {
            while (PeekMessageW(&msg, nullptr, kMsgData, kMsgData + 1, PM_REMOVE)) {
                if (msg.message == WM_QUIT)  // passes any filter
                    return;
                Record(msg);
            }
            if (GetMessageW(&msg, nullptr, 0, 0) <= 0)
                return;
            if (msg.hwnd != nullptr)
                DispatchMessageW(&msg);
            else if (msg.message == kMsgWake)
                RunTasks();
            else if (msg.message == kMsgData || msg.message == kMsgData + 1)
                Record(msg);
        }
    }

    void Record(const MSG& msg) {
        Note note{msg.message, msg.wParam, msg.lParam, {}};
        const char* p = reinterpret_cast<const char*>(msg.wParam);
        if (msg.message == kMsgData && msg.lParam > 0)
            note.bytes.assign(p, static_cast<size_t>(msg.lParam));
        else if (msg.message == kMsgData + 1)
            note.bytes.assign(p);
        std::lock_guard<std::mutex> lock(m_lock);
        if (msg.message == kMsgData && msg.lParam > 0)
            m_nDataBytes += static_cast<size_t>(msg.lParam);
        m_notes.push_back(std::move(note));
        m_cv.notify_all();
    }

    void RunTasks() {
        for (;;) {
            std::function<void()> task;
            {
                std::lock_guard<std::mutex> lock(m_lock);
                if (m_tasks.empty())
                    return;
                task = std::move(m_tasks.front());
                m_tasks.pop_front();
            }
            task();
        }
    }

    std::thread m_thread;
    DWORD m_dwId = 0;
    std::mutex m_lock;
    std::condition_variable m_cv;
    std::deque<std::function<void()>> m_tasks;
    std::vector<Note> m_notes;
    size_t m_nDataBytes = 0;
};

inline HostThread::~HostThread() {
    Run([] { PostQuitMessage(0); });
    m_thread.join();
}

// A child process whose standard output the test reads line by line.
class Peer {
public:
    explicit Peer(const std::string& command) : m_pipe(popen(command.c_str(), "r")) {}
    ~Peer() { Wait(); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    std::string ReadLine() {
        char szLine[4096];
        if (m_pipe == nullptr || std::fgets(szLine, sizeof szLine, m_pipe) == nullptr)
            return "";
        std::string line(szLine);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        return line;
    }
    // The exit status (0: success).
    int Wait() {
        if (m_pipe == nullptr)
            return -1;
        int nStatus = pclose(m_pipe);
        m_pipe = nullptr;
        return nStatus;
    }

private:
    FILE* m_pipe;
};

// Runs a python3 script given as text (no single quotes in it) with its
// arguments.
inline std::string Python(const std::string& script, const std::string& args) {
    return "python3 -u -c '" + script + "' " + args;
}

inline platform::SocketCounters Counters() {
    return platform::GetSocketCounters();
}

// A port that no socket uses now: bound once on loopback, then released.
inline DWORD FreePort() {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = inet_addr("127.0.0.1");
    bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    int nLen = sizeof addr;
    getsockname(s, reinterpret_cast<sockaddr*>(&addr), &nLen);
    closesocket(s);
    return ntohs(addr.sin_port);
}

class NetlaneTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Held for the whole test, so that a channel's Close never ends the
        // socket layer itself and every socket is closed by the channel.
        WSADATA wsaData;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsaData), 0);
        m_pChannel = m_host.Run([] { return InitDll(); });
        ASSERT_NE(m_pChannel, nullptr);
        m_pChannel->SetReceiver(kMsgData, TRUE, m_host.Id());
    }
    void TearDown() override {
        if (m_pChannel != nullptr)
            m_host.Run([this] { return m_pChannel->Release(); });
        WSACleanup();
    }

    HRESULT Open(DWORD dwPort, DWORD dwIpAddr, BOOL bClient) {
        SOCKET_ATTRIBUTE attr = {dwPort, dwIpAddr, bClient};
        return m_host.Run([&] { return m_pChannel->Open(&attr); });
    }
    // Server mode on a free port (another process may take the port first:
    // then the next one); the port, or 0.
    DWORD OpenServer() {
        for (int i = 0; i < 5; ++i) {
            DWORD dwPort = FreePort();
            if (Open(dwPort, 0, FALSE) == SK_S_OK)
                return dwPort;
        }
        return 0;
    }
    // Client mode against a peer that may not listen yet: retries for 3 s.
    HRESULT OpenClientWhenListening(DWORD dwPort) {
        for (int i = 0; i < 150; ++i) {
            if (Open(dwPort, inet_addr("127.0.0.1"), TRUE) == SK_S_OK)
                return SK_S_OK;
            Sleep(20);
        }
        return SK_E_FAIL;
    }
    HRESULT Close() {
        return m_host.Run([this] { return m_pChannel->Close(); });
    }
    LONG Write(const std::string& bytes) {
        return m_host.Run(
            [&] { return m_pChannel->Write(bytes.data(), static_cast<DWORD>(bytes.size())); });
    }
    // Waits until the counters satisfy pred.
    bool WaitForCounters(const std::function<bool(const platform::SocketCounters&)>& pred,
                         DWORD dwTimeoutMs) {
        DWORD dwStart = GetTickCount();
        while (!pred(Counters())) {
            if (GetTickCount() - dwStart > dwTimeoutMs)
                return false;
            Sleep(2);
        }
        return true;
    }

    HostThread m_host;
    ISocketChannel* m_pChannel = nullptr;
};

}  // namespace netlane_test
