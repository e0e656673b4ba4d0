// The error database's tables: their base names, key and value fields, and
// how a table text (a table name, or a CSV file's path) names one.
#pragma once

#include <string>

namespace faultreader {

enum class TableKind {
    kUnknown,
    kErrorCode,      // "错误代码索引表" + m
    kSolutionList,   // "解决方法清单" + m
    kSolutionIndex,  // "解决方法索引表" + m
    kInterface,      // "接口索引表" + m
    kModule,         // "模块索引表"
};

struct TableRef {
    TableKind eKind = TableKind::kUnknown;
    int nModule = 0;  // the number after the base name; 0 when none
};

// Finds the first base name, in the order above, anywhere in the table text
// (ANSI code page), and the module number right after it (read as "%d"
// reads it). The search goes by characters, so a base name never matches
// across the halves of two-byte characters.
TableRef ClassifyTable(const std::string& strTableText);

// The names, in the ANSI code page. The key field of the kind, its value
// field, and the table's name ("%s%d" of base name and module; the module
// table's name alone).
std::string BaseName(TableKind eKind);
std::string KeyField(TableKind eKind);
std::string ValueField(TableKind eKind);
std::string TableName(const TableRef& ref);

// The statement that gives the table an index on its key field, unless it
// has it: keyed reads, and the check for a present key that inserts into
// the solution index, interface and module tables make, then find their
// row without reading the whole table.
std::string KeyIndexSql(const TableRef& ref);

// The key and value fields the export reads for a listed table: by the
// first of "错误代码索引表", "解决方法清单", "接口索引表", "模块索引表" in its
// name, the solution index fields for all others.
void ExportFields(const std::string& strTable, std::string* pKey, std::string* pValue);

// Turns text into an integer as atoi does (leading blanks, an optional
// sign, digits; 0 when there are none), clamped to the int range.
int AtoiClamped(const char* lpsz);

}  // namespace faultreader
