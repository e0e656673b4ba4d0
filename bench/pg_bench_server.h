// The benchmarks' PostgreSQL server: the tests' own (pg/pg_server.h), here
// durable (every commit synced), and line databases on it with one pool.
#pragma once

#include <cstdint>
#include <string>

#include "line_admin.h"
#include "pg/pg_server.h"

inline CPgServer* BenchServer() {
    return CPgServer::Get(true);
}

// A new database db with the line's schema and the pool `pool` of nCount
// IMEI bodies and as many Bluetooth addresses.
inline bool NewBenchLine(CPgServer& server, const std::string& db, const std::string& pool,
                         int64_t nCount, std::string* pError) {
    if (!server.CreateLineDatabase(db, pError))
        return false;
    LineRange range;
    range.name = pool;
    range.firstBody = 35000000000000;
    range.count = nCount;
    range.bHasBt = true;
    range.btFirst = 0x00A0B0000000;
    range.btCount = nCount;
    CPgConnection line;
    return line.Connect(server.ConnInfo(db), "bench", 10000, pError) &&
           AddLineRange(line, range, pError);
}
