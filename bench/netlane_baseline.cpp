// The plain epoll server, the raw clients and the client swarm process.
#include "netlane_baseline.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace netlane_bench {

EpollServer::EpollServer(bool bEcho) : m_bEcho(bEcho) {
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int nOn = 1;
    ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof nOn);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(m_listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(m_listenFd, SOMAXCONN);
    socklen_t len = sizeof addr;
    ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&addr), &len);
    m_port = ntohs(addr.sin_port);
    m_epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    m_stopFd = ::eventfd(0, EFD_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = m_listenFd;
    ::epoll_ctl(m_epollFd, EPOLL_CTL_ADD, m_listenFd, &ev);
    ev.data.fd = m_stopFd;
    ::epoll_ctl(m_epollFd, EPOLL_CTL_ADD, m_stopFd, &ev);
    m_thread = std::thread([this] { Run(); });
}

EpollServer::~EpollServer() {
    uint64_t one = 1;
    ssize_t n = ::write(m_stopFd, &one, sizeof one);
    (void)n;
    m_thread.join();
    ::close(m_epollFd);
    ::close(m_stopFd);
    ::close(m_listenFd);
}

void EpollServer::Run() {
    std::vector<int> clients;
    std::vector<char> buffer(65536);
    epoll_event events[256];
    for (;;) {
        int n = ::epoll_wait(m_epollFd, events, 256, -1);
        for (int i = 0; i < n; ++i) {
            int fd = events[i].data.fd;
            if (fd == m_stopFd) {
                for (int c : clients)
                    ::close(c);
                return;
            }
            if (fd == m_listenFd) {
                for (;;) {
                    int c = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (c < 0)
                        break;
                    epoll_event ev{};
                    ev.events = EPOLLIN | EPOLLRDHUP;
                    ev.data.fd = c;
                    ::epoll_ctl(m_epollFd, EPOLL_CTL_ADD, c, &ev);
                    clients.push_back(c);
                }
                continue;
            }
            ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (got > 0) {
                m_nBytes += static_cast<size_t>(got);
                if (m_bEcho)
                    ::send(fd, buffer.data(), static_cast<size_t>(got), MSG_NOSIGNAL);
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                ::epoll_ctl(m_epollFd, EPOLL_CTL_DEL, fd, nullptr);
            }
        }
    }
}

int ConnectClient(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    int nOn = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof nOn);
    return fd;
}

bool SendAll(int fd, const void* pData, size_t nLen) {
    const char* p = static_cast<const char*>(pData);
    while (nLen > 0) {
        ssize_t n = ::send(fd, p, nLen, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        p += n;
        nLen -= static_cast<size_t>(n);
    }
    return true;
}

bool RecvAll(int fd, void* pData, size_t nLen) {
    char* p = static_cast<char*>(pData);
    while (nLen > 0) {
        ssize_t n = ::recv(fd, p, nLen, 0);
        if (n <= 0)
            return false;
        p += n;
        nLen -= static_cast<size_t>(n);
    }
    return true;
}

void CloseClient(int fd) {
    ::close(fd);
}

uint16_t FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

size_t RaiseFileLimit() {
    rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ::getrlimit(RLIMIT_NOFILE, &limit);
    return static_cast<size_t>(limit.rlim_cur);
}

size_t ResidentBytes() {
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr)
        return 0;
    unsigned long nSize = 0, nResident = 0;
    int nRead = std::fscanf(f, "%lu %lu", &nSize, &nResident);
    std::fclose(f);
    return nRead == 2 ? nResident * static_cast<size_t>(::sysconf(_SC_PAGESIZE)) : 0;
}

ClientSwarm::ClientSwarm(uint16_t port, int nClients, int nBatch) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return;
    std::vector<int> clients(static_cast<size_t>(nClients), -1);
    pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return;
    }
    if (pid == 0) {
        // The child only makes system calls: the parent's threads are gone.
        ::close(fds[1]);
        for (int i = 0; i < nClients; ++i) {
            clients[static_cast<size_t>(i)] = ConnectClient(port);
            if (clients[static_cast<size_t>(i)] >= 0)
                SendAll(clients[static_cast<size_t>(i)], "c", 1);
            if ((i + 1) % nBatch == 0) {
                char go;
                if (::read(fds[0], &go, 1) != 1)
                    ::_exit(1);
            }
        }
        char go;
        ssize_t n = ::read(fds[0], &go, 1);  // held until the parent lets go
        (void)n;
        ::_exit(0);
    }
    ::close(fds[0]);
    m_pid = pid;
    m_goFd = fds[1];
}

void ClientSwarm::NextBatch() {
    ssize_t n = ::write(m_goFd, "g", 1);
    (void)n;
}

ClientSwarm::~ClientSwarm() {
    if (m_pid <= 0)
        return;
    ::close(m_goFd);
    int nStatus;
    ::waitpid(m_pid, &nStatus, 0);
}

}  // namespace netlane_bench
