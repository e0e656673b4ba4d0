// The serial port list in the registry and the program's version resource.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

#include "platform/ext/com_port_map.h"
#include "platform/ext/pseudo_terminal.h"
#include "platform/win_error.h"
#include "platform/win_registry.h"
#include "platform/win_system.h"
#include "platform/win_version.h"
#include "platform_testing/fault_injection.h"
#include "temp_com_map.h"
#include "temp_dir.h"

PLATFORM_VERSION_RESOURCE(
    "Translation=0804,04b0\n"
    "FileVersion=1, 3, 3, 1\n"
    "ProductName=Station\n");

namespace {

struct RegValue {
    std::wstring name;
    std::wstring data;
};

std::vector<RegValue> EnumSerialComm() {
    std::vector<RegValue> values;
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &hKey) !=
        ERROR_SUCCESS)
        return values;
    for (DWORD i = 0;; ++i) {
        wchar_t szName[255];
        BYTE abData[255];
        DWORD cchName = 255, cbData = 255, dwType = 0;
        LSTATUS st = RegEnumValueW(hKey, i, szName, &cchName, nullptr, &dwType, abData, &cbData);
        if (st == ERROR_NO_MORE_ITEMS)
            break;
        EXPECT_EQ(st, static_cast<LSTATUS>(ERROR_SUCCESS));
        EXPECT_EQ(dwType, REG_SZ);
        EXPECT_EQ(cchName, std::wcslen(szName));
        values.push_back({szName, reinterpret_cast<const wchar_t*>(abData)});
    }
    EXPECT_EQ(RegCloseKey(hKey), static_cast<LSTATUS>(ERROR_SUCCESS));
    return values;
}

}  // namespace

TEST(Registry, SerialCommListsTheComPortMap) {
    TempComMap map;
    platform::PseudoTerminal a, b;
    ASSERT_TRUE(a.Open(41));
    ASSERT_TRUE(b.Open(42));

    std::vector<platform::ComPortEntry> ports = platform::ListComPorts();
    std::vector<RegValue> values = EnumSerialComm();
    ASSERT_EQ(values.size(), ports.size());
    for (size_t i = 0; i < ports.size(); ++i) {
        EXPECT_EQ(values[i].data, L"COM" + std::to_wstring(ports[i].dwPort));
        EXPECT_EQ(values[i].name, std::wstring(ports[i].device.begin(), ports[i].device.end()));
    }

    // An open key keeps the list it was opened with.
    HKEY hKey = nullptr;
    ASSERT_EQ(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"hardware\\devicemap\\serialcomm", 0, KEY_READ, &hKey),
        static_cast<LSTATUS>(ERROR_SUCCESS));
    ASSERT_TRUE(platform::UnregisterComPort(42));
    DWORD n = 0;
    for (;; ++n) {
        wchar_t szName[255];
        DWORD cchName = 255;
        if (RegEnumValueW(hKey, n, szName, &cchName, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
    }
    EXPECT_EQ(n, ports.size());
    EXPECT_EQ(RegCloseKey(hKey), static_cast<LSTATUS>(ERROR_SUCCESS));
    EXPECT_EQ(EnumSerialComm().size(), ports.size() - 1);
}

TEST(Registry, OtherKeysAreAbsentAndBadCallsFail) {
    HKEY hKey = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ, &hKey),
              static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(hKey, nullptr);
    EXPECT_EQ(
        RegOpenKeyExW(HKEY_CURRENT_USER, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &hKey),
        static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, 0xF003F, &hKey),
        static_cast<LSTATUS>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(RegCloseKey(hKey), static_cast<LSTATUS>(ERROR_INVALID_HANDLE));

    TempComMap map;
    platform::PseudoTerminal pty;
    ASSERT_TRUE(pty.Open(43));
    ASSERT_EQ(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &hKey),
        static_cast<LSTATUS>(ERROR_SUCCESS));
    // Too small a buffer for the name or the data is reported, not overrun.
    wchar_t szName[2];
    BYTE abData[4];
    DWORD cchName = 2, cbData = 4;
    DWORD i = 0;
    for (const platform::ComPortEntry& entry : platform::ListComPorts()) {
        if (entry.dwPort == 43)
            break;
        ++i;
    }
    EXPECT_EQ(RegEnumValueW(hKey, i, szName, &cchName, nullptr, nullptr, abData, &cbData),
              static_cast<LSTATUS>(ERROR_MORE_DATA));
    EXPECT_EQ(RegCloseKey(hKey), static_cast<LSTATUS>(ERROR_SUCCESS));
    EXPECT_EQ(RegEnumValueW(hKey, 0, szName, &cchName, nullptr, nullptr, nullptr, nullptr),
              static_cast<LSTATUS>(ERROR_INVALID_HANDLE));

    platform::InjectFault("RegOpenKeyExW", ERROR_ACCESS_DENIED, 0, 1);
    EXPECT_EQ(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &hKey),
        static_cast<LSTATUS>(ERROR_ACCESS_DENIED));
    platform::ClearFaults();
}

TEST(VersionInfo, TheProgramReadsItsOwnVersionResource) {
    wchar_t szExe[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(nullptr, szExe, MAX_PATH), 0u);
    DWORD dwHandle = 7;
    DWORD cb = GetFileVersionInfoSizeW(szExe, &dwHandle);
    ASSERT_GT(cb, 0u);
    EXPECT_EQ(dwHandle, 0u);
    std::vector<BYTE> block(cb);
    EXPECT_FALSE(GetFileVersionInfoW(szExe, 0, cb - 1, block.data()));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    ASSERT_TRUE(GetFileVersionInfoW(szExe, 0, cb, block.data()));

    LPVOID pValue = nullptr;
    UINT uLen = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &pValue, &uLen));
    ASSERT_EQ(uLen, 4u);
    EXPECT_EQ(static_cast<WORD*>(pValue)[0], 0x0804);
    EXPECT_EQ(static_cast<WORD*>(pValue)[1], 0x04b0);
    ASSERT_TRUE(
        VerQueryValueW(block.data(), L"\\StringFileInfo\\080404B0\\FileVersion", &pValue, &uLen));
    EXPECT_STREQ(static_cast<wchar_t*>(pValue), L"1, 3, 3, 1");
    EXPECT_EQ(uLen, 11u);
    EXPECT_FALSE(
        VerQueryValueW(block.data(), L"\\StringFileInfo\\040904b0\\FileVersion", &pValue, &uLen));
}

TEST(VersionInfo, FilesWithoutAResourceFail) {
    DWORD dwHandle = 0;
    EXPECT_EQ(GetFileVersionInfoSizeW(L"/nonexistent/program", &dwHandle), 0u);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    // An ELF file without the section, and a file that is not ELF at all.
    EXPECT_EQ(GetFileVersionInfoSizeW(L"/bin/sh", &dwHandle), 0u);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
    TempDir dir;
    dir.Write("text.txt", "FileVersion=1, 2, 3, 4\n");
    EXPECT_EQ(GetFileVersionInfoSizeW(dir.WinPath("text.txt").c_str(), &dwHandle), 0u);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
}
