// The tests' PostgreSQL server (pg/pg_server.h), and a fresh line database
// on it for each test that asks.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "pg/pg_server.h"

using CPgTestServer = CPgServer;

// A fresh database with the line's schema; its name.
inline std::string NewLineDatabase(CPgServer& server) {
    static std::atomic<int> s_nNext{1};
    const std::string name = "line" + std::to_string(s_nNext++);
    std::string error;
    EXPECT_TRUE(server.CreateLineDatabase(name, &error)) << error;
    return name;
}

// Fails the test where no PostgreSQL server can run (scripts/setup installs
// one).
#define REQUIRE_PG_SERVER(pServer)                 \
    CPgTestServer* pServer = CPgTestServer::Get(); \
    if (pServer == nullptr)                        \
    GTEST_FAIL() << "no PostgreSQL server can be started (install postgresql-15)"
