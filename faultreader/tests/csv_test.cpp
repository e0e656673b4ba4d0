// CSV export and import on real database files and real CSV files.
#include <gtest/gtest.h>

#include <map>

#include "csv_format.h"
#include "database_file.h"
#include "faultreader_object.h"
#include "platform/win_error.h"
#include "platform_testing/fault_injection.h"
#include "test_support.h"

using faultreader::CFaultreader;
using frtest::G;

namespace {

class CsvTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_path = m_dir.Path("errors.db");
        ASSERT_TRUE(faultreader::CreateErrorDatabase(G(m_path), {1, 2}, ""));
        ASSERT_TRUE(m_reader.ConnectDatabase());
        std::filesystem::create_directory(m_dir.Path("out"));
    }
    std::string Rows(const std::string& table, const std::string& key, const std::string& value) {
        return frtest::Shell(m_path,
                             "SELECT " + key + ", " + value + " FROM " + table + " ORDER BY rowid");
    }
    // The files of a directory (GBK names) and their contents.
    std::map<std::string, std::string> Files(const std::string& name) {
        std::map<std::string, std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(m_dir.Path(name)))
            files[G(entry.path().filename().string())] =
                m_dir.Read(name + "/" + entry.path().filename().string());
        return files;
    }
    BOOL Import(const std::string& name, const std::string& bytes) {
        m_dir.Write(name, bytes);
        return m_reader.ImportCsv(G(m_dir.Path(name)).c_str());
    }

    frtest::TempDir m_dir;
    std::string m_path;
    CFaultreader m_reader{G(m_dir.Path("errors.db")), ""};
};

TEST_F(CsvTest, ExportWritesOneFilePerTableWithCrLfLines) {
    ASSERT_TRUE(frtest::Exec(m_path,
                             "DROP TABLE 接口索引表2; DROP TABLE 错误代码索引表2;"
                             "DROP TABLE 解决方法清单2; DROP TABLE 解决方法索引表2;"
                             "INSERT INTO 模块索引表 VALUES (1, '射频');"
                             "INSERT INTO 错误代码索引表1 VALUES (3, 'a\n'), (4, NULL), "
                             "(5, 'b');"
                             "INSERT INTO 解决方法索引表1 VALUES (2, '重启');"));
    ASSERT_TRUE(m_reader.ExportCsv(G(m_dir.Path("out")).c_str()));
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(m_dir.Path("out")))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    const std::vector<std::string> expected = {"接口索引表1.csv", "模块索引表.csv",
                                               "解决方法清单1.csv", "解决方法索引表1.csv",
                                               "错误代码索引表1.csv"};
    EXPECT_EQ(expected, names);
    EXPECT_EQ(G("1,射频\r\n"), m_dir.Read("out/模块索引表.csv"));
    // A value's own newline ends its line; NULL leaves the record out.
    EXPECT_EQ("3,a\r\n5,b\r\n", m_dir.Read("out/错误代码索引表1.csv"));
    EXPECT_EQ(G("2,重启\r\n"), m_dir.Read("out/解决方法索引表1.csv"));
    EXPECT_EQ("", m_dir.Read("out/接口索引表1.csv"));
    // A trailing separator is not doubled.
    ASSERT_TRUE(m_reader.ExportCsv(G(m_dir.Path("out/")).c_str()));
    EXPECT_EQ(G("1,射频\r\n"), m_dir.Read("out/模块索引表.csv"));
}

TEST_F(CsvTest, AnExportThatCantWriteItsFilesFails) {
    ASSERT_TRUE(frtest::Exec(m_path, "INSERT INTO 模块索引表 VALUES (1, 'x')"));
    std::vector<faultreader::ExportFailure> failures;
    EXPECT_FALSE(m_reader.ExportCsv(G(m_dir.Path("missing")).c_str()));
    EXPECT_FALSE(m_reader.Database().ExportAllTables(G(m_dir.Path("missing")).c_str(), &failures));
    // Every table failed, each for the missing directory.
    ASSERT_EQ(9u, failures.size());
    for (const faultreader::ExportFailure& failure : failures) {
        EXPECT_EQ(faultreader::ExportFailure::Step::kWrite, failure.eStep) << failure.strTable;
        EXPECT_EQ(ERROR_PATH_NOT_FOUND, failure.dwError) << failure.strTable;
    }
    EXPECT_EQ(G("模块索引表"), failures[0].strTable);
    // A file where the directory should be is left alone.
    m_dir.Write("plain", "keep");
    EXPECT_FALSE(m_reader.ExportCsv(G(m_dir.Path("plain")).c_str()));
    EXPECT_EQ("keep", m_dir.Read("plain"));
    EXPECT_FALSE(
        m_reader.Database().ExportTable(G("模块索引表").c_str(), G(m_dir.Path("missing")).c_str()));
    EXPECT_FALSE(
        m_reader.Database().ExportTable(G("nosuchtable").c_str(), G(m_dir.Path("out")).c_str()));
    EXPECT_FALSE(std::filesystem::exists(m_dir.Path("out/nosuchtable.csv")));
    EXPECT_FALSE(m_reader.Database().ExportTable(nullptr, "x"));
}

TEST_F(CsvTest, AFailedReExportLeavesEachEarlierFileWhole) {
    ASSERT_TRUE(frtest::Exec(m_path,
                             "INSERT INTO 模块索引表 VALUES (1, 'old module');"
                             "INSERT INTO 错误代码索引表1 VALUES (3, 'old error');"));
    ASSERT_TRUE(m_reader.ExportCsv(G(m_dir.Path("out")).c_str()));
    const auto before = Files("out");
    ASSERT_EQ(9u, before.size());
    ASSERT_TRUE(frtest::Exec(m_path,
                             "UPDATE 模块索引表 SET 模块名 = 'new module';"
                             "UPDATE 错误代码索引表1 SET 错误描述 = 'new error';"));
    // The first file written (the module table's) meets a full disk at each
    // step of its replacement in turn.
    for (const char* lpszCall :
         {"CreateFileW", "WriteFile", "FlushFileBuffers", "CloseHandle", "MoveFileExW"}) {
        platform::InjectFault(lpszCall, ERROR_DISK_FULL, 0, 1);
        std::vector<faultreader::ExportFailure> failures;
        EXPECT_FALSE(m_reader.Database().ExportAllTables(G(m_dir.Path("out")).c_str(), &failures))
            << lpszCall;
        platform::ClearFaults();
        ASSERT_EQ(1u, failures.size()) << lpszCall;
        EXPECT_EQ(G("模块索引表"), failures[0].strTable);
        EXPECT_EQ(ERROR_DISK_FULL, failures[0].dwError) << lpszCall;
        // That file is the earlier one, whole; the others were replaced; no
        // temporary file is left.
        const auto after = Files("out");
        EXPECT_EQ(before.size(), after.size()) << lpszCall;
        EXPECT_EQ(before.at(G("模块索引表.csv")), after.at(G("模块索引表.csv"))) << lpszCall;
        EXPECT_EQ("3,new error\r\n", after.at(G("错误代码索引表1.csv"))) << lpszCall;
    }
    ASSERT_TRUE(m_reader.ExportCsv(G(m_dir.Path("out")).c_str()));
    EXPECT_EQ("1,new module\r\n", m_dir.Read("out/模块索引表.csv"));
}

TEST_F(CsvTest, ATableNamedLikeAPathIsNotExportedOutsideTheDirectory) {
    std::filesystem::create_directory(m_dir.Path("out/sub"));
    ASSERT_TRUE(frtest::Exec(m_path,
                             "CREATE TABLE \"../escaped\" (索引码 INTEGER, 解决方法 TEXT);"
                             "CREATE TABLE \"sub/inner\" (索引码 INTEGER, 解决方法 TEXT);"
                             "CREATE TABLE \"back\\slash\" (索引码 INTEGER, 解决方法 TEXT);"
                             "CREATE TABLE \"..\" (索引码 INTEGER, 解决方法 TEXT);"
                             "CREATE TABLE \".\" (索引码 INTEGER, 解决方法 TEXT);"
                             "CREATE TABLE \"..ok\" (索引码 INTEGER, 解决方法 TEXT);"
                             "INSERT INTO \"../escaped\" VALUES (1, 'x');"
                             "INSERT INTO \"sub/inner\" VALUES (1, 'x');"
                             "INSERT INTO \"..ok\" VALUES (1, 'x');"));
    // Those tables are not written, which fails the export; the others are.
    std::vector<faultreader::ExportFailure> failures;
    EXPECT_FALSE(m_reader.Database().ExportAllTables(G(m_dir.Path("out/sub")).c_str(), &failures));
    std::vector<std::string> failed;
    for (const faultreader::ExportFailure& failure : failures) {
        EXPECT_EQ(faultreader::ExportFailure::Step::kName, failure.eStep) << failure.strTable;
        failed.push_back(failure.strTable);
    }
    EXPECT_EQ((std::vector<std::string>{"../escaped", "sub/inner", "back\\slash", "..", "."}),
              failed);
    EXPECT_FALSE(std::filesystem::exists(m_dir.Path("out/escaped.csv")));
    EXPECT_FALSE(std::filesystem::exists(m_dir.Path("out/sub/sub/inner.csv")));
    EXPECT_FALSE(std::filesystem::exists(m_dir.Path("out/sub/back\\slash.csv")));
    EXPECT_FALSE(std::filesystem::exists(m_dir.Path("out/sub/...csv")));
    EXPECT_FALSE(std::filesystem::exists(m_dir.Path("out/....csv")));
    // A name that only starts with dots is a plain file name.
    EXPECT_EQ("1,x\r\n", m_dir.Read("out/sub/..ok.csv"));
    for (const char* lpszName : {"../escaped", "sub/inner", "back\\slash", "..", "."})
        EXPECT_FALSE(m_reader.Database().ExportTable(lpszName, G(m_dir.Path("out/sub")).c_str()))
            << lpszName;
}

TEST_F(CsvTest, ExportChoosesFieldsByItsOwnSearchOrder) {
    // The export looks for the interface name before the solution index
    // name (which it does not look for at all), unlike InsertRow.
    ASSERT_TRUE(
        frtest::Exec(m_path,
                     "CREATE TABLE 解决方法索引表接口索引表9 (索引码 INTEGER, 接口描述 TEXT);"
                     "INSERT INTO 解决方法索引表接口索引表9 VALUES (1, 'x');"
                     "CREATE TABLE 解决方法索引表模块索引表 (索引码 INTEGER, 模块名 TEXT);"
                     "INSERT INTO 解决方法索引表模块索引表 VALUES (2, 'y');"
                     "CREATE TABLE 接口索引表错误代码索引表3 (错误代码 INTEGER, 错误描述 TEXT);"
                     "INSERT INTO 接口索引表错误代码索引表3 VALUES (3, 'z');"
                     "CREATE TABLE other (索引码 INTEGER, 解决方法 TEXT);"
                     "INSERT INTO other VALUES (4, 'w');"));
    ASSERT_TRUE(m_reader.ExportCsv(G(m_dir.Path("out")).c_str()));
    EXPECT_EQ("1,x\r\n", m_dir.Read("out/解决方法索引表接口索引表9.csv"));
    EXPECT_EQ("2,y\r\n", m_dir.Read("out/解决方法索引表模块索引表.csv"));
    EXPECT_EQ("3,z\r\n", m_dir.Read("out/接口索引表错误代码索引表3.csv"));
    EXPECT_EQ("4,w\r\n", m_dir.Read("out/other.csv"));
}

TEST_F(CsvTest, ImportReadsLinesAsTheyWereAlwaysWritten) {
    ASSERT_TRUE(Import("错误代码索引表1.csv", "5,abc\r\n6,a,b\r\n8\r\n,,7,x\r\n9,last"));
    EXPECT_EQ("5|abc\n\n6|a\n7|x\n\n9|last\n", Rows("错误代码索引表1", "错误代码", "错误描述"));
    // Exporting writes the lines back as they were read.
    ASSERT_TRUE(m_reader.ExportCsv(G(m_dir.Path("out")).c_str()));
    EXPECT_EQ("5,abc\r\n6,a\r\n7,x\r\n9,last\r\n", m_dir.Read("out/错误代码索引表1.csv"));
}

TEST_F(CsvTest, PlainFilesWithQuotesInTheirValuesLoadAsPlainLines) {
    // Lines of the plain format whose values begin with a quote keep their
    // rows and their texts, quotes and newline included.
    ASSERT_TRUE(Import("接口索引表1.csv", "7,\"OK\"\r\n5,\"\"\r\n6,\"a,b\",c\r\n8,plain\r\n"));
    EXPECT_EQ("7|'\"OK\"\n'\n5|'\"\"\n'\n6|'\"a'\n8|'plain\n'\n",
              Rows("接口索引表1", "索引码", "quote(接口描述)"));
    // A quoted value that spans lines is what the export writes for a text
    // of several lines, and is read as that one text.
    ASSERT_TRUE(Import("接口索引表1.csv", "5,\"abc\r\n6,def\"\r\n7,x\r\n"));
    EXPECT_EQ("5|'abc\n6,def'\n7|'x\n'\n", Rows("接口索引表1", "索引码", "quote(接口描述)"));
}

TEST_F(CsvTest, ImportReplacesTheTableAndLongLinesAreReadWhole) {
    ASSERT_TRUE(Import("接口索引表2.csv", "1,old\r\n"));
    const std::string longText(300, 'L');
    ASSERT_TRUE(Import("接口索引表2.csv", "2," + longText + "\r\n3,x\r\n"));
    EXPECT_EQ("2|" + longText + "\n\n3|x\n\n", Rows("接口索引表2", "索引码", "接口描述"));
}

TEST_F(CsvTest, AFailedImportLeavesTheTableAsItWas) {
    ASSERT_TRUE(Import("解决方法索引表2.csv", "1,keep\r\n"));
    const std::string before = Rows("解决方法索引表2", "索引码", "解决方法");
    // The same key twice in a table with unique keys stops the import.
    EXPECT_FALSE(Import("解决方法索引表2.csv", "4,first\r\n4,second\r\n"));
    EXPECT_EQ(before, Rows("解决方法索引表2", "索引码", "解决方法"));
    // A file that can't be read is refused before anything is emptied.
    EXPECT_FALSE(m_reader.ImportCsv(G(m_dir.Path("gone/解决方法索引表2.csv")).c_str()));
    EXPECT_EQ(before, Rows("解决方法索引表2", "索引码", "解决方法"));
    // A name without a known table, or without a module number, changes nothing.
    EXPECT_FALSE(Import("other.csv", "1,x\r\n"));
    EXPECT_FALSE(Import("解决方法索引表.csv", "1,x\r\n"));
    EXPECT_FALSE(m_reader.ImportCsv(nullptr));
    // A table the database lacks.
    EXPECT_FALSE(Import("接口索引表9.csv", "1,x\r\n"));
    EXPECT_EQ(before, Rows("解决方法索引表2", "索引码", "解决方法"));
}

TEST_F(CsvTest, ImportWorkGrowsInProportionToTheRows) {
    // Tables as databases made before the tables had key indexes hold them.
    ASSERT_TRUE(frtest::Exec(m_path,
                             "DROP TABLE 模块索引表;"
                             "CREATE TABLE 模块索引表 (索引码 INTEGER, 模块名 TEXT);"
                             "CREATE TABLE 接口索引表7 (索引码 INTEGER, 接口描述 TEXT);"
                             "CREATE TABLE 解决方法索引表7 (索引码 INTEGER, 解决方法 TEXT);"
                             "CREATE TABLE 错误代码索引表7 (错误代码 INTEGER, 错误描述 TEXT);"));
    const auto lines = [](int nRows) {
        std::string text;
        for (int i = 1; i <= nRows; ++i)
            text += std::to_string(i) + ",text " + std::to_string(i) + "\r\n";
        return text;
    };
    // The engine's steps, not the time: four times the rows must cost about
    // four times the work. A lookup that reads the rows inserted so far makes
    // it sixteen times.
    for (const char* lpszTable :
         {"接口索引表7", "解决方法索引表7", "模块索引表", "错误代码索引表7"}) {
        unsigned long long ullSteps[2] = {};
        for (int i = 0; i < 2; ++i) {
            const unsigned long long ullBefore = m_reader.Database().EngineSteps();
            ASSERT_TRUE(Import(std::string(lpszTable) + ".csv", lines(i == 0 ? 500 : 2000)));
            ullSteps[i] = m_reader.Database().EngineSteps() - ullBefore;
        }
        EXPECT_LT(ullSteps[1], 6 * ullSteps[0]) << lpszTable << ": " << ullSteps[0] << " steps for "
                                                << "500 rows, " << ullSteps[1] << " for 2000";
        EXPECT_EQ(
            "2000",
            frtest::Shell(m_path, std::string("SELECT count(*) FROM ") + lpszTable).substr(0, 4));
    }
    // A duplicate key is still refused where keys are unique.
    EXPECT_FALSE(Import("接口索引表7.csv", lines(300) + "150,again\r\n"));
    EXPECT_TRUE(Import("错误代码索引表7.csv", lines(300) + "150,again\r\n"));
}

TEST_F(CsvTest, AZeroByteInATextRefusesTheImportInsteadOfCuttingTheText) {
    ASSERT_TRUE(Import("错误代码索引表1.csv", "1,keep\r\n"));
    const std::string before = Rows("错误代码索引表1", "错误代码", "错误描述");
    EXPECT_FALSE(Import("错误代码索引表1.csv", std::string("2,ab\0cd\r\n", 9)));
    EXPECT_FALSE(Import("错误代码索引表1.csv", std::string("3,\"x\0y\"\r\n", 9)));
    EXPECT_EQ(before, Rows("错误代码索引表1", "错误代码", "错误描述"));
    // In the key the zero byte only ends the number, as it always did.
    ASSERT_TRUE(Import("错误代码索引表1.csv", std::string("4\0x,text\r\n", 10)));
    EXPECT_EQ("4|text\n\n", Rows("错误代码索引表1", "错误代码", "错误描述"));
}

TEST_F(CsvTest, ValuesWithCommasQuotesAndLineBreaksSurviveExportAndImport) {
    const std::vector<std::string> values = {"a,b",        "say \"hi\"",   "two\nlines",
                                             "\"quoted\"", "cr\rinside",   "end,\n",
                                             "it's",       G("中文,逗号"), "plain"};
    for (size_t i = 0; i < values.size(); ++i)
        ASSERT_TRUE(m_reader.InsertRecord(G("接口索引表1").c_str(), static_cast<int>(i + 1),
                                          values[i].c_str()));
    ASSERT_TRUE(m_reader.ExportCsv(G(m_dir.Path("out")).c_str()));
    const std::string file = m_dir.Read("out/接口索引表1.csv");
    // Only the values that need it are quoted.
    EXPECT_NE(std::string::npos, file.find("1,\"a,b\"\r\n"));
    EXPECT_NE(std::string::npos, file.find("7,it's\r\n"));
    EXPECT_NE(std::string::npos, file.find("9,plain\r\n"));
    ASSERT_TRUE(frtest::Exec(m_path, "DELETE FROM 接口索引表1"));
    ASSERT_TRUE(m_reader.ImportCsv(G(m_dir.Path("out/接口索引表1.csv")).c_str()));
    for (size_t i = 0; i < values.size(); ++i) {
        std::string out;
        ASSERT_TRUE(m_reader.Database().GetInterfaceText(1, static_cast<int>(i + 1), out));
        // An unquoted value gains the line's newline, as plain lines always did.
        EXPECT_EQ(values[i] == "it's" || values[i] == "plain" ? values[i] + "\n" : values[i], out)
            << i;
    }
}

TEST(CsvFormat, OnlyTheExportsOwnQuotedFormIsReadAsQuoted) {
    std::vector<std::pair<int, std::string>> got;
    auto collect = [&](int k, const std::string& v) {
        got.emplace_back(k, v);
        return true;
    };
    // Lines in the plain format whose values only look quoted read as plain
    // lines: the value is the text up to the first comma, with the line's
    // newline when nothing follows.
    ASSERT_TRUE(
        faultreader::ParseCsvRecords("7,\"OK\"\n"
                                     "5,\"\"\n"
                                     "5,\"a,b\",c\n"
                                     "6,\"a\"b,\"\n"
                                     ",8,\"a,b\"\n"
                                     "9,,\"a,b\"\n"
                                     "x9,\"a,b\"\n"
                                     "\"5\",\"a,b\"\n"
                                     "4,say \"hi\"\n"
                                     "3,\"open\n",
                                     collect));
    const std::vector<std::pair<int, std::string>> plain = {
        {7, "\"OK\"\n"}, {5, "\"\"\n"}, {5, "\"a"}, {6, "\"a\"b"},       {8, "\"a"},
        {9, "\"a"},      {0, "\"a"},    {0, "\"a"}, {4, "say \"hi\"\n"}, {3, "\"open\n"}};
    EXPECT_EQ(plain, got);
    // What the export writes for values that need quotes reads back exactly,
    // also when it spans lines.
    got.clear();
    ASSERT_TRUE(faultreader::ParseCsvRecords(
        "1,\"a,b\"\n2,\"x\"\"y\"\n-3,\"\"\"q\"\"\"\n4,\"two\nlines\"\n5,\"end,\n\"\n6,\"cr\rx\"",
        collect));
    const std::vector<std::pair<int, std::string>> quoted = {
        {1, "a,b"}, {2, "x\"y"}, {-3, "\"q\""}, {4, "two\nlines"}, {5, "end,\n"}, {6, "cr\rx"}};
    EXPECT_EQ(quoted, got);
    for (const auto& [nKey, strValue] : quoted) {
        got.clear();
        ASSERT_TRUE(faultreader::ParseCsvRecords(
            faultreader::FormatCsvLine(std::to_string(nKey), strValue), collect));
        EXPECT_EQ((std::vector<std::pair<int, std::string>>{{nKey, strValue}}), got);
    }
    // The callback's refusal stops the walk.
    int nCalls = 0;
    EXPECT_FALSE(faultreader::ParseCsvRecords("1,a\n2,b\n", [&](int, const std::string&) {
        ++nCalls;
        return false;
    }));
    EXPECT_EQ(1, nCalls);
    EXPECT_EQ("5,x\n", faultreader::FormatCsvLine("5", "x"));
    EXPECT_EQ("5,x\n", faultreader::FormatCsvLine("5", "x\n"));
    EXPECT_EQ("5,\"x\n\n\"\n", faultreader::FormatCsvLine("5", "x\n\n"));
}

TEST(CsvSample, TheShippedSampleLoadsAndExplains) {
    frtest::TempDir dir;
    const std::string path = dir.Path("sample.db");
    ASSERT_TRUE(faultreader::CreateErrorDatabase(G(path), {2, 3, 5}, ""));
    CFaultreader reader(G(path), "");
    ASSERT_TRUE(reader.ConnectDatabase());
    int nFiles = 0;
    for (const auto& entry : std::filesystem::directory_iterator(FAULTREADER_SAMPLE_DATA)) {
        EXPECT_TRUE(reader.ImportCsv(G(entry.path().string()).c_str())) << entry.path();
        ++nFiles;
    }
    EXPECT_EQ(13, nFiles);
    const DWORD w = 0x14001C07;
    std::string out;
    ASSERT_TRUE(reader.GetErrorInfo(&w, 1, out));
    EXPECT_EQ(G("NV写入模块--写入IMEI--写入超时，手机无应答"), out);
}

}  // namespace
