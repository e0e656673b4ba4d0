#include "error_code_db.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "table_kind.h"

namespace faultreader {
namespace {

const char kKeyedReadSql[] = "SELECT *  FROM _TABLE_NAME_ WHERE _QUERY_CONDITION_ = _CONDITION_";
const char kInsertSql[] = "INSERT INTO _TABLE_NAME_(_TABLE_ITEM_) VALUES (_VALUE_)";
const char kClearSql[] = "DELETE * FROM _TABLE_NAME_";

void TrimTrailingNewlines(std::string* pText) {
    while (!pText->empty() && pText->back() == '\n')
        pText->pop_back();
}

}  // namespace

std::string ReplaceAll(const std::string& strText, const std::string& strFrom,
                       const std::string& strTo) {
    if (strFrom.empty())
        return strText;
    std::string out;
    size_t pos = 0;
    for (;;) {
        const size_t hit = strText.find(strFrom, pos);
        if (hit == std::string::npos)
            break;
        out.append(strText, pos, hit - pos);
        out += strTo;
        pos = hit + strFrom.size();
    }
    out.append(strText, pos, std::string::npos);
    return out;
}

BOOL CErrorCodeDb::OpenDatabase(const std::string& strPath, const std::string& strPassword) {
    return Connect(BuildConnectionString(strPath, strPassword));
}

BOOL CErrorCodeDb::KeyedLookup(const std::string& strTable, const std::string& strKeyField,
                               int nKey, const std::string& strValueField, std::string& strOut) {
    std::string sql = ReplaceAll(kKeyedReadSql, "_TABLE_NAME_", strTable);
    // "_CONDITION_" is part of "_QUERY_CONDITION_": the longer one goes first.
    sql = ReplaceAll(sql, "_QUERY_CONDITION_", strKeyField);
    sql = ReplaceAll(sql, "_CONDITION_", std::to_string(nKey));
    if (!OpenQuery(sql))
        return FALSE;
    const BOOL bResult = GetFieldText(strValueField, strOut, "");
    CloseQuery();
    return bResult;
}

BOOL CErrorCodeDb::GetModuleName(int nModule, std::string& strOut) {
    return KeyedLookup(BaseName(TableKind::kModule), KeyField(TableKind::kModule), nModule,
                       ValueField(TableKind::kModule), strOut);
}

BOOL CErrorCodeDb::GetInterfaceText(int nModule, int nInterface, std::string& strOut) {
    return KeyedLookup(TableName({TableKind::kInterface, nModule}), KeyField(TableKind::kInterface),
                       nInterface, ValueField(TableKind::kInterface), strOut);
}

BOOL CErrorCodeDb::GetErrorText(int nModule, int nError, std::string& strOut) {
    return KeyedLookup(TableName({TableKind::kErrorCode, nModule}), KeyField(TableKind::kErrorCode),
                       nError, ValueField(TableKind::kErrorCode), strOut);
}

BOOL CErrorCodeDb::GetSolutionIndexList(int nModule, int nError, std::string& strOut) {
    return KeyedLookup(TableName({TableKind::kSolutionList, nModule}),
                       KeyField(TableKind::kSolutionList), nError,
                       ValueField(TableKind::kSolutionList), strOut);
}

BOOL CErrorCodeDb::GetSolutionText(int nModule, int nSolution, std::string& strOut) {
    return KeyedLookup(TableName({TableKind::kSolutionIndex, nModule}),
                       KeyField(TableKind::kSolutionIndex), nSolution,
                       ValueField(TableKind::kSolutionIndex), strOut);
}

BOOL CErrorCodeDb::GetSolutions(int nModule, int nError, std::string& strOut) {
    std::string strModule;
    if (!GetModuleName(nModule, strModule))
        return FALSE;
    TrimTrailingNewlines(&strModule);
    std::string strList;
    if (!GetSolutionIndexList(nModule, nError, strList))
        return FALSE;
    // The whole list is read, however long: runs of ";" count as one
    // separator and empty pieces are skipped.
    std::vector<int> numbers;
    size_t pos = 0;
    while (pos < strList.size()) {
        const size_t semi = strList.find(';', pos);
        const size_t end = semi == std::string::npos ? strList.size() : semi;
        if (end > pos)
            numbers.push_back(AtoiClamped(strList.substr(pos, end - pos).c_str()));
        pos = end + 1;
    }
    std::string strResult;
    for (int nSolution : numbers) {
        std::string strText;
        if (!GetSolutionText(nModule, nSolution, strText))
            continue;
        strResult += strModule + "--" + strText;
        if (strResult.empty() || strResult.back() != '\n')
            strResult += ";\n";
    }
    strOut = strResult;
    return TRUE;
}

BOOL CErrorCodeDb::InsertRow(LPCSTR lpszTable, int nKey, LPCSTR lpszText) {
    if (lpszTable == nullptr || lpszText == nullptr || *lpszText == '\0')
        return FALSE;
    const TableRef ref = ClassifyTable(lpszTable);
    std::string strExisting;
    switch (ref.eKind) {
        case TableKind::kUnknown:
            return FALSE;
        case TableKind::kSolutionIndex:
            if (GetSolutionText(ref.nModule, nKey, strExisting))
                return FALSE;
            break;
        case TableKind::kInterface:
            if (GetInterfaceText(ref.nModule, nKey, strExisting))
                return FALSE;
            break;
        case TableKind::kModule:
            if (GetModuleName(nKey, strExisting))
                return FALSE;
            break;
        default:
            // The error code table and the solution list take a key again.
            break;
    }
    std::string sql = ReplaceAll(kInsertSql, "_TABLE_NAME_", TableName(ref));
    sql = ReplaceAll(sql, "_TABLE_ITEM_", KeyField(ref.eKind) + "," + ValueField(ref.eKind));
    // The key is a number; the text goes in as a bound parameter, so it is
    // stored exactly as given and can never change the statement.
    sql = ReplaceAll(sql, "_VALUE_", std::to_string(nKey) + ",?");
    return ExecuteSql(sql, {std::string(lpszText)});
}

BOOL CErrorCodeDb::ClearTable(LPCSTR lpszTable) {
    if (lpszTable == nullptr)
        return FALSE;
    const TableRef ref = ClassifyTable(lpszTable);
    if (ref.eKind == TableKind::kUnknown)
        return FALSE;
    if (ref.eKind != TableKind::kModule && ref.nModule == 0)
        return FALSE;
    return ExecuteSql(ReplaceAll(kClearSql, "_TABLE_NAME_", TableName(ref)));
}

}  // namespace faultreader
