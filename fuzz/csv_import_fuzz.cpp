// A CSV file's content imported into a table of a real SQLite file: the
// first byte picks the table (tables whose keys must be unique, tables that
// take a key again, and table texts the import must refuse), the rest is the
// file's bytes (CR LF folded as reading the file folds them).
//
// Checks on the parser itself: a text in which no line starts as the
// export's quoted lines do ("<key>,\"") reads exactly as plain lines always
// read (split at runs of commas, key by atoi, the value piece as it
// stands); and every record it finds, written back as the export writes
// it, reads back as that record (a text that was not quoted may gain the
// line's newline, nothing else).
//
// Checks: the import succeeds exactly when every record the parser finds can
// go in (a text that is not empty and holds no zero byte; in a table of
// unique keys, no key twice);
// a failed import leaves the table's rows as they were; a successful one
// leaves exactly the parser's records, in order, each text as the database
// keeps it (stored as UTF-8, read back in the ANSI code page).
//
// One database file per process on /dev/shm, made at start from the sample
// CSV files, with synchronous writes off. After a successful import the
// table gets its sample rows back, so every input starts from the same
// database.
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "ansi_text.h"
#include "csv_format.h"
#include "faultreader_sample.h"
#include "text_file.h"

namespace {

using faultreader::TableKind;
using Rows = std::vector<std::pair<std::string, std::string>>;

struct Table {
    std::string strText;  // the table text given to the import (ANSI)
    TableKind eKind;      // kUnknown: the import must refuse it
    bool bUniqueKeys;
    std::string strSample;  // the rows it starts with, as CSV
};

faultreader::CFaultreader* g_pReader = nullptr;
std::vector<Table> g_Tables;

// The table's rows (key and value text, NULL as "<null>") in stored order.
Rows ReadRows(const Table& t) {
    Rows rows;
    const faultreader::TableRef ref = faultreader::ClassifyTable(t.strText);
    const std::string strKey = faultreader::KeyField(t.eKind);
    const std::string strValue = faultreader::ValueField(t.eKind);
    auto& db = g_pReader->Database();
    if (!db.OpenQuery("SELECT " + strKey + ", " + strValue + " FROM " +
                      faultreader::TableName(ref) + " ORDER BY rowid")) {
        std::fprintf(stderr, "csv_import: can't read the table back\n");
        std::abort();
    }
    for (; !db.AtEnd(); db.NextRecord()) {
        std::string k = "<null>", v = "<null>";
        db.GetFieldText(strKey, k, "");
        db.GetFieldText(strValue, v, "");
        rows.emplace_back(k, v);
    }
    db.CloseQuery();
    return rows;
}

Rows AllRows() {
    Rows all;
    for (const Table& t : g_Tables) {
        if (t.eKind == TableKind::kUnknown)
            continue;
        Rows rows = ReadRows(t);
        all.emplace_back("table", t.strText);
        all.insert(all.end(), rows.begin(), rows.end());
    }
    return all;
}

// The sample CSV file of a table (name in UTF-8), as the import reads it.
std::string ReadSample(const std::string& strName) {
    std::string strText;
    const std::string strPath = std::string(FAULTREADER_SAMPLE_DATA) + "/" + strName + ".csv";
    if (!faultreader::ReadTextFile(faultreader::Utf8ToAnsi(strPath), &strText)) {
        std::fprintf(stderr, "csv_import: no sample %s\n", strName.c_str());
        std::abort();
    }
    return strText;
}

void Init() {
    g_pReader = fuzz_faultreader::OpenSampleDb("csv_import_fuzz");
    struct {
        const char* lpszUtf8;
        TableKind eKind;
        bool bUnique;
    } const kTables[] = {
        {"错误代码索引表2", TableKind::kErrorCode, false},
        {"接口索引表5", TableKind::kInterface, true},
        {"模块索引表", TableKind::kModule, true},
        {"解决方法清单3", TableKind::kSolutionList, false},
        {"解决方法索引表5", TableKind::kSolutionIndex, true},
        // A CSV file's path names its table too.
        {"/line/import/错误代码索引表5.csv", TableKind::kErrorCode, false},
        // No module number, no such table, a module without tables.
        {"错误代码索引表", TableKind::kUnknown, false},
        {"errors.csv", TableKind::kUnknown, false},
        {"接口索引表9", TableKind::kUnknown, false},
    };
    for (const auto& k : kTables) {
        Table t{faultreader::Utf8ToAnsi(k.lpszUtf8), k.eKind, k.bUnique, ""};
        if (t.eKind != TableKind::kUnknown) {
            const faultreader::TableRef ref = faultreader::ClassifyTable(t.strText);
            t.strSample = ReadSample(faultreader::AnsiToUtf8(faultreader::TableName(ref)));
        }
        g_Tables.push_back(t);
    }
}

// The plain line rules, written for the check alone: each line (with its
// newline) split at commas, runs counting as one, empty pieces dropped; a
// line of fewer than two pieces skipped.
Rows PlainRecords(const std::string& strText) {
    Rows rows;
    size_t pos = 0;
    while (pos < strText.size()) {
        size_t end = strText.find('\n', pos);
        end = end == std::string::npos ? strText.size() : end + 1;
        std::vector<std::string> pieces;
        std::string piece;
        for (size_t i = pos; i < end; ++i) {
            if (strText[i] == ',') {
                if (!piece.empty())
                    pieces.push_back(piece);
                piece.clear();
            } else {
                piece += strText[i];
            }
        }
        if (!piece.empty())
            pieces.push_back(piece);
        if (pieces.size() >= 2)
            rows.emplace_back(std::to_string(faultreader::AtoiClamped(pieces[0].c_str())),
                              pieces[1]);
        pos = end;
    }
    return rows;
}

// Whether some line starts as the export's quoted lines do: a decimal key,
// a comma and a double quote. Without one the text is plain lines only.
bool MayHoldQuotedValue(const std::string& strText) {
    for (size_t pos = 0; pos < strText.size();) {
        size_t i = pos;
        if (i < strText.size() && strText[i] == '-')
            ++i;
        const size_t digits = i;
        while (i < strText.size() && strText[i] >= '0' && strText[i] <= '9')
            ++i;
        if (i > digits && i + 1 < strText.size() && strText[i] == ',' && strText[i + 1] == '"')
            return true;
        const size_t nl = strText.find('\n', pos);
        pos = nl == std::string::npos ? strText.size() : nl + 1;
    }
    return false;
}

[[noreturn]] void Fail(const char* what, const Table& t) {
    std::fprintf(stderr, "csv_import: %s (table %s)\n", what,
                 faultreader::AnsiToUtf8(t.strText).c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (g_pReader == nullptr)
        Init();
    if (size == 0)
        return 0;
    const Table& t = g_Tables[data[0] % g_Tables.size()];
    const std::string strText =
        faultreader::FromCrLf(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));

    // What the parser finds, and whether all of it can go in.
    Rows expected;
    bool bCanImport = t.eKind != TableKind::kUnknown;
    std::set<int> keys;
    faultreader::ParseCsvRecords(strText, [&](int nKey, const std::string& strValue) {
        if (strValue.empty() || strValue.find('\0') != std::string::npos ||
            (t.bUniqueKeys && !keys.insert(nKey).second))
            bCanImport = false;
        expected.emplace_back(std::to_string(nKey),
                              faultreader::Utf8ToAnsi(faultreader::AnsiToUtf8(strValue)));
        return true;
    });

    Rows parsed;
    faultreader::ParseCsvRecords(strText, [&](int nKey, const std::string& strValue) {
        parsed.emplace_back(std::to_string(nKey), strValue);
        return true;
    });
    if (!MayHoldQuotedValue(strText) && parsed != PlainRecords(strText))
        Fail("a text without the export's quoted lines did not read as plain lines", t);
    for (const auto& [strKey, strValue] : parsed) {
        const std::string strLine = faultreader::FormatCsvLine(strKey, strValue);
        Rows again;
        faultreader::ParseCsvRecords(strLine, [&](int nKey, const std::string& strBack) {
            again.emplace_back(std::to_string(nKey), strBack);
            return true;
        });
        if (again.size() != 1 || again[0].first != strKey ||
            (again[0].second != strValue && again[0].second != strValue + "\n") ||
            faultreader::FormatCsvLine(strKey, again[0].second) != strLine)
            Fail("a record written as the export writes it read back changed", t);
    }

    const Rows before = AllRows();
    const BOOL bImported = g_pReader->ImportCsvText(t.strText.c_str(), strText);
    const Rows after = AllRows();
    if (!bImported) {
        if (bCanImport)
            Fail("an import that should succeed failed", t);
        if (after != before)
            Fail("a failed import changed the tables", t);
        return 0;
    }
    if (!bCanImport)
        Fail("an import that should fail succeeded", t);
    const Rows imported = ReadRows(t);
    if (imported != expected) {
        for (size_t i = 0; i < imported.size() || i < expected.size(); ++i) {
            const auto none = std::make_pair(std::string("-"), std::string("-"));
            const auto& got = i < imported.size() ? imported[i] : none;
            const auto& want = i < expected.size() ? expected[i] : none;
            if (got != want)
                std::fprintf(stderr,
                             "row %zu: %s,\"%s\" (%zu bytes), parsed %s,\"%s\" (%zu bytes)\n", i,
                             got.first.c_str(), got.second.c_str(), got.second.size(),
                             want.first.c_str(), want.second.c_str(), want.second.size());
        }
        Fail("the imported table does not hold the parser's records", t);
    }
    // The other tables are untouched.
    if (!g_pReader->ImportCsvText(t.strText.c_str(), t.strSample))
        Fail("can't restore the sample rows", t);
    if (AllRows() != before)
        Fail("the import changed another table", t);
    return 0;
}
