// Client mode against foreign servers: python3 sockets and socat.
#include "netlane_fixture.h"

namespace netlane_test {
namespace {

// Prints its port, takes one client, answers "ping" with "pong" and closes.
const char kPongServer[] = R"(
import socket
l = socket.socket()
l.bind(("127.0.0.1", 0))
l.listen(1)
print(l.getsockname()[1], flush=True)
c, a = l.accept()
d = b""
while len(d) < 4:
    d += c.recv(4 - len(d))
c.sendall(b"pong" if d == b"ping" else b"what")
c.close()
)";

TEST_F(NetlaneTest, ClientExchangesBytesAndReportsTheServersClose) {
    Peer peer(Python(kPongServer, ""));
    DWORD dwPort = static_cast<DWORD>(std::stoul(peer.ReadLine()));
    int nBase = Counters().nStartups;
    ASSERT_EQ(Open(dwPort, inet_addr("127.0.0.1"), TRUE), SK_S_OK);
    // Nothing waits yet: Read returns at once.
    char szBuffer[16];
    EXPECT_EQ(m_host.Run([&] { return m_pChannel->Read(szBuffer, sizeof szBuffer); }), -1);
    EXPECT_EQ(Write("ping"), 4);
    EXPECT_EQ(m_host.WaitForBytes(4, 5000), "pong");
    ASSERT_TRUE(m_host.WaitFor(
        [](const std::vector<Note>& notes) {
            return !notes.empty() && notes.back().uMsg == kMsgData + 1;
        },
        5000));
    Note closed = m_host.Notes().back();
    EXPECT_EQ(closed.bytes, "127.0.0.1:" + std::to_string(dwPort));
    EXPECT_EQ(closed.lParam, 20);
    // Notification pointers are not heap blocks: FreeMem ignores them.
    EXPECT_EQ(m_pChannel->FreeMem(reinterpret_cast<void*>(closed.pData)), SK_S_OK);

    // The channel stays open until Close; the socket is gone.
    EXPECT_EQ(Write("late"), -1);
    EXPECT_EQ(m_host.Run([&] { return m_pChannel->Read(szBuffer, sizeof szBuffer); }), -1);
    EXPECT_EQ(Counters().nStartups, nBase + 1);
    EXPECT_EQ(Close(), SK_S_OK);
    EXPECT_EQ(Counters().nStartups, nBase);
    EXPECT_EQ(peer.Wait(), 0);
}

TEST_F(NetlaneTest, ClientCloseEndsTheConnection) {
    // An echo server that reports how its connection ended.
    const char kEcho[] = R"(
import socket
l = socket.socket()
l.bind(("127.0.0.1", 0))
l.listen(1)
print(l.getsockname()[1], flush=True)
c, a = l.accept()
n = 0
while True:
    d = c.recv(100)
    if not d:
        break
    n += len(d)
print("eof", n, flush=True)
)";
    Peer peer(Python(kEcho, ""));
    DWORD dwPort = static_cast<DWORD>(std::stoul(peer.ReadLine()));
    platform::SocketCounters before = Counters();
    ASSERT_EQ(Open(dwPort, inet_addr("127.0.0.1"), TRUE), SK_S_OK);
    EXPECT_EQ(Write("12345"), 5);
    EXPECT_EQ(Close(), SK_S_OK);
    EXPECT_EQ(peer.ReadLine(), "eof 5");
    platform::SocketCounters after = Counters();
    EXPECT_EQ(after.nClosed - before.nClosed, 1u);
    EXPECT_EQ(peer.Wait(), 0);
}

TEST_F(NetlaneTest, ClientTalksToASocatEchoServer) {
    DWORD dwPort = FreePort();
    Peer socat("socat TCP-LISTEN:" + std::to_string(dwPort) + ",bind=127.0.0.1,reuseaddr PIPE");
    ASSERT_EQ(OpenClientWhenListening(dwPort), SK_S_OK);
    EXPECT_EQ(Write("echo me"), 7);
    EXPECT_EQ(m_host.WaitForBytes(7, 5000), "echo me");
    Close();
    EXPECT_EQ(socat.Wait(), 0);
}

}  // namespace
}  // namespace netlane_test
