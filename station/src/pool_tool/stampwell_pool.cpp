// stampwell-pool: the line's tool for the record its stations share on the
// PostgreSQL server: the schema, the pools of numbers, their state, the
// per-station report and the export of every job. Argument parsing and
// printing only; the work is in line_schema.h and line_admin.h.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "line_admin.h"
#include "line_schema.h"
#include "pg_connection.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: stampwell-pool --server CONNINFO COMMAND\n"
    "  CONNINFO  a libpq connection string, e.g. \"host=linehost dbname=line7 user=admin\"\n"
    "commands:\n"
    "  init                 create or upgrade the line's schema (running it again\n"
    "                       changes nothing); says what it did\n"
    "  add-range NAME FIRST COUNT [--bt FIRST COUNT]\n"
    "                       add the pool NAME: COUNT IMEI bodies from FIRST (14 digits),\n"
    "                       and with --bt COUNT Bluetooth addresses from FIRST (12\n"
    "                       hexadecimal digits); a pool that overlaps another is refused\n"
    "  status [NAME]        every pool (or the one named): first, next, used and left\n"
    "                       bodies, and the same for its Bluetooth addresses\n"
    "  report               per station: its jobs written, refused, uncertain and\n"
    "                       presumed written (and in flight, when any), first-pass\n"
    "                       yield and handsets per hour\n"
    "  export FILE          every job as CSV, header\n"
    "                       id,time,station,port,imei1,imei2,imei3,bt_addr,outcome,result\n"
    "report:\n"
    "  first-pass yield     handsets written at their first job / handsets tried, in\n"
    "                       percent (\"-\" when none); a handset is its IMEI1 (its\n"
    "                       Bluetooth address when it has no IMEI1), its first job its\n"
    "                       earliest job on the line (a rework comes after every other\n"
    "                       job of the handset), and it counts for the station of that job\n"
    "  handsets per hour    written jobs / hours between the station's first and last\n"
    "                       job (at least one minute)\n"
    "exit status: 0 done, 1 failed (server, schema, pool), 2 bad arguments\n";

// A message on one line: libpq's own messages may run over several.
std::string OneLine(const std::string& text) {
    std::string line;
    for (char c : text) {
        const bool bSpace = std::isspace(static_cast<unsigned char>(c)) != 0;
        if (!bSpace)
            line += c;
        else if (!line.empty() && line.back() != ' ')
            line += ' ';
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line;
}

int Failed(const std::string& message) {
    std::fprintf(stderr, "stampwell-pool: %s\n", OneLine(message).c_str());
    return kExitFailed;
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "stampwell-pool: %s (see stampwell-pool --help)\n",
                 OneLine(message).c_str());
    return kExitUsage;
}

// A whole decimal number of 1 to nMaxDigits digits (no sign), or -1.
int64_t Decimal(const std::string& text, size_t nMaxDigits) {
    if (text.empty() || text.size() > nMaxDigits)
        return -1;
    int64_t nValue = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return -1;
        nValue = nValue * 10 + (c - '0');
    }
    return nValue;
}

// Left-aligned first column, the others right-aligned, two spaces apart.
void PrintTable(const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> widths;
    for (const auto& row : rows)
        for (size_t c = 0; c < row.size(); ++c) {
            if (widths.size() <= c)
                widths.push_back(0);
            widths[c] = std::max(widths[c], row[c].size());
        }
    for (const auto& row : rows) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c) {
            const std::string pad(widths[c] - row[c].size(), ' ');
            line += c == 0 ? row[c] + pad : "  " + pad + row[c];
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        std::printf("%s\n", line.c_str());
    }
}

int Init(CPgConnection& db) {
    int nBefore = 0;
    std::string error;
    if (!InitLineSchema(db, &nBefore, &error))
        return Failed(error);
    if (nBefore == 0)
        std::printf("created version %d\n", LINE_SCHEMA_VERSION);
    else if (nBefore < LINE_SCHEMA_VERSION)
        std::printf("upgraded from %d to %d\n", nBefore, LINE_SCHEMA_VERSION);
    else
        std::printf("already at version %d\n", LINE_SCHEMA_VERSION);
    return 0;
}

int AddRange(CPgConnection& db, const LineRange& range) {
    std::string error;
    if (!AddLineRange(db, range, &error))
        return Failed(error);
    std::printf("added pool %s: %lld bodies from %lld", range.name.c_str(),
                static_cast<long long>(range.count), static_cast<long long>(range.firstBody));
    if (range.bHasBt)
        std::printf(", %lld Bluetooth addresses from %s", static_cast<long long>(range.btCount),
                    BtAddressText(range.btFirst).c_str());
    std::printf("\n");
    return 0;
}

int Status(CPgConnection& db, const std::string& name) {
    std::vector<LineRangeState> ranges;
    std::string error;
    if (!ReadLineRanges(db, name, &ranges, &error))
        return Failed(error);
    if (ranges.empty()) {
        std::printf("no pools (add one with add-range)\n");
        return 0;
    }
    const bool bAnyBt = std::any_of(ranges.begin(), ranges.end(),
                                    [](const LineRangeState& s) { return s.range.bHasBt; });
    std::vector<std::vector<std::string>> rows = {{"pool", "first", "next", "used", "left"}};
    if (bAnyBt)
        rows[0].insert(rows[0].end(), {"bt first", "bt next", "bt used", "bt left"});
    for (const LineRangeState& s : ranges) {
        // A pool used up has no next number.
        rows.push_back({s.range.name, std::to_string(s.range.firstBody),
                        s.Left() > 0 ? std::to_string(s.nextBody) : "-", std::to_string(s.Used()),
                        std::to_string(s.Left())});
        if (s.range.bHasBt)
            rows.back().insert(
                rows.back().end(),
                {BtAddressText(s.range.btFirst), s.BtLeft() > 0 ? BtAddressText(s.btNext) : "-",
                 std::to_string(s.BtUsed()), std::to_string(s.BtLeft())});
    }
    PrintTable(rows);
    return 0;
}

int Report(CPgConnection& db) {
    std::vector<StationReport> report;
    std::string error;
    if (!ReadLineReport(db, &report, &error))
        return Failed(error);
    if (report.empty()) {
        std::printf("no jobs on record\n");
        return 0;
    }
    const bool bInFlight = std::any_of(report.begin(), report.end(),
                                       [](const StationReport& s) { return s.inFlight > 0; });
    std::vector<std::vector<std::string>> rows = {
        {"station", "written", "refused", "uncertain", "presumed written"}};
    if (bInFlight)
        rows[0].push_back("in flight");
    rows[0].insert(rows[0].end(), {"first-pass yield", "handsets/hour"});
    for (const StationReport& s : report) {
        rows.push_back({s.station, std::to_string(s.written), std::to_string(s.refused),
                        std::to_string(s.uncertain), std::to_string(s.presumedWritten)});
        if (bInFlight)
            rows.back().push_back(std::to_string(s.inFlight));
        rows.back().push_back(s.firstPassYield == "-" ? "-" : s.firstPassYield + "%");
        rows.back().push_back(s.perHour);
    }
    PrintTable(rows);
    return 0;
}

int Export(CPgConnection& db, const std::string& path) {
    std::string error;
    if (!ExportLineCsv(db, path, &error))
        return Failed(error);
    std::printf("wrote %s\n", path.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string server;
    bool bServer = false;
    std::vector<std::string> btArgs;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--server") {
            if (i + 1 >= argc)
                return UsageError("--server needs a connection string");
            server = argv[++i];
            bServer = true;
        } else if (arg == "--bt") {
            if (i + 2 >= argc)
                return UsageError("--bt needs FIRST and COUNT");
            btArgs = {argv[i + 1], argv[i + 2]};
            i += 2;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return UsageError("unknown option " + arg);
        } else {
            words.push_back(arg);
        }
    }
    if (words.empty())
        return UsageError("no command");
    const std::string& command = words[0];
    const size_t nArgs = words.size() - 1;
    LineRange range;
    if (command == "add-range") {
        if (nArgs != 3)
            return UsageError("add-range takes NAME FIRST COUNT [--bt FIRST COUNT]");
        range.name = words[1];
        range.firstBody = Decimal(words[2], 14);
        if (words[2].size() != 14 || range.firstBody < 0)
            return UsageError("FIRST must be a 14-digit IMEI body, not " + words[2]);
        range.count = Decimal(words[3], 15);
        if (range.count < 1)
            return UsageError("COUNT must be a positive number, not " + words[3]);
        if (!btArgs.empty()) {
            range.bHasBt = true;
            range.btFirst = BtAddressValue(btArgs[0]);
            if (range.btFirst < 0)
                return UsageError("the --bt FIRST must be 12 hexadecimal digits, not " + btArgs[0]);
            range.btCount = Decimal(btArgs[1], 15);
            if (range.btCount < 1)
                return UsageError("the --bt COUNT must be a positive number, not " + btArgs[1]);
        }
    } else if (!btArgs.empty()) {
        return UsageError("--bt belongs to add-range");
    } else if ((command == "init" || command == "report") && nArgs != 0) {
        return UsageError(command + " takes no arguments");
    } else if (command == "status" && nArgs > 1) {
        return UsageError("status takes at most a pool's NAME");
    } else if (command == "export" && nArgs != 1) {
        return UsageError("export takes FILE");
    } else if (command != "init" && command != "report" && command != "status" &&
               command != "export") {
        return UsageError("unknown command " + command);
    }
    if (!bServer || server.empty())
        return UsageError("no server: give --server CONNINFO");

    CPgConnection db;
    std::string error;
    if (!db.Connect(server, "stampwell-pool", PG_CONNECT_TIMEOUT_MS, &error))
        return Failed(error);
    if (command == "init")
        return Init(db);
    if (!CheckLineSchema(db, &error))
        return Failed(error);
    if (command == "add-range")
        return AddRange(db, range);
    if (command == "status")
        return Status(db, nArgs == 1 ? words[1] : std::string());
    if (command == "report")
        return Report(db);
    return Export(db, words[1]);
}
