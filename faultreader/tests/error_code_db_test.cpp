// The error database's lookups, inserts and clears on a real SQLite file,
// and the settings file beside the executable.
#include "error_code_db.h"

#include <gtest/gtest.h>

#include "database_file.h"
#include "error_code_settings.h"
#include "table_kind.h"
#include "test_support.h"

using faultreader::CErrorCodeDb;
using frtest::G;

namespace {

class ErrorCodeDbTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_path = m_dir.Path("errors.db");
        ASSERT_TRUE(faultreader::CreateErrorDatabase(G(m_path), {2, 3, 5}, ""));
        ASSERT_TRUE(frtest::Exec(m_path,
                                 "INSERT INTO 模块索引表 VALUES (3, '射频模块'), (5, '电源\n\n');"
                                 "INSERT INTO 接口索引表3 VALUES (5, '校准接口');"
                                 "INSERT INTO 错误代码索引表3 VALUES (12, '超时');"
                                 "INSERT INTO 解决方法清单3 VALUES (12, '3;5'), (13, '3;;5'), "
                                 "(14, 'x;7'), (15, '8;9');"
                                 "INSERT INTO 解决方法索引表3 VALUES (3, '重新连接'), "
                                 "(5, '更换电缆'), (0, '零号方法');"
                                 "INSERT INTO 解决方法清单5 VALUES (1, '1;2');"
                                 "INSERT INTO 解决方法索引表5 VALUES (1, '检查电池\n'), "
                                 "(2, '重启');"));
        ASSERT_TRUE(m_db.OpenDatabase(G(m_path), ""));
    }
    std::string Count(const std::string& table) {
        return frtest::Shell(m_path, "SELECT count(*) FROM " + table);
    }

    frtest::TempDir m_dir;
    std::string m_path;
    CErrorCodeDb m_db;
};

TEST_F(ErrorCodeDbTest, KeyedLookupsReadTheValueField) {
    std::string out;
    ASSERT_TRUE(m_db.GetModuleName(3, out));
    EXPECT_EQ(G("射频模块"), out);
    ASSERT_TRUE(m_db.GetInterfaceText(3, 5, out));
    EXPECT_EQ(G("校准接口"), out);
    ASSERT_TRUE(m_db.GetErrorText(3, 12, out));
    EXPECT_EQ(G("超时"), out);
    ASSERT_TRUE(m_db.GetSolutionIndexList(3, 12, out));
    EXPECT_EQ("3;5", out);
    ASSERT_TRUE(m_db.GetSolutionText(3, 5, out));
    EXPECT_EQ(G("更换电缆"), out);
    EXPECT_FALSE(m_db.IsQueryOpen());
}

TEST_F(ErrorCodeDbTest, MissingRowsAndTablesLeaveTheTextUnchanged) {
    std::string out = "old";
    EXPECT_FALSE(m_db.GetModuleName(4, out));
    EXPECT_FALSE(m_db.GetInterfaceText(9, 1, out));  // no tables for module 9
    EXPECT_FALSE(m_db.GetErrorText(3, 99, out));
    EXPECT_EQ("old", out);
    CErrorCodeDb unconnected;
    EXPECT_FALSE(unconnected.GetModuleName(3, out));
    EXPECT_EQ("old", out);
}

TEST_F(ErrorCodeDbTest, SolutionsBecomeOneLinePerFoundText) {
    const std::string expected = G("射频模块--重新连接;\n射频模块--更换电缆;\n");
    std::string out;
    ASSERT_TRUE(m_db.GetSolutions(3, 12, out));
    EXPECT_EQ(expected, out);
    ASSERT_TRUE(m_db.GetSolutions(3, 13, out));
    EXPECT_EQ(expected, out);
    // A piece that is not a number looks up solution 0.
    ASSERT_TRUE(m_db.GetSolutions(3, 14, out));
    EXPECT_EQ(G("射频模块--零号方法;\n"), out);
    // Numbers without texts: TRUE with an empty text.
    out = "old";
    ASSERT_TRUE(m_db.GetSolutions(3, 15, out));
    EXPECT_EQ("", out);
    // A module name's trailing newlines are dropped; a solution text that
    // ends in a newline gets no ";\n".
    ASSERT_TRUE(m_db.GetSolutions(5, 1, out));
    EXPECT_EQ(G("电源--检查电池\n电源--重启;\n"), out);
    out = "old";
    EXPECT_FALSE(m_db.GetSolutions(4, 1, out));   // no module
    EXPECT_FALSE(m_db.GetSolutions(3, 99, out));  // no list
    EXPECT_EQ("old", out);
}

TEST_F(ErrorCodeDbTest, LongSolutionListsAreReadWhole) {
    std::string list;
    for (int i = 0; i < 60; ++i)
        list += "77;";
    list += "3";
    ASSERT_TRUE(frtest::Exec(m_path, "INSERT INTO 解决方法清单3 VALUES (16, '" + list + "')"));
    std::string out;
    ASSERT_TRUE(m_db.GetSolutions(3, 16, out));
    EXPECT_EQ(G("射频模块--重新连接;\n"), out);
}

TEST_F(ErrorCodeDbTest, InsertRowChecksExistenceWhereKeysAreUnique) {
    EXPECT_FALSE(m_db.InsertRow(G("接口索引表3").c_str(), 5, "again"));
    EXPECT_EQ("1\n", Count("接口索引表3"));
    EXPECT_TRUE(m_db.InsertRow(G("错误代码索引表3").c_str(), 12, "again"));
    EXPECT_EQ("2\n", Count("错误代码索引表3"));
    EXPECT_TRUE(m_db.InsertRow(G("解决方法清单5").c_str(), 7, "2;4"));
    EXPECT_EQ("2;4\n",
              frtest::Shell(m_path, "SELECT 解决方法索引 FROM 解决方法清单5 WHERE 错误代码 = 7"));
    EXPECT_FALSE(m_db.InsertRow(G("模块索引表").c_str(), 3, "dup"));
    EXPECT_TRUE(m_db.InsertRow(G("模块索引表").c_str(), 2, G("基带").c_str()));
    EXPECT_FALSE(m_db.InsertRow(G("解决方法索引表3").c_str(), 3, "dup"));
    EXPECT_FALSE(m_db.InsertRow(G("其他表").c_str(), 1, "x"));
    EXPECT_FALSE(m_db.InsertRow(nullptr, 1, "x"));
    EXPECT_FALSE(m_db.InsertRow(G("接口索引表2").c_str(), 1, ""));
    EXPECT_FALSE(m_db.InsertRow(G("接口索引表2").c_str(), 1, nullptr));
    // A module without tables: the engine refuses.
    EXPECT_FALSE(m_db.InsertRow(G("接口索引表9").c_str(), 1, "x"));
}

TEST_F(ErrorCodeDbTest, InsertedTextsAreStoredExactlyAndCannotChangeTheStatement) {
    const std::string crafted = "x'); DROP TABLE 模块索引表; --";
    EXPECT_TRUE(m_db.InsertRow(G("接口索引表2").c_str(), 1, G(crafted).c_str()));
    EXPECT_TRUE(m_db.InsertRow(G("接口索引表2").c_str(), 2, G("it's\n").c_str()));
    std::string out;
    ASSERT_TRUE(m_db.GetInterfaceText(2, 1, out));
    EXPECT_EQ(G(crafted), out);
    ASSERT_TRUE(m_db.GetInterfaceText(2, 2, out));
    EXPECT_EQ(G("it's\n"), out);
    EXPECT_EQ("2\n", Count("模块索引表"));
    // The sqlite3 shell reads back the same UTF-8 text.
    EXPECT_EQ(crafted + "\n",
              frtest::Shell(m_path, "SELECT 接口描述 FROM 接口索引表2 WHERE 索引码 = 1"));
}

TEST_F(ErrorCodeDbTest, ClearTableNeedsAKnownTableAndAModuleNumber) {
    EXPECT_FALSE(m_db.ClearTable(G("错误代码索引表").c_str()));
    EXPECT_FALSE(m_db.ClearTable(G("错误代码索引表0").c_str()));
    EXPECT_FALSE(m_db.ClearTable(G("nothing").c_str()));
    EXPECT_FALSE(m_db.ClearTable(nullptr));
    EXPECT_EQ("1\n", Count("错误代码索引表3"));
    EXPECT_TRUE(m_db.ClearTable(G("/data/错误代码索引表3.csv").c_str()));
    EXPECT_EQ("0\n", Count("错误代码索引表3"));
    EXPECT_TRUE(m_db.ClearTable(G("backup of 模块索引表.csv").c_str()));
    EXPECT_EQ("0\n", Count("模块索引表"));
}

TEST(TableKind, TableTextsAreClassifiedByTheFirstBaseNameInOrder) {
    auto ref = faultreader::ClassifyTable(G("/opt/csv/接口索引表12.csv"));
    EXPECT_EQ(faultreader::TableKind::kInterface, ref.eKind);
    EXPECT_EQ(12, ref.nModule);
    ref = faultreader::ClassifyTable(G("模块索引表_错误代码索引表4"));
    EXPECT_EQ(faultreader::TableKind::kErrorCode, ref.eKind);
    EXPECT_EQ(4, ref.nModule);
    ref = faultreader::ClassifyTable(G("解决方法索引表x"));
    EXPECT_EQ(faultreader::TableKind::kSolutionIndex, ref.eKind);
    EXPECT_EQ(0, ref.nModule);
    EXPECT_EQ(faultreader::TableKind::kUnknown, faultreader::ClassifyTable("abc").eKind);
    EXPECT_EQ(2147483647, faultreader::ClassifyTable(G("接口索引表99999999999")).nModule);
}

TEST(ConnectionString, BuiltInTheProvidersOrder) {
    EXPECT_EQ(
        "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=/a/b.mdb;Persist Security "
        "Info=False;Jet OLEDB:Database Password=p-w",
        faultreader::BuildConnectionString("/a/b.mdb", "p-w"));
    EXPECT_EQ("x-_y-", faultreader::ReplaceAll("x_CONDITION__y_CONDITION_", "_CONDITION_", "-"));
}

// ErrorCode.ini lives beside the test executable.
class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_ini = std::filesystem::read_symlink("/proc/self/exe").parent_path() / "ErrorCode.ini";
        m_exeDir = m_ini.parent_path().string();
    }
    void TearDown() override { std::filesystem::remove(m_ini); }
    void WriteIni(const std::string& text) { std::ofstream(m_ini, std::ios::binary) << text; }

    std::filesystem::path m_ini;
    std::string m_exeDir;
};

TEST_F(SettingsTest, NameAndPasswordComeFromTheFileBesideTheExecutable) {
    WriteIni("[Database]\r\nName = errors.db\r\nPassword = a_b_c-d\r\n");
    std::string path, password;
    faultreader::ReadErrorCodeSettings(&path, &password);
    EXPECT_EQ(m_exeDir + "/errors.db", path);
    EXPECT_EQ("a-b-c-d", password);
}

TEST_F(SettingsTest, MissingFileOrKeysReadEmptyAndValuesAreCutAt99Bytes) {
    std::string path = "x", password = "x";
    faultreader::ReadErrorCodeSettings(&path, &password);
    EXPECT_EQ(m_exeDir + "/", path);
    EXPECT_EQ("", password);
    WriteIni("[Database]\nName=" + std::string(150, 'n') + "\n");
    faultreader::ReadErrorCodeSettings(&path, &password);
    EXPECT_EQ(m_exeDir + "/" + std::string(99, 'n'), path);
    // With the name missing the path is the directory and a separator, and
    // opening it fails.
    CErrorCodeDb db;
    EXPECT_FALSE(db.OpenDatabase(m_exeDir + "/", ""));
}

}  // namespace
