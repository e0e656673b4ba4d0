// Server mode against foreign clients: python3 sockets and socat.
#include <cstdlib>

#include "netlane_fixture.h"

namespace netlane_test {
namespace {

// Three clients send one byte each, then print what each receives and
// whether each then sees the server's close.
const char kThreeClients[] = R"(
import socket, sys
port, n = int(sys.argv[1]), int(sys.argv[2])
ss = [socket.create_connection(("127.0.0.1", port)) for i in range(3)]
for s in ss:
    s.sendall(b"x")
got = []
for s in ss:
    d = b""
    while len(d) < n:
        c = s.recv(100)
        if not c:
            break
        d += c
    got.append(d.decode())
print(" ".join(got), flush=True)
print(" ".join("eof" if s.recv(10) == b"" else "more" for s in ss), flush=True)
)";

TEST_F(NetlaneTest, ServerWritesToEveryClientAndCloseClosesEachOnce) {
    DWORD dwPort = OpenServer();
    ASSERT_NE(dwPort, 0u);
    char szBuffer[8] = "intact";
    EXPECT_EQ(m_host.Run([&] { return m_pChannel->Read(szBuffer, sizeof szBuffer); }), 0);
    EXPECT_STREQ(szBuffer, "intact");
    EXPECT_EQ(Write("nobody"), 0);

    platform::SocketCounters before = Counters();
    Peer peer(Python(kThreeClients, std::to_string(dwPort) + " 9"));
    ASSERT_EQ(m_host.WaitForBytes(3, 5000), "xxx");
    EXPECT_EQ(Write("hello-all"), 9);
    EXPECT_EQ(peer.ReadLine(), "hello-all hello-all hello-all");

    EXPECT_EQ(Close(), SK_S_OK);
    EXPECT_EQ(peer.ReadLine(), "eof eof eof");
    platform::SocketCounters after = Counters();
    EXPECT_EQ(after.nClosed - before.nClosed, 4u);  // three clients and the listener
    EXPECT_EQ(after.nBadCloses, before.nBadCloses);
    EXPECT_EQ(Write("gone"), 0);  // the list is empty
    EXPECT_EQ(peer.Wait(), 0);
}

// 700 bytes, then 128 more once the first have been taken.
const char kPieces[] = R"(
import socket, sys, time
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
s.sendall(bytes(i % 251 for i in range(700)))
time.sleep(0.2)
s.sendall(bytes((700 + i) % 251 for i in range(128)))
s.recv(10)
)";

TEST_F(NetlaneTest, ReceivesWrapTheFillPointPast640) {
    DWORD dwPort = OpenServer();
    ASSERT_NE(dwPort, 0u);
    Peer peer(Python(kPieces, std::to_string(dwPort)));
    std::string got = m_host.WaitForBytes(828, 5000);
    std::string want;
    for (int i = 0; i < 828; ++i)
        want += static_cast<char>(i % 251);
    EXPECT_EQ(got, want);

    std::vector<Note> notes = m_host.Notes();
    ASSERT_GE(notes.size(), 7u);
    std::vector<uintptr_t> offsets;
    for (size_t i = 0; i < 7; ++i)
        offsets.push_back(notes[i].pData - notes[0].pData);
    EXPECT_EQ(offsets, (std::vector<uintptr_t>{0, 128, 256, 384, 512, 640, 0}));
    EXPECT_EQ(notes[5].lParam, 60);
    Close();
    peer.Wait();
}

TEST_F(NetlaneTest, ServerReceivesFromSocat) {
    DWORD dwPort = OpenServer();
    ASSERT_NE(dwPort, 0u);
    std::string command =
        "printf from-socat | socat -t 2 - TCP:127.0.0.1:" + std::to_string(dwPort);
    EXPECT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(m_host.WaitForBytes(10, 5000), "from-socat");
    // socat's close removes the connection: a Write reaches nobody.
    EXPECT_TRUE(
        WaitForCounters([&](const platform::SocketCounters&) { return Write("x") == 0; }, 3000));
    Close();
}

}  // namespace
}  // namespace netlane_test
