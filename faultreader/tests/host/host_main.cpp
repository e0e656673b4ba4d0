// A host program built outside the repository against the installed
// library: it records an error word, explains it from the error database
// that ErrorCode.ini beside it names, and gives the parser object up.
#include <faultreader/faultreader.h>

#include <cstdio>
#include <string>

int main() {
    const DWORD dwWord = Spec_SetErrorCode(static_cast<E_MODULE_TYPE>(5), 3, 7, TRUE);
    if (dwWord != 0x14001C07u || Spec_GetErrorCode(ERR_TYPE_SYSTEM) != dwWord) {
        std::printf("FAIL: error word 0x%08X\n", dwWord);
        return 1;
    }
    IFaultreader* pReader = nullptr;
    if (!DllCreateFaultreaderObject(&pReader)) {
        std::printf("FAIL: no parser object\n");
        return 1;
    }
    if (!pReader->ConnectDatabase()) {
        std::printf("FAIL: ConnectDatabase\n");
        pReader->Release();
        return 1;
    }
    std::string strErrors, strSolutions;
    const BOOL bErrors = pReader->GetErrorInfo(&dwWord, 1, strErrors);
    const BOOL bSolutions = pReader->GetSolutionInfo(&dwWord, 1, strSolutions);
    const std::vector<std::string>* pTables = nullptr;
    const BOOL bTables = pReader->GetTableList(&pTables);
    const size_t nTables = bTables ? pTables->size() : 0;
    pReader->Release();
    Spec_ClearErrorCode(ERR_TYPE_SYSTEM);
    // "NV写入模块--写入IMEI--写入超时，手机无应答", GBK.
    const std::string strExpected =
        "NV\xD0\xB4\xC8\xEB\xC4\xA3\xBF\xE9--\xD0\xB4\xC8\xEBIMEI--"
        "\xD0\xB4\xC8\xEB\xB3\xAC\xCA\xB1\xA3\xAC\xCA\xD6\xBB\xFA\xCE\xDE\xD3\xA6\xB4\xF0";
    if (!bErrors || strErrors != strExpected || !bSolutions || strSolutions.empty() ||
        nTables != 13) {
        std::printf("FAIL: errors %d (%zu bytes), solutions %d, tables %zu\n", bErrors,
                    strErrors.size(), bSolutions, nTables);
        return 1;
    }
    std::printf("OK: 0x%08X explained, %zu bytes of solutions, %zu tables\n", dwWord,
                strSolutions.size(), nTables);
    return 0;
}
