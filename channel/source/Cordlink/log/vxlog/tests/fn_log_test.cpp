// Function trace scopes: Enter and Leave lines, names, formats and cuts.
#include "fn_log.h"

#include "log_test_support.h"

namespace vxlog_test {
namespace {

class FnLogTrace : public LogTest {
protected:
    void SetUp() override {
        LogTest::SetUp();
        ASSERT_TRUE(OpenNamed(L"fn", LOG_TEXT));
    }
    std::string Closed() {
        log_->Close();
        return MaskTimestamps(Text("fn.log"));
    }
};

TEST_F(FnLogTrace, ScopesWriteNestedEnterAndLeaveLines) {
    {
        CFnLog outer(log_, "Open");
        {
            CFnLog inner(log_, "Read", "%d bytes", 10);
            log_->WriteLineA("inside");
        }
        CFnLog wide(log_, L"Write\u4e2d", L"%s to COM%d", L"\u4e2d", 3);
    }
    EXPECT_EQ(Closed(),
              "[TS] Enter [Open]\r\n"
              "[TS] Enter [Read] 10 bytes\r\n"
              "[TS] inside\r\n"
              "[TS] Leave [Read]\r\n"
              "[TS] Enter [Write\xD6\xD0] \xD6\xD0 to COM3\r\n"
              "[TS] Leave [Write\xD6\xD0]\r\n"
              "[TS] Leave [Open]\r\n");
}

TEST_F(FnLogTrace, NullLogOrNullNameWritesNothing) {
    {
        CFnLog none(nullptr, "Quiet", "%d", 1);
        CFnLog noneWide(nullptr, L"Quiet");
    }
#ifdef NDEBUG
    {
        CFnLog unnamed(log_, static_cast<LPCSTR>(nullptr));
        CFnLog unnamedWide(log_, static_cast<LPCWSTR>(nullptr), L"%d", 1);
    }
#endif
    EXPECT_EQ(Closed(), "");
}

#ifndef NDEBUG
TEST(FnLogDeathTest, NullNameAsserts) {
    CVxLog log;
    EXPECT_DEATH(CFnLog(&log, static_cast<LPCSTR>(nullptr)), "NULL != lpszFnName");
}
#endif

TEST_F(FnLogTrace, LongNamesAndTextsAreCut) {
    std::string name(300, 'n');
    std::wstring wideName(300, L'w');
    std::string text(2000, 't');
    {
        CFnLog narrow(log_, name.c_str(), "%s", text.c_str());
        CFnLog wide(log_, wideName.c_str());
        // 200 double-byte characters fill 259 bytes only up to a whole one.
        CFnLog cjk(log_, std::wstring(200, L'\u4e2d').c_str());
    }
    std::string cut(259, 'n');
    std::string wideCut(259, 'w');
    std::string cjkCut;
    for (int i = 0; i < 129; ++i)
        cjkCut += "\xD6\xD0";
    EXPECT_EQ(Closed(), "[TS] Enter [" + cut + "] " + std::string(1023, 't') + "\r\n" +
                            "[TS] Enter [" + wideCut + "]\r\n" + "[TS] Enter [" + cjkCut + "]\r\n" +
                            "[TS] Leave [" + cjkCut + "]\r\n" + "[TS] Leave [" + wideCut + "]\r\n" +
                            "[TS] Leave [" + cut + "]\r\n");
}

}  // namespace
}  // namespace vxlog_test
