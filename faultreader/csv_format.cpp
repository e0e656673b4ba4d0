#include "csv_format.h"

#include <vector>

#include "table_kind.h"

namespace faultreader {
namespace {

const size_t kMaxPieces = 20;

struct Piece {
    std::string strText;
    bool bQuoted = false;
};

// A quoted piece at strText[pos] == '"': its content and the position after
// the closing quote, when that quote is followed by a comma, a newline or the
// end of the text. False otherwise (then the piece is read unquoted).
bool ReadQuoted(const std::string& strText, size_t pos, std::string* pContent, size_t* pEnd) {
    std::string content;
    size_t i = pos + 1;
    while (i < strText.size()) {
        if (strText[i] == '"') {
            if (i + 1 < strText.size() && strText[i + 1] == '"') {
                content += '"';
                i += 2;
                continue;
            }
            const size_t after = i + 1;
            if (after == strText.size() || strText[after] == ',' || strText[after] == '\n') {
                *pContent = std::move(content);
                *pEnd = after;
                return true;
            }
            return false;
        }
        content += strText[i++];
    }
    return false;
}

}  // namespace

bool ParseCsvRecords(const std::string& strText,
                     const std::function<bool(int, const std::string&)>& pfnRecord) {
    size_t pos = 0;
    const size_t n = strText.size();
    while (pos < n) {
        std::vector<Piece> pieces;
        bool bLineEnded = false;
        while (!bLineEnded) {
            while (pos < n && strText[pos] == ',')
                ++pos;
            if (pos >= n)
                break;
            Piece piece;
            std::string content;
            size_t end = 0;
            if (strText[pos] == '"' && ReadQuoted(strText, pos, &content, &end)) {
                piece.strText = std::move(content);
                piece.bQuoted = true;
                pos = end;
                if (pos < n && strText[pos] == '\n') {
                    ++pos;
                    bLineEnded = true;
                }
            } else {
                // Up to the next comma, or up to and including the newline.
                size_t stop = pos;
                while (stop < n && strText[stop] != ',' && strText[stop] != '\n')
                    ++stop;
                if (stop < n && strText[stop] == '\n') {
                    ++stop;
                    bLineEnded = true;
                }
                piece.strText = strText.substr(pos, stop - pos);
                pos = stop;
            }
            if (pieces.size() < kMaxPieces)
                pieces.push_back(std::move(piece));
        }
        if (pieces.size() < 2)
            continue;
        if (!pfnRecord(AtoiClamped(pieces[0].strText.c_str()), pieces[1].strText))
            return false;
    }
    return true;
}

std::string FormatCsvLine(const std::string& strKey, const std::string& strValue) {
    const bool bEndsInNewline = !strValue.empty() && strValue.back() == '\n';
    const std::string strBody = bEndsInNewline ? strValue.substr(0, strValue.size() - 1) : strValue;
    const bool bQuote = strBody.find_first_of(",\"\r\n") != std::string::npos ||
                        (!strValue.empty() && strValue.front() == '"');
    if (!bQuote)
        return strKey + "," + strValue + (bEndsInNewline ? "" : "\n");
    std::string line = strKey + ",\"";
    for (char c : strValue) {
        if (c == '"')
            line += '"';
        line += c;
    }
    line += "\"\n";
    return line;
}

}  // namespace faultreader
