// handset-sim: simulated handsets on a pseudo-terminal registered as a COM
// port, for running the station and the library without a real handset.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "handset_sim.h"
#include "platform/ext/com_port_map.h"
#include "platform/windows.h"

namespace {

volatile std::sig_atomic_t g_nStop = 0;

void OnSignal(int) {
    g_nStop = 1;
}

void Usage(FILE* pOut) {
    std::fputs(
        "usage: handset-sim [options]\n"
        "  --port N          register the port as COM<N> (default: the lowest free number)\n"
        "  --usb             a new port per handset, present only while it is connected\n"
        "  --power-up-ms N   power-up time (default 1500): serial, from the station's first\n"
        "                    frame; USB, from start or the previous handset's unplugging\n"
        "  --never-answer    handsets that stay silent\n"
        "  --fail-writes N   each handset refuses its first N writes ...\n"
        "  --fail-code C     ... with NV error code C (default 23)\n"
        "  --slow-writes N   each handset delays the reply to its first N writes ...\n"
        "  --slow-ms N       ... by N ms\n"
        "  --corrupt         store a different text than written (read-back catches it)\n"
        "  --garbage         send noise and damaged frames before every reply\n"
        "  --open-delay-ms N USB: a new port cannot be opened for its first N ms\n"
        "  --drops-after-mode N  USB: the first N handsets leave the bus right after\n"
        "                    entering the mode, and come back as the next handset\n"
        "  --carrying I1,I2,I3,BT  every handset arrives holding these items (a handset\n"
        "                    back for a rework); empty fields: items it does not hold\n"
        "  --reply-pieces N  write every reply in N pieces ...\n"
        "  --piece-gap-ms N  ... N ms apart\n"
        "  --csv PATH        append stored handsets to PATH (default handsets.csv)\n"
        "  --no-csv          keep no CSV file\n"
        "  --count N         exit after N handsets\n"
        "  --max-run-ms N    exit after N ms\n",
        pOut);
}

bool ParseNumber(const char* psz, unsigned long* pValue) {
    if (psz == nullptr || *psz == '\0')
        return false;
    char* pEnd = nullptr;
    *pValue = std::strtoul(psz, &pEnd, 0);
    return *pEnd == '\0';
}

}  // namespace

int main(int argc, char** argv) {
    HandsetSimOptions options;
    options.csvPath = "handsets.csv";
    unsigned long ulMaxRunMs = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* pszValue = i + 1 < argc ? argv[i + 1] : nullptr;
        unsigned long ul = 0;
        auto number = [&](unsigned long* pOut) {
            if (!ParseNumber(pszValue, pOut)) {
                std::fprintf(stderr, "handset-sim: %s needs a number\n", arg.c_str());
                std::exit(2);
            }
            ++i;
        };
        if (arg == "--port") {
            number(&ul);
            options.dwPort = static_cast<DWORD>(ul);
        } else if (arg == "--usb") {
            options.bUsb = true;
        } else if (arg == "--power-up-ms") {
            number(&ul);
            options.dwPowerUpMs = static_cast<DWORD>(ul);
        } else if (arg == "--never-answer") {
            options.bNeverAnswer = true;
        } else if (arg == "--fail-writes") {
            number(&ul);
            options.nFailWrites = static_cast<int>(ul);
        } else if (arg == "--fail-code") {
            number(&ul);
            options.wFailCode = static_cast<WORD>(ul);
        } else if (arg == "--slow-writes") {
            number(&ul);
            options.nSlowWrites = static_cast<int>(ul);
        } else if (arg == "--slow-ms") {
            number(&ul);
            options.dwSlowReplyMs = static_cast<DWORD>(ul);
        } else if (arg == "--open-delay-ms") {
            number(&ul);
            options.dwOpenDelayMs = static_cast<DWORD>(ul);
        } else if (arg == "--drops-after-mode") {
            number(&ul);
            options.nDropsAfterMode = static_cast<int>(ul);
        } else if (arg == "--reply-pieces") {
            number(&ul);
            options.nReplyPieces = static_cast<int>(ul);
        } else if (arg == "--piece-gap-ms") {
            number(&ul);
            options.dwPieceGapMs = static_cast<DWORD>(ul);
        } else if (arg == "--carrying") {
            if (pszValue == nullptr) {
                std::fprintf(stderr, "handset-sim: --carrying needs I1,I2,I3,BT\n");
                return 2;
            }
            std::string* targets[] = {&options.carriedImei1, &options.carriedImei2,
                                      &options.carriedImei3, &options.carriedBtAddr};
            std::string rest = pszValue;
            for (std::string* pTarget : targets) {
                const size_t comma = rest.find(',');
                *pTarget = rest.substr(0, comma);
                rest = comma == std::string::npos ? std::string() : rest.substr(comma + 1);
            }
            ++i;
        } else if (arg == "--corrupt") {
            options.bCorrupt = true;
        } else if (arg == "--garbage") {
            options.bGarbage = true;
        } else if (arg == "--csv") {
            if (pszValue == nullptr) {
                std::fprintf(stderr, "handset-sim: --csv needs a path\n");
                return 2;
            }
            options.csvPath = pszValue;
            ++i;
        } else if (arg == "--no-csv") {
            options.csvPath.clear();
        } else if (arg == "--count") {
            number(&ul);
            options.nHandsets = static_cast<unsigned>(ul);
        } else if (arg == "--max-run-ms") {
            number(&ulMaxRunMs);
        } else if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else {
            std::fprintf(stderr, "handset-sim: unknown option %s\n", arg.c_str());
            Usage(stderr);
            return 2;
        }
    }
    options.onSummary = [](const std::string& line) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    };

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    CHandsetSim sim(options);
    std::string error;
    if (!sim.Start(&error)) {
        std::fprintf(stderr, "handset-sim: %s\n", error.c_str());
        return 1;
    }
    if (options.bUsb) {
        std::printf(
            "handset-sim: USB handsets, each on a new port %u ms after the last one left "
            "(map %s)\n",
            static_cast<unsigned>(options.dwPowerUpMs), platform::ComPortMapDir().c_str());
    } else {
        std::printf("handset-sim: serial handsets on COM%u (map %s)\n",
                    static_cast<unsigned>(sim.Port()), platform::ComPortMapDir().c_str());
    }
    std::fflush(stdout);

    const DWORD dwStart = GetTickCount();
    while (g_nStop == 0 && !sim.Done()) {
        if (ulMaxRunMs != 0 && GetTickCount() - dwStart >= ulMaxRunMs)
            break;
        Sleep(20);
    }
    sim.Stop();
    std::printf("handset-sim: %zu handsets finished\n", sim.FinishedCount());
    return 0;
}
