// The sample error database for the Faultreader targets: made once per
// process on /dev/shm (where SQLite's syncs cost nothing) from the CSV files
// of faultreader/data through the library's own create and import, as the
// maintenance tool makes it. Removed again when the process exits.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "ansi_text.h"
#include "database_file.h"
#include "faultreader_object.h"
#include "table_kind.h"

namespace fuzz_faultreader {

inline std::string g_strDbPath;

// A connected parser object on a fresh copy of the sample database named
// "/dev/shm/<target>_<pid>.db"; aborts when it can't be made.
inline faultreader::CFaultreader* OpenSampleDb(const char* lpszTarget) {
    char szPath[96];
    std::snprintf(szPath, sizeof szPath, "/dev/shm/%s_%d.db", lpszTarget, getpid());
    g_strDbPath = szPath;
    std::remove(szPath);
    std::atexit([] { std::remove(g_strDbPath.c_str()); });
    if (!faultreader::CreateErrorDatabase(g_strDbPath, {}, "")) {
        std::fprintf(stderr, "fuzz: can't create %s\n", szPath);
        std::abort();
    }
    auto* pReader = new faultreader::CFaultreader(g_strDbPath, "");
    if (!pReader->ConnectDatabase()) {
        std::fprintf(stderr, "fuzz: can't open %s\n", szPath);
        std::abort();
    }
    // Only this process uses the file, and it is thrown away at exit.
    pReader->Database().ExecuteSql("PRAGMA synchronous = OFF");
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(FAULTREADER_SAMPLE_DATA)) {
        if (entry.path().extension() == ".csv")
            files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
        const std::string strPath = faultreader::Utf8ToAnsi(file.string());
        const faultreader::TableRef ref = faultreader::ClassifyTable(strPath);
        if (ref.eKind != faultreader::TableKind::kModule && ref.nModule != 0)
            faultreader::AddModuleTables(pReader->Database(), ref.nModule);
        if (!pReader->ImportCsv(strPath.c_str())) {
            std::fprintf(stderr, "fuzz: can't import %s\n", file.string().c_str());
            std::abort();
        }
    }
    if (files.size() < 13) {
        std::fprintf(stderr, "fuzz: sample CSV files missing in %s\n", FAULTREADER_SAMPLE_DATA);
        std::abort();
    }
    return pReader;
}

}  // namespace fuzz_faultreader
