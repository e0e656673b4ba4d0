// Windows-style formatting: the wide meaning of %s, narrow arguments from
// the ANSI code page, flags and widths, and the truncation contract.
#include <gtest/gtest.h>

#include <string>

#include "platform/win_format.h"
#include "platform_testing/fault_injection.h"

namespace {

std::wstring W(const wchar_t* lpszFmt, ...) {
    wchar_t buf[256];
    va_list args;
    va_start(args, lpszFmt);
    int n = _vsnwprintf_s(buf, 256, _TRUNCATE, lpszFmt, args);
    va_end(args);
    EXPECT_GE(n, 0);
    return buf;
}

TEST(WideFormat, StringAndCharacterConversionsKeepTheWindowsMeaning) {
    EXPECT_EQ(W(L"%s\\%s", L"C:\\dir", L"Log"), L"C:\\dir\\Log");
    EXPECT_EQ(W(L"%c%lc%C%hc", L'A', L'B', 'C', 'D'), L"ABCD");
    EXPECT_EQ(W(L"[%S|%hs|%ls|%ws]", "n1", "n2", L"w1", L"w2"), L"[n1|n2|w1|w2]");
    // Narrow arguments are ANSI (GBK) text: 错误 arrives as two characters.
    EXPECT_EQ(W(L"<%hs>", "\xB4\xED\xCE\xF3"), L"<\x9519\x8BEF>");
    EXPECT_EQ(W(L"%s|%hs", static_cast<const wchar_t*>(nullptr), static_cast<const char*>(nullptr)),
              L"(null)|(null)");
}

TEST(WideFormat, FlagsWidthAndPrecisionArePreserved) {
    EXPECT_EQ(W(L"[%-6s][%6s][%.2s][%.*s]", L"ab", L"ab", L"abcd", 3, L"abcdef"),
              L"[ab    ][    ab][ab][abc]");
    EXPECT_EQ(W(L"[%-6hs][%6hs][%.1hs]", "\xB4\xED\xCE\xF3", "xy", "\xB4\xED\xCE\xF3"),
              L"[\x9519\x8BEF    ][    xy][\x9519]");
    EXPECT_EQ(W(L"%08X|%08x|%-4d|%+d|%5.1f|%%|%*d", 0xBEEFu, 0xABCu, 7, 3, 2.25, 3, 9),
              L"0000BEEF|00000abc|7   |+3|  2.2|%|  9");
    EXPECT_EQ(W(L"%I64d %I64u %lld %llx %zu", -5000000000LL, 5000000000ULL, -1LL, 255ULL,
                static_cast<size_t>(42)),
              L"-5000000000 5000000000 -1 ff 42");
    EXPECT_EQ(W(L"%hd %hhu %ld", 70000, 257, -2L), L"4464 1 -2");
}

TEST(WideFormat, LogLineFormatsComeOutExactly) {
    EXPECT_EQ(W(L"[%04d-%02d-%02d %02d:%02d:%02d:%04d]", 2009, 9, 28, 11, 21, 55, 42),
              L"[2009-09-28 11:21:55:0042]");
    EXPECT_EQ(W(L"%s %d(0x%08x) Bytes", L"-->", 20, 20), L"--> 20(0x00000014) Bytes");
    EXPECT_EQ(W(L"Call CreateFile() fail, [ErrorCode:0x%08X].", 2u),
              L"Call CreateFile() fail, [ErrorCode:0x00000002].");
}

TEST(WideFormat, TruncateCutsToTheLongestPrefixAndTerminates) {
    wchar_t buf[8];
    std::wmemset(buf, L'#', 8);
    EXPECT_EQ(_snwprintf_s(buf, 8, _TRUNCATE, L"%s", L"abcdefghij"), -1);
    EXPECT_STREQ(buf, L"abcdefg");
    // Cut inside a number, which swprintf formats straight into the buffer.
    EXPECT_EQ(_snwprintf_s(buf, 8, _TRUNCATE, L"ab%08X", 0x12345678u), -1);
    EXPECT_STREQ(buf, L"ab12345");
    EXPECT_EQ(_snwprintf_s(buf, 8, _TRUNCATE, L"abcdefg%d", 1), -1);
    EXPECT_STREQ(buf, L"abcdefg");
    EXPECT_EQ(_snwprintf_s(buf, 8, _TRUNCATE, L"%5hs%5hs", "ab", "cd"), -1);
    EXPECT_STREQ(buf, L"   ab  ");
    // Exactly fitting output is not a cut.
    EXPECT_EQ(_snwprintf_s(buf, 8, _TRUNCATE, L"%d", 1234567), 7);
    EXPECT_STREQ(buf, L"1234567");
}

TEST(WideFormat, CountSmallerThanTheBufferAndOverflowWithoutTruncate) {
    wchar_t buf[8];
    EXPECT_EQ(_snwprintf_s(buf, 8, 3, L"%s", L"abcdef"), -1);
    EXPECT_STREQ(buf, L"abc");
    EXPECT_EQ(_snwprintf_s(buf, 8, 3, L"%s", L"ab"), 2);
    EXPECT_STREQ(buf, L"ab");
    // Without _TRUNCATE an output too large for the buffer leaves it empty.
    EXPECT_EQ(_snwprintf_s(buf, 8, 100, L"%s", L"abcdefghij"), -1);
    EXPECT_STREQ(buf, L"");
}

TEST(WideFormat, BadArgumentsAndPercentNWriteNothingHarmful) {
    wchar_t buf[4] = L"xyz";
    EXPECT_EQ(_snwprintf_s(nullptr, 4, _TRUNCATE, L"a"), -1);
    EXPECT_EQ(_snwprintf_s(buf, 0, _TRUNCATE, L"a"), -1);
    EXPECT_STREQ(buf, L"xyz");
    EXPECT_EQ(_snwprintf_s(buf, 4, _TRUNCATE, nullptr), -1);
    EXPECT_STREQ(buf, L"");
    int target = 77;
    wchar_t big[16];
    EXPECT_EQ(_snwprintf_s(big, 16, _TRUNCATE, L"ab%ncd", &target), 4);
    EXPECT_STREQ(big, L"abcd");
    EXPECT_EQ(target, 77);
}

TEST(WideFormat, LongOutputFillsALargeBufferExactly) {
    wchar_t buf[4096];
    std::wstring expect(4095, L'x');
    EXPECT_EQ(_snwprintf_s(buf, 4096, _TRUNCATE, L"%s%s", expect.c_str(), L"yyyy"), -1);
    EXPECT_EQ(std::wstring(buf), expect);
    EXPECT_EQ(_snwprintf_s(buf, 4096, _TRUNCATE, L"%5000d", 1), -1);
    EXPECT_EQ(std::wstring(buf), std::wstring(4095, L' '));
}

TEST(NarrowFormat, TruncationContractAndWindowsLengthPrefixes) {
    char buf[8];
    EXPECT_EQ(_snprintf_s(buf, 8, _TRUNCATE, "%s-%d", "abc", 12), 6);
    EXPECT_STREQ(buf, "abc-12");
    EXPECT_EQ(_snprintf_s(buf, 8, _TRUNCATE, "%s", "abcdefghij"), -1);
    EXPECT_STREQ(buf, "abcdefg");
    EXPECT_EQ(_snprintf_s(buf, 8, 2, "%s", "abc"), -1);
    EXPECT_STREQ(buf, "ab");
    EXPECT_EQ(_snprintf_s(buf, 8, 50, "%s", "abcdefghij"), -1);
    EXPECT_STREQ(buf, "");
    char wide[32];
    EXPECT_EQ(_snprintf_s(wide, 32, _TRUNCATE, "%I64d|%I64X|%d", -5000000000LL, 0xABCDEF012ULL, 7),
              23);
    EXPECT_STREQ(wide, "-5000000000|ABCDEF012|7");
}

TEST(FormatFaults, InjectedFailureGivesAnEmptyTerminatedBuffer) {
    wchar_t buf[8] = L"junk";
    platform::InjectFault("_vsnwprintf_s", 0, 0, 1);
    EXPECT_EQ(_snwprintf_s(buf, 8, _TRUNCATE, L"%d", 1), -1);
    EXPECT_STREQ(buf, L"");
    EXPECT_EQ(_snwprintf_s(buf, 8, _TRUNCATE, L"%d", 1), 1);
}

}  // namespace
