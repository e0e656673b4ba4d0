// Arrays of error words through the parser object's walks against the
// sample error database: the first byte gives the count passed (0 to 3, the
// walks take at most two), the rest are the words (four bytes each, little
// endian; missing bytes read as zero). Each word array lies in a heap block
// of exactly the words given, so a read past them is caught.
//
// Checks: both walks on the same words give the same answer and text twice;
// a FALSE answer leaves the output as it was; a TRUE one gives a text that is
// not empty, holds no zero byte and stays within what the sample database
// can produce; the error text has the line shape module "--" interface "--"
// error, lines joined by ";\n" (and a ";\n" at the end when the walk went
// on past the last line it found).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "faultreader_sample.h"

namespace {

faultreader::CFaultreader* g_pReader = nullptr;

// No walk of two words over the sample's short texts comes near this.
const size_t kMaxText = 4096;
const char kUnset[] = "\x01unset";

[[noreturn]] void Fail(const char* what, const std::string& text) {
    std::fprintf(stderr, "error_words: %s: \"%s\"\n", what, text.c_str());
    std::abort();
}

using Walk = BOOL (faultreader::CFaultreader::*)(const DWORD*, UINT, std::string&);

std::string RunWalk(Walk pfnWalk, const DWORD* pWords, UINT nCount, BOOL* pResult) {
    std::string strOut = kUnset;
    *pResult = (g_pReader->*pfnWalk)(pWords, nCount, strOut);
    if (!*pResult) {
        if (strOut != kUnset)
            Fail("a FALSE walk changed its output", strOut);
        return strOut;
    }
    if (strOut.empty() || strOut == kUnset)
        Fail("a TRUE walk gave no text", strOut);
    if (std::strlen(strOut.c_str()) != strOut.size())
        Fail("the text holds a zero byte", strOut);
    if (strOut.size() > kMaxText)
        Fail("the text is longer than the database can make it", strOut);
    return strOut;
}

void CheckErrorLines(const std::string& strText, UINT nCount) {
    size_t nLines = 0;
    size_t pos = 0;
    for (;;) {
        const size_t end = strText.find(";\n", pos);
        const std::string line = strText.substr(pos, end == std::string::npos ? end : end - pos);
        // A walk that goes on past its last line leaves the separator at the
        // end.
        if (line.empty() && end == std::string::npos && nLines > 0)
            break;
        ++nLines;
        const size_t first = line.find("--");
        if (first == std::string::npos || line.find("--", first + 2) == std::string::npos)
            Fail("an error line without module, interface and error", strText);
        if (end == std::string::npos)
            break;
        pos = end + 2;
    }
    if (nLines > nCount)
        Fail("more error lines than words", strText);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (g_pReader == nullptr)
        g_pReader = fuzz_faultreader::OpenSampleDb("error_words_fuzz");
    if (size == 0)
        return 0;
    const UINT nCount = data[0] % 4;
    const size_t nWords = (size - 1 + 3) / 4;
    std::unique_ptr<DWORD[]> words(nWords > 0 ? new DWORD[nWords] : nullptr);
    for (size_t i = 0; i < nWords; ++i) {
        DWORD w = 0;
        for (size_t b = 0; b < 4; ++b) {
            const size_t at = 1 + i * 4 + b;
            if (at < size)
                w |= static_cast<DWORD>(data[at]) << (8 * b);
        }
        words[i] = w;
    }
    // The count never claims more words than there are.
    const UINT nPassed = nCount <= nWords ? nCount : static_cast<UINT>(nWords);

    for (Walk pfnWalk :
         {&faultreader::CFaultreader::GetErrorInfo, &faultreader::CFaultreader::GetSolutionInfo}) {
        BOOL bFirst = FALSE, bSecond = FALSE;
        const std::string strFirst = RunWalk(pfnWalk, words.get(), nPassed, &bFirst);
        const std::string strSecond = RunWalk(pfnWalk, words.get(), nPassed, &bSecond);
        if (bFirst != bSecond || strFirst != strSecond)
            Fail("the same words gave another answer", strFirst + "\" / \"" + strSecond);
        if (bFirst && (nPassed == 0 || nPassed > 2))
            Fail("a walk took a count it must refuse", strFirst);
        if (bFirst && pfnWalk == &faultreader::CFaultreader::GetErrorInfo)
            CheckErrorLines(strFirst, nPassed);
    }
    return 0;
}
