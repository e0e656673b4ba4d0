// The plain-socket side of the socket channel benchmarks: a plain epoll
// server to measure the channel against, and the raw clients that both
// servers are driven with. Kept apart from the channel's side because the
// system's socket headers and the platform's Windows Sockets declare the
// same names.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

namespace netlane_bench {

// A server thread over epoll: accepts every client, reads what arrives in
// 64 KiB reads, counts it, and in echo mode sends it straight back.
class EpollServer {
public:
    explicit EpollServer(bool bEcho);
    ~EpollServer();
    EpollServer(const EpollServer&) = delete;
    EpollServer& operator=(const EpollServer&) = delete;

    uint16_t Port() const { return m_port; }
    size_t BytesReceived() const { return m_nBytes.load(); }

private:
    void Run();

    const bool m_bEcho;
    int m_listenFd = -1;
    int m_epollFd = -1;
    int m_stopFd = -1;
    uint16_t m_port = 0;
    std::atomic<size_t> m_nBytes{0};
    std::thread m_thread;
};

// Raw blocking client sockets on loopback. -1 on failure.
int ConnectClient(uint16_t port);
bool SendAll(int fd, const void* pData, size_t nLen);
bool RecvAll(int fd, void* pData, size_t nLen);
void CloseClient(int fd);

// A loopback port that no socket uses now.
uint16_t FreePort();

// Raises the open-file limit to the hard limit; returns the new soft limit.
size_t RaiseFileLimit();
// The process's resident memory in bytes.
size_t ResidentBytes();

// Opens nClients connections to port in a child process, in batches of
// nBatch; each client sends one byte once connected. After each batch the
// child waits until NextBatch is called, so a server's accept queue never
// overflows. Hold keeps every connection until Release.
class ClientSwarm {
public:
    ClientSwarm(uint16_t port, int nClients, int nBatch);
    ~ClientSwarm();
    ClientSwarm(const ClientSwarm&) = delete;
    ClientSwarm& operator=(const ClientSwarm&) = delete;

    bool Started() const { return m_pid > 0; }
    void NextBatch();

private:
    int m_pid = -1;
    int m_goFd = -1;
};

}  // namespace netlane_bench
