// The error database's CSV lines: "key,value" per record, no header.
//
// Reading follows the lines the tables were always written in: pieces are
// split at commas, runs of commas count as one, empty pieces are dropped, at
// most 20 pieces are kept, and a line with fewer than two pieces is skipped.
// Piece 0 read as atoi reads it is the key; piece 1 as it stands is the
// value, with the line's newline when it is the line's last piece. A piece
// that starts with a double quote and is closed by one before the next comma
// or line end is a quoted piece: its content is taken exactly (a doubled
// quote stands for one, commas and line breaks included) and never gains the
// line's newline.
//
// Writing quotes a value only when it needs it: when it holds a comma, a
// double quote or a carriage return, starts with a quote, or holds a newline
// other than one at its very end. Every other value is written unchanged.
//
// Callable on any bytes, without a database.
#pragma once

#include <functional>
#include <string>

namespace faultreader {

// Calls pfnRecord(key, value) for each record of the text (newlines as "\n",
// CR LF already folded) in order; stops and returns false as soon as it
// returns false. True when every record was taken or skipped.
bool ParseCsvRecords(const std::string& strText,
                     const std::function<bool(int nKey, const std::string& strValue)>& pfnRecord);

// One record's line, ended by "\n" (none added when the unquoted value ends
// in one).
std::string FormatCsvLine(const std::string& strKey, const std::string& strValue);

}  // namespace faultreader
