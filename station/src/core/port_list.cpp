// Port discovery through the registry's serial port list.
#include "port_list.h"

#include <cwchar>
#include <cwctype>

#include "platform/win_error.h"
#include "platform/win_registry.h"

namespace {

bool StartsWithComAnyCase(const wchar_t* lpszData) {
    return std::towlower(lpszData[0]) == L'c' && std::towlower(lpszData[1]) == L'o' &&
           std::towlower(lpszData[2]) == L'm';
}

bool SameTextAnyCase(const std::wstring& a, const wchar_t* b) {
    size_t i = 0;
    for (; i < a.size() && b[i] != L'\0'; ++i) {
        if (std::towupper(a[i]) != std::towupper(b[i]))
            return false;
    }
    return i == a.size() && b[i] == L'\0';
}

}  // namespace

std::vector<std::wstring> FillPortList() {
    std::vector<std::wstring> items{L"USB"};
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &hKey) !=
        ERROR_SUCCESS)
        return items;
    for (DWORD dwIndex = 0;; ++dwIndex) {
        wchar_t szName[255];
        // The data buffer is 255 bytes; it is kept wide-aligned and one
        // character longer so the text is always terminated.
        wchar_t szData[255 / sizeof(wchar_t) + 1] = {};
        DWORD cchName = 255, cbData = 255, dwType = 0;
        const LSTATUS st = RegEnumValueW(hKey, dwIndex, szName, &cchName, nullptr, &dwType,
                                         reinterpret_cast<LPBYTE>(szData), &cbData);
        if (st == static_cast<LSTATUS>(ERROR_NO_MORE_ITEMS))
            break;
        if (st != ERROR_SUCCESS || dwType != REG_SZ)
            continue;
        if (StartsWithComAnyCase(szData))
            items.emplace_back(szData);
    }
    RegCloseKey(hKey);
    return items;
}

std::vector<std::wstring> ShownPortItems(std::vector<std::wstring> items, const PortSetting& port) {
    PortSetting probe = port;
    if (ChooseSavedPort(items, probe) < 0)
        items.push_back(AbsentPortItem(port.port));
    return items;
}

std::wstring AbsentPortItem(int nPort) {
    return L"COM" + std::to_wstring(nPort) + L" (未连接)";
}

int ChooseSavedPort(const std::vector<std::wstring>& items, PortSetting& port) {
    if (port.usb != 0 || port.port == -1)
        return 0;
    int nFound = -1;
    for (size_t i = 1; port.port >= 1 && nFound < 0 && i < items.size(); ++i) {
        const size_t nStart = items[i].find_first_not_of(L"COM");
        const std::wstring rest = nStart == std::wstring::npos ? L"" : items[i].substr(nStart);
        if (std::wcstol(rest.c_str(), nullptr, 10) == port.port)
            nFound = static_cast<int>(i);
    }
    if (nFound < 0 && (port.port < 1 || port.defaulted)) {
        port.port = -1;
        nFound = 0;
    }
    port.defaulted = false;
    return nFound;
}

void ApplyPortSelection(const std::wstring& item, PortSetting& port) {
    if (SameTextAnyCase(item, L"USB")) {
        port.usb = 1;
        port.port = -1;
        return;
    }
    port.usb = 0;
    int nPort = 0;
    if (std::swscanf(item.c_str(), L"COM%d", &nPort) == 1)
        port.port = nPort;
}
