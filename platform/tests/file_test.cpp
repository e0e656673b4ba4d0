// Files and directories: dispositions, sharing, positioning, overlapped
// transfers and the error values callers log.
#include <gtest/gtest.h>

#include <string>

#include "platform/ext/native_path.h"
#include "platform/win_error.h"
#include "platform/win_file.h"
#include "platform/win_handle.h"
#include "platform/win_sync.h"
#include "platform_testing/fault_injection.h"
#include "temp_dir.h"

namespace {

constexpr DWORD kRW = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;

HANDLE Open(const std::wstring& path, DWORD dwAccess, DWORD dwShare, DWORD dwDisposition) {
    return CreateFileW(path.c_str(), dwAccess, dwShare, nullptr, dwDisposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

void Put(HANDLE h, const std::string& s) {
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, s.data(), static_cast<DWORD>(s.size()), &n, nullptr));
    ASSERT_EQ(n, s.size());
}

TEST(FileDisposition, EachDispositionCreatesTruncatesOrFailsAsOnWindows) {
    TempDir dir;
    std::wstring path = dir.WinPath("a.txt");

    HANDLE h = Open(path, kRW, 0, OPEN_EXISTING);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Open(path, kRW, 0, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    h = Open(path, kRW, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    Put(h, "hello");
    CloseHandle(h);
    EXPECT_EQ(Open(path, kRW, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);

    // OPEN_ALWAYS keeps the content and reports the existing file.
    h = Open(path, kRW, 0, OPEN_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(GetFileSize(h, nullptr), 5u);
    CloseHandle(h);

    // CREATE_ALWAYS empties it and also reports the existing file.
    h = Open(path, kRW, 0, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(GetFileSize(h, nullptr), 0u);
    Put(h, "abc");
    CloseHandle(h);

    h = Open(path, GENERIC_WRITE, 0, TRUNCATE_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileSize(h, nullptr), 0u);
    CloseHandle(h);

    // A new file under OPEN_ALWAYS / CREATE_ALWAYS: success without the note.
    h = Open(dir.WinPath("b.txt"), kRW, 0, OPEN_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    CloseHandle(h);
}

TEST(FileDisposition, MissingDirectoryAndDirectoryTargetsGiveWindowsErrors) {
    TempDir dir;
    EXPECT_EQ(Open(dir.WinPath("nodir\\x.txt"), kRW, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(Open(dir.WinPath(""), GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(CreateFileW(nullptr, kRW, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(FileSharing, ConflictingOpenIsRefusedWithoutTouchingTheFile) {
    TempDir dir;
    std::wstring path = dir.WinPath("shared.log");
    HANDLE hFirst = Open(path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS);
    ASSERT_NE(hFirst, INVALID_HANDLE_VALUE);
    Put(hFirst, "keep me");

    // A second writer is refused, and its CREATE_ALWAYS must not truncate.
    EXPECT_EQ(Open(path, GENERIC_WRITE, kShareAll, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(dir.Read("shared.log"), "keep me");
    // A reader that lets the first opener write is fine...
    HANDLE hReader = Open(path, GENERIC_READ, kShareAll, OPEN_EXISTING);
    EXPECT_NE(hReader, INVALID_HANDLE_VALUE);
    CloseHandle(hReader);
    // ...one that does not share writing conflicts with the existing writer.
    EXPECT_EQ(Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    // Deleting needs FILE_SHARE_DELETE from every opener.
    EXPECT_FALSE(DeleteFileW(path.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);

    CloseHandle(hFirst);
    HANDLE hAgain = Open(path, GENERIC_WRITE, 0, OPEN_EXISTING);
    EXPECT_NE(hAgain, INVALID_HANDLE_VALUE);
    CloseHandle(hAgain);
    EXPECT_TRUE(DeleteFileW(path.c_str()));
}

TEST(FilePointer, AppendAfterSeekToEndAndSeekErrors) {
    TempDir dir;
    dir.Write("app.log", "line1\r\n");
    std::wstring path = dir.WinPath("app.log");
    HANDLE h = Open(path, GENERIC_WRITE, kShareAll, OPEN_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_END), 7u);
    Put(h, "line2\r\n");
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 14u);
    EXPECT_EQ(SetFilePointer(h, -20, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
    // The failed seek left the position alone.
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 14u);
    CloseHandle(h);
    EXPECT_EQ(dir.Read("app.log"), "line1\r\nline2\r\n");
}

TEST(FilePointer, HighPartCarriesPositionsBeyondFourGigabytes) {
    TempDir dir;
    HANDLE h = Open(dir.WinPath("sparse.bin"), kRW, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    LONG high = 1;
    // 4 GiB + 0xFFFFFFFF - a low part of all ones is valid with NO_ERROR.
    EXPECT_EQ(SetFilePointer(h, -1, &high, FILE_BEGIN), 0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), NO_ERROR);
    EXPECT_EQ(high, 1);
    // Without a high part a position past 32 bits cannot be returned.
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    Put(h, "x");
    DWORD dwHigh = 0;
    EXPECT_EQ(GetFileSize(h, &dwHigh), 0u);
    EXPECT_EQ(dwHigh, 2u);
    CloseHandle(h);
}

TEST(FileTransfer, AccessModeIsEnforcedAndReadAtEndGivesZero) {
    TempDir dir;
    dir.Write("r.txt", "abc");
    HANDLE h = Open(dir.WinPath("r.txt"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 99;
    EXPECT_FALSE(WriteFile(h, "z", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(n, 0u);
    char buf[8];
    EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "abc");
    EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(n, 0u);
    CloseHandle(h);
}

TEST(FileTransfer, OverlappedTransfersUseTheRecordsOffsetAndSignalItsEvent) {
    TempDir dir;
    HANDLE h = CreateFileW(dir.WinPath("ov.bin").c_str(), kRW, 0, nullptr, CREATE_NEW,
                           FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ov.Offset = 4;
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "DATA", 4, &n, &ov));
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_OBJECT_0);
    DWORD got = 0;
    EXPECT_TRUE(GetOverlappedResult(h, &ov, &got, FALSE));
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(GetFileSize(h, nullptr), 8u);

    char buf[4] = {};
    ov.Offset = 4;
    EXPECT_TRUE(ReadFile(h, buf, 4, &n, &ov));
    EXPECT_EQ(std::string(buf, 4), "DATA");
    ov.Offset = 8;
    EXPECT_FALSE(ReadFile(h, buf, 4, &n, &ov));
    EXPECT_EQ(GetLastError(), ERROR_HANDLE_EOF);
    CloseHandle(ov.hEvent);
    CloseHandle(h);
}

TEST(Directories, CreateRemoveAndAttributes) {
    TempDir dir;
    std::wstring sub = dir.WinPath("Log");
    EXPECT_EQ(GetFileAttributesW(sub.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
    EXPECT_FALSE(CreateDirectoryW(sub.c_str(), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(CreateDirectoryW(dir.WinPath("a\\b").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(GetFileAttributesW(sub.c_str()), FILE_ATTRIBUTE_DIRECTORY);

    dir.Write("Log/f.txt", "x");
    EXPECT_EQ(GetFileAttributesW(dir.WinPath("Log\\f.txt").c_str()), FILE_ATTRIBUTE_NORMAL);
    EXPECT_FALSE(RemoveDirectoryW(sub.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
    EXPECT_FALSE(RemoveDirectoryW(dir.WinPath("Log\\f.txt").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
    EXPECT_FALSE(DeleteFileW(sub.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(DeleteFileW(dir.WinPath("Log\\f.txt").c_str()));
    EXPECT_FALSE(DeleteFileW(dir.WinPath("Log\\f.txt").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(RemoveDirectoryW(sub.c_str()));
}

TEST(FileMove, RenamesAndReplacesOnlyWhenAsked) {
    TempDir dir;
    dir.Write("new.tmp", "new");
    dir.Write("target.csv", "old");
    const std::wstring from = dir.WinPath("new.tmp"), to = dir.WinPath("target.csv");
    // An existing target stays without the replace flag.
    EXPECT_FALSE(MoveFileExW(from.c_str(), to.c_str(), 0));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(dir.Read("target.csv"), "old");
    // A holder that did not grant FILE_SHARE_DELETE keeps it too.
    HANDLE h = Open(to, GENERIC_READ, kShareAll, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    CloseHandle(h);
    EXPECT_TRUE(
        MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
    EXPECT_EQ(dir.Read("target.csv"), "new");
    EXPECT_EQ(GetFileAttributesW(from.c_str()), INVALID_FILE_ATTRIBUTES);

    EXPECT_FALSE(MoveFileExW(from.c_str(), dir.WinPath("x").c_str(), 0));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(MoveFileExW(to.c_str(), dir.WinPath("no\\x").c_str(), 0));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    ASSERT_TRUE(CreateDirectoryW(dir.WinPath("sub").c_str(), nullptr));
    EXPECT_FALSE(MoveFileExW(to.c_str(), dir.WinPath("sub").c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(MoveFileExW(to.c_str(), dir.WinPath("y").c_str(), 0x2u));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    platform::InjectFault("MoveFileExW", ERROR_DISK_FULL, 0, 1);
    EXPECT_FALSE(MoveFileExW(to.c_str(), dir.WinPath("y").c_str(), 0));
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    EXPECT_EQ(dir.Read("target.csv"), "new");
}

TEST(FilePaths, NativePathConvertsSeparatorsAndRespectsTheBufferSize) {
    char sz[16];
    ASSERT_TRUE(platform::NativePath(L"a\\b/c\\d.txt", sz, sizeof sz));
    EXPECT_STREQ(sz, "a/b/c/d.txt");
    ASSERT_TRUE(platform::NativePath(L"\x4E2D.ini", sz, sizeof sz));
    EXPECT_STREQ(sz, "\xE4\xB8\xAD.ini");
    EXPECT_FALSE(platform::NativePath(L"0123456789abcdef", sz, sizeof sz));
}

TEST(FileFaults, InjectedFailuresReachTheCaller) {
    TempDir dir;
    platform::InjectFault("CreateFileW", ERROR_ACCESS_DENIED, 0, 1);
    EXPECT_EQ(Open(dir.WinPath("f"), kRW, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    HANDLE h = Open(dir.WinPath("f"), kRW, 0, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    platform::InjectFault("SetFilePointer", ERROR_GEN_FAILURE, 0, 1);
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_END), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
    platform::ClearFaults();
    CloseHandle(h);
}

}  // namespace
