// Shell path helpers on Windows-style and native paths.
#include <gtest/gtest.h>

#include <string>

#include "platform/win_shell_path.h"
#include "temp_dir.h"

namespace {

std::wstring RemoveFileSpec(std::wstring path, BOOL* pbChanged = nullptr) {
    BOOL b = PathRemoveFileSpecW(path.data());
    if (pbChanged != nullptr)
        *pbChanged = b;
    return path.c_str();
}

TEST(ShellPath, FileNameAndExtensionWithEitherSeparator) {
    EXPECT_STREQ(PathFindFileNameW(L"C:\\Tools\\host.exe"), L"host.exe");
    EXPECT_STREQ(PathFindFileNameW(L"/opt/tools/host"), L"host");
    EXPECT_STREQ(PathFindFileNameW(L"mixed/dir\\name.log"), L"name.log");
    EXPECT_STREQ(PathFindFileNameW(L"plain"), L"plain");
    EXPECT_STREQ(PathFindFileNameW(L"dir\\sub\\"), L"sub\\");

    EXPECT_STREQ(PathFindExtensionW(L"trace.bin"), L".bin");
    EXPECT_STREQ(PathFindExtensionW(L"a.b\\trace"), L"");
    EXPECT_STREQ(PathFindExtensionW(L"/x.y/archive.tar.gz"), L".gz");
    const wchar_t* p = L"noext";
    EXPECT_EQ(PathFindExtensionW(p), p + 5);  // the terminator, not null
    wchar_t name[] = L"dir.d/trace.txt";
    PathRemoveExtensionW(name);
    EXPECT_STREQ(name, L"dir.d/trace");
}

TEST(ShellPath, RelativeAndAbsolute) {
    EXPECT_TRUE(PathIsRelativeW(L"sub\\trace"));
    EXPECT_TRUE(PathIsRelativeW(L"trace.log"));
    EXPECT_TRUE(PathIsRelativeW(L""));
    EXPECT_FALSE(PathIsRelativeW(L"/var/log/x"));
    EXPECT_FALSE(PathIsRelativeW(L"\\Log\\x"));
    EXPECT_FALSE(PathIsRelativeW(L"C:\\Log\\x"));
}

TEST(ShellPath, RemoveFileSpecKeepsTheRoot) {
    BOOL b;
    EXPECT_EQ(RemoveFileSpec(L"/opt/tools/host", &b), L"/opt/tools");
    EXPECT_TRUE(b);
    EXPECT_EQ(RemoveFileSpec(L"C:\\Tools\\host.exe"), L"C:\\Tools");
    EXPECT_EQ(RemoveFileSpec(L"C:\\host.exe"), L"C:\\");
    EXPECT_EQ(RemoveFileSpec(L"/host"), L"/");
    EXPECT_EQ(RemoveFileSpec(L"host", &b), L"");
    EXPECT_TRUE(b);
    EXPECT_EQ(RemoveFileSpec(L"/", &b), L"/");
    EXPECT_FALSE(b);
    EXPECT_EQ(RemoveFileSpec(L"a\\b\\"), L"a\\b");
}

TEST(ShellPath, ExistenceAndDirectoryTests) {
    TempDir dir;
    dir.Write("f.ini", "x");
    EXPECT_TRUE(PathFileExistsW(dir.WinPath("f.ini").c_str()));
    EXPECT_FALSE(PathIsDirectoryW(dir.WinPath("f.ini").c_str()));
    EXPECT_TRUE(PathIsDirectoryW(dir.WinPath("").c_str()));
    EXPECT_FALSE(PathFileExistsW(dir.WinPath("missing").c_str()));
    EXPECT_FALSE(PathFileExistsW(nullptr));
}

}  // namespace
