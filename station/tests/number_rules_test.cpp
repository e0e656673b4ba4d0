// IMEI check digits, generation, derivation, validation and the Bluetooth
// address, on the widget-free rules.
#include <gtest/gtest.h>

#include <set>

#include "number_rules.h"
#include "station_settings.h"

TEST(ImeiRules, CheckDigitsAndImeiText) {
    EXPECT_EQ(ImeiCheckDigit(12345678901235), 4);
    EXPECT_EQ(ImeiCheckDigit(49015420323751), 8);
    EXPECT_EQ(MakeImei(12345678901235), L"123456789012354");
    EXPECT_EQ(MakeImei(49015420323751), L"490154203237518");
    EXPECT_EQ(MakeImei(35000000000000), L"350000000000006");
    EXPECT_EQ(ImeiCheckDigit(0), 0);
    // Every check digit makes the whole number pass the Luhn test.
    for (int64_t body = 35000000000000; body < 35000000000100; ++body) {
        const std::wstring imei = MakeImei(body);
        int sum = 0;
        for (size_t i = 0; i < imei.size(); ++i) {
            int d = imei[imei.size() - 1 - i] - L'0';
            if (i % 2 == 1)
                d = d * 2 > 9 ? d * 2 - 9 : d * 2;
            sum += d;
        }
        EXPECT_EQ(sum % 10, 0) << body;
    }
}

TEST(ImeiRules, ReadDecimalStopsAtTheFirstNonDigit) {
    EXPECT_EQ(ReadDecimal(L""), 0);
    EXPECT_EQ(ReadDecimal(L"0123"), 123);
    EXPECT_EQ(ReadDecimal(L"12ab34"), 12);
    EXPECT_EQ(ReadDecimal(L"-5"), -5);
    EXPECT_EQ(ReadDecimal(L"abc"), 0);
    // Longer than 19 digits wraps rather than overflowing.
    (void)ReadDecimal(L"999999999999999999999999");
}

namespace {

struct Station {
    StationSettings settings;
    CNumberRules rules{settings};
    NumberBoxes boxes;
};

void Generation(Station& st, bool b1, bool b2, bool b3, const wchar_t* start) {
    st.settings.imei1On = b1;
    st.settings.imei2On = b2;
    st.settings.imei3On = b3;
    st.settings.autoCreate = 1;
    st.settings.startNumber = start;
}

}  // namespace

TEST(ImeiRules, GenerationRunAdvanceAndTheNextHandset) {
    Station st;
    Generation(st, true, true, true, L"35000000000000");
    st.rules.PrepareNumbers(st.boxes);
    EXPECT_EQ(st.rules.PreparedImei1(), L"350000000000006");
    EXPECT_EQ(st.rules.PreparedImei2(), L"350000000000014");
    EXPECT_EQ(st.rules.PreparedImei3(), L"350000000000022");
    EXPECT_FALSE(st.boxes.imei1.enabled);
    EXPECT_FALSE(st.boxes.imei2.enabled);
    EXPECT_FALSE(st.boxes.imei3.enabled);
    // The boxes show the numbers when the window opens and when a job starts.
    st.rules.ShowPreparedOnOpen(st.boxes);
    EXPECT_EQ(st.boxes.imei3.text, L"350000000000022");
    std::wstring status;
    EXPECT_TRUE(st.rules.ValidateInput(st.boxes, status));

    st.rules.Advance();
    EXPECT_EQ(st.settings.startNumber, L"35000000000003");
    st.rules.PrepareNumbers(st.boxes);
    EXPECT_EQ(st.rules.PreparedImei1(), MakeImei(35000000000003));
    EXPECT_EQ(st.rules.PreparedImei3(), MakeImei(35000000000005));
    // The close-time correction brings the counter back to IMEI1's body.
    EXPECT_EQ(CounterForSave(st.settings, st.rules.Counter()), 35000000000003);
}

TEST(ImeiRules, UseSameAndTwoItemGenerationSequences) {
    Station same;
    Generation(same, true, true, true, L"35000000000000");
    same.settings.useSame = 1;
    same.rules.PrepareNumbers(same.boxes);
    EXPECT_EQ(same.rules.PreparedImei2(), L"350000000000006");
    EXPECT_EQ(same.rules.PreparedImei3(), L"350000000000006");
    same.rules.Advance();
    EXPECT_EQ(same.settings.startNumber, L"35000000000001");
    EXPECT_EQ(CounterForSave(same.settings, 35000000000001), 35000000000001);

    // IMEI1 and IMEI2: handsets receive (S, S+1), (S+2, S+3), ...
    Station two;
    Generation(two, true, true, false, L"35000000000000");
    std::set<std::wstring> seen;
    for (int i = 0; i < 5; ++i) {
        two.rules.PrepareNumbers(two.boxes);
        EXPECT_EQ(two.rules.PreparedImei1(), MakeImei(35000000000000 + 2 * i));
        EXPECT_EQ(two.rules.PreparedImei2(), MakeImei(35000000000001 + 2 * i));
        EXPECT_TRUE(seen.insert(two.rules.PreparedImei1()).second);
        EXPECT_TRUE(seen.insert(two.rules.PreparedImei2()).second);
        // Right after a start, closing writes back the start number read.
        EXPECT_EQ(CounterForSave(two.settings, two.rules.Counter()),
                  ReadDecimal(two.settings.startNumber));
        two.rules.Advance();
    }
}

TEST(ImeiRules, DerivationFromTheTypedImei1) {
    Station st;
    st.settings.imei1On = st.settings.imei2On = st.settings.imei3On = 1;
    st.settings.autoFromImei1 = 1;
    st.settings.checkDigits = 1;
    st.boxes.imei1.text = L"350000000000006";
    st.rules.PrepareNumbers(st.boxes);
    EXPECT_TRUE(st.boxes.imei1.enabled);
    EXPECT_EQ(st.boxes.imei1.text, L"350000000000006");
    EXPECT_TRUE(st.boxes.imei2.text.empty());
    EXPECT_EQ(st.rules.PreparedImei2(), L"350000000000014");
    EXPECT_EQ(st.rules.PreparedImei3(), L"350000000000022");
    st.rules.ShowPreparedAtJobStart(st.boxes);
    EXPECT_EQ(st.boxes.imei2.text, L"350000000000014");
    // The typed IMEI1's own check digit is not tested in derivation mode.
    st.boxes.imei1.text = L"350000000000001";
    std::wstring status;
    EXPECT_TRUE(st.rules.ValidateInput(st.boxes, status));
}

TEST(ImeiRules, ManualModeClearsAndEnablesTheBoxes) {
    Station st;
    st.settings.imei1On = st.settings.imei2On = 1;
    st.boxes.imei1 = {L"123", false};
    st.boxes.imei2 = {L"456", false};
    st.boxes.imei3 = {L"789", true};
    st.boxes.btAddr = {L"aaaa", true};
    st.rules.PrepareNumbers(st.boxes);
    EXPECT_TRUE(st.boxes.imei1.enabled && st.boxes.imei1.text.empty());
    EXPECT_TRUE(st.boxes.imei2.enabled && st.boxes.imei2.text.empty());
    EXPECT_FALSE(st.boxes.imei3.enabled);
    EXPECT_TRUE(st.boxes.imei3.text.empty());
    EXPECT_FALSE(st.boxes.btAddr.enabled);
    EXPECT_TRUE(st.boxes.btAddr.text.empty());

    // A typed Bluetooth address is enabled; a generated one is prepared.
    st.settings.btOn = 1;
    st.rules.PrepareNumbers(st.boxes);
    EXPECT_TRUE(st.boxes.btAddr.enabled);
    st.settings.btAuto = 1;
    st.rules.PrepareNumbers(st.boxes);
    EXPECT_FALSE(st.boxes.btAddr.enabled);
    EXPECT_EQ(st.rules.PreparedBtAddr().size(), 12u);
}

TEST(ImeiRules, ValidationMessages) {
    Station st;
    st.settings.imei1On = st.settings.imei2On = st.settings.imei3On = 1;
    st.boxes.imei1.text = L"490154203237518";
    st.boxes.imei2.text = L"49015420323751";
    st.boxes.imei3.text = L"490154203237518";
    std::wstring status;
    EXPECT_FALSE(st.rules.ValidateInput(st.boxes, status));
    EXPECT_EQ(status, L"输入的IMEI长度不正确");

    st.boxes.imei2.text = L"490154203237519";               // wrong last digit
    EXPECT_TRUE(st.rules.ValidateInput(st.boxes, status));  // Check = 0
    st.settings.checkDigits = 1;
    EXPECT_FALSE(st.rules.ValidateInput(st.boxes, status));
    EXPECT_EQ(status, L"输入的第二IMEI号不合法");
    st.boxes.imei1.text = L"490154203237510";
    EXPECT_FALSE(st.rules.ValidateInput(st.boxes, status));
    EXPECT_EQ(status, L"输入的第一IMEI号不合法");
    st.boxes.imei1.text = st.boxes.imei2.text = L"490154203237518";
    st.boxes.imei3.text = L"490154203237517";
    EXPECT_FALSE(st.rules.ValidateInput(st.boxes, status));
    EXPECT_EQ(status, L"输入的第三IMEI号不合法");

    st.settings.btOn = 1;
    st.boxes.btAddr.text = L"12345678901";
    EXPECT_FALSE(st.rules.ValidateInput(st.boxes, status));
    EXPECT_EQ(status, L"输入的蓝牙地址长度不正确");
    // Whatever Check says, an IMEI is 15 decimal digits and an address 12
    // hexadecimal ones: a letter, a sign or a blank never reaches a handset.
    st.settings.checkDigits = 0;
    st.boxes.btAddr.text = L"0A1b2C3d4E5f";
    EXPECT_TRUE(st.rules.ValidateInput(st.boxes, status)) << status;
    for (const wchar_t* lpszBad : {L"35000000000001A", L"-35000000000001", L" 35000000000001",
                                   L"３５０００００００００００１２"}) {
        st.boxes.imei3.text = lpszBad;
        EXPECT_FALSE(st.rules.ValidateInput(st.boxes, status)) << lpszBad;
        EXPECT_EQ(status, MSG_IMEI_DIGITS) << lpszBad;
    }
    st.boxes.imei3.text = L"490154203237518";
    for (const wchar_t* lpszBad : {L"0A1b2C3d4E5g", L"12345678901:", L"12:34:56:78:"}) {
        st.boxes.btAddr.text = lpszBad;
        EXPECT_FALSE(st.rules.ValidateInput(st.boxes, status)) << lpszBad;
        EXPECT_EQ(status, MSG_BT_DIGITS) << lpszBad;
    }
    // A job that would write nothing is refused.
    Station none;
    EXPECT_FALSE(none.rules.ValidateInput(none.boxes, status));
    EXPECT_EQ(status, MSG_NO_ITEM);
}

TEST(ImeiRules, DerivedImeisStayInImei1sAllocation) {
    Station st;
    st.settings.imei1On = st.settings.imei2On = st.settings.imei3On = 1;
    st.settings.autoFromImei1 = 1;
    std::wstring status;
    for (const auto& [lpszImei1, bOk] :
         {std::pair{L"350000009999976", true}, std::pair{L"350000009999984", false},
          std::pair{L"999999999999994", false}}) {
        st.boxes.imei1.text = lpszImei1;
        st.rules.PrepareNumbers(st.boxes);
        st.rules.ShowPreparedAtJobStart(st.boxes);
        EXPECT_EQ(st.rules.ValidateInput(st.boxes, status), bOk) << lpszImei1;
        if (!bOk) {
            EXPECT_TRUE(status == MSG_DERIVED_OUT_OF_RANGE || status == MSG_IMEI_LENGTH)
                << lpszImei1;
        }
    }
}

TEST(ImeiRules, RaisingTheStartNumberNeverLeavesItsAllocation) {
    Station st;
    Generation(st, true, false, false, L"35000000999990");
    st.rules.RaiseStartNumber(35000000999995);
    EXPECT_EQ(st.settings.startNumber, L"35000000999995");
    st.rules.RaiseStartNumber(35000001000003);
    EXPECT_EQ(st.settings.startNumber, L"35000000999999");
    st.rules.RaiseStartNumber(35000000000001);  // never down
    EXPECT_EQ(st.settings.startNumber, L"35000000999999");
    Generation(st, true, false, false, L"99999999999998");
    st.rules.RaiseStartNumber(100000000000000);
    EXPECT_EQ(st.settings.startNumber, L"99999999999999");
}

TEST(ImeiRules, LeadingZeroStartNumberFailsTheLengthTest) {
    Station st;
    Generation(st, true, false, false, L"01234567890123");
    st.rules.PrepareNumbers(st.boxes);
    EXPECT_EQ(st.rules.PreparedImei1().size(), 14u);
    st.rules.ShowPreparedAtJobStart(st.boxes);
    std::wstring status;
    EXPECT_FALSE(st.rules.ValidateInput(st.boxes, status));
    EXPECT_EQ(status, L"输入的IMEI长度不正确");
}

TEST(BtAddress, TwelveDigitsEqualWithinOneSecond) {
    const std::time_t t = 1765000000;
    const std::wstring a = MakeBtAddressAt(t);
    EXPECT_EQ(a.size(), 12u);
    EXPECT_EQ(a, MakeBtAddressAt(t));
    EXPECT_EQ(a.find_first_not_of(L"0123456789"), std::wstring::npos);
    std::tm local = *std::localtime(&t);
    wchar_t szTail[16];
    swprintf(szTail, 16, L"%02d%02d%02d%02d", local.tm_mday, local.tm_hour, local.tm_min,
             local.tm_sec);
    EXPECT_EQ(a.substr(4), szTail);
    EXPECT_NE(a, MakeBtAddressAt(t + 1));
}

TEST(BtAddress, AnAddressAlreadyUsedIsNeverPreparedAgain) {
    Station st;
    st.settings.btOn = st.settings.btAuto = 1;
    std::set<std::wstring> used;
    st.rules.SetBtAddressUsed([&](const std::wstring& a) { return used.count(a) != 0; });
    // Many handsets within the same second still get distinct addresses.
    for (int i = 0; i < 50; ++i) {
        st.rules.PrepareNumbers(st.boxes);
        EXPECT_TRUE(used.insert(st.rules.PreparedBtAddr()).second) << i;
        EXPECT_EQ(st.rules.PreparedBtAddr().size(), 12u);
    }
}
