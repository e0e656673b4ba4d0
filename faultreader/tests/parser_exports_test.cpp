// The parser object through the library's creation function, with the
// settings file beside the executable, as a host uses it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

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

// The files of a directory, by name, with their contents.
std::map<std::string, std::string> Files(const std::string& strDir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(strDir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        files[entry.path().filename().string()] =
            std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return files;
}

// A re-export that does not fit on the disk fails, names the table, and
// leaves every file of the earlier export whole. The disk is a small tmpfs
// in a private mount namespace.
TEST(ToolExport, AFullDiskFailsTheExportAndKeepsTheEarlierFiles) {
    if (std::system("unshare -rm sh -c 'mount -t tmpfs -o size=64k none /mnt' 2>/dev/null") != 0)
        GTEST_SKIP() << "no private mount namespace for a small tmpfs here";
    TempDir dir;
    const std::string db = dir.Path("errors.db");
    std::filesystem::copy_file(FAULTREADER_SAMPLE_DB, db);
    std::filesystem::create_directory(dir.Path("disk"));
    std::filesystem::create_directory(dir.Path("seen"));
    const std::string tool =
        std::string(FAULTREADER_TOOL) + " --db '" + db + "' export '" + dir.Path("disk/out") + "'";
    // The earlier export fits; one table then grows beyond the disk.
    const std::string script =
        "mount -t tmpfs -o size=256k none '" + dir.Path("disk") + "' || exit 90\n" + tool +
        " >/dev/null 2>&1 || exit 91\n"
        "cp -r '" +
        dir.Path("disk/out") + "' '" + dir.Path("seen/before") + "' || exit 92\n" +
        "sqlite3 -batch '" + db +
        "' \"INSERT INTO 错误代码索引表5 VALUES (999, hex(zeroblob(300000)))\" || exit 93\n" +
        tool + " 2>'" + dir.Path("seen/stderr") + "'\necho $? >'" + dir.Path("seen/rc") +
        "'\ncp -r '" + dir.Path("disk/out") + "' '" + dir.Path("seen/after") + "'\n";
    dir.Write("script.sh", script);
    ASSERT_EQ(0, std::system(("unshare -rm sh '" + dir.Path("script.sh") + "'").c_str()));
    EXPECT_NE("0\n", dir.Read("seen/rc"));
    const std::string err = dir.Read("seen/stderr");
    EXPECT_NE(std::string::npos, err.find("table 错误代码索引表5 not exported")) << err;
    EXPECT_NE(std::string::npos, err.find("the disk is full")) << err;
    // Nothing half-written, no temporary file left, every earlier file intact.
    const auto before = Files(dir.Path("seen/before"));
    EXPECT_EQ(13u, before.size());
    EXPECT_EQ(before, Files(dir.Path("seen/after")));
}

TEST(ToolExport, AFileInPlaceOfTheDirectoryFailsTheExport) {
    TempDir dir;
    const std::string db = dir.Path("errors.db");
    std::filesystem::copy_file(FAULTREADER_SAMPLE_DB, db);
    dir.Write("out", "not a directory");
    const std::string cmd = std::string(FAULTREADER_TOOL) + " --db '" + db + "' export '" +
                            dir.Path("out") + "' 2>/dev/null";
    EXPECT_NE(0, std::system(cmd.c_str()));
    EXPECT_EQ("not a directory", dir.Read("out"));
}

}  // namespace
