// INI files: the Windows reading rules, line-preserving atomic writes, the
// narrow (ANSI) variants and concurrent writers.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/ext/ansi_code_page.h"
#include "platform/win_codepage.h"
#include "platform/win_error.h"
#include "platform/win_profile.h"
#include "platform_testing/fault_injection.h"
#include "temp_dir.h"

namespace {

class Profile : public ::testing::Test {
protected:
    UINT Int(const wchar_t* app, const wchar_t* key, INT def = -99) {
        return GetPrivateProfileIntW(app, key, def, m_path.c_str());
    }
    std::wstring Str(const wchar_t* app, const wchar_t* key, const wchar_t* def = L"dflt",
                     DWORD nSize = 100) {
        std::wstring buf(nSize + 1, L'#');
        DWORD n = GetPrivateProfileStringW(app, key, def, buf.data(), nSize, m_path.c_str());
        EXPECT_EQ(n, wcslen(buf.c_str()));
        return buf.c_str();
    }
    std::string FileText() { return m_dir.Read("t.ini"); }

    TempDir m_dir;
    std::wstring m_path = m_dir.WinPath("t.ini");
};

TEST_F(Profile, IntegersFollowTheWindowsReader) {
    m_dir.Write("t.ini",
                "[General]\r\n"
                "Zero=01\r\n"
                "Neg = -42\r\n"
                "Mixed=12ab\r\n"
                "Text=ab\r\n"
                "Hex=0x1F\r\n"
                "Empty=\r\n"
                "Big=4294967295\r\n"
                "Quoted=\"7\"\r\n");
    EXPECT_EQ(Int(L"General", L"Zero"), 1u);
    EXPECT_EQ(static_cast<INT>(Int(L"General", L"Neg")), -42);
    EXPECT_EQ(Int(L"General", L"Mixed"), 12u);
    EXPECT_EQ(Int(L"General", L"Text"), 0u);
    EXPECT_EQ(Int(L"General", L"Hex"), 31u);
    EXPECT_EQ(static_cast<INT>(Int(L"General", L"Empty")), -99);
    EXPECT_EQ(Int(L"General", L"Big"), 0xFFFFFFFFu);
    EXPECT_EQ(Int(L"General", L"Quoted"), 7u);
    EXPECT_EQ(Int(L"General", L"Missing", 40000), 40000u);
    EXPECT_EQ(Int(L"Nowhere", L"Zero", 5), 5u);
}

TEST_F(Profile, NamesIgnoreCaseAndBlanksCommentsAndBothLineEnds) {
    m_dir.Write("t.ini",
                "; leading comment\n"
                "[ Settings ]\n"
                "  DebugMode  =  1  \n"
                ";DebugMode=5\n"
                "User Privilege = 3\r\n"
                "[CommTimeouts]\r\n"
                "ReadIntervalTimeout=4294967295");  // no final line end
    EXPECT_EQ(Int(L"settings", L"DEBUGMODE"), 1u);
    EXPECT_EQ(Int(L"Settings", L"user privilege"), 3u);
    EXPECT_EQ(Int(L"commtimeouts", L"ReadIntervalTimeout"), 0xFFFFFFFFu);
    EXPECT_EQ(Str(L"Settings", L"DebugMode"), L"1");
    EXPECT_EQ(Str(L"Settings", L";DebugMode"), L"dflt");
}

TEST_F(Profile, StringsDefaultsQuotesAndTruncation) {
    m_dir.Write("t.ini", "[Database]\r\nName = 'Error Code.mdb'\r\nPassword=a_b_c\r\n");
    EXPECT_EQ(Str(L"Database", L"Name"), L"Error Code.mdb");
    EXPECT_EQ(Str(L"Database", L"Password", L"", 4), L"a_b");
    EXPECT_EQ(Str(L"Database", L"None", L"def  "), L"def");
    EXPECT_EQ(Str(L"Database", L"None", nullptr), L"");
    // A missing file is no error: the default comes back.
    std::wstring other = m_dir.WinPath("none.ini");
    wchar_t buf[16];
    EXPECT_EQ(GetPrivateProfileStringW(L"A", L"B", L"12345678901235", buf, 16, other.c_str()), 14u);
    EXPECT_STREQ(buf, L"12345678901235");
}

TEST_F(Profile, NullNamesListSectionsAndKeys) {
    m_dir.Write("t.ini", "[One]\r\na=1\r\nb=2\r\n[Two]\r\nc=3\r\n");
    wchar_t buf[32];
    DWORD n = GetPrivateProfileStringW(nullptr, nullptr, L"", buf, 32, m_path.c_str());
    EXPECT_EQ(std::wstring(buf, n + 1), std::wstring(L"One\0Two\0\0", 9));
    n = GetPrivateProfileStringW(L"one", nullptr, L"", buf, 32, m_path.c_str());
    EXPECT_EQ(std::wstring(buf, n + 1), std::wstring(L"a\0b\0\0", 5));
    // Cut lists end in two terminators and report nSize - 2.
    n = GetPrivateProfileStringW(nullptr, nullptr, L"", buf, 6, m_path.c_str());
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(std::wstring(buf, 6), std::wstring(L"One\0\0\0", 6));
}

TEST_F(Profile, WritesKeepEveryOtherLineAsItWas) {
    const std::string before =
        "; station settings\r\n"
        "[General]\r\n"
        "IMEI=1\r\n"
        "  ; keep this comment\r\n"
        "Port=3\r\n"
        "\r\n"
        "[Control]\r\n"
        "User Privilege=0\r\n";
    m_dir.Write("t.ini", before);
    ASSERT_TRUE(WritePrivateProfileStringW(L"general", L"port", L"-1", m_path.c_str()));
    ASSERT_TRUE(
        WritePrivateProfileStringW(L"General", L"DefaultIMEI", L"12345678901235", m_path.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringW(L"New", L"Key", L"v", m_path.c_str()));
    EXPECT_EQ(FileText(),
              "; station settings\r\n"
              "[General]\r\n"
              "IMEI=1\r\n"
              "  ; keep this comment\r\n"
              "port=-1\r\n"
              "DefaultIMEI=12345678901235\r\n"
              "\r\n"
              "[Control]\r\n"
              "User Privilege=0\r\n"
              "\r\n"
              "[New]\r\n"
              "Key=v\r\n");
    EXPECT_EQ(static_cast<INT>(Int(L"General", L"Port")), -1);
}

TEST_F(Profile, EveryWrittenValueReadsBackAsItWas) {
    // Blanks at the ends and quotes around a value survive a write: the
    // writer quotes them (found by fuzzing: " 1 " was read back as "1").
    for (const wchar_t* value : {L" 1 ", L"\"x\"", L"'a b'", L"\t", L"\"", L"'x", L"a \"b\" c"}) {
        ASSERT_TRUE(WritePrivateProfileStringW(L"S", L"k", value, m_path.c_str()));
        EXPECT_EQ(Str(L"S", L"k"), value);
    }
    EXPECT_EQ(FileText(), "[S]\r\nk=a \"b\" c\r\n");
    ASSERT_TRUE(WritePrivateProfileStringW(L"S", L"k", L" 1 ", m_path.c_str()));
    EXPECT_EQ(FileText(), "[S]\r\nk=\" 1 \"\r\n");
}

TEST_F(Profile, NewFilesUseCrLfAndLfFilesStayLf) {
    ASSERT_TRUE(WritePrivateProfileStringW(L"General", L"IMEI", L"1", m_path.c_str()));
    EXPECT_EQ(FileText(), "[General]\r\nIMEI=1\r\n");
    m_dir.Write("t.ini", "[A]\nx=1");
    ASSERT_TRUE(WritePrivateProfileStringW(L"A", L"y", L"2", m_path.c_str()));
    EXPECT_EQ(FileText(), "[A]\nx=1\ny=2\n");
}

TEST_F(Profile, NullValueDeletesKeyAndNullKeyDeletesSection) {
    m_dir.Write("t.ini", "[A]\r\nx=1\r\ny=2\r\n; about B\r\n[B]\r\nz=3\r\n");
    ASSERT_TRUE(WritePrivateProfileStringW(L"A", L"x", nullptr, m_path.c_str()));
    EXPECT_EQ(FileText(), "[A]\r\ny=2\r\n; about B\r\n[B]\r\nz=3\r\n");
    ASSERT_TRUE(WritePrivateProfileStringW(L"B", nullptr, nullptr, m_path.c_str()));
    EXPECT_EQ(FileText(), "[A]\r\ny=2\r\n; about B\r\n");
    // Deleting from a missing file succeeds and creates nothing.
    std::wstring none = m_dir.WinPath("none.ini");
    EXPECT_TRUE(WritePrivateProfileStringW(L"A", L"x", nullptr, none.c_str()));
    EXPECT_FALSE(std::filesystem::exists(m_dir.Path("none.ini")));
}

TEST_F(Profile, ReplaceIsAtomicLeavesNoTemporaryFilesAndKeepsPermissions) {
    m_dir.Write("t.ini", "[A]\r\nx=1\r\n");
    ASSERT_EQ(chmod(m_dir.Path("t.ini").c_str(), 0640), 0);
    struct stat before;
    ASSERT_EQ(stat(m_dir.Path("t.ini").c_str(), &before), 0);
    ASSERT_TRUE(WritePrivateProfileStringW(L"A", L"x", L"2", m_path.c_str()));
    struct stat after;
    ASSERT_EQ(stat(m_dir.Path("t.ini").c_str(), &after), 0);
    EXPECT_NE(before.st_ino, after.st_ino) << "the file must be replaced, not rewritten in place";
    EXPECT_EQ(after.st_mode & 0777, 0640u);
    int entries = 0;
    for (auto& e : std::filesystem::directory_iterator(m_dir.Dir())) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 1);
}

TEST_F(Profile, FailedWritesLeaveTheFileUntouched) {
    m_dir.Write("t.ini", "[A]\r\nx=1\r\n");
    // A line break in a value would inject lines into the file.
    EXPECT_FALSE(WritePrivateProfileStringW(L"A", L"x", L"2\r\n[B]\r\ny=3", m_path.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    platform::InjectFault("WritePrivateProfileStringW", ERROR_DISK_FULL, 0, 1);
    EXPECT_FALSE(WritePrivateProfileStringW(L"A", L"x", L"2", m_path.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    EXPECT_EQ(FileText(), "[A]\r\nx=1\r\n");
    // A file that exists but cannot be read is not replaced by a stub.
    std::filesystem::create_directory(m_dir.Path("d.ini"));
    EXPECT_FALSE(WritePrivateProfileStringW(L"A", L"x", L"2", m_dir.WinPath("d.ini").c_str()));
    EXPECT_FALSE(
        WritePrivateProfileStringW(L"A", L"x", L"2", m_dir.WinPath("no\\dir.ini").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(Profile, AnsiVariantsReadAndWriteGbkBytes) {
    // Section 设置 (GBK "\xC9\xE8\xD6\xC3"), value 错误 ("\xB4\xED\xCE\xF3").
    std::string path = m_dir.Path("t.ini");
    ASSERT_TRUE(
        WritePrivateProfileStringA("\xC9\xE8\xD6\xC3", "Name", "\xB4\xED\xCE\xF3", path.c_str()));
    EXPECT_EQ(FileText(), "[\xC9\xE8\xD6\xC3]\r\nName=\xB4\xED\xCE\xF3\r\n");
    char buf[16];
    EXPECT_EQ(GetPrivateProfileStringA("\xC9\xE8\xD6\xC3", "name", "", buf, 16, path.c_str()), 4u);
    EXPECT_STREQ(buf, "\xB4\xED\xCE\xF3");
    // A cut never leaves half a double-byte character.
    EXPECT_EQ(GetPrivateProfileStringA("\xC9\xE8\xD6\xC3", "Name", "", buf, 4, path.c_str()), 2u);
    EXPECT_STREQ(buf, "\xB4\xED");
    // The wide calls see the same file as wide text.
    EXPECT_EQ(Str(L"\x8BBE\x7F6E", L"Name"), L"\x9519\x8BEF");
    EXPECT_EQ(GetPrivateProfileIntA("\xC9\xE8\xD6\xC3", "Missing", 9, path.c_str()), 9u);
}

TEST_F(Profile, Utf8CutsBackOnlyToTheCharacterThatDoesNotFit) {
    ASSERT_TRUE(platform::SetAnsiCodePage(CP_UTF8));
    // "a" and four stray continuation bytes: a cut at 4 bytes keeps 4.
    m_dir.Write("t.ini",
                "[S]\nk=a\x80\x80\x80\x80"
                "b\nw=ab\xE9\x94\x99\n");
    const std::string path = m_dir.Path("t.ini");
    char buf[8];
    EXPECT_EQ(GetPrivateProfileStringA("S", "k", "", buf, 5, path.c_str()), 4u);
    EXPECT_STREQ(buf, "a\x80\x80\x80");
    // A three-byte character that does not fit whole is left out.
    EXPECT_EQ(GetPrivateProfileStringA("S", "w", "", buf, 4, path.c_str()), 2u);
    EXPECT_STREQ(buf, "ab");
    EXPECT_EQ(GetPrivateProfileStringA("S", "w", "", buf, 6, path.c_str()), 5u);
    ASSERT_TRUE(platform::SetAnsiCodePage(936));
}

TEST_F(Profile, DoubleByteNamesDoNotMatchByFoldedTrailBytes) {
    // 0x81 0x61 and 0x81 0x41 are two different GBK characters whose trail
    // bytes are 'a' and 'A'.
    m_dir.Write("t.ini", "[S]\r\n\x81\x61=1\r\n");
    EXPECT_EQ(GetPrivateProfileIntA("S", "\x81\x41", 0, m_dir.Path("t.ini").c_str()), 0u);
    EXPECT_EQ(GetPrivateProfileIntA("S", "\x81\x61", 0, m_dir.Path("t.ini").c_str()), 1u);
}

// The bytes of a UTF-16 file with its byte-order mark.
std::string Utf16File(std::u16string_view text, bool bBigEndian = false) {
    std::string bytes = bBigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (char16_t u : text) {
        const char lo = static_cast<char>(u & 0xFF);
        const char hi = static_cast<char>(u >> 8);
        bytes += bBigEndian ? hi : lo;
        bytes += bBigEndian ? lo : hi;
    }
    return bytes;
}

// "Unicode" files, as Windows editors save them: read as text, not bytes,
// and written back in UTF-16 with their mark, every other line (characters
// outside the ANSI code page included) as it was.
TEST_F(Profile, Utf16FilesReadAndKeepTheirEncoding) {
    m_dir.Write("t.ini", Utf16File(u"; \U0001F600 \u00E9\r\n"
                                   u"[General]\r\n"
                                   u"IMEI=1\r\n"
                                   u"Port = -3\r\n"
                                   u"[\u8BBE\u7F6E]\r\n"
                                   u"Name=\u9519\u8BEF\r\n"));
    EXPECT_EQ(Int(L"general", L"IMEI"), 1u);
    EXPECT_EQ(static_cast<INT>(Int(L"General", L"Port")), -3);
    EXPECT_EQ(Str(L"\x8BBE\x7F6E", L"Name"), L"\x9519\x8BEF");
    wchar_t list[32];
    DWORD n = GetPrivateProfileStringW(nullptr, nullptr, L"", list, 32, m_path.c_str());
    EXPECT_EQ(std::wstring(list, n + 1), std::wstring(L"General\0\x8BBE\x7F6E\0\0", 12));
    // The narrow calls see the same file in GBK.
    const std::string path = m_dir.Path("t.ini");
    char buf[16];
    EXPECT_EQ(GetPrivateProfileStringA("\xC9\xE8\xD6\xC3", "Name", "", buf, 16, path.c_str()), 4u);
    EXPECT_STREQ(buf, "\xB4\xED\xCE\xF3");
    EXPECT_EQ(GetPrivateProfileIntA("General", "Port", 0, path.c_str()), static_cast<UINT>(-3));

    ASSERT_TRUE(WritePrivateProfileStringW(L"General", L"Port", L"7", m_path.c_str()));
    ASSERT_TRUE(
        WritePrivateProfileStringW(L"General", L"DefaultIMEI", L"\u00C512", m_path.c_str()));
    ASSERT_TRUE(
        WritePrivateProfileStringA("\xC9\xE8\xD6\xC3", "Name", "\xD5\xFD\xB3\xA3", path.c_str()));
    EXPECT_EQ(FileText(), Utf16File(u"; \U0001F600 \u00E9\r\n"
                                    u"[General]\r\n"
                                    u"IMEI=1\r\n"
                                    u"Port=7\r\n"
                                    u"DefaultIMEI=\u00C512\r\n"
                                    u"[\u8BBE\u7F6E]\r\n"
                                    u"Name=\u6B63\u5E38\r\n"));
    EXPECT_EQ(Str(L"General", L"DefaultIMEI"), L"\u00C512");
    // A conversion that fails, reading the file or encoding it again, fails
    // the write and leaves the file as it was.
    const std::string before = FileText();
    for (const char* lpszCall : {"WideCharToMultiByte", "MultiByteToWideChar"}) {
        platform::InjectFault(lpszCall, ERROR_NOT_ENOUGH_MEMORY, 0, 1);
        EXPECT_FALSE(WritePrivateProfileStringW(L"General", L"Port", L"8", m_path.c_str()));
        EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY) << lpszCall;
        platform::ClearFaults();
        EXPECT_EQ(FileText(), before) << lpszCall;
    }
    // Deleting keeps the encoding too, down to a file of its mark alone.
    ASSERT_TRUE(WritePrivateProfileStringW(L"General", nullptr, nullptr, m_path.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringW(L"\x8BBE\x7F6E", nullptr, nullptr, m_path.c_str()));
    EXPECT_EQ(FileText(), Utf16File(u"; \U0001F600 \u00E9\r\n"));
    m_dir.Write("t.ini", Utf16File(u""));
    ASSERT_TRUE(WritePrivateProfileStringW(L"S", L"k", L"v", m_path.c_str()));
    EXPECT_EQ(FileText(), Utf16File(u"[S]\r\nk=v\r\n"));
}

TEST_F(Profile, BigEndianUtf16AndUtf8MarkedFilesKeepTheirEncoding) {
    m_dir.Write("t.ini", Utf16File(u"[S]\r\nk=1\r\n", true));
    EXPECT_EQ(Int(L"S", L"k"), 1u);
    ASSERT_TRUE(WritePrivateProfileStringW(L"S", L"j", L"2", m_path.c_str()));
    EXPECT_EQ(FileText(), Utf16File(u"[S]\r\nk=1\r\nj=2\r\n", true));
    // A UTF-8 mark stays in front; the bytes after it are read as they are.
    m_dir.Write("t.ini", "\xEF\xBB\xBF[S]\r\nk=1\r\n");
    EXPECT_EQ(Int(L"S", L"k"), 1u);
    ASSERT_TRUE(WritePrivateProfileStringW(L"S", L"j", L"2", m_path.c_str()));
    EXPECT_EQ(FileText(), "\xEF\xBB\xBF[S]\r\nk=1\r\nj=2\r\n");
}

// Windows ends a line at a lone CR as well; new lines take the file's own
// line end.
TEST_F(Profile, CarriageReturnsAloneEndLines) {
    m_dir.Write("t.ini", "[A]\rx=1\ry=2\r[B]\rz=3");
    EXPECT_EQ(Int(L"A", L"x"), 1u);
    EXPECT_EQ(Int(L"A", L"y"), 2u);
    EXPECT_EQ(Int(L"B", L"z"), 3u);
    EXPECT_EQ(Str(L"A", L"x"), L"1");
    ASSERT_TRUE(WritePrivateProfileStringW(L"A", L"w", L"4", m_path.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringW(L"C", L"v", L"5", m_path.c_str()));
    EXPECT_EQ(FileText(), "[A]\rx=1\ry=2\rw=4\r[B]\rz=3\r\r[C]\rv=5\r");
    m_dir.Write("t.ini", Utf16File(u"[A]\rx=1\r"));
    EXPECT_EQ(Int(L"A", L"x"), 1u);
}

TEST_F(Profile, ConcurrentWritersLoseNoUpdate) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < 25; ++i) {
                std::wstring key = L"K" + std::to_wstring(t) + L"_" + std::to_wstring(i);
                WritePrivateProfileStringW(L"S", key.c_str(), std::to_wstring(i).c_str(),
                                           m_path.c_str());
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    for (int t = 0; t < 4; ++t) {
        for (int i = 0; i < 25; ++i) {
            std::wstring key = L"K" + std::to_wstring(t) + L"_" + std::to_wstring(i);
            EXPECT_EQ(static_cast<int>(Int(L"S", key.c_str())), i) << "lost " << t << "/" << i;
        }
    }
}

}  // namespace
