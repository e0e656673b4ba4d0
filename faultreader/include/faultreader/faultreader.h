// Faultreader: process-wide error words and a parser that explains them from
// an error database.
//
// A host includes this header alone and links with
// `pkg-config --cflags --libs faultreader`. Any module records its last
// failure with Spec_SetErrorCode; a host that has to explain it creates the
// parser object, connects it to the database named in "ErrorCode.ini" beside
// the host executable (section "Database", keys "Name" and "Password"), and
// turns words into texts:
//
//   DWORD dwWord = Spec_SetErrorCode(static_cast<E_MODULE_TYPE>(5), 3, 7, TRUE);
//   IFaultreader* pReader = nullptr;
//   if (DllCreateFaultreaderObject(&pReader)) {
//       std::string strErrors, strSolutions;
//       if (pReader->ConnectDatabase() && pReader->GetErrorInfo(&dwWord, 1, strErrors))
//           pReader->GetSolutionInfo(&dwWord, 1, strSolutions);
//       pReader->Release();
//   }
//   Spec_ClearErrorCode(ERR_TYPE_SYSTEM);
//
// Texts are narrow, in the ANSI code page (GBK). Out texts cross the library
// boundary as std::string objects supplied by the caller and filled by the
// library; the table list is a std::vector<std::string> owned by the object.
// Host and library must therefore share one C++ standard library (libstdc++
// of the same ABI), as every program built on this system's toolchain does.
#pragma once

#include <string>
#include <vector>

#include "platform/win_types.h"

#define FAULTREADER_API __attribute__((visibility("default")))

// Module numbers taken by Spec_SetErrorCode. Modules 1 to 4 report into the
// module slot (slot 1); every other value into the system slot (slot 0).
enum E_MODULE_TYPE : DWORD {
    MODULE_TYPE_SYSTEM = 0,
    MODULE_TYPE_1 = 1,
    MODULE_TYPE_2 = 2,
    MODULE_TYPE_3 = 3,
    MODULE_TYPE_4 = 4,
};

// Selects a slot for reading and clearing: 0 the system slot, any other
// value the module slot.
enum E_ERR_TYPE : DWORD {
    ERR_TYPE_SYSTEM = 0,
    ERR_TYPE_MODULE = 1,
};

// The error parser. Created by DllCreateFaultreaderObject, destroyed by its
// own Release; never deleted by the host. Used on the thread that created
// it. Every operation reports failure by FALSE only.
class IFaultreader {
public:
    virtual ~IFaultreader() {}
    // Connects to the database named by ErrorCode.ini (read at creation).
    // TRUE when connected; a further call reconnects.
    virtual BOOL ConnectDatabase() = 0;
    // Destroys the object; the pointer is invalid afterwards.
    virtual void Release() = 0;
    // Error lines "module--interface--error" joined by ";\n" for up to two
    // words (a word's continuation flag leads to the next). TRUE and strOut
    // set when any line was built; FALSE and strOut unchanged otherwise.
    virtual BOOL GetErrorInfo(const DWORD* pdwWords, UINT nCount, std::string& strOut) = 0;
    // Solution lines "module--solution;\n" for up to two words; as above.
    virtual BOOL GetSolutionInfo(const DWORD* pdwWords, UINT nCount, std::string& strOut) = 0;
    // Shows the Troubleshooting dialog modally for the words; FALSE (and no
    // dialog) when no error line can be built, when no display can be
    // reached, or when the host has a QApplication and the call comes from
    // a thread other than that application's (widgets live on its thread
    // only). Without a QApplication of the host's, the library makes one
    // for the dialog's life on the calling thread.
    virtual BOOL ShowTroubleshooting(const DWORD* pdwWords, UINT nCount) = 0;
    // Inserts key and text into the table the table text names (for example
    // "接口索引表2"). FALSE when the table is unknown, the text empty, or the
    // key already present in a solution, interface or module table.
    virtual BOOL InsertRecord(LPCSTR lpszTable, int nKey, LPCSTR lpszText) = 0;
    // Replaces the table named by the file's name with the file's lines
    // ("key,text"). All or nothing: on FALSE the table is as it was.
    virtual BOOL ImportCsv(LPCSTR lpszPath) = 0;
    // Writes every table to "<directory>/<table>.csv", each file replaced
    // whole or left as it was. FALSE when any table could not be written
    // (a missing directory, a full disk, a name that is no file name).
    virtual BOOL ExportCsv(LPCSTR lpszDirectory) = 0;
    // Stores a pointer to the names of the database's tables; valid until
    // the next GetTableList or Release.
    virtual BOOL GetTableList(const std::vector<std::string>** ppList) = 0;
};

extern "C" {
// Records an error word for the module and returns it:
// (module << 26) | ((interface & 0x7FFF) << 11) | ((flag & 1) << 10) | (error & 0x3FF).
// Thread-safe.
FAULTREADER_API DWORD Spec_SetErrorCode(E_MODULE_TYPE eModule, DWORD dwInterface, DWORD dwError,
                                        BOOL bContinue);
// The whole word of the slot (0 when none is recorded). Thread-safe.
FAULTREADER_API DWORD Spec_GetErrorCode(E_ERR_TYPE eSlot);
// The error number (bits 0-9) of the slot's word. Thread-safe.
FAULTREADER_API DWORD Spec_GetError(E_ERR_TYPE eSlot);
// Sets the slot's word to 0. Thread-safe.
FAULTREADER_API void Spec_ClearErrorCode(E_ERR_TYPE eSlot);
// Creates a parser object and stores it through ppReader (null when memory
// ran out); non-zero exactly when an object was stored.
FAULTREADER_API int DllCreateFaultreaderObject(IFaultreader** ppReader);
}
