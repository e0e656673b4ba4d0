// The tests' PostgreSQL server (pg/pg_server.h), and a fresh line database
// on it for each test that asks.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "line_admin.h"
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

// A pool: nCount bodies from nFirst, and nBtCount addresses from nBtFirst
// (none when nBtFirst is negative).
inline LineRange TestRange(const std::string& name, int64_t nFirst, int64_t nCount,
                           int64_t nBtFirst = -1, int64_t nBtCount = 0) {
    LineRange range;
    range.name = name;
    range.firstBody = nFirst;
    range.count = nCount;
    range.bHasBt = nBtFirst >= 0;
    range.btFirst = range.bHasBt ? nBtFirst : 0;
    range.btCount = nBtCount;
    return range;
}

// Adds the pool to the line database at conninfo.
inline void AddTestPool(const std::string& conninfo, const LineRange& range) {
    CPgConnection db;
    std::string error;
    ASSERT_TRUE(db.Connect(conninfo, "test", 5000, &error)) << error;
    ASSERT_TRUE(AddLineRange(db, range, &error)) << error;
}

// Fails the test where no PostgreSQL server can run (scripts/setup installs
// one).
#define REQUIRE_PG_SERVER(pServer)                 \
    CPgTestServer* pServer = CPgTestServer::Get(); \
    if (pServer == nullptr)                        \
    GTEST_FAIL() << "no PostgreSQL server can be started (install postgresql-15)"
