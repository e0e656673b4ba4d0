#include "table_kind.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "ansi_text.h"

namespace faultreader {
namespace {

struct KindName {
    TableKind eKind;
    const char* lpszBase;   // UTF-8
    const char* lpszKey;    // UTF-8
    const char* lpszValue;  // UTF-8
};

// In the order of the search: the first that occurs decides.
const KindName kKinds[] = {
    {TableKind::kErrorCode, "错误代码索引表", "错误代码", "错误描述"},
    {TableKind::kSolutionList, "解决方法清单", "错误代码", "解决方法索引"},
    {TableKind::kSolutionIndex, "解决方法索引表", "索引码", "解决方法"},
    {TableKind::kInterface, "接口索引表", "索引码", "接口描述"},
    {TableKind::kModule, "模块索引表", "索引码", "模块名"},
};

const KindName* Find(TableKind eKind) {
    for (const KindName& k : kKinds) {
        if (k.eKind == eKind)
            return &k;
    }
    return nullptr;
}

}  // namespace

TableRef ClassifyTable(const std::string& strTableText) {
    TableRef ref;
    // In UTF-8 a character's bytes never look like the start of another,
    // so a byte search is a character search.
    const std::string strUtf8 = AnsiToUtf8(strTableText);
    for (const KindName& k : kKinds) {
        const size_t pos = strUtf8.find(k.lpszBase);
        if (pos == std::string::npos)
            continue;
        ref.eKind = k.eKind;
        if (k.eKind != TableKind::kModule) {
            const std::string strTail = strUtf8.substr(pos + std::string(k.lpszBase).size());
            ref.nModule = AtoiClamped(strTail.c_str());
        }
        return ref;
    }
    return ref;
}

std::string BaseName(TableKind eKind) {
    const KindName* p = Find(eKind);
    return p != nullptr ? Utf8ToAnsi(p->lpszBase) : std::string();
}

std::string KeyField(TableKind eKind) {
    const KindName* p = Find(eKind);
    return p != nullptr ? Utf8ToAnsi(p->lpszKey) : std::string();
}

std::string ValueField(TableKind eKind) {
    const KindName* p = Find(eKind);
    return p != nullptr ? Utf8ToAnsi(p->lpszValue) : std::string();
}

std::string TableName(const TableRef& ref) {
    if (ref.eKind == TableKind::kModule)
        return BaseName(ref.eKind);
    return BaseName(ref.eKind) + std::to_string(ref.nModule);
}

std::string KeyIndexSql(const TableRef& ref) {
    const std::string strTable = TableName(ref);
    return "CREATE INDEX IF NOT EXISTS " + strTable + "_" + KeyField(ref.eKind) + " ON " +
           strTable + " (" + KeyField(ref.eKind) + ")";
}

void ExportFields(const std::string& strTable, std::string* pKey, std::string* pValue) {
    // The export's own search: without the solution index tables, which
    // fall to the last choice with every other table. A name holding two
    // base names may so be read with other fields than InsertRow's choice.
    static const TableKind kExportOrder[] = {TableKind::kErrorCode, TableKind::kSolutionList,
                                             TableKind::kInterface, TableKind::kModule};
    const std::string strUtf8 = AnsiToUtf8(strTable);
    TableKind eKind = TableKind::kSolutionIndex;
    for (TableKind eCandidate : kExportOrder) {
        if (strUtf8.find(Find(eCandidate)->lpszBase) != std::string::npos) {
            eKind = eCandidate;
            break;
        }
    }
    *pKey = KeyField(eKind);
    *pValue = ValueField(eKind);
}

int AtoiClamped(const char* lpsz) {
    // strtol, unlike atoi, has a defined result for numbers out of range.
    const long lValue = std::strtol(lpsz, nullptr, 10);
    if (lValue > INT_MAX)
        return INT_MAX;
    if (lValue < INT_MIN)
        return INT_MIN;
    return static_cast<int>(lValue);
}

}  // namespace faultreader
