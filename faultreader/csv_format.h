// The error database's CSV lines: "key,value" per record, no header.
//
// Reading follows the lines the tables were always written in: pieces are
// split at commas, runs of commas count as one, empty pieces are dropped, at
// most 20 pieces are kept, and a line with fewer than two pieces is skipped.
// Piece 0 read as atoi reads it is the key; piece 1 as it stands is the
// value, with the line's newline when it is the line's last piece.
//
// Writing quotes a value only when it needs it: when it holds a comma, a
// double quote or a carriage return, starts with a quote, or holds a newline
// other than one at its very end. Every other value is written unchanged.
//
// A line is read as a quoted value only when it is exactly what writing
// makes of a value that needs quotes: a key in decimal at the line's start,
// one comma, a double quote, the value with each quote doubled, and a
// closing quote that ends the line (or the text); the value may span lines.
// Its content is taken exactly and never gains the line's newline. Any
// other line, also one that only looks quoted, is read as a plain line.
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
