// The line's record on its PostgreSQL server: the tables, their version, and
// the statements the stations and the pool tool run on them.
//
//   ranges   one row per pool: IMEI bodies first_body .. first_body +
//            body_count - 1 (next_body the first never handed out), and
//            optionally Bluetooth addresses bt_first .. bt_first + bt_count - 1
//            (48-bit values; bt_next likewise).
//   jobs     one row per handset written or tried, as a station's record
//            file holds them, with the station's name and a token the
//            station chose (so an outcome can be delivered even when the
//            answer to the job's commit was lost).
//   numbers  every IMEI and Bluetooth address (upper case) of every job not
//            refused, under a unique key: no code path of any station can
//            record a number twice.
//   spares   numbers of refused pool jobs, given back to their station for
//            its next handset.
#pragma once

#include <string>

class CPgConnection;

constexpr int LINE_SCHEMA_VERSION = 1;

// Creates the tables, or upgrades older ones, in one transaction; running it
// again changes nothing. *pnBefore (when not null) gets the version found
// (0: none). FALSE with *pError, changing nothing, on a failure or a schema
// newer than this program knows.
bool InitLineSchema(CPgConnection& db, int* pnBefore, std::string* pError);
// TRUE when the server holds the schema this program knows.
bool CheckLineSchema(CPgConnection& db, std::string* pError);

// The statements a job runs, shared with the benchmark that replays them.
// Takes $2 bodies (and an address when $3 is 'true' and the pool has them)
// from pool $1: the first body and the address, or no row.
extern const char LINE_SQL_TAKE_FRESH[];
// A spare of pool $1 for station $2 with $3 bodies and an address when $4:
// its first body and address, or no row. A job's bodies always follow each
// other (they are taken together), so the first names them all.
extern const char LINE_SQL_TAKE_SPARE[];
// A job row in flight: token, station, port, imei1..3, bt_addr, pool, the
// pool's bodies (array) and address, operator, work order; returns the id.
extern const char LINE_SQL_INSERT_JOB[];
// Claims the numbers $1 (a text array) for job $2; returns those claimed.
extern const char LINE_SQL_CLAIM_NUMBERS[];
// The outcome $2 and result $3 of the unfinished job with token $1; returns
// its id and whether it came from a pool.
extern const char LINE_SQL_FINISH_JOB[];
