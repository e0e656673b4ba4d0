// A PostgreSQL server of the test's or benchmark's own (pg_test_server.sh
// beside this file, path in PG_TEST_SERVER_SCRIPT): started on first use in
// a temporary folder, on a Unix socket there and a free loopback port, and
// removed when the process ends. No test framework: the tests and the
// benchmarks share it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "line_schema.h"
#include "pg_connection.h"

class CPgServer {
public:
    // The process's server, started on first use (bDurable: every commit
    // synced, for benchmarks; else fsync off, which a server crash does not
    // hurt as the machine keeps running); null when none can be started.
    static CPgServer* Get(bool bDurable = false) {
        static CPgServer* s_pServer = [bDurable] {
            auto* p = new CPgServer;
            if (!p->Start(bDurable)) {
                delete p;
                return static_cast<CPgServer*>(nullptr);
            }
            s_pInstance = p;
            std::atexit([] { delete s_pInstance; });
            return p;
        }();
        return s_pServer;
    }

    ~CPgServer() { Script("remove"); }
    CPgServer(const CPgServer&) = delete;
    CPgServer& operator=(const CPgServer&) = delete;

    const std::string& Dir() const { return m_dir; }
    int Port() const { return m_nPort; }
    // Database db on the server's socket.
    std::string ConnInfo(const std::string& db) const {
        return "host=" + m_dir + " port=" + std::to_string(m_nPort) +
               " user=stampwell dbname=" + db;
    }
    // Over loopback TCP, as a station on the line reaches its server (nPort:
    // a proxy's port instead of the server's).
    std::string TcpConnInfo(const std::string& db, int nPort = 0) const {
        return "host=127.0.0.1 port=" + std::to_string(nPort != 0 ? nPort : m_nPort) +
               " user=stampwell dbname=" + db;
    }

    // A new database db holding the line's schema.
    bool CreateLineDatabase(const std::string& db, std::string* pError) const {
        CPgConnection admin;
        if (!admin.Connect(ConnInfo("postgres"), "test", 10000, pError) ||
            !admin.Run("CREATE DATABASE " + db, pError))
            return false;
        admin.Close();
        CPgConnection line;
        return line.Connect(ConnInfo(db), "test", 10000, pError) &&
               InitLineSchema(line, nullptr, pError);
    }

    // Stops the server at once (pg_ctl stop -m immediate, as a crash), and
    // starts it again.
    bool StopNow() {
        m_bRunning = !Script("stop");
        return !m_bRunning;
    }
    bool Restart() {
        if (!m_bRunning)
            m_bRunning = Script("start", std::to_string(m_nPort) + m_durable);
        return m_bRunning;
    }

private:
    CPgServer() = default;
    static inline CPgServer* s_pInstance = nullptr;

    bool Start(bool bDurable) {
        m_dir =
            (std::filesystem::temp_directory_path() / ("stampwell-pg-" + std::to_string(getpid())))
                .string();
        m_durable = bDurable ? " durable" : "";
        if (!Script("init"))
            return false;
        // A port free a moment ago may be taken before the server binds it.
        for (int nTry = 0; nTry < 5 && !m_bRunning; ++nTry) {
            m_nPort = FreePort();
            m_bRunning = m_nPort > 0 && Script("start", std::to_string(m_nPort) + m_durable);
        }
        return m_bRunning;
    }

    // A loopback port nobody listens on now.
    static int FreePort() {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0)
            return -1;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        int nPort = -1;
        if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
            nPort = ntohs(addr.sin_port);
        close(fd);
        return nPort;
    }

    bool Script(const std::string& command, const std::string& args = "") const {
        const std::string line = std::string("sh " PG_TEST_SERVER_SCRIPT " ") + command + " '" +
                                 m_dir + "' " + args + " >&2";
        return std::system(line.c_str()) == 0;
    }

    std::string m_dir;
    std::string m_durable;
    int m_nPort = 0;
    bool m_bRunning = false;
};
