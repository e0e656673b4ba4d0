// Stampwell.ini: the keys, their defaults and their order.
#include "station_settings.h"

#include <algorithm>
#include <cwchar>

#include "number_rules.h"
#include "platform/win_codepage.h"
#include "platform/win_format.h"
#include "platform/win_profile.h"
#include "platform/win_system.h"

const wchar_t MSG_SLOTS_INVALID[] = L"多工位设置Slots无效：应为2到8个不同的COM号，以逗号分隔!";

namespace {

constexpr wchar_t kGeneral[] = L"General";
constexpr size_t kMaxSlots = 8;
constexpr wchar_t kControl[] = L"Control";
constexpr wchar_t kDefaultStartNumber[] = L"12345678901235";

int ReadInt(const wchar_t* lpszSection, const wchar_t* lpszKey, int nDefault,
            const std::wstring& path) {
    return static_cast<int>(GetPrivateProfileIntW(lpszSection, lpszKey, nDefault, path.c_str()));
}

void WriteInt(const wchar_t* lpszKey, long long nValue, const std::wstring& path) {
    wchar_t szValue[32];
    _snwprintf_s(szValue, 32, _TRUNCATE, L"%lld", nValue);
    WritePrivateProfileStringW(kGeneral, lpszKey, szValue, path.c_str());
}

}  // namespace

bool CSettingsFile::LocateBesideProgram() {
    wchar_t szExe[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, szExe, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return false;
    std::wstring exe(szExe, n);
    const size_t slash = exe.find_last_of(L"/\\");
    if (slash == std::wstring::npos)
        return false;
    m_path = exe.substr(0, slash) + L"/Stampwell.ini";
    return true;
}

std::string Utf8Text(const std::wstring& text) {
    std::string out(text.size() * 4 + 1, '\0');
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(),
                                      static_cast<int>(out.size()), nullptr, nullptr);
    out.resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
    return out;
}

std::wstring WideFromUtf8(const std::string& text) {
    std::wstring out(text.size() + 1, L'\0');
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), static_cast<int>(out.size()));
    out.resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
    return out;
}

std::string CSettingsFile::BesideSettings(const wchar_t* lpszName) const {
    return Utf8Text(m_path.substr(0, m_path.find_last_of(L"/\\") + 1) + lpszName);
}

std::string CSettingsFile::RecordPath() const {
    return BesideSettings(L"Stampwell.db");
}

std::string CSettingsFile::QueuePath() const {
    return BesideSettings(L"StampwellQueue.db");
}

void CSettingsFile::LoadRecordSettings(RecordSettings& record) const {
    const auto read = [this](const wchar_t* lpszKey) {
        wchar_t szValue[1024] = {};
        GetPrivateProfileStringW(L"Record", lpszKey, L"", szValue, 1024, m_path.c_str());
        return Utf8Text(szValue);
    };
    record.server = read(L"Server");
    record.station = read(L"Station");
    record.pool = read(L"Pool");
    record.operatorName = read(L"Operator");
    record.workOrder = read(L"WorkOrder");
    if (record.station.empty()) {
        wchar_t szHost[256] = {};
        DWORD nSize = 256;
        if (GetComputerNameW(szHost, &nSize))
            record.station = Utf8Text(szHost);
    }
}

void CSettingsFile::LoadSettings(StationSettings& s, PortSetting& port) const {
    s.imei1On = ReadInt(kGeneral, L"IMEI", 0, m_path);
    s.imei2On = ReadInt(kGeneral, L"IMEI2", 0, m_path);
    s.imei3On = ReadInt(kGeneral, L"IMEI3", 0, m_path);
    s.autoCreate = ReadInt(kGeneral, L"AutoCreateIMEI", 0, m_path);
    s.autoFromImei1 = ReadInt(kGeneral, L"AutoCreateIMEIFromIMEI1", 0, m_path);
    s.useSame = ReadInt(kGeneral, L"UseSameIMEI", 0, m_path);
    s.phaseCheck = ReadInt(kGeneral, L"PhaseCheck", 0, m_path);
    s.btOn = ReadInt(kGeneral, L"BT_ADDR", 0, m_path);
    s.btAuto = ReadInt(kGeneral, L"AutoGenerateBT_ADDR", 0, m_path);
    port.port = ReadInt(kGeneral, L"Port", 1, m_path);
    wchar_t szPort[16];
    port.defaulted =
        GetPrivateProfileStringW(kGeneral, L"Port", L"", szPort, 16, m_path.c_str()) == 0;
    s.modeWaitMs = ReadInt(kGeneral, L"EntrerModeWait", 100, m_path);
    s.timeoutMs = ReadInt(kGeneral, L"Timeout", 40000, m_path);
    s.readBack = ReadInt(kGeneral, L"ReadBack", 0, m_path);
    s.userPrivilege = ReadInt(kControl, L"User Privilege", 0, m_path);
    s.checkDigits = ReadInt(kGeneral, L"Check", 0, m_path);
    s.fastWrite = ReadInt(kControl, L"OrvanNew", 0, m_path);
    s.phaseCheck = 0;

    wchar_t szStart[100];
    GetPrivateProfileStringW(kGeneral, L"DefaultIMEI", kDefaultStartNumber, szStart, 100,
                             m_path.c_str());
    szStart[14] = L'\0';
    s.startNumber = szStart;
}

void CSettingsFile::SaveSettings(const StationSettings& s, const PortSetting& port,
                                 int64_t nDefaultImei) const {
    WriteInt(L"IMEI", s.imei1On, m_path);
    WriteInt(L"IMEI2", s.imei2On, m_path);
    WriteInt(L"IMEI3", s.imei3On, m_path);
    WriteInt(L"BT_ADDR", s.btOn, m_path);
    WriteInt(L"Port", port.usb != 0 ? -1 : port.port, m_path);
    WriteInt(L"AutoGenerateBT_ADDR", s.btAuto, m_path);
    WriteInt(L"AutoCreateIMEI", s.autoCreate, m_path);
    WriteInt(L"AutoCreateIMEIFromIMEI1", s.autoFromImei1, m_path);
    WriteInt(L"UseSameIMEI", s.useSame, m_path);
    WriteInt(L"DefaultIMEI", nDefaultImei, m_path);
    WriteInt(L"PhaseCheck", s.phaseCheck, m_path);
}

bool CSettingsFile::SaveStartNumber(const std::wstring& startNumber) const {
    return WritePrivateProfileStringW(kGeneral, L"DefaultIMEI", startNumber.c_str(),
                                      m_path.c_str()) != FALSE;
}

int64_t CounterForSave(const StationSettings& s, int64_t nCounter) {
    if (s.imei3On && s.imei2On && !s.useSame && (s.autoCreate || s.autoFromImei1))
        return nCounter - 2;
    if (s.imei2On && s.autoCreate && !s.imei3On && !s.useSame)
        return nCounter - 1;
    return nCounter;
}

bool CSettingsFile::LoadSlots(std::vector<int>& ports) const {
    ports.clear();
    wchar_t szValue[256] = {};
    GetPrivateProfileStringW(kGeneral, L"Slots", L"", szValue, 256, m_path.c_str());
    const std::wstring text = szValue;
    if (text.find_first_not_of(L" \t") == std::wstring::npos)
        return true;
    for (size_t pos = 0;;) {
        const size_t comma = text.find(L',', pos);
        const std::wstring field =
            text.substr(pos, comma == std::wstring::npos ? comma : comma - pos);
        const size_t first = field.find_first_not_of(L" \t");
        const size_t last = field.find_last_not_of(L" \t");
        const std::wstring digits =
            first == std::wstring::npos ? std::wstring() : field.substr(first, last - first + 1);
        const int nPort = digits.size() <= 3 && IsDecimalText(digits, digits.size())
                              ? static_cast<int>(ReadDecimal(digits))
                              : 0;
        if (nPort < 1 || nPort > 255 ||
            std::find(ports.begin(), ports.end(), nPort) != ports.end()) {
            ports.clear();
            return false;
        }
        ports.push_back(nPort);
        if (comma == std::wstring::npos)
            break;
        pos = comma + 1;
    }
    if (ports.size() < 2 || ports.size() > kMaxSlots) {
        ports.clear();
        return false;
    }
    return true;
}
