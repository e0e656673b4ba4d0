// Windows Sockets on loopback: the start count, addresses, sockets in the
// handle table, and WSAAsyncSelect's posting and re-enabling rules.
#include <gtest/gtest.h>

#include <map>
#include <thread>
#include <vector>

#include "platform/ext/socket_counters.h"
#include "platform/windows.h"
#include "platform_testing/fault_injection.h"

namespace {

constexpr UINT kMsgSocket = WM_USER + 50;

// The socket events posted to the test thread's window, in order.
struct Event {
    SOCKET s;
    WORD wEvent;
    WORD wError;
};

class SocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA wsaData;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsaData), 0);
        WNDCLASSW wc{};
        wc.lpfnWndProc = DefWindowProcW;
        wc.lpszClassName = L"SocketTestWindow";
        RegisterClassW(&wc);
        m_hWnd = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 nullptr, nullptr);
        ASSERT_NE(m_hWnd, nullptr);
    }
    void TearDown() override {
        DestroyWindow(m_hWnd);
        WSACleanup();
        platform::ClearFaults();
    }

    // Takes the socket events that arrive within dwMs.
    std::vector<Event> Collect(DWORD dwMs) {
        std::vector<Event> events;
        DWORD dwStart = GetTickCount();
        MSG msg;
        while (GetTickCount() - dwStart < dwMs) {
            if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                Sleep(1);
                continue;
            }
            if (msg.message == kMsgSocket) {
                events.push_back(Event{static_cast<SOCKET>(msg.wParam),
                                       WSAGETSELECTEVENT(msg.lParam),
                                       WSAGETSELECTERROR(msg.lParam)});
            }
        }
        return events;
    }
    static std::map<WORD, int> CountByEvent(const std::vector<Event>& events) {
        std::map<WORD, int> counts;
        for (const Event& e : events)
            ++counts[e.wEvent];
        return counts;
    }

    SOCKET Listener(WORD* pwPort) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = inet_addr("127.0.0.1");
        EXPECT_EQ(bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(listen(s, SOMAXCONN), 0);
        int nLen = sizeof addr;
        EXPECT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&addr), &nLen), 0);
        *pwPort = ntohs(addr.sin_port);
        return s;
    }
    static SOCKET Connected(WORD wPort) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(wPort);
        addr.sin_addr.s_addr = inet_addr("127.0.0.1");
        EXPECT_EQ(connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
        return s;
    }

    HWND m_hWnd = nullptr;
};

TEST(SocketLayer, StartupNegotiatesTheVersionAndCounts) {
    WSADATA wsaData;
    EXPECT_EQ(WSAStartup(MAKEWORD(2, 2), &wsaData), 0);
    EXPECT_EQ(wsaData.wVersion, MAKEWORD(2, 2));
    EXPECT_EQ(wsaData.wHighVersion, MAKEWORD(2, 2));
    EXPECT_EQ(WSAStartup(MAKEWORD(1, 1), &wsaData), 0);
    EXPECT_EQ(wsaData.wVersion, MAKEWORD(1, 1));
    EXPECT_EQ(WSAStartup(MAKEWORD(3, 0), &wsaData), 0);
    EXPECT_EQ(wsaData.wVersion, MAKEWORD(2, 2));
    EXPECT_EQ(WSAStartup(MAKEWORD(0, 9), &wsaData), static_cast<int>(WSAVERNOTSUPPORTED));
    EXPECT_EQ(WSAStartup(MAKEWORD(2, 2), nullptr), static_cast<int>(WSAEFAULT));
    EXPECT_EQ(platform::GetSocketCounters().nStartups, 3);

    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(s, INVALID_SOCKET);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(reinterpret_cast<HANDLE>(s)) & 3, 0u);
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(WSACleanup(), 0);
    // The last WSACleanup closed the socket; the layer is down.
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), static_cast<int>(WSANOTINITIALISED));
    EXPECT_EQ(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), static_cast<int>(WSANOTINITIALISED));
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsaData), 0);
    EXPECT_EQ(closesocket(s), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), static_cast<int>(WSAENOTSOCK));
    WSACleanup();
}

TEST(SocketLayer, AddressesInBothForms) {
    EXPECT_EQ(inet_addr("127.0.0.1"), 0x0100007Fu);
    EXPECT_EQ(inet_addr("192.168.0.5"), 0x0500A8C0u);
    EXPECT_EQ(inet_addr("not an address"), INADDR_NONE);
    EXPECT_EQ(inet_addr("255.255.255.255"), INADDR_NONE);
    in_addr addr;
    addr.s_addr = inet_addr("10.1.2.3");
    EXPECT_STREQ(inet_ntoa(addr), "10.1.2.3");
    EXPECT_EQ(htons(0x1234), 0x3412);
    EXPECT_EQ(ntohl(htonl(0x01020304u)), 0x01020304u);
}

TEST_F(SocketTest, ClosesocketTakesOnlySocketsAndWakesABlockedReceive) {
    HANDLE hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(closesocket(reinterpret_cast<SOCKET>(hEvent)), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), static_cast<int>(WSAENOTSOCK));
    EXPECT_TRUE(CloseHandle(hEvent));

    WORD wPort;
    SOCKET sListen = Listener(&wPort);
    SOCKET sClient = Connected(wPort);
    int nResult = 0;
    std::thread reader([&] {
        char ch;
        nResult = recv(sClient, &ch, 1, 0);
    });
    Sleep(50);
    EXPECT_EQ(closesocket(sClient), 0);
    reader.join();
    EXPECT_LE(nResult, 0);
    EXPECT_EQ(closesocket(sClient), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), static_cast<int>(WSAENOTSOCK));
    closesocket(sListen);
}

TEST_F(SocketTest, AcceptAndReadArePostedOnceUntilReenabled) {
    WORD wPort;
    SOCKET sListen = Listener(&wPort);
    ASSERT_EQ(WSAAsyncSelect(sListen, m_hWnd, kMsgSocket, FD_ACCEPT), 0);
    SOCKET sPeer1 = Connected(wPort);
    SOCKET sPeer2 = Connected(wPort);
    std::vector<Event> events = Collect(60);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].s, sListen);
    EXPECT_EQ(events[0].wEvent, FD_ACCEPT);

    SOCKET sServer = accept(sListen, nullptr, nullptr);
    ASSERT_NE(sServer, INVALID_SOCKET);
    events = Collect(60);  // the second connection waits
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].wEvent, FD_ACCEPT);
    SOCKET sServer2 = accept(sListen, nullptr, nullptr);
    ASSERT_NE(sServer2, INVALID_SOCKET);
    EXPECT_EQ(accept(sListen, nullptr, nullptr), INVALID_SOCKET);  // non-blocking
    EXPECT_EQ(WSAGetLastError(), static_cast<int>(WSAEWOULDBLOCK));

    ASSERT_EQ(WSAAsyncSelect(sServer, m_hWnd, kMsgSocket, FD_READ | FD_WRITE | FD_CLOSE), 0);
    ASSERT_EQ(send(sPeer1, "0123456789", 10, 0), 10);
    Sleep(10);
    ASSERT_EQ(send(sPeer1, "abcdefghij", 10, 0), 10);
    std::map<WORD, int> counts = CountByEvent(Collect(60));
    EXPECT_EQ(counts[FD_WRITE], 1);
    EXPECT_EQ(counts[FD_READ], 1);
    char szBuffer[32];
    ASSERT_EQ(recv(sServer, szBuffer, 5, 0), 5);  // more remains: posted again
    counts = CountByEvent(Collect(60));
    EXPECT_EQ(counts[FD_READ], 1);
    EXPECT_EQ(counts[FD_WRITE], 0);

    // The peer's close comes once, after the data has been read.
    ASSERT_EQ(shutdown(sPeer1, SD_SEND), 0);
    counts = CountByEvent(Collect(60));
    EXPECT_EQ(counts[FD_CLOSE], 0);
    ASSERT_EQ(recv(sServer, szBuffer, sizeof szBuffer, 0), 15);
    events = Collect(60);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].wEvent, FD_CLOSE);
    EXPECT_EQ(events[0].wError, 0);
    EXPECT_EQ(recv(sServer, szBuffer, sizeof szBuffer, 0), 0);
    EXPECT_TRUE(Collect(60).empty());
    for (SOCKET s : {sListen, sServer, sServer2, sPeer1, sPeer2})
        EXPECT_EQ(closesocket(s), 0);
}

TEST_F(SocketTest, EndOfStreamPostsNoReadAgainWithoutCloseSelected) {
    WORD wPort;
    SOCKET sListen = Listener(&wPort);
    SOCKET sPeer = Connected(wPort);
    SOCKET sServer = accept(sListen, nullptr, nullptr);
    ASSERT_EQ(WSAAsyncSelect(sServer, m_hWnd, kMsgSocket, FD_READ), 0);
    ASSERT_EQ(send(sPeer, "ab", 2, 0), 2);
    ASSERT_EQ(shutdown(sPeer, SD_SEND), 0);
    EXPECT_EQ(CountByEvent(Collect(60))[FD_READ], 1);
    char szBuffer[8];
    EXPECT_EQ(recv(sServer, szBuffer, sizeof szBuffer, 0), 2);
    EXPECT_EQ(recv(sServer, szBuffer, sizeof szBuffer, 0), 0);
    EXPECT_TRUE(Collect(60).empty());
    for (SOCKET s : {sListen, sServer, sPeer})
        closesocket(s);
}

TEST_F(SocketTest, ResetIsPostedAsCloseWithTheError) {
    WORD wPort;
    SOCKET sListen = Listener(&wPort);
    SOCKET sPeer = Connected(wPort);
    SOCKET sServer = accept(sListen, nullptr, nullptr);
    ASSERT_EQ(WSAAsyncSelect(sServer, m_hWnd, kMsgSocket, FD_READ | FD_CLOSE), 0);
    // Unread data makes closesocket reset the connection.
    ASSERT_EQ(send(sServer, "unread", 6, 0), 6);
    Sleep(20);
    ASSERT_EQ(closesocket(sPeer), 0);
    std::vector<Event> events = Collect(100);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].wEvent, FD_CLOSE);
    EXPECT_EQ(events[0].wError, WSAECONNRESET);
    closesocket(sServer);
    closesocket(sListen);
}

TEST_F(SocketTest, WriteIsPostedAgainAfterASendThatWouldBlock) {
    WORD wPort;
    SOCKET sListen = Listener(&wPort);
    SOCKET sPeer = Connected(wPort);
    SOCKET sServer = accept(sListen, nullptr, nullptr);
    ASSERT_EQ(WSAAsyncSelect(sServer, m_hWnd, kMsgSocket, FD_WRITE), 0);
    EXPECT_EQ(CountByEvent(Collect(30))[FD_WRITE], 1);
    std::vector<char> chunk(65536, 'w');
    size_t nSent = 0;
    for (;;) {
        int n = send(sServer, chunk.data(), static_cast<int>(chunk.size()), 0);
        if (n == SOCKET_ERROR) {
            ASSERT_EQ(WSAGetLastError(), static_cast<int>(WSAEWOULDBLOCK));
            break;
        }
        nSent += static_cast<size_t>(n);
    }
    EXPECT_TRUE(Collect(30).empty());
    // The peer drains: there is room again.
    size_t nRead = 0;
    while (nRead < nSent) {
        int n = recv(sPeer, chunk.data(), static_cast<int>(chunk.size()), 0);
        ASSERT_GT(n, 0);
        nRead += static_cast<size_t>(n);
    }
    EXPECT_EQ(CountByEvent(Collect(60))[FD_WRITE], 1);
    for (SOCKET s : {sListen, sServer, sPeer})
        closesocket(s);
}

TEST_F(SocketTest, FailuresCarryWindowsSocketsErrors) {
    WORD wPort;
    SOCKET sListen = Listener(&wPort);
    SOCKET sOther = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(wPort);
    addr.sin_addr.s_addr = inet_addr("127.0.0.1");
    EXPECT_EQ(bind(sOther, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), static_cast<int>(WSAEADDRINUSE));
    closesocket(sListen);
    // Nobody listens now.
    EXPECT_EQ(connect(sOther, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), static_cast<int>(WSAECONNREFUSED));
    EXPECT_EQ(WSAAsyncSelect(sOther, reinterpret_cast<HWND>(0x7FF2), kMsgSocket, FD_READ),
              SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), static_cast<int>(WSAEINVAL));
    EXPECT_EQ(socket(AF_UNSPEC + 10, SOCK_STREAM, 0), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), static_cast<int>(WSAEAFNOSUPPORT));
    closesocket(sOther);
}

}  // namespace
