// A durable PostgreSQL server of the benchmark's own
// (station/tests/pg/pg_test_server.sh ... durable: every commit synced), in
// a temporary folder on a free loopback port, removed when the process
// ends; and databases on it holding the line's schema and one pool.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "line_admin.h"
#include "line_schema.h"
#include "pg_connection.h"

class CBenchPgServer {
public:
    // The process's server, started on first use; null when none can run.
    static CBenchPgServer* Get() {
        static CBenchPgServer* s_pServer = [] {
            auto* p = new CBenchPgServer;
            if (!p->Start()) {
                delete p;
                return static_cast<CBenchPgServer*>(nullptr);
            }
            s_pInstance = p;
            std::atexit([] { delete s_pInstance; });
            return p;
        }();
        return s_pServer;
    }

    ~CBenchPgServer() { Script("remove"); }
    CBenchPgServer(const CBenchPgServer&) = delete;
    CBenchPgServer& operator=(const CBenchPgServer&) = delete;

    const std::string& Dir() const { return m_dir; }
    int Port() const { return m_nPort; }
    // Over loopback TCP, as a station on the line reaches its server.
    std::string TcpConnInfo(const std::string& db) const {
        return "host=127.0.0.1 port=" + std::to_string(m_nPort) + " user=stampwell dbname=" + db;
    }

    // On the server's socket, for the benchmark's own set-up and checks.
    std::string SocketConnInfo(const std::string& db) const {
        return "host=" + m_dir + " port=" + std::to_string(m_nPort) +
               " user=stampwell dbname=" + db;
    }

    // A new database db with the line's schema and the pool `pool` of
    // nCount IMEI bodies and as many Bluetooth addresses.
    bool NewLine(const std::string& db, const std::string& pool, int64_t nCount,
                 std::string* pError) const {
        CPgConnection admin;
        if (!admin.Connect(SocketConnInfo("postgres"), "bench", 10000, pError) ||
            !admin.Run("CREATE DATABASE " + db, pError))
            return false;
        admin.Close();
        CPgConnection line;
        LineRange range;
        range.name = pool;
        range.firstBody = 35000000000000;
        range.count = nCount;
        range.bHasBt = true;
        range.btFirst = 0x00A0B0000000;
        range.btCount = nCount;
        return line.Connect(SocketConnInfo(db), "bench", 10000, pError) &&
               InitLineSchema(line, nullptr, pError) && AddLineRange(line, range, pError);
    }

private:
    CBenchPgServer() = default;
    static inline CBenchPgServer* s_pInstance = nullptr;

    bool Start() {
        m_dir = (std::filesystem::temp_directory_path() /
                 ("stampwell-bench-pg-" + std::to_string(getpid())))
                    .string();
        m_nPort = FreePort();
        return m_nPort > 0 && Script("init") &&
               Script("start", std::to_string(m_nPort) + " durable");
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
    int m_nPort = 0;
};
