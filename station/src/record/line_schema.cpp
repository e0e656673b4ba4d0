#include "line_schema.h"

#include "pg_connection.h"

namespace {

// Version 1. Each later version appends its own upgrade step.
const char kSchemaV1[] =
    "CREATE TABLE ranges ("
    " name text PRIMARY KEY,"
    " first_body bigint NOT NULL CHECK (first_body BETWEEN 10000000000000 AND 99999999999999),"
    " body_count bigint NOT NULL CHECK (body_count > 0),"
    " next_body bigint NOT NULL,"
    " bt_first bigint CHECK (bt_first BETWEEN 0 AND 281474976710655),"
    " bt_count bigint CHECK (bt_count > 0),"
    " bt_next bigint,"
    " created timestamptz NOT NULL DEFAULT now(),"
    " CHECK (first_body + body_count - 1 <= 99999999999999),"
    " CHECK (next_body BETWEEN first_body AND first_body + body_count),"
    " CHECK ((bt_first IS NULL) = (bt_count IS NULL) AND (bt_first IS NULL) = (bt_next IS NULL)),"
    " CHECK (bt_first + bt_count - 1 <= 281474976710655),"
    " CHECK (bt_next BETWEEN bt_first AND bt_first + bt_count));"
    "CREATE TABLE jobs ("
    " id bigserial PRIMARY KEY,"
    " token text NOT NULL UNIQUE,"
    " time timestamptz NOT NULL DEFAULT now(),"
    " finished timestamptz,"
    " station text NOT NULL,"
    " port text NOT NULL,"
    " imei1 text, imei2 text, imei3 text, bt_addr text,"
    " outcome text NOT NULL DEFAULT 'inflight' CHECK (outcome IN"
    "  ('inflight','written','refused','uncertain','presumedwritten')),"
    " result integer,"
    " rework smallint NOT NULL DEFAULT 0,"
    " pool text REFERENCES ranges(name),"
    " pool_bodies bigint[],"
    " pool_bt bigint,"
    " operator text,"
    " work_order text);"
    "CREATE INDEX jobs_station_outcome ON jobs (station, outcome);"
    "CREATE TABLE numbers ("
    " number text PRIMARY KEY,"
    " job_id bigint NOT NULL REFERENCES jobs(id));"
    "CREATE INDEX numbers_job ON numbers (job_id);"
    "CREATE TABLE spares ("
    " id bigserial PRIMARY KEY,"
    " range_name text NOT NULL REFERENCES ranges(name),"
    " station text NOT NULL,"
    " bodies bigint[] NOT NULL,"
    " bt_value bigint);"
    "CREATE INDEX spares_station ON spares (range_name, station);";

const char* const kUpgrades[] = {kSchemaV1};
static_assert(sizeof kUpgrades / sizeof kUpgrades[0] == LINE_SCHEMA_VERSION);

// The version on the server, 0 when there is no version table; -1 on failure.
int ReadVersion(CPgConnection& db, std::string* pError) {
    CPgResult rows;
    if (!db.Exec("SELECT to_regclass('stampwell_schema') IS NOT NULL", {}, &rows, pError))
        return -1;
    if (rows.Text(0, 0) != "t")
        return 0;
    if (!db.Exec("SELECT max(version) FROM stampwell_schema", {}, &rows, pError))
        return -1;
    return static_cast<int>(rows.Int(0, 0));
}

}  // namespace

const char LINE_SQL_TAKE_FRESH[] =
    "UPDATE ranges SET next_body = next_body + $2::bigint,"
    " bt_next = CASE WHEN $3::boolean AND bt_first IS NOT NULL THEN bt_next + 1 ELSE bt_next END"
    " WHERE name = $1 AND next_body + $2::bigint <= first_body + body_count"
    " AND NOT ($3::boolean AND bt_first IS NOT NULL AND bt_next >= bt_first + bt_count)"
    " RETURNING next_body - $2::bigint,"
    " CASE WHEN $3::boolean AND bt_first IS NOT NULL THEN bt_next - 1 END";
const char LINE_SQL_TAKE_SPARE[] =
    "DELETE FROM spares WHERE id = (SELECT id FROM spares WHERE range_name = $1 AND station = $2"
    " AND cardinality(bodies) = $3::integer AND (bt_value IS NOT NULL) = $4::boolean"
    " ORDER BY id LIMIT 1 FOR UPDATE SKIP LOCKED) RETURNING bodies[1], bt_value";
const char LINE_SQL_INSERT_JOB[] =
    "INSERT INTO jobs (token, station, port, imei1, imei2, imei3, bt_addr, pool, pool_bodies,"
    " pool_bt, operator, work_order) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9::bigint[],"
    " $10::bigint, $11, $12) RETURNING id";
const char LINE_SQL_CLAIM_NUMBERS[] =
    "INSERT INTO numbers (number, job_id) SELECT DISTINCT unnest($1::text[]), $2::bigint"
    " ON CONFLICT DO NOTHING RETURNING number";
const char LINE_SQL_FINISH_JOB[] =
    "UPDATE jobs SET outcome = $2, result = $3::integer, finished = now()"
    " WHERE token = $1 AND finished IS NULL AND outcome IN ('inflight', 'presumedwritten')"
    " RETURNING id, pool IS NOT NULL";

bool InitLineSchema(CPgConnection& db, int* pnBefore, std::string* pError) {
    // One initialisation at a time on the server: the lock ends with the
    // transaction.
    if (!db.Run("BEGIN", pError))
        return false;
    bool bOk = db.Run("SELECT pg_advisory_xact_lock(7340001)", pError);
    const int nVersion = bOk ? ReadVersion(db, pError) : -1;
    bOk = nVersion >= 0;
    if (bOk && nVersion > LINE_SCHEMA_VERSION) {
        if (pError != nullptr)
            *pError = "the server's schema (version " + std::to_string(nVersion) +
                      ") is newer than this program's (" + std::to_string(LINE_SCHEMA_VERSION) +
                      ")";
        bOk = false;
    }
    if (bOk && nVersion == 0)
        bOk = db.Run("CREATE TABLE stampwell_schema (version integer NOT NULL)", pError);
    for (int v = nVersion + 1; bOk && v <= LINE_SCHEMA_VERSION; ++v) {
        bOk = db.Run(kUpgrades[v - 1], pError) &&
              db.Exec("INSERT INTO stampwell_schema (version) VALUES ($1::integer)",
                      {std::to_string(v)}, nullptr, pError);
    }
    if (bOk && db.Run("COMMIT", pError)) {
        if (pnBefore != nullptr)
            *pnBefore = nVersion;
        return true;
    }
    if (db.IsOpen())
        db.Run("ROLLBACK", nullptr);
    return false;
}

bool CheckLineSchema(CPgConnection& db, std::string* pError) {
    const int nVersion = ReadVersion(db, pError);
    if (nVersion == LINE_SCHEMA_VERSION)
        return true;
    if (nVersion >= 0 && pError != nullptr)
        *pError = nVersion == 0
                      ? "the server has no line record (run stampwell-pool init)"
                      : "the server's line record is version " + std::to_string(nVersion) +
                            ", this program needs " + std::to_string(LINE_SCHEMA_VERSION);
    return false;
}
