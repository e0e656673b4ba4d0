// The handset-sim program run as a process, driven through the library.
#include <cstdio>

#include "cellbridge_fixture.h"

namespace cellbridge_test {
namespace {

using HandsetSimProcess = CellbridgeTest;

TEST_F(HandsetSimProcess, SerialHandsetsAndTheirCsv) {
    const std::string command = std::string(HANDSET_SIM_PATH) +
                                " --count 2 --power-up-ms 5 --max-run-ms 20000 --csv " +
                                CsvPath().string();
    FILE* pOut = popen(command.c_str(), "r");
    ASSERT_NE(pOut, nullptr);
    char szLine[512] = {};
    ASSERT_NE(fgets(szLine, sizeof(szLine), pOut), nullptr);
    unsigned nPort = 0;
    ASSERT_EQ(sscanf(szLine, "handset-sim: serial handsets on COM%u", &nPort), 1) << szLine;

    const JobOutcome first =
        RunJob(false, nPort, MakeRecord("350000000000006", "", "", "123420141530"));
    const JobOutcome second = RunJob(false, nPort, MakeRecord("350000000000014", "", "", ""));
    EXPECT_EQ(first.stage, "done");
    EXPECT_EQ(second.stage, "done");

    std::vector<std::string> lines;
    while (fgets(szLine, sizeof(szLine), pOut) != nullptr)
        lines.push_back(szLine);
    EXPECT_EQ(pclose(pOut), 0);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("handset 1 COM" + std::to_string(nPort) +
                            ": stored IMEI1=350000000000006 IMEI2=- IMEI3=- BT=123420141530"),
              std::string::npos)
        << lines[0];
    EXPECT_EQ(lines[2], "handset-sim: 2 handsets finished\n");
    const auto rows = CsvRows(CsvPath());
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1][1], "350000000000014");
}

}  // namespace
}  // namespace cellbridge_test
