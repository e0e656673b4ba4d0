// Lines, dumps, options, cuts, console echo, concurrency and the no-heap rule
// of the log's writes.
#include <cstring>
#include <sstream>
#include <thread>
#include <vector>

#include "alloc_counter.h"
#include "log_test_support.h"
#include "platform/windows.h"

namespace vxlog_test {
namespace {

class LogWrites : public LogTest {
protected:
    void SetUp() override {
        LogTest::SetUp();
        ASSERT_TRUE(OpenNamed(L"w", LOG_TEXT));
    }
    std::string Closed() {
        log_->Close();
        return Text("w.log");
    }
};

TEST_F(LogWrites, LinesCarryTimestampAndLineEnd) {
    EXPECT_TRUE(log_->WriteLineA("plain"));
    EXPECT_TRUE(log_->WriteFormatA("%d bytes from %s", 10, "COM3"));
    EXPECT_TRUE(log_->WriteFormatW(L"Call %s() fail, [ErrorCode:0x%08X].", L"CreateFile", 2u));
    // The ANSI code page is GBK: U+4E2D is D6 D0.
    EXPECT_TRUE(log_->WriteLineW(L"\u4e2d OK"));
    std::string text = Closed();
    EXPECT_TRUE(std::regex_match(text.substr(0, 27),
                                 std::regex(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}:\d{4}\] )")));
    EXPECT_EQ(MaskTimestamps(text),
              "[TS] plain\r\n"
              "[TS] 10 bytes from COM3\r\n"
              "[TS] Call CreateFile() fail, [ErrorCode:0x00000002].\r\n"
              "[TS] \xD6\xD0 OK\r\n");
}

TEST_F(LogWrites, TimestampOffLeavesTheBareText) {
    ASSERT_TRUE(log_->SetOption(LOG_OPT_TIMESTAMP, 0, FALSE));
    EXPECT_TRUE(log_->WriteLineA(""));
    EXPECT_TRUE(log_->WriteLineA("bare"));
    EXPECT_EQ(Closed(), "\r\nbare\r\n");
}

TEST_F(LogWrites, OverlongTextIsCutAtTheBufferWidths) {
    ASSERT_TRUE(log_->SetOption(LOG_OPT_TIMESTAMP, 0, FALSE));
    std::string huge(9000, 'a');
    EXPECT_TRUE(log_->WriteLineA(huge.c_str()));  // 8221 bytes, no line end
    EXPECT_TRUE(log_->WriteLineA("next"));
    std::wstring wide(9000, L'\u4e2d');  // two bytes each: cut at 8190, never half a character
    EXPECT_TRUE(log_->WriteLineW(wide.c_str()));
    EXPECT_TRUE(log_->WriteFormatA("%s", huge.c_str()));  // 8191 bytes of text
    std::string text = Closed();
    std::string expected = std::string(8221, 'a') + "next\r\n";
    for (int i = 0; i < 4095; ++i)
        expected += "\xD6\xD0";
    expected += "\r\n" + std::string(8191, 'a') + "\r\n";
    EXPECT_EQ(text.size(), expected.size());
    EXPECT_TRUE(text == expected);
}

// Release builds refuse null pointers; debug builds assert (below).
#ifdef NDEBUG
TEST_F(LogWrites, NullPointersWriteNothing) {
    EXPECT_FALSE(log_->WriteLineA(nullptr));
    EXPECT_FALSE(log_->WriteLineW(nullptr));
    EXPECT_FALSE(log_->WriteFormatA(nullptr));
    EXPECT_FALSE(log_->WriteFormatW(nullptr));
    EXPECT_FALSE(log_->WriteDump(nullptr, 4, DUMP_WRITE));
    EXPECT_FALSE(log_->WriteRaw(nullptr, 4));
    EXPECT_EQ(Closed(), "");
}
#else
TEST(LogAssertsDeathTest, NullTextsAssertWithTheirExpressions) {
    CVxLog log;
    EXPECT_DEATH(log.WriteLineA(nullptr), "NULL != lpszString");
    EXPECT_DEATH(log.WriteFormatW(nullptr), "NULL != lpszFmt");
    EXPECT_DEATH(log.WriteDump(nullptr, 1, DUMP_READ), "NULL != lpBuffer");
}
#endif

TEST_F(LogWrites, DumpOfTwentyBytesWithDefaults) {
    BYTE data[20];
    for (int i = 0; i < 20; ++i)
        data[i] = static_cast<BYTE>(0x41 + i);
    EXPECT_TRUE(log_->WriteDump(data, sizeof(data), DUMP_WRITE));
    const std::string indent(27, ' ');
    EXPECT_EQ(MaskTimestamps(Closed()),
              "[TS] --> 20(0x00000014) Bytes\r\n" + indent +
                  "00000000h: 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50 ; "
                  "ABCDEFGHIJKLMNOP\r\n" +
                  indent + "00000010h: 51 52 53 54" + std::string(12 * 3, ' ') + " ; QRST\r\n");
}

TEST_F(LogWrites, DumpLineBreaksAndBlankColumns) {
    ASSERT_TRUE(log_->SetOption(LOG_OPT_TIMESTAMP, 0, FALSE));
    BYTE data[17];
    for (int i = 0; i < 17; ++i)
        data[i] = static_cast<BYTE>(i);
    EXPECT_TRUE(log_->WriteDump(data, 16, DUMP_READ));
    EXPECT_TRUE(log_->WriteDump(data, 17, DUMP_AUTO_READ));
    EXPECT_TRUE(log_->WriteDump(data, 0, 7));
    const std::string full =
        "00000000h: 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F ; ................\r\n";
    EXPECT_EQ(Closed(), "<-- 16(0x00000010) Bytes\r\n" + full + "<<- 17(0x00000011) Bytes\r\n" +
                            full + "00000010h: 10 " + std::string(15 * 3, ' ') + "; .\r\n" +
                            "--- 0(0x00000000) Bytes\r\n");
}

TEST_F(LogWrites, CharacterColumnShowsPrintableBytesOnly) {
    ASSERT_TRUE(log_->SetOption(LOG_OPT_TIMESTAMP, 0, FALSE));
    const BYTE data[] = {0x7F, 0x80, 0x0A, 0x20, 0x7E, 0x1F, 0xFF, 0x30};
    EXPECT_TRUE(log_->WriteDump(data, sizeof(data), DUMP_READ));
    EXPECT_EQ(Closed(),
              "<-- 8(0x00000008) Bytes\r\n"
              "00000000h: 7F 80 0A 20 7E 1F FF 30 " +
                  std::string(8 * 3, ' ') + "; ... ~..0\r\n");
}

TEST_F(LogWrites, DumpColumnsFollowTheOptions) {
    ASSERT_TRUE(log_->SetOption(LOG_OPT_TIMESTAMP, 0, FALSE));
    BYTE data[10];
    for (int i = 0; i < 10; ++i)
        data[i] = static_cast<BYTE>('a' + i);

    ASSERT_TRUE(log_->SetOption(LOG_OPT_BYTES_PER_LINE, 0, 8));
    EXPECT_TRUE(log_->WriteDump(data, 10, DUMP_WRITE));
    ASSERT_TRUE(log_->SetOption(LOG_OPT_ADDRESS, 0, FALSE));
    ASSERT_TRUE(log_->SetOption(LOG_OPT_ASCII, 0, FALSE));
    ASSERT_TRUE(log_->SetOption(LOG_OPT_BYTES_PER_LINE, 0, 4));
    EXPECT_TRUE(log_->WriteDump(data, 6, DUMP_WRITE));
    EXPECT_EQ(Closed(),
              "--> 10(0x0000000a) Bytes\r\n"
              "00000000h: 61 62 63 64 65 66 67 68 ; abcdefgh\r\n"
              "00000008h: 69 6A " +
                  std::string(6 * 3, ' ') +
                  "; ij\r\n"
                  "--> 6(0x00000006) Bytes\r\n"
                  "61 62 63 64 ;\r\n"
                  "65 66       ;\r\n");
}

TEST_F(LogWrites, OptionsReadBackAndRefuseUnknownIds) {
    DWORD dw = 99;
    for (DWORD count : {0u, 17u, 1000u}) {
        ASSERT_TRUE(log_->SetOption(LOG_OPT_BYTES_PER_LINE, 0, count));
        ASSERT_TRUE(log_->GetOption(LOG_OPT_BYTES_PER_LINE, 0, &dw));
        EXPECT_EQ(dw, 16u) << count;
    }
    ASSERT_TRUE(log_->SetOption(LOG_OPT_BYTES_PER_LINE, 0, 1));
    ASSERT_TRUE(log_->GetOption(LOG_OPT_BYTES_PER_LINE, 0, &dw));
    EXPECT_EQ(dw, 1u);
    for (DWORD id : {LOG_OPT_TIMESTAMP, LOG_OPT_ADDRESS, LOG_OPT_ASCII}) {
        ASSERT_TRUE(log_->GetOption(id, 0, &dw));
        EXPECT_EQ(dw, 1u) << id;
        ASSERT_TRUE(log_->SetOption(id, 0, 0));
        ASSERT_TRUE(log_->GetOption(id, 0, &dw));
        EXPECT_EQ(dw, 0u) << id;
        ASSERT_TRUE(log_->SetOption(id, 0, 42));  // any non-zero value is on
        ASSERT_TRUE(log_->GetOption(id, 0, &dw));
        EXPECT_EQ(dw, 1u) << id;
    }
    ASSERT_TRUE(log_->GetOption(LOG_OPT_CONSOLE, 0, &dw));
    EXPECT_EQ(dw, 0u);
    EXPECT_FALSE(log_->SetOption(LOG_OPT_CONSOLE, 0, 3));
    EXPECT_FALSE(log_->SetOption(7, 0, 0));
    EXPECT_FALSE(log_->GetOption(7, 0, &dw));
    EXPECT_FALSE(log_->GetOption(LOG_OPT_TIMESTAMP, 0, nullptr));
    EXPECT_FALSE(log_->GetOption(LOG_OPT_NAME, 0, nullptr));
}

TEST_F(LogWrites, FailedWriteEndsTheDumpAndKeepsEarlierLines) {
    ASSERT_TRUE(log_->SetOption(LOG_OPT_TIMESTAMP, 0, FALSE));
    BYTE data[40] = {};
    // Header and first dump line go through, the second line fails.
    platform::InjectFault("WriteFile", ERROR_DISK_FULL, 2, 1);
    EXPECT_FALSE(log_->WriteDump(data, sizeof(data), DUMP_WRITE));
    platform::InjectFault("WriteFile", ERROR_DISK_FULL, 0, 1);
    EXPECT_FALSE(log_->WriteDump(data, sizeof(data), DUMP_WRITE));  // header fails
    platform::InjectFault("WriteFile", ERROR_DISK_FULL, 0, 1);
    EXPECT_FALSE(log_->WriteLineA("x"));
    EXPECT_TRUE(log_->WriteLineA("y"));
    EXPECT_EQ(Closed(),
              "--> 40(0x00000028) Bytes\r\n"
              "00000000h: 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 ; ................\r\n"
              "y\r\n");
}

TEST_F(LogWrites, WritesAllocateNoHeapMemory) {
    ASSERT_TRUE(log_->Open(L"w", LOG_TEXT | LOG_BINARY));
    BYTE data[100] = {};
    // The first conversion of a thread may set up its converter.
    ASSERT_TRUE(log_->WriteLineW(L"warm-up"));
    ASSERT_TRUE(log_->WriteFormatW(L"%s %d", L"warm-up", 1));
    ArmAllocCounter(true);
    BOOL ok = log_->WriteLineA("line") && log_->WriteLineW(L"wide \u4e2d") &&
              log_->WriteFormatA("%s %d", "fmt", 1) &&
              log_->WriteFormatW(L"%s %d", L"wide fmt", 2) &&
              log_->WriteDump(data, sizeof(data), DUMP_READ) && log_->WriteRaw(data, 10);
    int nAllocs = AllocCount();
    ArmAllocCounter(false);
    EXPECT_TRUE(ok);
    EXPECT_EQ(nAllocs, 0);
}

TEST_F(LogWrites, ConsoleEchoesWhatReachesTheFile) {
    DWORD dw = 0;
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(log_->SetOption(LOG_OPT_CONSOLE, 0, LOG_CONSOLE_HIDE));
    ASSERT_TRUE(log_->GetOption(LOG_OPT_CONSOLE, 0, &dw));
    EXPECT_EQ(dw, 1u);
    ASSERT_TRUE(log_->SetOption(LOG_OPT_TIMESTAMP, 0, FALSE));
    EXPECT_TRUE(log_->WriteLineA("echoed"));
    // Close releases the console but keeps the mode: the next Open echoes again.
    log_->Close();
    ASSERT_TRUE(log_->GetOption(LOG_OPT_CONSOLE, 0, &dw));
    EXPECT_EQ(dw, 1u);
    EXPECT_FALSE(log_->WriteLineA("closed"));
    ASSERT_TRUE(OpenNamed(L"w", LOG_TEXT | LOG_APPEND));
    EXPECT_TRUE(log_->WriteLineA("again"));
    ASSERT_TRUE(log_->SetOption(LOG_OPT_CONSOLE, 0, LOG_CONSOLE_OFF));
    EXPECT_TRUE(log_->WriteLineA("quiet"));
    std::string echoed = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(echoed, "echoed\r\nagain\r\n");
    EXPECT_EQ(Closed(), "echoed\r\nagain\r\nquiet\r\n");
}

TEST_F(LogWrites, ConcurrentWritersNeverMixInsideALineOrDump) {
    constexpr int kLines = 2000;
    auto writer = [this](char tag) {
        BYTE dump[40];
        memset(dump, tag, sizeof(dump));
        for (int i = 0; i < kLines; ++i) {
            std::string payload(static_cast<size_t>(1 + i % 200), tag);
            log_->WriteFormatA("%c %d %s", tag, i, payload.c_str());
            if (i % 50 == 0)
                log_->WriteDump(dump, sizeof(dump), DUMP_WRITE);
        }
    };
    std::thread a(writer, 'A');
    std::thread b(writer, 'B');
    a.join();
    b.join();

    std::istringstream in(MaskTimestamps(Closed()));
    const std::regex kText(R"(\[TS\] ([AB]) (\d+) ([AB]+)\r)");
    const std::regex kHeader(R"(\[TS\] --> 40\(0x00000028\) Bytes\r)");
    const std::regex kDump(R"( {27}000000[0-2]0h: (4[12] ){8,16}( {3})*; ([AB]+)\r)");
    int next[2] = {0, 0};
    int dumps = 0;
    std::string line;
    std::smatch m;
    while (std::getline(in, line)) {
        if (std::regex_match(line, m, kText)) {
            int who = m[1] == "A" ? 0 : 1;
            EXPECT_EQ(std::stoi(m[2]), next[who]);
            next[who] = std::stoi(m[2]) + 1;
            EXPECT_EQ(m[3].str(),
                      std::string(static_cast<size_t>(1 + (next[who] - 1) % 200), m[1].str()[0]));
            continue;
        }
        ASSERT_TRUE(std::regex_match(line, kHeader)) << line;
        // The three dump lines follow their header directly, all of one writer.
        std::string rows[3];
        for (std::string& row : rows) {
            ASSERT_TRUE(std::getline(in, row));
            ASSERT_TRUE(std::regex_match(row, m, kDump)) << row;
            EXPECT_EQ(m[3].str().find_first_not_of(m[3].str()[0]), std::string::npos) << row;
        }
        EXPECT_EQ(rows[0].substr(rows[0].size() - 17, 1), rows[2].substr(rows[2].size() - 9, 1));
        ++dumps;
    }
    EXPECT_EQ(next[0], kLines);
    EXPECT_EQ(next[1], kLines);
    EXPECT_EQ(dumps, 2 * kLines / 50);
}

}  // namespace
}  // namespace vxlog_test
