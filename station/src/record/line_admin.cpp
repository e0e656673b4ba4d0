#include "line_admin.h"

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
