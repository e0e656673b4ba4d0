// The line's administration on its server, as the stampwell-pool tool and
// the stations use it: pools (ranges), their state, the per-station report
// and the CSV export of every job. Each function runs its statements on the
// server (bounded by the connection's statement time-out) and returns FALSE
// with *pError on a failure.
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

// A 48-bit address value as 12 upper-case hexadecimal digits, and back (-1
// for a text that is not 12 hexadecimal digits).
std::string BtAddressText(int64_t nValue);
int64_t BtAddressValue(const std::string& text);

// Adds a pool. FALSE with *pError for a name in use, a first body that is not
// 14 digits, a count that leaves the 14-digit bodies or the first body's
// allocation (its first eight digits), an address range out of 48 bits, or
// bodies or addresses that overlap another pool's.
bool AddLineRange(CPgConnection& db, const LineRange& range, std::string* pError);

// A pool as it stands: bodies handed out are firstBody .. nextBody - 1
// (used, counting numbers skipped because they were taken by hand and those
// a refusal gave back to a station for its next handset), and
// nextBody .. firstBody + count - 1 are left; the addresses likewise.
struct LineRangeState {
    LineRange range;
    int64_t nextBody = 0;
    int64_t btNext = 0;

    int64_t Used() const { return nextBody - range.firstBody; }
    int64_t Left() const { return range.firstBody + range.count - nextBody; }
    int64_t BtUsed() const { return btNext - range.btFirst; }
    int64_t BtLeft() const { return range.btFirst + range.btCount - btNext; }
};

// Every pool in name order, or only the one named (empty: all). A name that
// no pool has fails with "no pool named NAME".
bool ReadLineRanges(CPgConnection& db, const std::string& name,
                    std::vector<LineRangeState>* pRanges, std::string* pError);

// One station's jobs on the line, computed by the server:
// - written .. inFlight: its jobs with that outcome;
// - firstPassYield: of the handsets whose first job on the line ran on this
//   station, the share written by that first job, in percent with one
//   decimal ("-" when none). A handset is its IMEI1, or its Bluetooth
//   address when the job wrote no IMEI1 (a job with neither is no handset);
//   its first job is its earliest row, where a rework row comes after every
//   row that is not one;
// - perHour: written jobs per hour between the station's first and last job
//   (a span under one minute counts as one minute), one decimal.
struct StationReport {
    std::string station;
    int64_t written = 0;
    int64_t refused = 0;
    int64_t uncertain = 0;
    int64_t presumedWritten = 0;
    int64_t inFlight = 0;
    std::string firstPassYield;
    std::string perHour;
};

// Every station with jobs on record, in name order.
bool ReadLineReport(CPgConnection& db, std::vector<StationReport>* pReport, std::string* pError);

// Writes every job as CSV (replaced atomically), header
// "id,time,station,port,imei1,imei2,imei3,bt_addr,outcome,result".
bool ExportLineCsv(CPgConnection& db, const std::string& csvPath, std::string* pError);
