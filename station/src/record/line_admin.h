// The line's administration on its server, as the stampwell-pool tool and
// the stations use it: pools (ranges), their state, the per-station report
// and the CSV export of every job.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CPgConnection;

struct LineRange {
    std::string name;
    int64_t firstBody = 0;
    int64_t count = 0;
    bool bHasBt = false;
    int64_t btFirst = 0;  // a 48-bit address value
    int64_t btCount = 0;
};

// Adds a pool. FALSE with *pError for a name in use, a first body that is not
// 14 digits, a count that leaves the 14-digit bodies or the first body's
// allocation (its first eight digits), an address range out of 48 bits, or
// bodies or addresses that overlap another pool's.
bool AddLineRange(CPgConnection& db, const LineRange& range, std::string* pError);

// Writes every job as CSV (replaced atomically), header
// "id,time,station,port,imei1,imei2,imei3,bt_addr,outcome,result".
bool ExportLineCsv(CPgConnection& db, const std::string& csvPath, std::string* pError);
