// The numbers a handset receives: IMEI check digits, generation from the
// start number, derivation from a typed IMEI1, the Bluetooth address, and
// the checks that run before a write. No widgets: the window, the batch mode
// and the tests drive the same code through NumberBoxes.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

#include "station_settings.h"

// The Luhn check digit of a 14-digit body (the digit next to the check
// digit is doubled).
int ImeiCheckDigit(int64_t nBody);
// body * 10 + check digit, as decimal text without leading zeros.
std::wstring MakeImei(int64_t nBody);
// A 12-digit Bluetooth address: a 4-digit pseudo-random value seeded with
// the time in seconds, then day of month, hour, minute and second.
std::wstring MakeBtAddress();
std::wstring MakeBtAddressAt(std::time_t tNow);
// A text read as a signed 64-bit decimal: reading stops at the first
// non-digit; empty text gives 0; an optional leading minus is honoured.
int64_t ReadDecimal(const std::wstring& text);
// A signed 64-bit value as decimal text without leading zeros.
std::wstring DecimalText(int64_t nValue);
// TRUE when text is exactly nDigits characters, each 0-9 (or, for the hex
// form, 0-9, A-F or a-f).
bool IsDecimalText(const std::wstring& text, size_t nDigits);
bool IsHexText(const std::wstring& text, size_t nDigits);

// A type allocation: the IMEI bodies that share their first eight digits
// (body / 10^6). Generation never leaves the allocation its start number is
// in. Bodies of 14 digits are 10^13 .. 10^14 - 1.
constexpr int64_t IMEI_BODY_FIRST = 10000000000000;
constexpr int64_t IMEI_BODY_LAST = 99999999999999;
inline bool SameAllocation(int64_t nBodyA, int64_t nBodyB) {
    return nBodyA / 1000000 == nBodyB / 1000000;
}
// The last body of nBody's allocation.
inline int64_t AllocationLast(int64_t nBody) {
    return nBody / 1000000 * 1000000 + 999999;
}

// One edit box as the rules see it.
struct EditBox {
    std::wstring text;
    bool enabled = true;
};

// The four boxes of the main window: IMEI1, IMEI2, IMEI3, Bluetooth address.
struct NumberBoxes {
    EditBox imei1, imei2, imei3, btAddr;
};

// The validation messages shown on the result label.
extern const wchar_t MSG_IMEI_LENGTH[];
extern const wchar_t MSG_BT_LENGTH[];
extern const wchar_t MSG_IMEI1_INVALID[];
extern const wchar_t MSG_IMEI2_INVALID[];
extern const wchar_t MSG_IMEI3_INVALID[];
// An IMEI with a character other than 0-9, a Bluetooth address with one
// other than a hexadecimal digit.
extern const wchar_t MSG_IMEI_DIGITS[];
extern const wchar_t MSG_BT_DIGITS[];
// A job that would write nothing (no item in use).
extern const wchar_t MSG_NO_ITEM[];
// Generation: a start number that is not 14 digits, and numbers that would
// leave the start number's allocation.
extern const wchar_t MSG_START_NUMBER[];
extern const wchar_t MSG_RANGE_USED_UP[];
// Derivation: IMEI2 or IMEI3 would fall outside IMEI1's allocation.
extern const wchar_t MSG_DERIVED_OUT_OF_RANGE[];

// The number state of one station: the running counter and the four prepared
// texts. Reads the settings it is given; advances startNumber. One thread.
class CNumberRules {
public:
    explicit CNumberRules(StationSettings& settings) : m_settings(settings) {}
    CNumberRules(const CNumberRules&) = delete;
    CNumberRules& operator=(const CNumberRules&) = delete;

    // Sets the counter, the prepared texts and the boxes' enabled states (and
    // clears the boxes the rules clear) for the next handset.
    void PrepareNumbers(NumberBoxes& boxes);
    // When the window opens: each generated item's box shows its prepared
    // text; derived IMEI2 and IMEI3 boxes are empty.
    void ShowPreparedOnOpen(NumberBoxes& boxes) const;
    // After the Setup dialog's OK: boxes of items not in use empty, generated
    // IMEIs shown, derived ones (IMEI1 too) empty, a generated Bluetooth
    // address shown; typed boxes stay as the preparation left them.
    void ShowPreparedAfterSetup(NumberBoxes& boxes) const;
    // At the start of a job: IMEI1 in generation mode, IMEI2 and IMEI3 in
    // generation or derivation mode, a generated Bluetooth address.
    void ShowPreparedAtJobStart(NumberBoxes& boxes) const;
    // At least one item in use; every IMEI in use 15 decimal digits, the
    // Bluetooth address 12 hexadecimal digits; derived IMEIs in IMEI1's
    // allocation; then (with checkDigits, typed numbers only) check digits.
    // FALSE with the operator's message in statusText.
    bool ValidateInput(const NumberBoxes& boxes, std::wstring& statusText) const;
    // After a successful write in generation mode: counter + 1 becomes the
    // start number.
    void Advance();
    // Moves the start number up to nBody when it stands below it (never down),
    // but never out of its allocation: past the allocation's end it stops at
    // the allocation's last body (which is then used, so the next job is
    // refused until the operator sets a new start number). Used for numbers
    // that a job wrote or may have written, whatever the window showed
    // meanwhile.
    void RaiseStartNumber(int64_t nBody);

    // A generated Bluetooth address that this predicate says was used
    // already is replaced by the next free prefix (see MakeUnusedBtAddress).
    void SetBtAddressUsed(std::function<bool(const std::wstring&)> isUsed) {
        m_isBtUsed = std::move(isUsed);
    }

    // Generation from the line's pool: the IMEIs are drawn by the job's
    // claim, so none is prepared or checked here (the start number is not
    // used); a Bluetooth address is still prepared, for a pool without
    // addresses.
    void SetPoolGeneration(bool bPool) { m_bPool = bPool; }
    bool PoolGeneration() const { return m_bPool && m_settings.autoCreate; }

    int64_t Counter() const { return m_nCounter; }
    // TRUE when the last preparation's counter came from a text of exactly
    // 14 digits (in derivation mode the IMEI1 box may hold anything).
    bool CounterIsBody() const { return m_bCounterIsBody; }
    bool GenerationMode() const { return m_settings.autoCreate != 0; }
    bool DerivationMode() const { return m_settings.autoFromImei1 != 0; }
    const std::wstring& PreparedImei1() const { return m_prepImei1; }
    const std::wstring& PreparedImei2() const { return m_prepImei2; }
    const std::wstring& PreparedImei3() const { return m_prepImei3; }
    const std::wstring& PreparedBtAddr() const { return m_prepBtAddr; }

private:
    // Steps 3 and 4 of the preparation, for IMEI2 (and likewise IMEI3).
    void PrepareFollowing(int nItemOn, EditBox& box, std::wstring& prepared);
    std::wstring MakeUnusedBtAddress() const;

    StationSettings& m_settings;
    int64_t m_nCounter = 0;
    bool m_bCounterIsBody = false;
    std::wstring m_prepImei1, m_prepImei2, m_prepImei3, m_prepBtAddr;
    std::function<bool(const std::wstring&)> m_isBtUsed;
    bool m_bPool = false;
};
