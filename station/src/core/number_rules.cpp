// IMEI and Bluetooth address rules.
#include "number_rules.h"

#include <algorithm>
#include <random>

#include "platform/win_format.h"

const wchar_t MSG_IMEI_LENGTH[] = L"输入的IMEI长度不正确";
const wchar_t MSG_BT_LENGTH[] = L"输入的蓝牙地址长度不正确";
const wchar_t MSG_IMEI1_INVALID[] = L"输入的第一IMEI号不合法";
const wchar_t MSG_IMEI2_INVALID[] = L"输入的第二IMEI号不合法";
const wchar_t MSG_IMEI3_INVALID[] = L"输入的第三IMEI号不合法";
const wchar_t MSG_IMEI_DIGITS[] = L"IMEI必须为0~9数字";
const wchar_t MSG_BT_DIGITS[] = L"蓝牙地址必须为0~9、A~F";
const wchar_t MSG_NO_ITEM[] = L"没有选择写入项，请在设置中选择!";
const wchar_t MSG_START_NUMBER[] = L"起始号必须为14位数字，请检查起始号!";
const wchar_t MSG_RANGE_USED_UP[] = L"号段已用完，请设置新的起始号!";
const wchar_t MSG_DERIVED_OUT_OF_RANGE[] = L"派生的IMEI超出号段，请检查IMEI1!";

namespace {

// The prepared texts hold at most 50 characters, as their buffers do.
constexpr size_t kPreparedWidth = 49;

std::wstring Cut(std::wstring text) {
    if (text.size() > kPreparedWidth)
        text.resize(kPreparedWidth);
    return text;
}

bool IsDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

bool IsHexDigit(wchar_t c) {
    return IsDigit(c) || (c >= L'A' && c <= L'F') || (c >= L'a' && c <= L'f');
}

bool CheckDigitValid(const std::wstring& text) {
    const int64_t v = ReadDecimal(text);
    return v % 10 == ImeiCheckDigit(v / 10);
}

}  // namespace

int ImeiCheckDigit(int64_t nBody) {
    int nSum = 0;
    for (int i = 0; nBody != 0; ++i, nBody /= 10) {
        int d = static_cast<int>(nBody % 10);
        if (i % 2 == 0) {
            d *= 2;
            if (d >= 10)
                d = d % 10 + d / 10;
        }
        nSum += d;
    }
    // A negative body (a start number typed with a minus) gives negative
    // digits; the check digit stays within 0..9 all the same.
    const int r = ((nSum % 10) + 10) % 10;
    return r == 0 ? 0 : 10 - r;
}

std::wstring MakeImei(int64_t nBody) {
    wchar_t szText[32];
    _snwprintf_s(szText, 32, _TRUNCATE, L"%lld",
                 static_cast<long long>(nBody) * 10 + ImeiCheckDigit(nBody));
    return szText;
}

std::wstring MakeBtAddressAt(std::time_t tNow) {
    std::minstd_rand generator(static_cast<std::minstd_rand::result_type>(tNow));
    const int nRandom = static_cast<int>(generator() % 10000);
    std::tm local{};
    // Called on one thread (the window's, or the batch mode's main thread).
    if (const std::tm* pLocal = std::localtime(&tNow))
        local = *pLocal;
    wchar_t szText[32];
    _snwprintf_s(szText, 32, _TRUNCATE, L"%04d%02d%02d%02d%02d", nRandom, local.tm_mday,
                 local.tm_hour, local.tm_min, local.tm_sec);
    return szText;
}

std::wstring MakeBtAddress() {
    return MakeBtAddressAt(std::time(nullptr));
}

int64_t ReadDecimal(const std::wstring& text) {
    size_t i = 0;
    bool bNegative = false;
    if (i < text.size() && (text[i] == L'-' || text[i] == L'+')) {
        bNegative = text[i] == L'-';
        ++i;
    }
    // Accumulated as unsigned so that an over-long text wraps instead of
    // overflowing (it can never pass the length test anyway).
    uint64_t nValue = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i)
        nValue = nValue * 10 + static_cast<uint64_t>(text[i] - L'0');
    return static_cast<int64_t>(bNegative ? 0 - nValue : nValue);
}

void CNumberRules::PrepareNumbers(NumberBoxes& boxes) {
    const StationSettings& s = m_settings;
    const std::wstring base = s.autoFromImei1 ? boxes.imei1.text.substr(0, 14) : s.startNumber;
    m_nCounter = ReadDecimal(base);
    m_bCounterIsBody = IsDecimalText(base, 14);

    if (!s.imei1On || (!s.autoCreate && !s.autoFromImei1)) {
        boxes.imei1.enabled = true;
        boxes.imei1.text.clear();
    } else if (s.autoCreate) {
        boxes.imei1.enabled = false;
        m_prepImei1 = PoolGeneration() ? std::wstring() : Cut(MakeImei(m_nCounter));
    } else {
        boxes.imei1.enabled = true;
    }

    PrepareFollowing(s.imei2On, boxes.imei2, m_prepImei2);
    PrepareFollowing(s.imei3On, boxes.imei3, m_prepImei3);

    boxes.btAddr.enabled = s.btOn && !s.btAuto;
    if (s.btOn && s.btAuto) {
        m_prepBtAddr = Cut(MakeUnusedBtAddress());
    } else {
        boxes.btAddr.text.clear();
    }
}

void CNumberRules::PrepareFollowing(int nItemOn, EditBox& box, std::wstring& prepared) {
    const StationSettings& s = m_settings;
    if (nItemOn && !s.autoCreate && !s.autoFromImei1) {
        box.enabled = true;
        box.text.clear();
        return;
    }
    box.enabled = false;
    if (!nItemOn) {
        box.text.clear();
        return;
    }
    if (s.autoCreate) {
        if (s.useSame || PoolGeneration()) {
            prepared = m_prepImei1;
        } else {
            ++m_nCounter;
            prepared = Cut(MakeImei(m_nCounter));
        }
    } else if (s.autoFromImei1) {
        box.text.clear();
        ++m_nCounter;
        prepared = Cut(MakeImei(m_nCounter));
    }
}

std::wstring CNumberRules::MakeUnusedBtAddress() const {
    std::wstring address = MakeBtAddress();
    if (!m_isBtUsed)
        return address;
    // Addresses made within one second are equal, and the time part repeats
    // every month: step the 4-digit prefix until the address is new.
    const std::wstring tail = address.substr(4);
    int nPrefix = static_cast<int>(ReadDecimal(address.substr(0, 4)));
    for (int nTry = 0; nTry < 10000 && m_isBtUsed(address); ++nTry) {
        nPrefix = (nPrefix + 1) % 10000;
        wchar_t szPrefix[8];
        _snwprintf_s(szPrefix, 8, _TRUNCATE, L"%04d", nPrefix);
        address = szPrefix + tail;
    }
    return address;
}

void CNumberRules::ShowPreparedOnOpen(NumberBoxes& boxes) const {
    const StationSettings& s = m_settings;
    if (s.imei1On && s.autoCreate)
        boxes.imei1.text = m_prepImei1;
    if (s.imei2On && s.autoCreate)
        boxes.imei2.text = m_prepImei2;
    if (s.imei3On && s.autoCreate)
        boxes.imei3.text = m_prepImei3;
    if (s.imei2On && !s.autoCreate && s.autoFromImei1)
        boxes.imei2.text.clear();
    if (s.imei3On && !s.autoCreate && s.autoFromImei1)
        boxes.imei3.text.clear();
    if (s.btOn && s.btAuto)
        boxes.btAddr.text = m_prepBtAddr;
}

void CNumberRules::ShowPreparedAfterSetup(NumberBoxes& boxes) const {
    const StationSettings& s = m_settings;
    const std::pair<int, std::pair<EditBox*, const std::wstring*>> items[] = {
        {s.imei1On, {&boxes.imei1, &m_prepImei1}},
        {s.imei2On, {&boxes.imei2, &m_prepImei2}},
        {s.imei3On, {&boxes.imei3, &m_prepImei3}}};
    for (const auto& [nOn, box] : items) {
        if (!nOn)
            box.first->text.clear();
        else if (s.autoCreate)
            box.first->text = *box.second;
        else if (s.autoFromImei1)
            box.first->text.clear();
    }
    if (!s.btOn)
        boxes.btAddr.text.clear();
    else if (s.btAuto)
        boxes.btAddr.text = m_prepBtAddr;
}

void CNumberRules::ShowPreparedAtJobStart(NumberBoxes& boxes) const {
    const StationSettings& s = m_settings;
    const bool bEither = s.autoCreate || s.autoFromImei1;
    if (s.imei1On && s.autoCreate)
        boxes.imei1.text = m_prepImei1;
    if (s.imei2On && bEither)
        boxes.imei2.text = m_prepImei2;
    if (s.imei3On && bEither)
        boxes.imei3.text = m_prepImei3;
    if (s.btOn && s.btAuto)
        boxes.btAddr.text = m_prepBtAddr;
}

bool CNumberRules::ValidateInput(const NumberBoxes& boxes, std::wstring& statusText) const {
    const StationSettings& s = m_settings;
    if (!s.imei1On && !s.imei2On && !s.imei3On && !s.btOn) {
        statusText = MSG_NO_ITEM;
        return false;
    }
    // IMEIs drawn from the pool by the claim are not in the boxes yet.
    const int nTyped = PoolGeneration() ? 0 : 1;
    const std::pair<int, const std::wstring*> imeis[] = {{s.imei1On * nTyped, &boxes.imei1.text},
                                                         {s.imei2On * nTyped, &boxes.imei2.text},
                                                         {s.imei3On * nTyped, &boxes.imei3.text}};
    for (const auto& [nOn, pText] : imeis) {
        if (nOn && pText->size() != 15) {
            statusText = MSG_IMEI_LENGTH;
            return false;
        }
    }
    // Only digits ever reach a handset: a pasted or scanned text with a
    // letter, a blank or a sign is refused whatever Check says.
    for (const auto& [nOn, pText] : imeis) {
        if (nOn && !IsDecimalText(*pText, 15)) {
            statusText = MSG_IMEI_DIGITS;
            return false;
        }
    }
    if (s.btOn && boxes.btAddr.text.size() != 12) {
        statusText = MSG_BT_LENGTH;
        return false;
    }
    if (s.btOn && !IsHexText(boxes.btAddr.text, 12)) {
        statusText = MSG_BT_DIGITS;
        return false;
    }
    // IMEI2 and IMEI3 follow IMEI1's body; past the end of its allocation
    // they would belong to another type.
    if (s.autoFromImei1 && !s.autoCreate && s.imei1On) {
        const int64_t nBody = ReadDecimal(boxes.imei1.text) / 10;
        for (const auto& [nOn, pText] : {imeis[1], imeis[2]}) {
            if (nOn && !SameAllocation(nBody, ReadDecimal(*pText) / 10)) {
                statusText = MSG_DERIVED_OUT_OF_RANGE;
                return false;
            }
        }
    }
    if (!s.checkDigits || s.autoCreate || s.autoFromImei1)
        return true;
    if (s.imei1On && !CheckDigitValid(boxes.imei1.text)) {
        statusText = MSG_IMEI1_INVALID;
        return false;
    }
    if (s.imei2On && !CheckDigitValid(boxes.imei2.text)) {
        statusText = MSG_IMEI2_INVALID;
        return false;
    }
    if (s.imei3On && !CheckDigitValid(boxes.imei3.text)) {
        statusText = MSG_IMEI3_INVALID;
        return false;
    }
    return true;
}

void CNumberRules::Advance() {
    ++m_nCounter;
    m_settings.startNumber = DecimalText(m_nCounter);
}

void CNumberRules::RaiseStartNumber(int64_t nBody) {
    const int64_t nStart = ReadDecimal(m_settings.startNumber);
    if (nStart >= nBody)
        return;
    m_settings.startNumber = DecimalText(std::min(nBody, AllocationLast(nStart)));
}

bool IsDecimalText(const std::wstring& text, size_t nDigits) {
    return text.size() == nDigits && std::all_of(text.begin(), text.end(), IsDigit);
}

bool IsHexText(const std::wstring& text, size_t nDigits) {
    return text.size() == nDigits && std::all_of(text.begin(), text.end(), IsHexDigit);
}

std::wstring DecimalText(int64_t nValue) {
    wchar_t szText[32];
    _snwprintf_s(szText, 32, _TRUNCATE, L"%lld", static_cast<long long>(nValue));
    return szText;
}
