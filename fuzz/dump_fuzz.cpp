// The log's hex dump of data that crossed the port: any bytes, any size,
// any of the dump options. The input's first two bytes choose bytes per line
// (0 to 19, stored as 1 to 16), the timestamp, offset and character columns
// and the direction; the rest is dumped. The file is read back and every
// line is checked against the format: header, then one line per
// bytes-per-line chunk with fixed column widths.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vx_log.h"

namespace {

[[noreturn]] void Fail(const char* what, size_t nLine) {
    std::fprintf(stderr, "dump: %s (line %zu)\n", what, nLine);
    std::abort();
}

std::string ReadFile(const std::string& path) {
    std::string text;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        std::abort();
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    std::fclose(f);
    return text;
}

const char* Marker(DWORD dwDirection) {
    switch (dwDirection) {
        case DUMP_READ:
            return "<--";
        case DUMP_WRITE:
            return "-->";
        case DUMP_AUTO_READ:
            return "<<-";
        default:
            return "---";
    }
}

std::wstring WidePath(const std::string& path) {
    return std::wstring(path.begin(), path.end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cb) {
    if (cb < 2)
        return 0;
    static const std::string path = "/dev/shm/dump_fuzz_" + std::to_string(getpid()) + ".log";
    static CVxLog* pLog = [] {
        std::atexit([] { std::remove(path.c_str()); });
        return new CVxLog();
    }();

    const DWORD dwAsked = pData[0] % 20;
    const DWORD dwPerLine = dwAsked == 0 || dwAsked > 16 ? 16 : dwAsked;
    const bool bTimestamp = pData[1] & 1;
    const bool bAddress = pData[1] & 2;
    const bool bAscii = pData[1] & 4;
    const DWORD dwDirection = (pData[1] >> 3) % 5;
    const BYTE* pBytes = pData + 2;
    const size_t cbBytes = cb - 2;

    pLog->SetOption(LOG_OPT_BYTES_PER_LINE, 0, dwAsked);
    pLog->SetOption(LOG_OPT_TIMESTAMP, 0, bTimestamp);
    pLog->SetOption(LOG_OPT_ADDRESS, 0, bAddress);
    pLog->SetOption(LOG_OPT_ASCII, 0, bAscii);
    if (!pLog->Open(WidePath(path).c_str(), LOG_TEXT))
        std::abort();
    if (!pLog->WriteDump(pBytes, static_cast<DWORD>(cbBytes), dwDirection))
        Fail("dump refused", 0);
    pLog->Close();
    const std::string text = ReadFile(path);

    // Header: "[timestamp] <marker> <n>(0x<n>) Bytes".
    size_t nEnd = text.find("\r\n");
    if (nEnd == std::string::npos)
        Fail("no header line", 0);
    const size_t cbStamp = bTimestamp ? 26 : 0;
    char szHeader[64];
    std::snprintf(szHeader, sizeof szHeader, "%s %d(0x%08x) Bytes", Marker(dwDirection),
                  static_cast<int>(cbBytes), static_cast<unsigned>(cbBytes));
    if (bTimestamp && (text[0] != '[' || text[25] != ']' || text[26] != ' '))
        Fail("header without its timestamp", 0);
    if (text.compare(cbStamp + (bTimestamp ? 1 : 0), std::strlen(szHeader), szHeader) != 0 ||
        nEnd != cbStamp + (bTimestamp ? 1 : 0) + std::strlen(szHeader))
        Fail("header line differs", 0);

    // Dump lines.
    const size_t cbIndent = bTimestamp ? 27 : 0;
    const size_t nLines = (cbBytes + dwPerLine - 1) / dwPerLine;
    size_t nAt = nEnd + 2;
    for (size_t nLine = 0; nLine < nLines; ++nLine) {
        const size_t nOffset = nLine * dwPerLine;
        const size_t cbHere = cbBytes - nOffset < dwPerLine ? cbBytes - nOffset : dwPerLine;
        std::string want(cbIndent, ' ');
        char szCol[16];
        if (bAddress) {
            std::snprintf(szCol, sizeof szCol, "%08zxh: ", nOffset);
            want += szCol;
        }
        for (size_t i = 0; i < dwPerLine; ++i) {
            if (i < cbHere) {
                std::snprintf(szCol, sizeof szCol, "%02X ", pBytes[nOffset + i]);
                want += szCol;
            } else {
                want += "   ";
            }
        }
        want += ';';
        if (bAscii) {
            want += ' ';
            for (size_t i = 0; i < cbHere; ++i) {
                const BYTE b = pBytes[nOffset + i];
                want += b >= 0x20 && b <= 0x7E ? static_cast<char>(b) : '.';
            }
        }
        want += "\r\n";
        // The specified width: indent, offset column, three per byte slot,
        // the separator, and the character column of this line's bytes.
        const size_t cbWidth =
            cbIndent + (bAddress ? 11 : 0) + 3 * dwPerLine + 1 + (bAscii ? 1 + cbHere : 0) + 2;
        if (want.size() != cbWidth || cbWidth > 179)
            Fail("the checker's own line width is wrong", nLine + 1);
        if (text.compare(nAt, want.size(), want) != 0)
            Fail("dump line differs from the format", nLine + 1);
        nAt += want.size();
    }
    if (nAt != text.size())
        Fail("bytes after the last dump line", nLines + 1);
    return 0;
}
