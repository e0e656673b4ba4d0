#include "line_admin.h"

#include <algorithm>
#include <cctype>

#include "csv_file.h"
#include "number_rules.h"
#include "pg_connection.h"

namespace {

constexpr int64_t kBtLast = 0xFFFFFFFFFFFF;

bool Fail(std::string* pError, const std::string& message) {
    if (pError != nullptr)
        *pError = message;
    return false;
}

}  // namespace

std::string BtAddressText(int64_t nValue) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string text(12, '0');
    for (int i = 11; i >= 0; --i, nValue >>= 4)
        text[static_cast<size_t>(i)] = kHex[nValue & 0xF];
    return text;
}

int64_t BtAddressValue(const std::string& text) {
    if (text.size() != 12 || !std::all_of(text.begin(), text.end(), [](char c) {
            return std::isxdigit(static_cast<unsigned char>(c)) != 0;
        }))
        return -1;
    return static_cast<int64_t>(std::stoull(text, nullptr, 16));
}

bool AddLineRange(CPgConnection& db, const LineRange& range, std::string* pError) {
    if (range.name.empty())
        return Fail(pError, "a pool needs a name");
    if (range.firstBody < IMEI_BODY_FIRST || range.firstBody > IMEI_BODY_LAST)
        return Fail(pError, "FIRST must be a 14-digit IMEI body");
    if (range.count < 1 || range.count - 1 > AllocationLast(range.firstBody) - range.firstBody)
        return Fail(pError,
                    "COUNT must be at least 1 and keep the pool inside the allocation of " +
                        std::to_string(range.firstBody / 1000000) + " (at most " +
                        std::to_string(AllocationLast(range.firstBody) - range.firstBody + 1) +
                        " bodies from FIRST)");
    if (range.bHasBt &&
        (range.btFirst < 0 || range.btCount < 1 || range.btCount - 1 > kBtLast - range.btFirst))
        return Fail(pError, "the Bluetooth range must lie within 000000000000..FFFFFFFFFFFF");
    if (!db.Run("BEGIN", pError))
        return false;
    // No other pool is added meanwhile: the overlap check holds at commit.
    const auto rollback = [&db] {
        if (db.IsOpen())
            db.Run("ROLLBACK", nullptr);
        return false;
    };
    if (!db.Run("LOCK TABLE ranges IN SHARE ROW EXCLUSIVE MODE", pError))
        return rollback();
    CPgResult rows;
    const std::string first = std::to_string(range.firstBody);
    const std::string last = std::to_string(range.firstBody + range.count - 1);
    if (!db.Exec("SELECT name FROM ranges WHERE name = $1 OR (first_body <= $3::bigint AND "
                 "first_body + body_count - 1 >= $2::bigint) ORDER BY name <> $1, name LIMIT 1",
                 {range.name, first, last}, &rows, pError))
        return rollback();
    if (rows.Rows() > 0) {
        Fail(pError, rows.Text(0, 0) == range.name
                         ? "a pool named " + range.name + " exists already"
                         : "the bodies overlap those of pool " + rows.Text(0, 0));
        return rollback();
    }
    PgParam btFirst, btCount;
    if (range.bHasBt) {
        btFirst = std::to_string(range.btFirst);
        btCount = std::to_string(range.btCount);
        if (!db.Exec("SELECT name FROM ranges WHERE bt_first <= $2::bigint AND "
                     "bt_first + bt_count - 1 >= $1::bigint ORDER BY name LIMIT 1",
                     {*btFirst, std::to_string(range.btFirst + range.btCount - 1)}, &rows, pError))
            return rollback();
        if (rows.Rows() > 0) {
            Fail(pError, "the Bluetooth addresses overlap those of pool " + rows.Text(0, 0));
            return rollback();
        }
    }
    if (!db.Exec("INSERT INTO ranges (name, first_body, body_count, next_body, bt_first, bt_count,"
                 " bt_next) VALUES ($1, $2::bigint, $3::bigint, $2::bigint, $4::bigint, "
                 "$5::bigint, $4::bigint)",
                 {range.name, first, std::to_string(range.count), btFirst, btCount}, nullptr,
                 pError) ||
        !db.Run("COMMIT", pError))
        return rollback();
    return true;
}

bool ExportLineCsv(CPgConnection& db, const std::string& csvPath, std::string* pError) {
    CPgResult rows;
    if (!db.Exec("SELECT id, to_char(time, 'YYYY-MM-DD HH24:MI:SS.MS'), station, port, imei1,"
                 " imei2, imei3, bt_addr, outcome, result FROM jobs ORDER BY id",
                 {}, &rows, pError))
        return false;
    CCsvFile out;
    if (!out.Create(csvPath, pError))
        return false;
    out.Row({"id", "time", "station", "port", "imei1", "imei2", "imei3", "bt_addr", "outcome",
             "result"});
    for (int r = 0; r < rows.Rows(); ++r) {
        std::vector<std::string> fields;
        for (int c = 0; c < 10; ++c)
            fields.push_back(rows.Text(r, c));
        out.Row(fields);
    }
    return out.Commit(pError);
}

bool ReadLineRanges(CPgConnection& db, const std::string& name,
                    std::vector<LineRangeState>* pRanges, std::string* pError) {
    CPgResult rows;
    if (!db.Exec("SELECT name, first_body, body_count, next_body, bt_first IS NOT NULL, bt_first,"
                 " bt_count, bt_next FROM ranges WHERE $1 = '' OR name = $1 ORDER BY name",
                 {name}, &rows, pError))
        return false;
    if (!name.empty() && rows.Rows() == 0)
        return Fail(pError, "no pool named " + name);
    pRanges->clear();
    for (int r = 0; r < rows.Rows(); ++r) {
        LineRangeState state;
        state.range.name = rows.Text(r, 0);
        state.range.firstBody = rows.Int(r, 1);
        state.range.count = rows.Int(r, 2);
        state.nextBody = rows.Int(r, 3);
        state.range.bHasBt = rows.Text(r, 4) == "t";
        state.range.btFirst = rows.Int(r, 5);
        state.range.btCount = rows.Int(r, 6);
        state.btNext = rows.Int(r, 7);
        pRanges->push_back(state);
    }
    return true;
}

bool ReadLineReport(CPgConnection& db, std::vector<StationReport>* pReport, std::string* pError) {
    // firsts: each handset's first job (a rework row ranks after every other
    // row of its handset); counts: each station's outcomes and the span of
    // its jobs' times in seconds.
    CPgResult rows;
    if (!db.Exec("WITH firsts AS ("
                 " SELECT DISTINCT ON (handset) handset, station, outcome FROM"
                 "  (SELECT coalesce(nullif(imei1, ''), upper(nullif(bt_addr, ''))) AS handset,"
                 "   station, outcome, rework, time, id FROM jobs) AS j"
                 " WHERE handset IS NOT NULL ORDER BY handset, rework <> 0, time, id),"
                 " tried AS (SELECT station, count(*) AS handsets,"
                 "  count(*) FILTER (WHERE outcome = 'written') AS first_pass"
                 "  FROM firsts GROUP BY station),"
                 " counts AS (SELECT station,"
                 "  count(*) FILTER (WHERE outcome = 'written') AS written,"
                 "  count(*) FILTER (WHERE outcome = 'refused') AS refused,"
                 "  count(*) FILTER (WHERE outcome = 'uncertain') AS uncertain,"
                 "  count(*) FILTER (WHERE outcome = 'presumedwritten') AS presumed,"
                 "  count(*) FILTER (WHERE outcome = 'inflight') AS inflight,"
                 "  extract(epoch FROM max(time) - min(time))::numeric AS span"
                 "  FROM jobs GROUP BY station)"
                 " SELECT c.station, c.written, c.refused, c.uncertain, c.presumed, c.inflight,"
                 "  coalesce(round(100.0 * t.first_pass / nullif(t.handsets, 0), 1)::text, '-'),"
                 "  round(c.written * 3600.0 / greatest(c.span, 60), 1)::text"
                 " FROM counts AS c LEFT JOIN tried AS t USING (station) ORDER BY c.station",
                 {}, &rows, pError))
        return false;
    pReport->clear();
    for (int r = 0; r < rows.Rows(); ++r) {
        StationReport station;
        station.station = rows.Text(r, 0);
        station.written = rows.Int(r, 1);
        station.refused = rows.Int(r, 2);
        station.uncertain = rows.Int(r, 3);
        station.presumedWritten = rows.Int(r, 4);
        station.inFlight = rows.Int(r, 5);
        station.firstPassYield = rows.Text(r, 6);
        station.perHour = rows.Text(r, 7);
        pReport->push_back(station);
    }
    return true;
}
