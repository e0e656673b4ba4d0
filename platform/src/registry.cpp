// The read-only registry: HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM
// answered from the COM port map.
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "fault_hit.h"
#include "kernel_object.h"
#include "platform/ext/com_port_map.h"
#include "platform/win_error.h"
#include "platform/win_registry.h"

struct HKEY__ {
    struct Value {
        std::wstring name;  // the device path
        std::wstring data;  // "COM<n>"
    };
    std::vector<Value> values;
};

namespace {

constexpr wchar_t kSerialCommKey[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";

std::mutex g_keysLock;
std::set<HKEY> g_openKeys;

bool SameKeyName(const wchar_t* lpszA, const wchar_t* lpszB) {
    // Key names are case-insensitive; a trailing backslash names the same key.
    std::wstring a(lpszA), b(lpszB);
    while (!a.empty() && a.back() == L'\\')
        a.pop_back();
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::towupper(a[i]) != std::towupper(b[i]))
            return false;
    }
    return true;
}

}  // namespace

extern "C" LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD /*ulOptions*/,
                                 REGSAM samDesired, PHKEY phkResult) {
    if (phkResult == nullptr)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    if (platform::FaultHit("RegOpenKeyExW"))
        return static_cast<LSTATUS>(GetLastError());
    if (hKey != HKEY_LOCAL_MACHINE || lpSubKey == nullptr || !SameKeyName(lpSubKey, kSerialCommKey))
        return ERROR_FILE_NOT_FOUND;
    if ((samDesired & ~KEY_READ) != 0)
        return ERROR_ACCESS_DENIED;

    auto key = std::make_unique<HKEY__>();
    for (const platform::ComPortEntry& entry : platform::ListComPorts()) {
        HKEY__::Value value;
        value.name = platform::Utf8ToWide(entry.device.c_str());
        value.data = L"COM" + std::to_wstring(entry.dwPort);
        key->values.push_back(std::move(value));
    }
    HKEY hOpened = key.release();
    std::lock_guard<std::mutex> lock(g_keysLock);
    g_openKeys.insert(hOpened);
    *phkResult = hOpened;
    return ERROR_SUCCESS;
}

extern "C" LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName,
                                 LPDWORD lpcchValueName, LPDWORD lpReserved, LPDWORD lpType,
                                 LPBYTE lpData, LPDWORD lpcbData) {
    if (lpReserved != nullptr || lpcchValueName == nullptr || lpValueName == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (lpData != nullptr && lpcbData == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (platform::FaultHit("RegEnumValueW"))
        return static_cast<LSTATUS>(GetLastError());
    // Held throughout, so a key closed by another thread meanwhile is never
    // read after it was freed.
    std::lock_guard<std::mutex> lock(g_keysLock);
    if (g_openKeys.count(hKey) == 0)
        return ERROR_INVALID_HANDLE;
    if (dwIndex >= hKey->values.size())
        return ERROR_NO_MORE_ITEMS;
    const HKEY__::Value& value = hKey->values[dwIndex];

    const DWORD cbData = static_cast<DWORD>((value.data.size() + 1) * sizeof(wchar_t));
    if (value.name.size() + 1 > *lpcchValueName)
        return ERROR_MORE_DATA;
    if (lpData != nullptr && cbData > *lpcbData) {
        *lpcbData = cbData;
        return ERROR_MORE_DATA;
    }
    std::wmemcpy(lpValueName, value.name.c_str(), value.name.size() + 1);
    *lpcchValueName = static_cast<DWORD>(value.name.size());
    if (lpType != nullptr)
        *lpType = REG_SZ;
    if (lpData != nullptr)
        std::memcpy(lpData, value.data.c_str(), cbData);
    if (lpcbData != nullptr)
        *lpcbData = cbData;
    return ERROR_SUCCESS;
}

extern "C" LSTATUS RegCloseKey(HKEY hKey) {
    {
        std::lock_guard<std::mutex> lock(g_keysLock);
        if (g_openKeys.erase(hKey) == 0)
            return ERROR_INVALID_HANDLE;
    }
    delete hKey;
    return ERROR_SUCCESS;
}
