// Code-page conversions: GBK round trips, unmappable characters, the
// Windows size and terminator rules, UTF-8, and use from several threads.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/ext/ansi_code_page.h"
#include "platform/win_codepage.h"
#include "platform/win_error.h"

namespace {

// 错误代码索引表 in GBK.
const char kGbk[] = "\xB4\xED\xCE\xF3\xB4\xFA\xC2\xEB\xCB\xF7\xD2\xFD\xB1\xED";
const wchar_t kWide[] = L"\x9519\x8BEF\x4EE3\x7801\x7D22\x5F15\x8868";

TEST(CodePage, DefaultIsGbkAndRoundTripsChineseText) {
    EXPECT_EQ(GetACP(), 936u);
    char narrow[32];
    int n = WideCharToMultiByte(CP_ACP, 0, kWide, -1, narrow, sizeof narrow, nullptr, nullptr);
    ASSERT_EQ(n, 15);  // 14 bytes and the terminator
    EXPECT_STREQ(narrow, kGbk);
    wchar_t wide[16];
    n = MultiByteToWideChar(CP_ACP, 0, kGbk, -1, wide, 16);
    ASSERT_EQ(n, 8);
    EXPECT_STREQ(wide, kWide);
}

TEST(CodePage, SizeQueriesAndExplicitLengths) {
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, kWide, -1, nullptr, 0, nullptr, nullptr), 15);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, kGbk, -1, nullptr, 0), 8);
    // An explicit length converts exactly that much, without a terminator.
    char narrow[8] = "#######";
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, kWide, 2, narrow, 7, nullptr, nullptr), 4);
    EXPECT_EQ(std::string(narrow, 5), std::string(kGbk, 4) + "#");
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "ab\0cd", 5, nullptr, 0), 5);
}

TEST(CodePage, TooSmallBufferFailsWithInsufficientBuffer) {
    char narrow[14];  // one byte short for the terminator
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, kWide, -1, narrow, sizeof narrow, nullptr, nullptr),
              0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    wchar_t wide[7];
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, kGbk, -1, wide, 7), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST(CodePage, UnmappableCharactersBecomeTheDefaultCharacter) {
    // U+00E9 exists in GBK, U+0E01 (Thai) and U+1F600 do not.
    const wchar_t text[] =
        L"a\x0E01"
        L"b\x1F600\x00E9";
    char narrow[16];
    BOOL bUsed = FALSE;
    int n = WideCharToMultiByte(CP_ACP, 0, text, -1, narrow, sizeof narrow, nullptr, &bUsed);
    ASSERT_EQ(n, 7);
    EXPECT_STREQ(narrow, "a?b?\xA8\xA6");
    EXPECT_TRUE(bUsed);
    n = WideCharToMultiByte(CP_ACP, 0, text, -1, narrow, sizeof narrow, "*", &bUsed);
    EXPECT_STREQ(narrow, "a*b*\xA8\xA6");
    n = WideCharToMultiByte(CP_ACP, 0, L"plain", -1, narrow, sizeof narrow, nullptr, &bUsed);
    EXPECT_FALSE(bUsed);
}

TEST(CodePage, TagCharactersAreNotDroppedSilently) {
    // The converter underneath skips U+E0000..U+E007F; they must count as
    // unmappable like any other character, at the start, between and at
    // the end, so the lengths agree and the caller learns of it.
    const wchar_t text[] =
        L"\xE0034"
        L"a\xE0001\xE007F\x4E2D\xE0020";
    BOOL bUsed = FALSE;
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, &bUsed), 8);
    EXPECT_TRUE(bUsed);
    char narrow[8];
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, narrow, sizeof narrow, nullptr, &bUsed), 8);
    EXPECT_STREQ(narrow, "?a??\xD6\xD0?");
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, narrow, 7, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST(CodePage, BrokenGbkBytesDecodeToReplacementsOrFailWhenStrict) {
    // A lead byte with a bad trail byte, and a lead byte cut off at the end.
    const char broken[] = "x\x81\x20y\xB4";
    wchar_t wide[8];
    int n = MultiByteToWideChar(CP_ACP, 0, broken, -1, wide, 8);
    ASSERT_EQ(n, 6);
    EXPECT_STREQ(wide, L"x? y?");
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, broken, -1, wide, 8), 0);
    EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
}

TEST(CodePage, Utf8ConvertsAllPlanesAndReplacesInvalidSequences) {
    const wchar_t text[] = L"A\x00E9\x4E2D\x1F600";
    char narrow[16];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr);
    ASSERT_EQ(n, 11);
    EXPECT_STREQ(narrow, "A\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80");
    wchar_t wide[16];
    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, narrow, -1, wide, 16), 5);
    EXPECT_STREQ(wide, text);
    // Overlong form, an encoded surrogate, a truncated sequence.
    const char bad[] = "\xC0\xAF|\xED\xA0\x80|\xE4\xB8";
    n = MultiByteToWideChar(CP_UTF8, 0, bad, -1, wide, 16);
    ASSERT_EQ(n, 9);
    std::wstring got(wide);
    EXPECT_EQ(got.find(L'\x2F'), std::wstring::npos) << "overlong '/' must not decode";
    EXPECT_EQ(got.back(), L'\xFFFD');
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bad, -1, wide, 16), 0);
    EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
}

TEST(CodePage, AnsiCodePageCanBeSwitchedToUtf8AndBack) {
    EXPECT_FALSE(platform::SetAnsiCodePage(4242));
    EXPECT_EQ(GetACP(), 936u);
    ASSERT_TRUE(platform::SetAnsiCodePage(CP_UTF8));
    char narrow[8];
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, L"\x4E2D", -1, narrow, 8, nullptr, nullptr), 4);
    EXPECT_STREQ(narrow, "\xE4\xB8\xAD");
    ASSERT_TRUE(platform::SetAnsiCodePage(936));
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, L"\x4E2D", -1, narrow, 8, nullptr, nullptr), 3);
    EXPECT_STREQ(narrow, "\xD6\xD0");
}

TEST(CodePage, LongTextCrossesTheInternalChunksIntact) {
    std::wstring wide;
    for (int i = 0; i < 500; ++i)
        wide += kWide;
    int n = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    ASSERT_EQ(n, 500 * 14 + 1);
    std::string narrow(static_cast<size_t>(n), '\0');
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, narrow.data(), n, nullptr, nullptr),
              n);
    std::wstring back(static_cast<size_t>(n), L'\0');
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, narrow.c_str(), -1, back.data(), n),
              static_cast<int>(wide.size() + 1));
    EXPECT_EQ(back.c_str(), wide);
}

TEST(CodePage, ThreadsConvertConcurrentlyWithTheirOwnState) {
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&failures] {
            for (int i = 0; i < 2000; ++i) {
                char narrow[32];
                wchar_t wide[16];
                int n = WideCharToMultiByte(CP_ACP, 0, kWide, -1, narrow, 32, nullptr, nullptr);
                int m = MultiByteToWideChar(CP_ACP, 0, kGbk, -1, wide, 16);
                if (n != 15 || m != 8 || std::string(narrow) != kGbk || std::wstring(wide) != kWide)
                    ++failures;
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
