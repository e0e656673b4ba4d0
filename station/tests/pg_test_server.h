// A PostgreSQL server of the test's own (pg/pg_test_server.sh): started on
// first use in a temporary folder, on a Unix socket there and a loopback
// port, and removed when the test program ends. Each test takes a fresh
// database of its own on it.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "line_schema.h"
#include "pg_connection.h"
#include "platform/win_sync.h"

class CPgTestServer {
public:
    ~CPgTestServer() { Run("remove"); }

    // The process's server, started on first use; null (with the reason
    // printed) when no server can be started here.
    static CPgTestServer* Get() {
        static CPgTestServer* s_pServer = [] {
            auto* p = new CPgTestServer;
            if (!p->Start()) {
                delete p;
                return static_cast<CPgTestServer*>(nullptr);
            }
            std::atexit([] { delete s_pInstance; });
            s_pInstance = p;
            return p;
        }();
        return s_pServer;
    }

    // The connection string of database db on the socket, or over loopback
    // TCP (which a proxy can stand in).
    std::string ConnInfo(const std::string& db) const {
        return "host=" + m_dir + " port=" + std::to_string(m_nPort) +
               " user=stampwell dbname=" + db;
    }
    std::string TcpConnInfo(const std::string& db, int nPort = 0) const {
        return "host=127.0.0.1 port=" + std::to_string(nPort != 0 ? nPort : m_nPort) +
               " user=stampwell dbname=" + db;
    }
    int Port() const { return m_nPort; }

    // A fresh database with the line's schema; its name.
    std::string NewLineDatabase() {
        static std::atomic<int> s_nNext{1};
        const std::string name = "line" + std::to_string(s_nNext++);
        CPgConnection db;
        std::string error;
        EXPECT_TRUE(db.Connect(ConnInfo("postgres"), "test", 10000, &error)) << error;
        EXPECT_TRUE(db.Run("CREATE DATABASE " + name, &error)) << error;
        db.Close();
        EXPECT_TRUE(db.Connect(ConnInfo(name), "test", 10000, &error)) << error;
        EXPECT_TRUE(InitLineSchema(db, nullptr, &error)) << error;
        return name;
    }

    // Stops the server at once (as a crash would), and starts it again.
    bool StopNow() {
        m_bRunning = !Run("stop");
        return !m_bRunning;
    }
    bool Restart() {
        if (!m_bRunning)
            m_bRunning = Run("start", std::to_string(m_nPort));
        return m_bRunning;
    }

private:
    static inline CPgTestServer* s_pInstance = nullptr;

    bool Start() {
        std::random_device random;
        m_dir = (std::filesystem::temp_directory_path() /
                 ("stampwell-pg-" + std::to_string(random() % 1000000)))
                    .string();
        if (!Run("init"))
            return false;
        // A port from the process id, then others, until one is free.
        for (int nTry = 0; nTry < 8; ++nTry) {
            m_nPort = 20000 + static_cast<int>((GetCurrentProcessId() * 7 + nTry * 977) % 30000);
            if (Run("start", std::to_string(m_nPort)))
                return m_bRunning = true;
        }
        return false;
    }

    bool Run(const std::string& command, const std::string& arg = "") const {
        const std::string line =
            std::string(PG_TEST_SERVER_SCRIPT) + " " + command + " '" + m_dir + "' " + arg;
        return std::system(line.c_str()) == 0;
    }

    std::string m_dir;
    int m_nPort = 0;
    bool m_bRunning = false;
};

// Fails the test where no PostgreSQL server can run (scripts/setup installs
// one).
#define REQUIRE_PG_SERVER(pServer)                 \
    CPgTestServer* pServer = CPgTestServer::Get(); \
    if (pServer == nullptr)                        \
    GTEST_FAIL() << "no PostgreSQL server can be started (install postgresql-15)"
