// The parser object through the library's creation function, with the
// settings file beside the executable, as a host uses it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "faultreader/faultreader.h"
#include "temp_dir.h"

namespace {

class ParserExportsTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_exeDir = std::filesystem::read_symlink("/proc/self/exe").parent_path();
        std::filesystem::copy_file(FAULTREADER_SAMPLE_DB, m_exeDir / "ErrorCodeTest.db",
                                   std::filesystem::copy_options::overwrite_existing);
        std::ofstream(m_exeDir / "ErrorCode.ini")
            << "[Database]\r\nName=ErrorCodeTest.db\r\nPassword=\r\n";
    }
    void TearDown() override {
        std::filesystem::remove(m_exeDir / "ErrorCode.ini");
        std::filesystem::remove(m_exeDir / "ErrorCodeTest.db");
    }
    std::filesystem::path m_exeDir;
};

TEST_F(ParserExportsTest, CreateConnectExplainRelease) {
    EXPECT_EQ(0, DllCreateFaultreaderObject(nullptr));
    IFaultreader* pReader = nullptr;
    ASSERT_NE(0, DllCreateFaultreaderObject(&pReader));
    ASSERT_NE(nullptr, pReader);
    const DWORD dwWord = Spec_SetErrorCode(static_cast<E_MODULE_TYPE>(5), 3, 7, TRUE);
    std::string strErrors = "old";
    // Nothing is found before the database is connected.
    EXPECT_FALSE(pReader->GetErrorInfo(&dwWord, 1, strErrors));
    EXPECT_EQ("old", strErrors);
    ASSERT_TRUE(pReader->ConnectDatabase());
    ASSERT_TRUE(pReader->GetErrorInfo(&dwWord, 1, strErrors));
    // "NV写入模块--写入IMEI--写入超时，手机无应答" in GBK.
    EXPECT_EQ(0, strErrors.rfind("NV\xD0\xB4\xC8\xEB", 0));
    std::string strSolutions;
    EXPECT_TRUE(pReader->GetSolutionInfo(&dwWord, 1, strSolutions));
    const std::vector<std::string>* pTables = nullptr;
    ASSERT_TRUE(pReader->GetTableList(&pTables));
    EXPECT_EQ(13u, pTables->size());
    pReader->Release();
    Spec_ClearErrorCode(ERR_TYPE_SYSTEM);
}

TEST_F(ParserExportsTest, TheSettingsPasswordMustMatchWithUnderscoresAsDashes) {
    std::filesystem::remove(m_exeDir / "ErrorCodeTest.db");
    const std::string cmd = std::string(FAULTREADER_TOOL) + " --db '" +
                            (m_exeDir / "ErrorCodeTest.db").string() + "' --password pw-1 create 5";
    ASSERT_EQ(0, std::system(cmd.c_str()));
    const std::pair<const char*, bool> cases[] = {
        {"pw_1", true}, {"pw-1", true}, {"", false}, {"pw1", false}};
    for (const auto& [lpszPassword, bOpens] : cases) {
        std::ofstream(m_exeDir / "ErrorCode.ini")
            << "[Database]\r\nName=ErrorCodeTest.db\r\nPassword=" << lpszPassword << "\r\n";
        IFaultreader* pReader = nullptr;
        ASSERT_NE(0, DllCreateFaultreaderObject(&pReader));
        EXPECT_EQ(bOpens ? TRUE : FALSE, pReader->ConnectDatabase()) << lpszPassword;
        pReader->Release();
    }
    // The tool refuses a password no host could give, and makes no file.
    const std::string db = (m_exeDir / "ErrorCodeLocked.db").string();
    for (const char* lpszPassword : {"a;b", " x ", "\"q\"", "pw_1"}) {
        const std::string refused = std::string(FAULTREADER_TOOL) + " --db '" + db +
                                    "' --password '" + lpszPassword + "' create 5 2>/dev/null";
        EXPECT_NE(0, std::system(refused.c_str())) << lpszPassword;
        EXPECT_FALSE(std::filesystem::remove(db)) << lpszPassword;
    }
    std::ofstream(m_exeDir / "ErrorCode.ini") << "[Database]\r\nName=missing.db\r\n";
    IFaultreader* pReader = nullptr;
    ASSERT_NE(0, DllCreateFaultreaderObject(&pReader));
    EXPECT_FALSE(pReader->ConnectDatabase());
    pReader->Release();
}

// The tool adds a module's missing tables for an import, and takes them
// away again when the import fails, as it says.
TEST(ToolImport, AFailedImportLeavesNoNewTablesBehind) {
    TempDir dir;
    const std::string db = dir.Path("errors.db");
    std::filesystem::copy_file(FAULTREADER_SAMPLE_DB, db);
    std::filesystem::create_directory(dir.Path("imp"));
    const auto run = [&](const std::string& name, const std::string& bytes) {
        dir.Write("imp/" + name, bytes);
        const std::string cmd = std::string(FAULTREADER_TOOL) + " --db '" + db + "' import '" +
                                dir.Path("imp/" + name) + "' >/dev/null 2>&1";
        return std::system(cmd.c_str());
    };
    const auto tables9 = [&] {
        const std::string cmd = "sqlite3 -batch '" + db +
                                "' \"SELECT count(*) FROM sqlite_schema WHERE name LIKE '%9'\"";
        std::string out;
        if (FILE* pipe = popen(cmd.c_str(), "r")) {
            char buf[64];
            while (fgets(buf, sizeof buf, pipe) != nullptr)
                out += buf;
            pclose(pipe);
        }
        return out;
    };
    // A duplicate key in a table of unique keys.
    EXPECT_NE(0, run("解决方法索引表9.csv", "5,a\r\n5,b\r\n"));
    EXPECT_EQ("0\n", tables9());
    EXPECT_EQ(0, run("解决方法索引表9.csv", "5,a\r\n6,b\r\n"));
    EXPECT_EQ("4\n", tables9());
    // Tables that were there stay when a later import fails.
    EXPECT_NE(0, run("接口索引表9.csv", "1,a\r\n1,b\r\n"));
    EXPECT_EQ("4\n", tables9());
}

}  // namespace
