// The parser object's walks over error words, on a real database file.
#include <gtest/gtest.h>

#include "database_file.h"
#include "faultreader_object.h"
#include "test_support.h"

using faultreader::CFaultreader;
using frtest::G;

namespace {

DWORD Word(DWORD m, DWORD i, DWORD e, bool bContinue) {
    return (m << 26) | (i << 11) | (bContinue ? 1u << 10 : 0u) | e;
}

class ParserObjectTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_path = m_dir.Path("errors.db");
        ASSERT_TRUE(faultreader::CreateErrorDatabase(G(m_path), {2, 3}, "pw-1"));
        ASSERT_TRUE(
            frtest::Exec(m_path,
                         "INSERT INTO 模块索引表 VALUES (3, '射频\n'), (2, '基带');"
                         "INSERT INTO 接口索引表3 VALUES (5, '校准\n');"
                         "INSERT INTO 错误代码索引表3 VALUES (12, '超时\n\n'), (13, '断开');"
                         "INSERT INTO 接口索引表2 VALUES (1, '握手');"
                         "INSERT INTO 错误代码索引表2 VALUES (4, '无应答');"
                         "INSERT INTO 解决方法清单3 VALUES (12, '1;2');"
                         "INSERT INTO 解决方法索引表3 VALUES (1, '重连'), (2, '换线\n');"
                         "INSERT INTO 解决方法清单2 VALUES (4, '1');"
                         "INSERT INTO 解决方法索引表2 VALUES (1, '重启');"));
        m_pReader = new CFaultreader(G(m_path), "pw-1");
        ASSERT_TRUE(m_pReader->ConnectDatabase());
    }
    void TearDown() override {
        if (m_pReader != nullptr)
            m_pReader->Release();
    }
    std::string Errors(std::vector<DWORD> words) {
        std::string out = "old";
        m_pReader->GetErrorInfo(words.data(), static_cast<UINT>(words.size()), out);
        return out;
    }
    std::string Solutions(std::vector<DWORD> words) {
        std::string out = "old";
        m_pReader->GetSolutionInfo(words.data(), static_cast<UINT>(words.size()), out);
        return out;
    }

    frtest::TempDir m_dir;
    std::string m_path;
    IFaultreader* m_pReader = nullptr;
};

const std::string kLine3 = "射频--校准--超时";
const std::string kLine2 = "基带--握手--无应答";

TEST_F(ParserObjectTest, WrongArgumentsAreRefusedWithoutALookup) {
    DWORD words[3] = {Word(3, 5, 12, false), 0, 0};
    std::string out = "old";
    EXPECT_FALSE(m_pReader->GetErrorInfo(words, 3, out));
    EXPECT_FALSE(m_pReader->GetErrorInfo(words, 0, out));
    EXPECT_FALSE(m_pReader->GetErrorInfo(nullptr, 1, out));
    EXPECT_FALSE(m_pReader->GetSolutionInfo(words, 3, out));
    EXPECT_FALSE(m_pReader->GetSolutionInfo(nullptr, 1, out));
    EXPECT_FALSE(m_pReader->ShowTroubleshooting(nullptr, 1));
    EXPECT_FALSE(m_pReader->ShowTroubleshooting(words, 0));
    EXPECT_EQ("old", out);
}

TEST_F(ParserObjectTest, OneWordGivesOneTrimmedLine) {
    EXPECT_EQ(G(kLine3), Errors({Word(3, 5, 12, false)}));
    EXPECT_EQ(G(kLine3), Errors({Word(3, 5, 12, true)}));  // the last word ends the walk
}

TEST_F(ParserObjectTest, TheContinuationFlagLeadsToTheNextWord) {
    EXPECT_EQ(G(kLine3 + ";\n" + kLine2), Errors({Word(3, 5, 12, true), Word(2, 1, 4, false)}));
    EXPECT_EQ(G(kLine3), Errors({Word(3, 5, 12, false), Word(2, 1, 4, false)}));
    // A second word of 0 still leaves the separator.
    EXPECT_EQ(G(kLine3 + ";\n"), Errors({Word(3, 5, 12, true), 0}));
    EXPECT_EQ(G(kLine2), Errors({0, Word(2, 1, 4, false)}));
}

TEST_F(ParserObjectTest, ErrorNumberZeroEndsOrPassesByTheFlag) {
    EXPECT_EQ("old", Errors({Word(3, 5, 0, false), Word(2, 1, 4, false)}));
    EXPECT_EQ(G(kLine2), Errors({Word(3, 5, 0, true), Word(2, 1, 4, false)}));
}

TEST_F(ParserObjectTest, MissingPartsBecomeBlanksAndUnknownModulesAreSkipped) {
    EXPECT_EQ(G("射频-- --断开"), Errors({Word(3, 9, 13, false)}));
    EXPECT_EQ(G("射频--校准-- "), Errors({Word(3, 5, 99, false)}));
    // Module 7 is unknown: skipped, and the walk goes on although its flag
    // is clear.
    EXPECT_EQ(G(kLine2), Errors({Word(7, 1, 1, false), Word(2, 1, 4, false)}));
    EXPECT_EQ("old", Errors({Word(7, 1, 1, false)}));
}

TEST_F(ParserObjectTest, SolutionsFollowTheSameWalk) {
    EXPECT_EQ(G("射频--重连;\n射频--换线\n"), Solutions({Word(3, 5, 12, false)}));
    EXPECT_EQ(G("射频--重连;\n射频--换线\n基带--重启;\n"),
              Solutions({Word(3, 5, 12, true), Word(2, 1, 4, false)}));
    EXPECT_EQ(G("射频--重连;\n射频--换线\n"),
              Solutions({Word(3, 5, 12, false), Word(2, 1, 4, false)}));
    // A word without solutions is passed over, whatever its flag.
    EXPECT_EQ(G("基带--重启;\n"), Solutions({Word(3, 5, 13, false), Word(2, 1, 4, false)}));
    EXPECT_EQ("old", Solutions({Word(3, 5, 13, false)}));
}

TEST_F(ParserObjectTest, NothingWorksBeforeConnecting) {
    CFaultreader reader(G(m_path), "pw-1");
    const DWORD w = Word(3, 5, 12, false);
    std::string out = "old";
    EXPECT_FALSE(reader.GetErrorInfo(&w, 1, out));
    EXPECT_FALSE(reader.GetSolutionInfo(&w, 1, out));
    EXPECT_FALSE(reader.InsertRecord(G("接口索引表3").c_str(), 1, "x"));
    const std::vector<std::string>* pList = nullptr;
    EXPECT_FALSE(reader.GetTableList(&pList));
    EXPECT_EQ("old", out);
    CFaultreader wrong(G(m_path), "pw_1");
    EXPECT_FALSE(wrong.ConnectDatabase());
}

TEST_F(ParserObjectTest, TableListStaysOwnedByTheObject) {
    const std::vector<std::string>* pList = nullptr;
    ASSERT_TRUE(m_pReader->GetTableList(&pList));
    ASSERT_EQ(9u, pList->size());
    EXPECT_EQ(G("模块索引表"), (*pList)[0]);
    EXPECT_EQ(G("接口索引表2"), (*pList)[1]);
    EXPECT_EQ(G("解决方法索引表3"), (*pList)[8]);
}

TEST_F(ParserObjectTest, InsertRecordGoesToTheDatabase) {
    EXPECT_TRUE(m_pReader->InsertRecord(G("接口索引表3").c_str(), 6, G("测试").c_str()));
    EXPECT_FALSE(m_pReader->InsertRecord(G("接口索引表3").c_str(), 6, "again"));
    EXPECT_EQ(G("射频--测试--超时"), Errors({Word(3, 6, 12, false)}));
}

}  // namespace
