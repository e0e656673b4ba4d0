// The Troubleshooting dialog under the offscreen platform: its split rules,
// its lists, and the parser object showing it with and without a host
// application.
#include <gtest/gtest.h>
#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QTableWidget>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>

#include "faultreader_object.h"
#include "test_support.h"
#include "troubleshooting_dlg.h"

using faultreader::CTroubleshootingDlg;
using frtest::G;

namespace {

int g_argc = 1;
char g_szName[] = "dialog_test";
char* g_argv[] = {g_szName, nullptr};

QString Q(const std::string& strUtf8) {
    return QString::fromUtf8(strUtf8.c_str());
}

struct ListContents {
    int nRows = -1;
    std::vector<std::vector<QString>> cells;
};

ListContents Contents(QTableWidget* pList) {
    ListContents c;
    c.nRows = pList->rowCount();
    for (int r = 0; r < pList->rowCount(); ++r) {
        c.cells.emplace_back();
        for (int col = 0; col < pList->columnCount(); ++col)
            c.cells.back().push_back(pList->item(r, col) ? pList->item(r, col)->text() : "?");
    }
    return c;
}

TEST(DialogSplit, LinesAtSemicolonsAndNewlinesPartsAtDashes) {
    const auto rows = faultreader::SplitDialogText("a--b--c;\nd-- --e;;\n\nf-g-h-i");
    ASSERT_EQ(3u, rows.size());
    EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), rows[0]);
    EXPECT_EQ((std::vector<std::string>{"d", " ", "e"}), rows[1]);
    EXPECT_EQ((std::vector<std::string>{"f", "g", "h", "i"}), rows[2]);
    EXPECT_TRUE(faultreader::SplitDialogText("").empty());
    std::string many;
    for (int i = 0; i < 150; ++i)
        many += "x-1-2-3-4-5-6-7-8-9-10-11;";
    const auto capped = faultreader::SplitDialogText(many);
    EXPECT_EQ(100u, capped.size());
    EXPECT_EQ(10u, capped[0].size());
}

class DialogTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_pApp = new QApplication(g_argc, g_argv); }
    static void TearDownTestSuite() {
        delete s_pApp;
        s_pApp = nullptr;
    }
    static QApplication* s_pApp;
};
QApplication* DialogTest::s_pApp = nullptr;

TEST_F(DialogTest, ListsFollowTheTemplateAndTheSplitRules) {
    CTroubleshootingDlg dlg;
    dlg.SetErrorInfo(G("射频--校准--超时;\n基带-- --无应答"));
    dlg.SetSolutionInfo(G("射频--重新连接-然后重试;\n射频--换线;\n"));
    dlg.OnInitDialog();
    EXPECT_EQ("Troubleshooting", dlg.windowTitle());
    EXPECT_FALSE(dlg.windowIcon().isNull());
    auto* pError = dlg.findChild<QTableWidget*>("23001");
    auto* pSolution = dlg.findChild<QTableWidget*>("23002");
    ASSERT_NE(nullptr, pError);
    ASSERT_NE(nullptr, pSolution);

    ASSERT_EQ(3, pError->columnCount());
    EXPECT_EQ(Q("模块"), pError->horizontalHeaderItem(0)->text());
    EXPECT_EQ(Q("接口名"), pError->horizontalHeaderItem(1)->text());
    EXPECT_EQ(Q("错误信息"), pError->horizontalHeaderItem(2)->text());
    ASSERT_EQ(2, pSolution->columnCount());
    EXPECT_EQ(Q("可能的解决方法"), pSolution->horizontalHeaderItem(1)->text());
    const int W = pError->frameGeometry().width() - 2;
    EXPECT_EQ(2 * W / 10, pError->columnWidth(0));
    EXPECT_EQ(2 * W / 10, pError->columnWidth(1));
    EXPECT_EQ(6 * W / 10, pError->columnWidth(2));
    const int W2 = pSolution->frameGeometry().width() - 3;
    EXPECT_EQ(2 * W2 / 10, pSolution->columnWidth(0));
    EXPECT_EQ(8 * W2 / 10, pSolution->columnWidth(1));
    EXPECT_TRUE(pError->horizontalHeaderItem(0)->textAlignment() & Qt::AlignHCenter);
    EXPECT_TRUE(pError->horizontalHeaderItem(1)->textAlignment() & Qt::AlignLeft);
    EXPECT_TRUE(pError->item(0, 2)->textAlignment() & Qt::AlignHCenter);
    EXPECT_TRUE(pError->showGrid());
    EXPECT_EQ(QAbstractItemView::SelectRows, pError->selectionBehavior());

    const ListContents errors = Contents(pError);
    ASSERT_EQ(2, errors.nRows);
    EXPECT_EQ((std::vector<QString>{Q("射频"), Q("校准"), Q("超时")}), errors.cells[0]);
    EXPECT_EQ((std::vector<QString>{Q("基带"), " ", Q("无应答")}), errors.cells[1]);
    // A dash inside a solution splits it; the part after it is not shown.
    const ListContents solutions = Contents(pSolution);
    ASSERT_EQ(2, solutions.nRows);
    EXPECT_EQ((std::vector<QString>{Q("射频"), Q("重新连接")}), solutions.cells[0]);
    EXPECT_EQ((std::vector<QString>{Q("射频"), Q("换线")}), solutions.cells[1]);

    // The template's proportions: two lists of equal size, one above the other.
    EXPECT_EQ(pError->width(), pSolution->width());
    EXPECT_EQ(pError->height(), pSolution->height());
    EXPECT_GT(pSolution->y(), pError->y() + pError->height());
    EXPECT_LT(pSolution->x() + pSolution->width(), dlg.width());
    EXPECT_LT(pSolution->y() + pSolution->height(), dlg.height());
}

TEST_F(DialogTest, SemicolonInADescriptionStartsANewRowAndEmptyTextsLeaveHeadingsOnly) {
    CTroubleshootingDlg dlg;
    dlg.SetErrorInfo(G("射频--校准--超时;请重试"));
    dlg.OnInitDialog();
    const ListContents errors = Contents(dlg.findChild<QTableWidget*>("23001"));
    ASSERT_EQ(2, errors.nRows);
    EXPECT_EQ((std::vector<QString>{Q("请重试"), "", ""}), errors.cells[1]);
    auto* pSolution = dlg.findChild<QTableWidget*>("23002");
    EXPECT_EQ(0, pSolution->rowCount());
    EXPECT_EQ(2, pSolution->columnCount());
}

// The parser object shows the dialog in a host's own application and leaves
// that application alone.
class ShowTest : public DialogTest {
protected:
    void SetUp() override {
        m_path = m_dir.Path("errors.db");
        std::filesystem::copy_file(FAULTREADER_SAMPLE_DB, m_path);
        // Error 10 of module 5 has a description but no solutions.
        ASSERT_TRUE(frtest::Exec(m_path, "INSERT INTO 错误代码索引表5 VALUES (10, '未知错误')"));
        ASSERT_TRUE(m_reader.ConnectDatabase());
    }
    // Inspects the modal dialog once it runs, then closes it with the key.
    void CloseWhenShown(ListContents* pErrors, ListContents* pSolutions,
                        Qt::Key key = Qt::Key_Escape) {
        QTimer::singleShot(0, [=] {
            QWidget* pModal = QApplication::activeModalWidget();
            if (pModal == nullptr)
                return;
            *pErrors = Contents(pModal->findChild<QTableWidget*>("23001"));
            *pSolutions = Contents(pModal->findChild<QTableWidget*>("23002"));
            QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
            // To the focused list, as a key press arrives; it passes the key on.
            QWidget* pTarget = pModal->focusWidget() ? pModal->focusWidget() : pModal;
            QApplication::sendEvent(pTarget, &press);
        });
    }

    frtest::TempDir m_dir;
    std::string m_path;
    faultreader::CFaultreader m_reader{G(m_dir.Path("errors.db")), ""};
};

TEST_F(ShowTest, ShowsTheWordsAndReturnsOnceClosed) {
    ListContents errors, solutions;
    CloseWhenShown(&errors, &solutions);
    const DWORD words[2] = {0x14001C07, (2u << 26) | (1u << 11) | 1u};
    EXPECT_TRUE(m_reader.ShowTroubleshooting(words, 2));
    EXPECT_EQ(s_pApp, QCoreApplication::instance());
    ASSERT_EQ(2, errors.nRows);
    EXPECT_EQ((std::vector<QString>{Q("NV写入模块"), Q("写入IMEI"), Q("写入超时，手机无应答")}),
              errors.cells[0]);
    EXPECT_EQ((std::vector<QString>{Q("基带通信模块"), Q("握手"), Q("握手无应答")}),
              errors.cells[1]);
    ASSERT_EQ(5, solutions.nRows);
    EXPECT_EQ((std::vector<QString>{Q("NV写入模块"), Q("确认手机已开机并进入写号模式")}),
              solutions.cells[0]);
    EXPECT_EQ(Q("重新插拔USB数据线"), solutions.cells[4][1]);
}

TEST_F(ShowTest, NoErrorLinesNoDialogAndMissingSolutionsLeaveTheListEmpty) {
    const DWORD unknown = (9u << 26) | 1u;
    EXPECT_FALSE(m_reader.ShowTroubleshooting(&unknown, 1));
    // Enter closes the dialog as Escape does.
    ListContents errors, solutions;
    CloseWhenShown(&errors, &solutions, Qt::Key_Return);
    const DWORD noSolutions = (5u << 26) | (1u << 11) | 10u;
    EXPECT_TRUE(m_reader.ShowTroubleshooting(&noSolutions, 1));
    ASSERT_EQ(1, errors.nRows);
    EXPECT_EQ(Q("未知错误"), errors.cells[0][2]);
    EXPECT_EQ(0, solutions.nRows);
}

TEST_F(ShowTest, ClosingTheDialogLeavesTheHostsEventLoopRunning) {
    // The host runs its own loop and shows the dialog from it; the dialog is
    // its only window. After the dialog closes the loop must go on until the
    // host ends it.
    const DWORD word = 0x14001C07;
    BOOL bShown = FALSE;
    bool bLoopWentOn = false;
    QObject scope;  // ends the timers with the test
    QTimer::singleShot(0, &scope, [&] {
        QTimer::singleShot(0, &scope, [] {
            if (QWidget* pModal = QApplication::activeModalWidget())
                pModal->close();
        });
        bShown = m_reader.ShowTroubleshooting(&word, 1);
        QTimer::singleShot(50, &scope, [&] {
            bLoopWentOn = true;
            QCoreApplication::exit(7);
        });
    });
    QTimer::singleShot(5000, &scope, [] { QCoreApplication::exit(1); });
    EXPECT_EQ(7, s_pApp->exec());
    EXPECT_TRUE(bShown);
    EXPECT_TRUE(bLoopWentOn);
}

TEST_F(ShowTest, AThreadOtherThanTheApplicationsGetsFalseAndNoWidgets) {
    const DWORD word = 0x14001C07;
    auto result =
        std::async(std::launch::async, [&] { return m_reader.ShowTroubleshooting(&word, 1); });
    if (result.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        ADD_FAILURE() << "the dialog was shown on the wrong thread";
        std::_Exit(1);
    }
    EXPECT_FALSE(result.get());
    EXPECT_EQ(nullptr, QApplication::activeModalWidget());
}

// Without an application of the host's, the library makes one for the
// dialog's life. The closer is armed from the application's constructor.
bool g_bArmCloser = false;
bool g_bClosed = false;
void ArmCloser() {
    if (!g_bArmCloser)
        return;
    QTimer::singleShot(0, [] {
        if (QWidget* pModal = QApplication::activeModalWidget()) {
            g_bClosed = true;
            pModal->close();
        }
    });
}
Q_COREAPP_STARTUP_FUNCTION(ArmCloser)

TEST(ShowWithoutHostApp, TheLibraryMakesAndRemovesItsOwnApplication) {
    ASSERT_EQ(nullptr, QCoreApplication::instance());
    frtest::TempDir dir;
    faultreader::CFaultreader reader(G(FAULTREADER_SAMPLE_DB), "");
    ASSERT_TRUE(reader.ConnectDatabase());
    g_bArmCloser = true;
    const DWORD word = 0x14001C07;
    EXPECT_TRUE(reader.ShowTroubleshooting(&word, 1));
    EXPECT_TRUE(g_bClosed);
    EXPECT_EQ(nullptr, QCoreApplication::instance());
    // And again: a second application can be made after the first.
    g_bClosed = false;
    EXPECT_TRUE(reader.ShowTroubleshooting(&word, 1));
    EXPECT_TRUE(g_bClosed);
    g_bArmCloser = false;
}

// A display that is named but can't be reached gives FALSE instead of
// ending the process (Qt aborts when no platform comes up). Each case runs
// in a child process, with its own environment.
int ShowIn(const std::vector<std::pair<const char*, const char*>>& env) {
    for (const char* lpszName :
         {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY", "WAYLAND_SOCKET", "XDG_SESSION_TYPE"})
        unsetenv(lpszName);
    for (const auto& [lpszName, lpszValue] : env)
        setenv(lpszName, lpszValue, 1);
    faultreader::CFaultreader reader(G(FAULTREADER_SAMPLE_DB), "");
    if (!reader.ConnectDatabase())
        return 2;
    g_bArmCloser = true;
    const DWORD word = 0x14001C07;
    return reader.ShowTroubleshooting(&word, 1) ? 1 : 0;
}

TEST(ShowWithoutHostApp, AnUnreachableDisplayGivesFalseAndTheProcessGoesOn) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // A display number nobody serves, and a runtime directory without a
    // compositor's socket.
    const std::string display = ":4713";
    ASSERT_FALSE(std::filesystem::exists("/tmp/.X11-unix/X4713"));
    frtest::TempDir dir;
    const std::string runtime = dir.Dir();
    EXPECT_EXIT(std::exit(ShowIn({{"DISPLAY", display.c_str()}})), testing::ExitedWithCode(0), "");
    EXPECT_EXIT(std::exit(ShowIn({{"QT_QPA_PLATFORM", "xcb"}})), testing::ExitedWithCode(0), "");
    EXPECT_EXIT(std::exit(ShowIn({{"QT_QPA_PLATFORM", "wayland"},
                                  {"WAYLAND_DISPLAY", "wayland-9"},
                                  {"XDG_RUNTIME_DIR", runtime.c_str()}})),
                testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        std::exit(ShowIn({{"WAYLAND_DISPLAY", "wayland-9"}, {"XDG_RUNTIME_DIR", runtime.c_str()}})),
        testing::ExitedWithCode(0), "");
    // A list whose later platform needs no display still shows the dialog.
    EXPECT_EXIT(
        std::exit(ShowIn({{"QT_QPA_PLATFORM", "xcb;offscreen"}, {"DISPLAY", display.c_str()}})),
        testing::ExitedWithCode(1), "");
}

}  // namespace
