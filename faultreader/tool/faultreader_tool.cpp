// faultreader-tool: maintains error databases and explains error words from
// the command line, on the library's own classes.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "ansi_text.h"
#include "connection_string.h"
#include "database_file.h"
#include "error_code_db.h"
#include "faultreader_object.h"
#include "table_kind.h"

namespace {

using faultreader::AnsiToUtf8;
using faultreader::Utf8ToAnsi;

const char kUsage[] =
    "usage: faultreader-tool [--db FILE] [--password PW] COMMAND [ARGS]\n"
    "\n"
    "  create MODULE...     make FILE, an empty error database with the module table\n"
    "                       and the four tables of each module number\n"
    "  import PATH...       replace tables from CSV files, or from every .csv file of\n"
    "                       a directory (a module's missing tables are added, and\n"
    "                       removed again when its import fails)\n"
    "  export DIR           write every table to DIR/<table>.csv, each file replaced\n"
    "                       whole; fails, naming them, when tables can't be written\n"
    "  tables               list the tables\n"
    "  explain WORD...      the error and solution lines of one or two error words\n"
    "                       (0x14001C07, or decimal)\n"
    "  show WORD...         the same in the Troubleshooting dialog\n"
    "\n"
    "Without --db the database is the one ErrorCode.ini beside this program names.\n"
    "Texts are printed in UTF-8; CSV files and the database's texts are GBK.\n";

int Fail(const std::string& strMessage) {
    std::fprintf(stderr, "faultreader-tool: %s\n", strMessage.c_str());
    return 1;
}

bool ParseWords(const std::vector<std::string>& args, std::vector<DWORD>* pWords) {
    for (const std::string& arg : args) {
        char* pEnd = nullptr;
        const unsigned long long ull = std::strtoull(arg.c_str(), &pEnd, 0);
        if (arg.empty() || *pEnd != '\0' || ull > 0xFFFFFFFFull)
            return false;
        pWords->push_back(static_cast<DWORD>(ull));
    }
    return !pWords->empty() && pWords->size() <= 2;
}

void PrintLines(const char* lpszHeading, const std::string& strText) {
    std::printf("%s\n", lpszHeading);
    std::string strUtf8 = AnsiToUtf8(strText);
    if (!strUtf8.empty() && strUtf8.back() != '\n')
        strUtf8 += '\n';
    std::fputs(strUtf8.c_str(), stdout);
}

// Adds the module's tables that the database lacks; their names.
std::vector<std::string> AddMissingModuleTables(faultreader::CFaultreader& reader, int nModule) {
    std::vector<std::string> before;
    const std::vector<std::string>* pList = nullptr;
    if (reader.GetTableList(&pList))
        before = *pList;
    // Those made before a failure count too.
    faultreader::AddModuleTables(reader.Database(), nModule);
    if (!reader.GetTableList(&pList))
        return {};
    std::vector<std::string> added;
    for (const std::string& strName : *pList) {
        if (std::find(before.begin(), before.end(), strName) == before.end())
            added.push_back(strName);
    }
    return added;
}

int Import(faultreader::CFaultreader& reader, const std::vector<std::string>& args) {
    std::vector<std::filesystem::path> files;
    for (const std::string& arg : args) {
        std::error_code ec;
        if (std::filesystem::is_directory(arg, ec)) {
            for (const auto& entry : std::filesystem::directory_iterator(arg, ec)) {
                if (entry.path().extension() == ".csv")
                    files.push_back(entry.path());
            }
        } else {
            files.push_back(arg);
        }
    }
    std::sort(files.begin(), files.end());
    int nFailed = 0;
    for (const auto& file : files) {
        const std::string strPath = Utf8ToAnsi(file.string());
        const faultreader::TableRef ref = faultreader::ClassifyTable(strPath);
        std::vector<std::string> added;
        if (ref.eKind != faultreader::TableKind::kUnknown &&
            ref.eKind != faultreader::TableKind::kModule && ref.nModule != 0)
            added = AddMissingModuleTables(reader, ref.nModule);
        if (reader.ImportCsv(strPath.c_str())) {
            std::printf("imported %s\n", file.string().c_str());
        } else {
            // The tables made for this file go again, so the database is as
            // it was.
            for (const std::string& strTable : added)
                reader.Database().ExecuteSql("DROP TABLE " + strTable);
            std::fprintf(stderr,
                         "faultreader-tool: %s not imported (unknown table, unreadable, "
                         "or a line refused); its table is unchanged\n",
                         file.string().c_str());
            ++nFailed;
        }
    }
    return nFailed == 0 ? 0 : 1;
}

// Why a file could not be written, for the platform's usual errors.
std::string WriteErrorText(DWORD dwError) {
    const char* lpszText = "";
    switch (dwError) {
        case ERROR_DISK_FULL:
            lpszText = "the disk is full";
            break;
        case ERROR_PATH_NOT_FOUND:
            lpszText = "the directory does not exist or is not a directory";
            break;
        case ERROR_ACCESS_DENIED:
            lpszText = "access denied";
            break;
        case ERROR_SHARING_VIOLATION:
            lpszText = "the file is in use";
            break;
        default:
            break;
    }
    const std::string strCode = "error " + std::to_string(dwError);
    return *lpszText != '\0' ? std::string(lpszText) + " (" + strCode + ")" : strCode;
}

int Export(faultreader::CFaultreader& reader, const std::string& strDirectory) {
    std::error_code ec;
    std::filesystem::create_directories(strDirectory, ec);
    if (!std::filesystem::is_directory(strDirectory))
        return Fail("can't export to " + strDirectory + ": " +
                    (ec ? ec.message() : std::string("not a directory")));
    std::vector<faultreader::ExportFailure> failures;
    if (reader.Database().ExportAllTables(Utf8ToAnsi(strDirectory).c_str(), &failures))
        return 0;
    if (failures.empty())
        return Fail("export failed: can't list the tables");
    // Every table that was written is whole; each one that was not kept
    // its earlier file, if it had one.
    for (const faultreader::ExportFailure& failure : failures) {
        const std::string strTable = AnsiToUtf8(failure.strTable);
        switch (failure.eStep) {
            case faultreader::ExportFailure::Step::kName:
                Fail("table " + strTable + " not exported: its name is not a file name");
                break;
            case faultreader::ExportFailure::Step::kRead:
                Fail("table " + strTable + " not exported: it can't be read");
                break;
            case faultreader::ExportFailure::Step::kWrite:
                Fail("table " + strTable + " not exported: can't write " +
                     (std::filesystem::path(strDirectory) / (strTable + ".csv")).string() + ": " +
                     WriteErrorText(failure.dwError));
                break;
        }
    }
    return Fail("export failed: " + std::to_string(failures.size()) +
                " table(s) not written; their earlier files, if any, are unchanged");
}

}  // namespace

int main(int argc, char** argv) {
    std::string strDb, strPassword;
    bool bHaveDb = false;
    int i = 1;
    for (; i < argc; ++i) {
        if (std::strcmp(argv[i], "--db") == 0 && i + 1 < argc) {
            strDb = argv[++i];
            bHaveDb = true;
        } else if (std::strcmp(argv[i], "--password") == 0 && i + 1 < argc) {
            strPassword = argv[++i];
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            break;
        }
    }
    if (i >= argc) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::string strCommand = argv[i++];
    const std::vector<std::string> args(argv + i, argv + argc);

    if (strCommand == "create") {
        if (!bHaveDb)
            return Fail("create needs --db FILE");
        std::vector<int> modules;
        for (const std::string& arg : args) {
            char* pEnd = nullptr;
            const long l = std::strtol(arg.c_str(), &pEnd, 10);
            if (arg.empty() || *pEnd != '\0' || l < 1 || l > 63)
                return Fail("module numbers are 1 to 63: " + arg);
            modules.push_back(static_cast<int>(l));
        }
        if (!faultreader::IsUsablePassword(Utf8ToAnsi(strPassword)))
            return Fail(
                "the password can't be used: a connection string can't carry a \";\", "
                "a blank or tab at either end, or a leading quote, and ErrorCode.ini "
                "turns \"_\" into \"-\"");
        if (!faultreader::CreateErrorDatabase(Utf8ToAnsi(strDb), modules, Utf8ToAnsi(strPassword)))
            return Fail("can't create " + strDb + " (does it exist already?)");
        return 0;
    }

    faultreader::CFaultreader reader =
        bHaveDb ? faultreader::CFaultreader(Utf8ToAnsi(strDb), Utf8ToAnsi(strPassword))
                : faultreader::CFaultreader();
    if (!reader.ConnectDatabase())
        return Fail("can't open the database " + AnsiToUtf8(reader.DbPath()) +
                    " (missing, not a database, or wrong password)");

    if (strCommand == "import") {
        if (args.empty())
            return Fail("import needs CSV files or directories");
        return Import(reader, args);
    }
    if (strCommand == "export") {
        if (args.size() != 1)
            return Fail("export needs one directory");
        return Export(reader, args[0]);
    }
    if (strCommand == "tables") {
        const std::vector<std::string>* pList = nullptr;
        if (!reader.GetTableList(&pList))
            return Fail("can't list the tables");
        for (const std::string& strName : *pList)
            std::printf("%s\n", AnsiToUtf8(strName).c_str());
        return 0;
    }
    if (strCommand == "explain" || strCommand == "show") {
        std::vector<DWORD> words;
        if (!ParseWords(args, &words))
            return Fail("give one or two error words, such as 0x14001C07");
        const UINT nCount = static_cast<UINT>(words.size());
        if (strCommand == "show")
            return reader.ShowTroubleshooting(words.data(), nCount)
                       ? 0
                       : Fail(
                             "nothing to show (no error text for these words, or no display that "
                             "can be reached)");
        for (DWORD dw : words) {
            const faultreader::ErrorWord w = faultreader::DecodeErrorWord(dw);
            std::printf("0x%08X: module %d, interface %d, error %d%s\n", dw, w.nModule,
                        w.nInterface, w.nError, w.bContinue ? ", continued" : "");
        }
        std::string strErrors, strSolutions;
        if (!reader.GetErrorInfo(words.data(), nCount, strErrors))
            return Fail("no error text for these words");
        PrintLines("Errors:", strErrors);
        if (reader.GetSolutionInfo(words.data(), nCount, strSolutions))
            PrintLines("Solutions:", strSolutions);
        return 0;
    }
    std::fputs(kUsage, stderr);
    return 2;
}
