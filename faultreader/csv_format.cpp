#include "csv_format.h"

#include <vector>

#include "table_kind.h"

namespace faultreader {
namespace {

const size_t kMaxPieces = 20;

// The export's rule: a value is quoted when it holds a comma, a double quote
// or a carriage return, starts with a quote, or holds a newline other than
// one at its very end.
bool NeedsQuotes(const std::string& strValue) {
    const bool bEndsInNewline = !strValue.empty() && strValue.back() == '\n';
    const size_t nBody = strValue.size() - (bEndsInNewline ? 1 : 0);
    return strValue.find_first_of(",\"\r\n") < nBody || (!strValue.empty() && strValue[0] == '"');
}

// A key as the export writes it: an integer in decimal.
bool IsKeyText(const std::string& strText, size_t begin, size_t end) {
    if (begin < end && strText[begin] == '-')
        ++begin;
    if (begin >= end)
        return false;
    for (size_t i = begin; i < end; ++i) {
        if (strText[i] < '0' || strText[i] > '9')
            return false;
    }
    return true;
}

// The quoted value at strText[pos] == '"' as the export writes it: doubled
// quotes inside, the closing quote at the end of the line (or of the text),
// and a content that the export would have quoted. Anything else is not a
// quoted value: the plain reading of such a line is what it always was.
bool ReadQuoted(const std::string& strText, size_t pos, std::string* pContent, size_t* pEnd) {
    std::string content;
    size_t i = pos + 1;
    while (i < strText.size()) {
        if (strText[i] != '"') {
            content += strText[i++];
            continue;
        }
        if (i + 1 < strText.size() && strText[i + 1] == '"') {
            content += '"';
            i += 2;
            continue;
        }
        const size_t after = i + 1;
        if ((after != strText.size() && strText[after] != '\n') || !NeedsQuotes(content))
            return false;
        *pContent = std::move(content);
        *pEnd = after;
        return true;
    }
    return false;
}

}  // namespace

bool ParseCsvRecords(const std::string& strText,
                     const std::function<bool(int, const std::string&)>& pfnRecord) {
    size_t pos = 0;
    const size_t n = strText.size();
    while (pos < n) {
        const size_t lineStart = pos;
        size_t keyEnd = std::string::npos;  // where piece 0 ends, when it starts the line
        std::vector<std::string> pieces;
        bool bLineEnded = false;
        while (!bLineEnded) {
            while (pos < n && strText[pos] == ',')
                ++pos;
            if (pos >= n)
                break;
            std::string content;
            size_t end = 0;
            // Only the value right after a key and one comma can be quoted.
            if (pieces.size() == 1 && keyEnd != std::string::npos && pos == keyEnd + 1 &&
                strText[pos] == '"' && IsKeyText(strText, lineStart, keyEnd) &&
                ReadQuoted(strText, pos, &content, &end)) {
                pieces.push_back(std::move(content));
                pos = end < n ? end + 1 : end;
                break;
            }
            // Up to the next comma, or up to and including the newline.
            const size_t start = pos;
            while (pos < n && strText[pos] != ',' && strText[pos] != '\n')
                ++pos;
            if (pieces.empty() && start == lineStart)
                keyEnd = pos;
            if (pos < n && strText[pos] == '\n') {
                ++pos;
                bLineEnded = true;
            }
            if (pieces.size() < kMaxPieces)
                pieces.push_back(strText.substr(start, pos - start));
        }
        if (pieces.size() < 2)
            continue;
        if (!pfnRecord(AtoiClamped(pieces[0].c_str()), pieces[1]))
            return false;
    }
    return true;
}

std::string FormatCsvLine(const std::string& strKey, const std::string& strValue) {
    if (!NeedsQuotes(strValue)) {
        const bool bEndsInNewline = !strValue.empty() && strValue.back() == '\n';
        return strKey + "," + strValue + (bEndsInNewline ? "" : "\n");
    }
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
