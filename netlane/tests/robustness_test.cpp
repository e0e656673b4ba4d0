// Peers that misbehave and a host that falls behind: the channel keeps
// running and never blocks its host.
#include "netlane_fixture.h"

namespace netlane_test {
namespace {

// Sends n pattern bytes as fast as the connection takes them, then closes.
const char kFlood[] = R"(
import socket, sys
n = int(sys.argv[2])
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
s.sendall(bytes(i % 251 for i in range(n)))
s.close()
print("sent", flush=True)
)";

TEST_F(NetlaneTest, FloodingPeerAndAPausedHostLoseNothingTheHostTookInTime) {
    DWORD dwPort = OpenServer();
    ASSERT_NE(dwPort, 0u);
    const size_t nBytes = 1 << 20;
    Peer peer(Python(kFlood, std::to_string(dwPort) + " " + std::to_string(nBytes)));
    ASSERT_GT(m_host.WaitForBytes(1, 5000).size(), 0u);
    // The host stops pumping for a second; the peer is held back by TCP.
    m_host.Run([] { Sleep(1000); });
    std::string got = m_host.WaitForBytes(nBytes, 20000);
    ASSERT_EQ(got.size(), nBytes);
    for (size_t i = 0; i < nBytes; ++i) {
        if (got[i] != static_cast<char>(i % 251)) {
            ADD_FAILURE() << "byte " << i << " differs";
            break;
        }
    }
    EXPECT_EQ(peer.ReadLine(), "sent");
    Close();
}

// Ten clients, each sending n bytes of its own letter at once.
const char kTenFloods[] = R"(
import socket, sys, threading
port, n = int(sys.argv[1]), int(sys.argv[2])
def flood(letter):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(letter * n)
    s.recv(1)
ts = [threading.Thread(target=flood, args=(bytes([65 + i]),)) for i in range(10)]
for t in ts:
    t.start()
print("started", flush=True)
for t in ts:
    t.join()
)";

TEST_F(NetlaneTest, ServerWithManyFloodingClientsLosesNothingForAHostThatKeepsUp) {
    DWORD dwPort = OpenServer();
    ASSERT_NE(dwPort, 0u);
    const size_t nEach = 64 * 1024;
    Peer peer(Python(kTenFloods, std::to_string(dwPort) + " " + std::to_string(nEach)));
    EXPECT_EQ(peer.ReadLine(), "started");
    m_host.WaitForBytes(10 * nEach, 20000);
    // One receive reads one connection: a notification holds one letter
    // unless a later receive overwrote it before the host took it.
    size_t counts[10] = {};
    for (const Note& note : m_host.Notes()) {
        if (note.uMsg != kMsgData || note.bytes.empty())
            continue;
        char letter = note.bytes[0];
        ASSERT_EQ(note.bytes.find_first_not_of(letter), std::string::npos);
        ASSERT_TRUE(letter >= 'A' && letter <= 'J');
        counts[letter - 'A'] += note.bytes.size();
    }
    for (size_t n : counts)
        EXPECT_EQ(n, nEach);
    Close();
    peer.Wait();
}

// Connects, waits for a byte from the server, then resets the connection.
const char kResetClient[] = R"(
import socket, struct, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
s.sendall(b"r")
s.recv(1)
s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
s.close()
t = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
t.sendall(b"ok")
print(t.recv(10).decode(), flush=True)
)";

TEST_F(NetlaneTest, ServerDropsAClientThatResetsAndServesTheNext) {
    DWORD dwPort = OpenServer();
    ASSERT_NE(dwPort, 0u);
    platform::SocketCounters before = Counters();
    Peer peer(Python(kResetClient, std::to_string(dwPort)));
    ASSERT_EQ(m_host.WaitForBytes(1, 5000), "r");
    EXPECT_EQ(Write("1"), 1);
    EXPECT_EQ(m_host.WaitForBytes(3, 5000), "rok");
    // The reset connection has been closed; only the second client is left.
    EXPECT_TRUE(WaitForCounters(
        [&](const platform::SocketCounters& now) { return now.nClosed == before.nClosed + 1; },
        3000));
    EXPECT_EQ(Write("bye"), 3);
    EXPECT_EQ(peer.ReadLine(), "bye");
    Close();
    EXPECT_EQ(peer.Wait(), 0);
}

TEST_F(NetlaneTest, ClientWhoseServerResetsClosesQuietly) {
    const char kResetServer[] = R"(
import socket, struct
l = socket.socket()
l.bind(("127.0.0.1", 0))
l.listen(1)
print(l.getsockname()[1], flush=True)
c, a = l.accept()
c.recv(1)
c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
c.close()
print("reset", flush=True)
)";
    Peer peer(Python(kResetServer, ""));
    DWORD dwPort = static_cast<DWORD>(std::stoul(peer.ReadLine()));
    ASSERT_EQ(Open(dwPort, inet_addr("127.0.0.1"), TRUE), SK_S_OK);
    platform::SocketCounters before = Counters();
    EXPECT_EQ(Write("x"), 1);
    EXPECT_EQ(peer.ReadLine(), "reset");
    EXPECT_TRUE(WaitForCounters(
        [&](const platform::SocketCounters& now) { return now.nClosed == before.nClosed + 1; },
        3000));
    // An abortive close is not the orderly close the host is told about.
    for (const Note& note : m_host.Notes())
        EXPECT_NE(note.uMsg, kMsgData + 1);
    EXPECT_EQ(Write("y"), -1);
    EXPECT_EQ(Close(), SK_S_OK);
    EXPECT_EQ(peer.Wait(), 0);
}

}  // namespace
}  // namespace netlane_test

namespace netlane_test {
namespace {

// Sends a byte every few milliseconds until the server goes away.
const char kTicker[] = R"(
import socket, sys, time
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
try:
    while s.send(b"t"):
        time.sleep(0.005)
        s.setblocking(False)
        try:
            if s.recv(1) == b"":
                break
        except BlockingIOError:
            pass
        s.setblocking(True)
except OSError:
    pass
)";

TEST_F(NetlaneTest, CloseAndReleaseFromAnotherThreadLeaveNoEventForTheChannel) {
    DWORD dwPort = OpenServer();
    ASSERT_NE(dwPort, 0u);
    Peer peer(Python(kTicker, std::to_string(dwPort)));
    ASSERT_GE(m_host.WaitForBytes(3, 5000).size(), 3u);
    // Not the thread that opened it: its window cannot be destroyed from
    // here, but no event reaches the released channel.
    EXPECT_EQ(m_pChannel->Close(), SK_S_OK);
    EXPECT_EQ(m_pChannel->Release(), 0u);
    m_pChannel = nullptr;
    m_host.Run([] { Sleep(50); });
    m_host.Run([] { return 0; });
    EXPECT_EQ(peer.Wait(), 0);
}

}  // namespace
}  // namespace netlane_test
