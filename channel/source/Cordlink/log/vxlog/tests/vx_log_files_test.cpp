// Log file names, directories, opening, closing, appending and the failure
// of the platform calls behind them.
#include <cstdio>
#include <cwchar>
#include <set>

#include "log_test_support.h"
#include "platform/windows.h"

namespace vxlog_test {
namespace {

std::set<std::string> FilesIn(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.insert(entry.path().filename());
    return names;
}

std::string DateName(const char* base, const SYSTEMTIME& st, const char* ext) {
    char sz[128];
    snprintf(sz, sizeof(sz), "%s_%04d_%02d_%02d%s", base, st.wYear, st.wMonth, st.wDay, ext);
    return sz;
}

using LogFiles = LogTest;

TEST_F(LogFiles, DefaultNameIsTheProgramNameWithTheDate) {
    WCHAR szName[MAX_PATH] = {};
    ASSERT_TRUE(log_->GetOption(LOG_OPT_NAME, 0, szName));
    EXPECT_STREQ(szName, L"vxlog_tests");

    SYSTEMTIME before, after;
    GetLocalTime(&before);
    ASSERT_TRUE(log_->Open(nullptr, 0x5002));
    GetLocalTime(&after);
    log_->Close();
    std::set<std::string> files = FilesIn(dir_);
    ASSERT_EQ(files.size(), 1u);
    const std::string& name = *files.begin();
    EXPECT_TRUE(name == DateName("vxlog_tests", before, ".log") ||
                name == DateName("vxlog_tests", after, ".log"))
        << name;
}

TEST_F(LogFiles, DefaultDirectoryIsLogBesideTheExecutable) {
    CVxLog fresh;
    WCHAR szDir[MAX_PATH] = {};
    ASSERT_TRUE(fresh.GetOption(LOG_OPT_DIRECTORY, 0, szDir));
    fs::path exeDir = fs::read_symlink("/proc/self/exe").parent_path();
    EXPECT_EQ(fs::path(szDir), exeDir / "Log");

    ASSERT_TRUE(
        fresh.SetOption(LOG_OPT_DIRECTORY, LOG_DIR_PROGRAM, reinterpret_cast<DWORD_PTR>(L"sub")));
    ASSERT_TRUE(fresh.GetOption(LOG_OPT_DIRECTORY, 0, szDir));
    EXPECT_EQ(fs::path(szDir), exeDir / "Log" / "sub");

    WCHAR szTemp[MAX_PATH] = {};
    ASSERT_GT(GetTempPathW(MAX_PATH, szTemp), 0u);
    ASSERT_TRUE(fresh.SetOption(LOG_OPT_DIRECTORY, LOG_DIR_TEMP, 0));
    ASSERT_TRUE(fresh.GetOption(LOG_OPT_DIRECTORY, 0, szDir));
    EXPECT_EQ(std::wstring(szDir), std::wstring(szTemp) + L"/Log");

    // Refused: an unknown kind, an explicit directory without a value.
    EXPECT_FALSE(fresh.SetOption(LOG_OPT_DIRECTORY, 4, reinterpret_cast<DWORD_PTR>(L"x")));
    EXPECT_FALSE(fresh.SetOption(LOG_OPT_DIRECTORY, LOG_DIR_EXPLICIT, 0));
    ASSERT_TRUE(fresh.GetOption(LOG_OPT_DIRECTORY, 0, szDir));
    EXPECT_EQ(std::wstring(szDir), std::wstring(szTemp) + L"/Log");
}

TEST_F(LogFiles, ExtensionsFollowTheFileBits) {
    struct Case {
        const wchar_t* name;
        DWORD flags;
        std::set<std::string> files;
    } cases[] = {
        {L"trace.bin", LOG_TEXT | LOG_BINARY, {"trace.log", "trace.bin"}},
        {L"trace.BIN", LOG_TEXT | LOG_BINARY, {"trace.log", "trace.bin"}},
        {L"trace.txt", LOG_TEXT | LOG_BINARY, {"trace.txt", "trace.bin"}},
        {L"trace.txt", LOG_BINARY, {"trace.txt"}},
        {L"trace.bin", LOG_TEXT, {"trace.bin"}},
        {L"trace", LOG_TEXT | LOG_BINARY, {"trace.log", "trace.bin"}},
        {L"trace", 0x1000, {"trace.log"}},  // neither file bit: text only
        {L"sub\\trace", LOG_TEXT, {"trace.log"}},
        {L"sub/deeper/trace.txt", LOG_TEXT, {"trace.txt"}},
        {L"a.b.c", LOG_TEXT, {"a.b.c"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(fs::path(c.name).string() + " flags " + std::to_string(c.flags));
        ASSERT_TRUE(OpenNamed(c.name, c.flags));
        log_->Close();
        EXPECT_EQ(FilesIn(dir_), c.files);
        for (const auto& entry : fs::directory_iterator(dir_))
            fs::remove_all(entry.path());
    }
}

TEST_F(LogFiles, DateAndTimeGoIntoRelativeNamesOnly) {
    ASSERT_TRUE(OpenNamed(L"trace", LOG_TEXT | LOG_NAME_TIME | LOG_NAME_DATE));
    log_->Close();
    std::set<std::string> files = FilesIn(dir_);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(std::regex_match(*files.begin(),
                                 std::regex(R"(trace_\d{4}_\d{2}_\d{2}_\d{2}_\d{2}_\d{2}\.log)")))
        << *files.begin();

    // An absolute name keeps its name, and its missing directory is not
    // created: the open fails.
    fs::path absolute = dir_ / "abs.log";
    ASSERT_TRUE(log_->Open(absolute.wstring().c_str(), LOG_TEXT | LOG_NAME_DATE));
    log_->Close();
    EXPECT_TRUE(fs::exists(absolute));
    fs::path missing = dir_ / "missing" / "abs.log";
    EXPECT_FALSE(log_->Open(missing.wstring().c_str(), LOG_TEXT | LOG_NAME_DATE));
    EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

TEST_F(LogFiles, MissingLogDirectoriesAreCreated) {
    fs::path nested = dir_ / "one" / "two" / "three";
    std::wstring value = nested.wstring() + L"/";  // one trailing separator is fine
    ASSERT_TRUE(log_->SetOption(LOG_OPT_DIRECTORY, LOG_DIR_EXPLICIT,
                                reinterpret_cast<DWORD_PTR>(value.c_str())));
    ASSERT_TRUE(OpenNamed(L"trace", LOG_TEXT));
    EXPECT_TRUE(log_->WriteLineA("x"));
    log_->Close();
    EXPECT_TRUE(fs::exists(nested / "trace.log"));

    // A directory that cannot be created (a file stands in its way) makes
    // the open fail, nothing else.
    WriteAll(dir_ / "blocker", "");
    std::wstring blocked = (dir_ / "blocker" / "sub").wstring();
    ASSERT_TRUE(log_->SetOption(LOG_OPT_DIRECTORY, LOG_DIR_EXPLICIT,
                                reinterpret_cast<DWORD_PTR>(blocked.c_str())));
    EXPECT_FALSE(OpenNamed(L"trace", LOG_TEXT));
    EXPECT_FALSE(log_->WriteLineA("x"));
}

TEST_F(LogFiles, NameOptionServesOpensWithoutAName) {
    EXPECT_FALSE(log_->SetOption(LOG_OPT_NAME, 0, 0));
    ASSERT_TRUE(log_->SetOption(LOG_OPT_NAME, 0, reinterpret_cast<DWORD_PTR>(L"chan.txt")));
    WCHAR szName[MAX_PATH] = {};
    ASSERT_TRUE(log_->GetOption(LOG_OPT_NAME, 0, szName));
    EXPECT_STREQ(szName, L"chan.txt");
    ASSERT_TRUE(log_->Open(nullptr, LOG_TEXT));
    log_->Close();
    EXPECT_EQ(FilesIn(dir_), std::set<std::string>{"chan.txt"});

    // Names are cut at 259 characters.
    std::wstring longName(400, L'n');
    ASSERT_TRUE(log_->SetOption(LOG_OPT_NAME, 0, reinterpret_cast<DWORD_PTR>(longName.c_str())));
    ASSERT_TRUE(log_->GetOption(LOG_OPT_NAME, 0, szName));
    EXPECT_EQ(wcslen(szName), 259u);
}

TEST_F(LogFiles, ReopenTruncatesUnlessAppending) {
    ASSERT_TRUE(log_->SetOption(LOG_OPT_TIMESTAMP, 0, FALSE));
    ASSERT_TRUE(OpenNamed(L"t", LOG_TEXT));
    ASSERT_TRUE(log_->WriteLineA("first"));
    ASSERT_TRUE(log_->Close());
    EXPECT_FALSE(log_->WriteLineA("after close"));
    EXPECT_EQ(Text("t.log"), "first\r\n");

    ASSERT_TRUE(OpenNamed(L"t", LOG_TEXT | LOG_APPEND));
    ASSERT_TRUE(log_->WriteLineA("second"));
    // Open on an open log closes it first.
    ASSERT_TRUE(OpenNamed(L"t", LOG_TEXT | LOG_APPEND));
    ASSERT_TRUE(log_->WriteLineA("third"));
    log_->Close();
    EXPECT_EQ(Text("t.log"), "first\r\nsecond\r\nthird\r\n");

    ASSERT_TRUE(OpenNamed(L"t", LOG_TEXT));
    ASSERT_TRUE(log_->WriteLineA("fresh"));
    log_->Close();
    EXPECT_EQ(Text("t.log"), "fresh\r\n");
}

TEST_F(LogFiles, RawBytesGoToTheBinaryFileOnly) {
    const BYTE bytes[] = {0x00, 0x0D, 0x0A, 0xFF, 'A'};
    ASSERT_TRUE(OpenNamed(L"cap", LOG_TEXT));
    EXPECT_FALSE(log_->WriteRaw(bytes, sizeof(bytes)));  // no binary file open
    ASSERT_TRUE(OpenNamed(L"cap", LOG_TEXT | LOG_BINARY));
    EXPECT_TRUE(log_->WriteRaw(bytes, sizeof(bytes)));
    EXPECT_TRUE(log_->WriteRaw(bytes, 0));
#ifdef NDEBUG
    EXPECT_FALSE(log_->WriteRaw(nullptr, 4));
#endif
    log_->Close();
    EXPECT_EQ(Text("cap.bin"), std::string(reinterpret_cast<const char*>(bytes), sizeof(bytes)));
    EXPECT_EQ(Text("cap.log"), "");
}

TEST_F(LogFiles, FailedOpensReportFalseAndKeepWhatOpened) {
    platform::InjectFault("CreateFileW", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(OpenNamed(L"f", LOG_TEXT));
    EXPECT_FALSE(log_->WriteLineA("lost"));
    platform::ClearFaults();

    // The binary file fails to open: the text file opened before stays open.
    platform::InjectFault("CreateFileW", ERROR_ACCESS_DENIED, 1, 1);
    EXPECT_FALSE(OpenNamed(L"f", LOG_TEXT | LOG_BINARY));
    EXPECT_TRUE(log_->WriteLineA("kept"));
    EXPECT_FALSE(log_->WriteRaw("x", 1));
    log_->Close();
    EXPECT_NE(Text("f.log").find("kept\r\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir_ / "f.bin"));
}

TEST_F(LogFiles, AppendRefusesAFileWhoseEndCannotBeFound) {
    WriteAll(dir_ / "keep.log", "earlier run\r\n");
    platform::InjectFault("SetFilePointer", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(OpenNamed(L"keep", LOG_TEXT | LOG_APPEND));
    EXPECT_FALSE(log_->WriteLineA("would overwrite"));
    platform::ClearFaults();
    EXPECT_EQ(Text("keep.log"), "earlier run\r\n");
}

}  // namespace
}  // namespace vxlog_test
