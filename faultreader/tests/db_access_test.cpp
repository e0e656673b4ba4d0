// The access layer on real SQLite files.
#include "db_access.h"

#include <gtest/gtest.h>

#include "test_support.h"

using faultreader::CDbAccess;
using frtest::G;

namespace {

class DbAccessTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_path = m_dir.Path("db.sqlite");
        ASSERT_TRUE(frtest::Exec(m_path,
                                 "CREATE TABLE t (k INTEGER, d DOUBLE, s TEXT, b BOOLEAN, "
                                 "dt DATETIME, f SINGLE, n NUMERIC, sh SMALLINT, big BIGINT, "
                                 "c CURRENCY, bin BLOB);"
                                 "INSERT INTO t VALUES (12, 2.5, '中文', 1, "
                                 "'2009-10-01 08:30:00', 0.1, 100, -3, 5, 1, x'00');"
                                 "INSERT INTO t (k, d, b) VALUES (13, 3.0, 0);"));
        ASSERT_TRUE(m_db.Connect(frtest::ConnectionFor(m_path)));
    }
    std::string Field(const char* lpszField, const char* lpszFormat = "") {
        std::string out = "unchanged";
        m_db.GetFieldText(lpszField, out, lpszFormat);
        return out;
    }

    frtest::TempDir m_dir;
    std::string m_path;
    CDbAccess m_db;
};

TEST_F(DbAccessTest, ConnectNeedsAnExistingDatabaseFile) {
    CDbAccess db;
    EXPECT_FALSE(db.Connect(""));
    EXPECT_FALSE(db.IsConnected());
    EXPECT_FALSE(db.Connect(frtest::ConnectionFor(m_dir.Path("missing.db"))));
    EXPECT_FALSE(std::filesystem::exists(m_dir.Path("missing.db")));
    m_dir.Write("text.db", std::string(2000, 'x'));
    EXPECT_FALSE(db.Connect(frtest::ConnectionFor(m_dir.Path("text.db"))));
    EXPECT_FALSE(db.Connect(frtest::ConnectionFor(m_dir.Dir() + "/")));
    EXPECT_FALSE(db.Connect("Provider=Microsoft.Jet.OLEDB.4.0"));
    EXPECT_TRUE(db.Connect("Data Source = \"" + m_path + "\" ; Persist Security Info=False"));
    EXPECT_TRUE(db.IsConnected());
    // A failed reconnect leaves the object disconnected.
    EXPECT_FALSE(db.Connect(frtest::ConnectionFor(m_dir.Path("missing.db"))));
    EXPECT_FALSE(db.IsConnected());
    db.Disconnect();
}

TEST_F(DbAccessTest, NonAsciiPathsAreNamedInUtf8OnDisk) {
    const std::string path = m_dir.Path("错误代码.db");
    ASSERT_TRUE(frtest::Exec(path, "CREATE TABLE x (a INTEGER)"));
    CDbAccess db;
    EXPECT_TRUE(db.Connect(frtest::ConnectionFor(path)));
}

TEST_F(DbAccessTest, PasswordIsCheckedAndNeverStoredInClear) {
    ASSERT_TRUE(m_db.SetPassword("s3cret-pw"));
    m_db.Disconnect();
    CDbAccess db;
    EXPECT_FALSE(db.Connect(frtest::ConnectionFor(m_path)));
    EXPECT_FALSE(db.Connect(frtest::ConnectionFor(m_path, "s3cret_pw")));
    EXPECT_TRUE(db.Connect(frtest::ConnectionFor(m_path, "s3cret-pw")));
    // The file holds a salted hash, not the password.
    std::ifstream in(m_path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(std::string::npos, bytes.find("s3cret"));
    EXPECT_NE(std::string::npos,
              frtest::Shell(m_path, "SELECT hash FROM frsys_password").find("$6$"));
    // The password table is a system table, not listed among the user tables.
    const std::vector<std::string>* pList = nullptr;
    ASSERT_TRUE(db.ListTables(&pList));
    EXPECT_EQ(std::vector<std::string>{"t"}, *pList);
    // Removing the password opens the database to an empty one again.
    ASSERT_TRUE(db.SetPassword(""));
    db.Disconnect();
    EXPECT_TRUE(db.Connect(frtest::ConnectionFor(m_path)));
}

TEST_F(DbAccessTest, APasswordNoHostCouldGiveIsRefusedAndChangesNothing) {
    // Each would be stored as one text and read back from the connection
    // string (or from ErrorCode.ini) as another.
    for (const char* lpszPassword : {"a;b", " x", "x ", "\tx", "\"q\"", "'q", "pw_1"}) {
        EXPECT_FALSE(m_db.SetPassword(lpszPassword)) << lpszPassword;
        CDbAccess db;
        EXPECT_TRUE(db.Connect(frtest::ConnectionFor(m_path))) << lpszPassword;
    }
    EXPECT_EQ("", frtest::Shell(m_path, "SELECT name FROM sqlite_schema WHERE name LIKE 'frsys%'"));
    // Inner blanks, quotes and other signs travel unchanged.
    ASSERT_TRUE(m_db.SetPassword("a b'c\"d=e-f"));
    EXPECT_FALSE(m_db.SetPassword("a;b"));
    m_db.Disconnect();
    CDbAccess db;
    EXPECT_FALSE(db.Connect(frtest::ConnectionFor(m_path)));
    EXPECT_TRUE(db.Connect(frtest::ConnectionFor(m_path, "a b'c\"d=e-f")));
}

TEST_F(DbAccessTest, QueriesNeedAConnectionAndAtEndHoldsWithoutOne) {
    CDbAccess db;
    EXPECT_FALSE(db.OpenQuery("SELECT * FROM t"));
    EXPECT_FALSE(db.IsQueryOpen());
    EXPECT_TRUE(db.AtEnd());
    db.NextRecord();
    std::string out = "kept";
    EXPECT_FALSE(db.GetFieldText("k", out, ""));
    EXPECT_EQ("kept", out);
    EXPECT_FALSE(db.ExecuteSql("DELETE FROM t"));
    EXPECT_FALSE(m_db.OpenQuery(""));
    EXPECT_FALSE(m_db.OpenQuery("SELECT * FROM nowhere"));
    EXPECT_TRUE(m_db.AtEnd());
}

TEST_F(DbAccessTest, RecordWalkVisitsEveryRowOnce) {
    ASSERT_TRUE(m_db.OpenQuery("SELECT *  FROM t WHERE k = 12"));
    EXPECT_TRUE(m_db.IsQueryOpen());
    EXPECT_FALSE(m_db.AtEnd());
    EXPECT_EQ("12", Field("k"));
    m_db.NextRecord();
    EXPECT_TRUE(m_db.AtEnd());
    EXPECT_EQ("unchanged", Field("k"));
    m_db.CloseQuery();
    EXPECT_FALSE(m_db.IsQueryOpen());

    ASSERT_TRUE(m_db.OpenQuery("SELECT * FROM t WHERE k = 99"));
    EXPECT_TRUE(m_db.AtEnd());
    EXPECT_EQ("unchanged", Field("k"));
}

TEST_F(DbAccessTest, FieldsBecomeTextByDeclaredType) {
    ASSERT_TRUE(m_db.OpenQuery("SELECT * FROM t ORDER BY k"));
    EXPECT_EQ("12", Field("k"));
    EXPECT_EQ("12", Field("K"));  // field names are matched without case
    EXPECT_EQ("2.5", Field("d"));
    EXPECT_EQ(G("中文"), Field("s"));
    EXPECT_EQ("TRUE", Field("b"));
    EXPECT_EQ("2009-10-01 08:30:00", Field("dt"));
    EXPECT_EQ("01.10.2009", Field("dt", "%d.%m.%Y"));
    EXPECT_EQ("0.1000000015", Field("f"));  // a single widened to double, 10 digits
    EXPECT_EQ("100.", Field("n"));
    EXPECT_EQ("-3", Field("sh"));
    EXPECT_EQ("unchanged", Field("big"));  // 64-bit integers are not turned into text
    EXPECT_EQ("unchanged", Field("c"));
    EXPECT_EQ("unchanged", Field("bin"));
    EXPECT_EQ("unchanged", Field("nosuchfield"));
    m_db.NextRecord();
    EXPECT_EQ("3.", Field("d"));
    EXPECT_EQ("FALSE", Field("b"));
    EXPECT_EQ("unchanged", Field("s"));  // NULL
    EXPECT_EQ("unchanged", Field("dt"));
}

TEST_F(DbAccessTest, ExpressionColumnsGoByTheirValue) {
    ASSERT_TRUE(
        m_db.OpenQuery("SELECT 7 AS i, 0.25 AS r, 'x' AS s, NULL AS z, "
                       "julianday('2000-01-01 12:00:00') AS j"));
    EXPECT_EQ("7", Field("i"));
    EXPECT_EQ("0.25", Field("r"));
    EXPECT_EQ("x", Field("s"));
    EXPECT_EQ("unchanged", Field("z"));
    EXPECT_EQ("2451545.", Field("j"));
}

TEST_F(DbAccessTest, ExecuteSqlRunsOneStatementThatReturnsNoRecords) {
    EXPECT_TRUE(m_db.ExecuteSql("INSERT INTO t (k) VALUES (20)"));
    EXPECT_FALSE(m_db.ExecuteSql("INSERT INTO nowhere (k) VALUES (1)"));
    EXPECT_FALSE(m_db.ExecuteSql("INSERT INTO t (nocolumn) VALUES (1)"));
    EXPECT_FALSE(m_db.ExecuteSql("INSERT INTO t (s) VALUES ('it's')"));
    EXPECT_FALSE(m_db.ExecuteSql("SELECT * FROM t"));
    EXPECT_FALSE(m_db.ExecuteSql(""));
    // A second statement is never run.
    EXPECT_FALSE(m_db.ExecuteSql("INSERT INTO t (k) VALUES (21); DROP TABLE t"));
    EXPECT_EQ("3\n", frtest::Shell(m_path, "SELECT count(*) FROM t"));
    // Texts bound as parameters are stored exactly, quotes and all.
    EXPECT_TRUE(m_db.ExecuteSql("INSERT INTO t (k, s) VALUES (22, ?)", {G("it's '); DROP")}));
    EXPECT_EQ("it's '); DROP\n", frtest::Shell(m_path, "SELECT s FROM t WHERE k = 22"));
    // The Jet dialect's DELETE with a star.
    EXPECT_TRUE(m_db.ExecuteSql("DELETE * FROM t"));
    EXPECT_EQ("0\n", frtest::Shell(m_path, "SELECT count(*) FROM t"));
}

TEST_F(DbAccessTest, ListTablesGivesUserTablesInSchemaOrder) {
    const std::string long_name(40, 'n');
    ASSERT_TRUE(frtest::Exec(m_path,
                             "CREATE TABLE 模块索引表 (a INTEGER);"
                             "CREATE VIEW v AS SELECT * FROM t;"
                             "CREATE TABLE a_first (a INTEGER);"
                             "CREATE TABLE " +
                                 long_name +
                                 " (a INTEGER);"
                                 "CREATE TABLE 错误代码索引表1234567 (a INTEGER);"
                                 "CREATE INDEX ix ON t(k);"));
    const std::vector<std::string>* pList = nullptr;
    EXPECT_FALSE(m_db.ListTables(nullptr));
    ASSERT_TRUE(m_db.OpenQuery("SELECT * FROM t"));
    ASSERT_TRUE(m_db.ListTables(&pList));
    EXPECT_FALSE(m_db.IsQueryOpen());
    // 错误代码索引表 is 14 bytes in GBK; 29 bytes end inside a digit run.
    const std::vector<std::string> expected = {"t", G("模块索引表"), "a_first",
                                               std::string(29, 'n'), G("错误代码索引表1234567")};
    EXPECT_EQ(expected, *pList);
    // The list is replaced, not appended to, by the next call.
    ASSERT_TRUE(m_db.ListTables(&pList));
    EXPECT_EQ(expected.size(), pList->size());
}

TEST(DbAccessNames, ListedNamesAreCutOnACharacterBoundary) {
    frtest::TempDir dir;
    const std::string path = dir.Path("names.db");
    // 15 two-byte characters: 30 bytes, cut to 14 characters (28 bytes).
    const std::string name = "错错错错错错错错错错错错错错错";
    ASSERT_TRUE(frtest::Exec(path, "CREATE TABLE " + name + " (a INTEGER)"));
    CDbAccess db;
    ASSERT_TRUE(db.Connect(frtest::ConnectionFor(path)));
    const std::vector<std::string>* pList = nullptr;
    ASSERT_TRUE(db.ListTables(&pList));
    ASSERT_EQ(1u, pList->size());
    EXPECT_EQ(G("错错错错错错错错错错错错错错"), (*pList)[0]);
}

}  // namespace

namespace {

// Statements are kept for reuse; a kept one must follow schema changes and
// must not hold the table against a change.
TEST_F(DbAccessTest, ReusedStatementsFollowTheSchema) {
    std::string out;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(m_db.OpenQuery("SELECT * FROM t WHERE k = 12"));
        EXPECT_EQ("12", Field("k"));
        m_db.CloseQuery();
    }
    ASSERT_TRUE(m_db.ExecuteSql("DROP TABLE t"));
    EXPECT_FALSE(m_db.OpenQuery("SELECT * FROM t WHERE k = 12"));
    ASSERT_TRUE(m_db.ExecuteSql("CREATE TABLE t (k TEXT)"));
    ASSERT_TRUE(m_db.ExecuteSql("INSERT INTO t VALUES ('12')"));
    ASSERT_TRUE(m_db.OpenQuery("SELECT * FROM t WHERE k = 12"));
    EXPECT_FALSE(m_db.AtEnd());
    ASSERT_TRUE(m_db.OpenQuery("SELECT * FROM t WHERE k = '12'"));
    EXPECT_EQ("12", Field("k"));
    // Bound texts do not stay with a kept statement.
    ASSERT_TRUE(m_db.ExecuteSql("INSERT INTO t VALUES (?)", {"a"}));
    EXPECT_FALSE(m_db.ExecuteSql("INSERT INTO t VALUES (?)"));
    EXPECT_EQ("12\na\n", frtest::Shell(m_path, "SELECT k FROM t ORDER BY rowid"));
}

}  // namespace
