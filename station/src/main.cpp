// stampwell: the station program. Without arguments it opens the main
// window; --batch N writes N handsets without one.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "batch_mode.h"
#include "station_app.h"
#include "station_record.h"
#include "station_settings.h"

namespace {

void Usage(std::FILE* pOut) {
    std::fprintf(pOut,
                 "usage: stampwell [--batch N [--numbers FILE]]\n"
                 "  (no option)  the station's main window\n"
                 "  --batch N    write N handsets without a window, with the settings of\n"
                 "               Stampwell.ini beside the program; one line per handset and\n"
                 "               a summary; exit status 0 only when all were written\n"
                 "  --numbers FILE\n"
                 "               the typed numbers of manual and derivation mode (and a typed\n"
                 "               Bluetooth address), one handset per line:\n"
                 "               IMEI1,IMEI2,IMEI3,BT with empty fields for items not typed;\n"
                 "               derivation mode reads IMEI1 only; FILE - is standard input\n"
                 "  --export-record FILE\n"
                 "               write the record of every handset written or tried\n"
                 "               (Stampwell.db beside the program, or the line's server\n"
                 "               that [Record] Server names) to FILE as CSV\n"
                 "  --help       this text\n");
}

int ExportRecord(const char* lpszCsv) {
    CSettingsFile file;
    if (!file.LocateBesideProgram()) {
        std::fprintf(stderr, "stampwell: the program's directory cannot be found\n");
        return 2;
    }
    RecordSettings settings;
    file.LoadRecordSettings(settings);
    std::string error;
    std::shared_ptr<IJobRecord> pRecord = OpenStationRecord(file, settings, &error);
    if (!pRecord || !pRecord->ExportCsv(lpszCsv, &error)) {
        std::fprintf(stderr, "stampwell: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        Usage(stdout);
        return 0;
    }
    if (argc >= 2 && std::strcmp(argv[1], "--batch") == 0) {
        char* pEnd = nullptr;
        const long nHandsets = argc >= 3 ? std::strtol(argv[2], &pEnd, 10) : 0;
        const bool bNumbers = argc == 5 && std::strcmp(argv[3], "--numbers") == 0;
        if ((argc != 3 && !bNumbers) || pEnd == argv[2] || *pEnd != '\0' || nHandsets < 1 ||
            nHandsets > 1000000) {
            Usage(stderr);
            return 2;
        }
        return RunBatch(static_cast<int>(nHandsets), bNumbers ? argv[4] : nullptr, stdout);
    }
    if (argc == 3 && std::strcmp(argv[1], "--export-record") == 0)
        return ExportRecord(argv[2]);
    if (argc >= 2) {
        Usage(stderr);
        return 2;
    }
    CStationApp app(argc, argv);
    return app.InitInstance();
}
