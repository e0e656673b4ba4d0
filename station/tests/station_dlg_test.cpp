// The main window as it opens: template 102's controls, fonts, title, the
// open sequence, the port list as ports come and go, the boxes as a scanner
// types into them, the window's end during a job, and screenshots for a
// person to look at.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QFontInfo>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <QtTest/QTest>

#include "color_label.h"
#include "dialog_check.h"
#include "dialog_layout.h"
#include "handset_sim.h"
#include "platform/ext/pseudo_terminal.h"
#include "station_dlg.h"
#include "station_test_support.h"
#include "temp_com_map.h"
#include "version_read.h"

namespace {

const ProgramVersion kVersion{L"1.3.3", L"0001"};

QStringList Items(QComboBox* pList) {
    QStringList items;
    for (int i = 0; i < pList->count(); ++i)
        items << pList->itemText(i);
    return items;
}

}  // namespace

TEST(StationVersion, ReadFromTheProgramsOwnResource) {
    const ProgramVersion version = ReadProgramVersion();
    EXPECT_EQ(version.version, L"1.3.3");
    EXPECT_EQ(version.build, L"0001");
    const ProgramVersion parsed = ParseFileVersion(L"2, 10, 0, 27");
    EXPECT_EQ(parsed.version, L"2.10.0");
    EXPECT_EQ(parsed.build, L"0027");
    EXPECT_TRUE(ParseFileVersion(L"").build.empty());
}

TEST(StationDlg, TemplateControlsAtTheirPlaces) {
    TestApp();
    TempComMap map;
    IniBesideProgram ini;
    CStationDlg dlg(kVersion);
    const CDialogUnits units(dlg.font());
    EXPECT_EQ(dlg.size(), units.Size(328, 283));
    struct Expected {
        int id;
        int x, y, w, h;
    };
    for (const Expected& e : {Expected{1022, 67, 112, 244, 33},
                              {1014, 67, 151, 244, 33},
                              {1016, 67, 189, 244, 33},
                              {1015, 67, 228, 244, 33},
                              {1004, 270, 8, 45, 36},
                              {1003, 142, 18, 31, 19},
                              {1023, 181, 18, 38, 19},
                              {1030, 231, 18, 31, 19},
                              {1026, 68, 52, 241, 51}}) {
        QWidget* pControl = Control<QWidget>(dlg, e.id);
        ASSERT_NE(pControl, nullptr) << e.id;
        EXPECT_EQ(pControl->geometry(), units.Rect(e.x, e.y, e.w, e.h)) << e.id;
    }
    EXPECT_EQ(Control<QComboBox>(dlg, 1005)->geometry().topLeft(),
              units.Rect(37, 19, 99, 59).topLeft());
    EXPECT_EQ(Control<QPushButton>(dlg, 1004)->text(), QString::fromWCharArray(L"写 IMEI"));
    EXPECT_EQ(Control<QPushButton>(dlg, 1003)->text(), QString::fromWCharArray(L"设置"));
    EXPECT_EQ(Control<QPushButton>(dlg, 1030)->text(), QString::fromWCharArray(L"停止"));
    EXPECT_FALSE(Control<QPushButton>(dlg, 1023)->isEnabled());
    EXPECT_FALSE(Control<QLineEdit>(dlg, 1015)->isEnabled());
    EXPECT_EQ(Control<QLabel>(dlg, 1026)->text(), "PASS");
    EXPECT_EQ(Control<QLabel>(dlg, 1019)->text(), QString::fromWCharArray(L"蓝牙地址"));
    EXPECT_EQ(Control<QLineEdit>(dlg, 1022)->maxLength(), 15);
    EXPECT_EQ(Control<QLineEdit>(dlg, 1015)->maxLength(), 12);
    for (int nId : {1004, 1003, 1023, 1030})
        EXPECT_FALSE(Control<QPushButton>(dlg, nId)->autoDefault()) << nId;

    // Tab order of the template's tab stops.
    const int order[] = {1022, 1014, 1004, 1003, 1005, 1015, 1023, 1030, 1016};
    for (size_t i = 0; i + 1 < std::size(order); ++i) {
        QWidget* pNext = Control<QWidget>(dlg, order[i])->nextInFocusChain();
        while (pNext->focusPolicy() == Qt::NoFocus)
            pNext = pNext->nextInFocusChain();
        EXPECT_EQ(pNext, Control<QWidget>(dlg, order[i + 1])) << order[i];
    }
}

TEST(StationDlg, OpenSequenceSetsTitleFontsLabelAndNumbers) {
    TestApp();
    TempComMap map;
    IniBesideProgram ini;
    ini.Write(
        "[General]\r\nIMEI=1\r\nIMEI2=1\r\nIMEI3=1\r\nAutoCreateIMEI=1\r\n"
        "DefaultIMEI=35000000000000\r\nBT_ADDR=1\r\nAutoGenerateBT_ADDR=1\r\n");
    CStationDlg dlg(kVersion);
    ASSERT_TRUE(dlg.OnInitDialog());
    EXPECT_EQ(dlg.windowTitle(), "Stampwell R1.3.3");
    EXPECT_EQ(Control<QLineEdit>(dlg, 1022)->text(), "350000000000006");
    EXPECT_EQ(Control<QLineEdit>(dlg, 1014)->text(), "350000000000014");
    EXPECT_EQ(Control<QLineEdit>(dlg, 1016)->text(), "350000000000022");
    EXPECT_EQ(Control<QLineEdit>(dlg, 1015)->text().size(), 12);
    EXPECT_FALSE(Control<QLineEdit>(dlg, 1022)->isEnabled());
    EXPECT_FALSE(Control<QWidget>(dlg, 1003)->isEnabled());  // no User Privilege
    auto* pLabel = Control<CColorLabel>(dlg, 1026);
    EXPECT_EQ(pLabel->text(), QString::fromWCharArray(L"请输入正确IMEI后， 然后按'Enter'键开始"));
    EXPECT_EQ(pLabel->GetLabelBkColor(), ColorIdle);
    EXPECT_EQ(dlg.StatusText(), L"请输入正确IMEI后， 然后按'Enter'键开始");

    // The box font is a bold Arial (or its metric twin) with 80-pixel cells.
    const QFont boxFont = Control<QLineEdit>(dlg, 1022)->font();
    EXPECT_EQ(boxFont.family(), "Arial");
    EXPECT_EQ(boxFont.weight(), QFont::Bold);
    EXPECT_NEAR(QFontMetrics(boxFont).height(), 80, 3);
    EXPECT_EQ(pLabel->font().family(), "SIMHEI");
    EXPECT_NEAR(QFontMetrics(pLabel->font()).height(), 50, 3);
    // The face names resolve to installed fonts that hold the Chinese texts.
    EXPECT_TRUE(QFontMetrics(pLabel->font()).inFont(QChar(0x8BF7)));  // 请
    EXPECT_TRUE(QFontMetrics(dlg.font()).inFont(QChar(0x7AEF)));      // 端
    EXPECT_NE(QFontInfo(boxFont).family(), "Arial");  // a real installed face, not a fallback name

    EXPECT_NE(dlg.ModeEvent(), nullptr);
    EXPECT_NE(dlg.StopEvent(), nullptr);

    // A screenshot for a person to look at (written beside the test program).
    dlg.show();
    const QString shot =
        QString::fromStdString(ini.Path().parent_path().string()) + "/station_main_window.png";
    EXPECT_TRUE(dlg.grab().save(shot));
}

TEST(StationDlg, ManualModeFocusesImei1AndTypingIsDigitsOnly) {
    TestApp();
    TempComMap map;
    IniBesideProgram ini;
    ini.Write("[General]\r\nIMEI=1\r\nIMEI2=1\r\n");
    CStationDlg dlg(kVersion);
    dlg.show();
    ASSERT_TRUE(dlg.OnInitDialog());
    QApplication::processEvents();
    auto* pImei1 = Control<QLineEdit>(dlg, 1022);
    EXPECT_TRUE(pImei1->isEnabled());
    EXPECT_EQ(dlg.focusWidget(), pImei1);
    QTest::keyClicks(pImei1, "35a0b0");
    EXPECT_EQ(pImei1->text(), "3500");
    // Pasted text is taken unchanged.
    pImei1->clear();
    pImei1->insert("12ab");
    EXPECT_EQ(pImei1->text(), "12ab");
}

TEST(StationDlg, SetupOkRefreshesTheBoxesAndAboutShowsTheVersion) {
    TestApp();
    TempComMap map;
    IniBesideProgram ini;
    ini.Write(
        "[General]\r\nIMEI=1\r\nIMEI2=1\r\nDefaultIMEI=35000000000000\r\n"
        "[Control]\r\nUser Privilege=1\r\n");
    CStationDlg dlg(kVersion);
    dlg.show();
    ASSERT_TRUE(dlg.OnInitDialog());
    auto* pSetup = Control<QPushButton>(dlg, 1003);
    ASSERT_TRUE(pSetup->isEnabled());
    // In the Setup dialog: tick generation, keep the start number, OK.
    QTimer::singleShot(0, &dlg, [] {
        auto* pSetupDlg = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(pSetupDlg, nullptr);
        auto* pAuto = pSetupDlg->findChild<QCheckBox*>("1014");
        QTest::mouseClick(pAuto, Qt::LeftButton, {}, QPoint(6, pAuto->height() / 2));
        QTest::mouseClick(pSetupDlg->findChild<QPushButton*>("1"), Qt::LeftButton);
    });
    QTest::mouseClick(pSetup, Qt::LeftButton);
    EXPECT_EQ(dlg.Settings().autoCreate, 1);
    EXPECT_EQ(Control<QLineEdit>(dlg, 1022)->text(), "350000000000006");
    EXPECT_EQ(Control<QLineEdit>(dlg, 1014)->text(), "350000000000014");
    EXPECT_FALSE(Control<QLineEdit>(dlg, 1022)->isEnabled());
    EXPECT_EQ(dlg.focusWidget(), Control<QWidget>(dlg, 1004));

    // The About box from the window's menu shows version and build.
    QString version, build;
    QTimer::singleShot(0, &dlg, [&] {
        QWidget* pAbout = QApplication::activeModalWidget();
        ASSERT_NE(pAbout, nullptr);
        version = pAbout->findChild<QLabel*>("1031")->text();
        build = pAbout->findChild<QLabel*>("1032")->text();
        qobject_cast<QDialog*>(pAbout)->accept();
    });
    dlg.ShowAbout();
    EXPECT_EQ(version, "1.3.3");
    EXPECT_EQ(build, "0001");
}

TEST_F(StationWindowTest, PortListFollowsPlugsAndKeepsAnAbsentConfiguredPort) {
    NoSerialHardware noUarts;
    OpenWindow("[General]\r\nIMEI=1\r\nAutoCreateIMEI=1\r\nPort=7\r\n");
    CStationDlg& dlg = *m_pDlg;
    auto* pList = Control<QComboBox>(IDC_PORT_LIST);
    const QString absent = W(L"COM7 (未连接)");
    EXPECT_EQ(Items(pList), QStringList({"USB", absent}));
    EXPECT_EQ(pList->currentText(), absent);
    EXPECT_EQ(dlg.Port().port, 7);
    EXPECT_EQ(dlg.Port().usb, 0);

    // A screenshot with the list open, for a person to look at.
    pList->showPopup();
    QWidget* pPopup = pList->view()->window();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(pPopup));
    QPixmap shot = dlg.grab();
    {
        QPainter painter(&shot);
        painter.drawPixmap(dlg.mapFromGlobal(pPopup->mapToGlobal(QPoint(0, 0))), pPopup->grab());
    }
    EXPECT_TRUE(shot.save(QString::fromStdString(m_ini.Path().parent_path().string()) +
                          "/station_port_absent.png"));
    pList->hidePopup();

    // A job on the absent port fails the way a port that does not open does.
    QTest::keyClick(Control<QWidget>(IDC_WRITE), Qt::Key_Return);
    EXPECT_EQ(dlg.StatusText(), L"打开串口失败7");
    EXPECT_FALSE(dlg.Runner().JobActive());

    // Another port plugged in shows up without a restart; the choice stays.
    platform::PseudoTerminal com3;
    ASSERT_TRUE(com3.Open(3));
    ASSERT_TRUE(QTest::qWaitFor([&] { return Items(pList).contains("COM3"); }, 3000))
        << Items(pList).join(",").toStdString();
    EXPECT_EQ(pList->currentText(), absent);
    EXPECT_EQ(dlg.Port().port, 7);

    // The configured port itself arrives: the same choice, present now.
    platform::PseudoTerminal com7;
    ASSERT_TRUE(com7.Open(7));
    ASSERT_TRUE(QTest::qWaitFor([&] { return Items(pList).contains("COM7"); }, 3000));
    EXPECT_FALSE(Items(pList).contains(absent));
    EXPECT_EQ(pList->currentText(), "COM7");
    EXPECT_EQ(dlg.Port().port, 7);

    // Another one going leaves the choice alone as well.
    com3.Close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Items(pList).contains("COM3"); }, 3000));
    EXPECT_EQ(pList->currentText(), "COM7");

    // The operator's own choice of a present port drops the absent mark for
    // good once COM7 goes again.
    pList->setCurrentIndex(0);
    EXPECT_EQ(dlg.Port().usb, 1);
    com7.Close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Items(pList) == QStringList({"USB"}); }, 3000))
        << Items(pList).join(",").toStdString();
    EXPECT_EQ(pList->currentText(), "USB");
}

TEST_F(StationWindowTest, BluetoothBoxTakesHexDigitsAsAScannerTypesThem) {
    OpenWindow("[General]\r\nBT_ADDR=1\r\n");
    auto* pBt = Control<QLineEdit>(IDC_BT_ADDR);
    ASSERT_TRUE(pBt->isEnabled());
    pBt->setFocus();
    // Separators and letters past F are refused; letters are kept upper case.
    QTest::keyClicks(pBt, "00:1a:7D-dA:g71 13");
    EXPECT_EQ(pBt->text(), "001A7DDA7113");
    // The IMEI boxes still take digits alone.
    auto* pImei1 = Control<QLineEdit>(IDC_IMEI1);
    pImei1->setFocus();
    QTest::keyClicks(pImei1, "35aF0");
    EXPECT_EQ(pImei1->text(), "350");
}

TEST_F(StationWindowTest, AfterARefusedJobTheNextScanReplacesTheBoxes) {
    OpenWindow("[General]\r\nIMEI=1\r\nIMEI2=1\r\nBT_ADDR=1\r\n");
    auto* pImei1 = Control<QLineEdit>(IDC_IMEI1);
    auto* pImei2 = Control<QLineEdit>(IDC_IMEI2);
    auto* pBt = Control<QLineEdit>(IDC_BT_ADDR);
    pBt->setFocus();
    QTest::keyClicks(pBt, "00A0C6F1E2");  // two digits short
    pImei1->setFocus();
    QTest::keyClicks(pImei1, "35000000000000");  // one digit short
    QTest::keyClick(pImei1, Qt::Key_Return);
    ASSERT_EQ(QApplication::focusWidget(), pImei2);
    QTest::keyClicks(pImei2, "350000000000014");
    QTest::keyClick(pImei2, Qt::Key_Return);  // refused: IMEI1 is too short
    EXPECT_EQ(Control<CColorLabel>(IDC_RESULT)->GetLabelBkColor(), ColorFail);
    ASSERT_EQ(QApplication::focusWidget(), pImei1);

    // The scanner sends the whole numbers again, each ending with Enter.
    QTest::keyClicks(pImei1, "350000000000006");
    EXPECT_EQ(pImei1->text(), "350000000000006");
    QTest::keyClick(pImei1, Qt::Key_Return);
    // An editing key keeps the text for editing instead.
    QTest::keyClick(pImei2, Qt::Key_End);
    QTest::keyClick(pImei2, Qt::Key_Backspace);
    QTest::keyClicks(pImei2, "3");
    EXPECT_EQ(pImei2->text(), "350000000000013");
    pBt->setFocus();
    EXPECT_EQ(pBt->selectedText(), "00A0C6F1E2");
    QTest::keyClicks(pBt, "00A0C6F1E2D3");
    EXPECT_EQ(pBt->text(), "00A0C6F1E2D3");
}

TEST_F(StationWindowTest, CloseAndEscDuringAJobAskToStopFirst) {
    // A port that opens and a handset that never answers: the job waits.
    platform::PseudoTerminal port;
    ASSERT_TRUE(port.Open(0));
    const std::string original =
        "[General]\r\nIMEI=1\r\nAutoCreateIMEI=1\r\nEntrerModeWait=0\r\n"
        "DefaultIMEI=35000000000000\r\nPort=" +
        std::to_string(port.Port()) + "\r\n";
    OpenWindow(original);
    CStationDlg& dlg = *m_pDlg;
    QTest::keyClick(Control<QWidget>(IDC_WRITE), Qt::Key_Return);
    ASSERT_TRUE(dlg.Runner().JobActive())
        << QString::fromStdWString(dlg.StatusText()).toStdString();

    EXPECT_EQ(MessageBoxOf(dlg, [&] { dlg.close(); }), W(MSG_STOP_BEFORE_CLOSE));
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(MessageBoxOf(dlg, [&] { QTest::keyClick(&dlg, Qt::Key_Escape); }),
              W(MSG_STOP_BEFORE_CLOSE));
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_TRUE(dlg.Runner().JobActive());
    EXPECT_EQ(m_ini.Read(), original);  // nothing was saved either

    // Stopped, Esc ends the window as ever, without saving.
    QTest::mouseClick(Control<QPushButton>(IDC_STOP), Qt::LeftButton);
    ASSERT_FALSE(dlg.LeftWorkerRunning());
    EXPECT_EQ(MessageBoxOf(dlg, [&] { QTest::keyClick(&dlg, Qt::Key_Escape); }), QString());
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(m_ini.Read(), original);
}

TEST_F(StationWindowTest, CountsLineCountsAPassAndAFailWithoutMovingAControl) {
    std::unique_ptr<CHandsetSim> pGood = StartedSim();
    HandsetSimOptions refusing;
    refusing.nFailWrites = 3;
    std::unique_ptr<CHandsetSim> pBad = StartedSim(refusing);
    OpenWindow(
        "[General]\r\nIMEI=1\r\nIMEI2=1\r\nAutoCreateIMEI=1\r\nDefaultIMEI=35000000000000\r\n"
        "EntrerModeWait=0\r\nPort=" +
        std::to_string(pGood->Port()) + "\r\n");
    CStationDlg& dlg = *m_pDlg;
    auto* pCounts = dlg.findChild<QLabel*>("counts");
    ASSERT_NE(pCounts, nullptr);
    EXPECT_EQ(pCounts->text(), W(L"合格 0  失败 0  总数 0  直通率 -"));

    QTest::keyClick(Control<QWidget>(IDC_WRITE), Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dlg.Runner().JobActive(); }, 8000));
    EXPECT_EQ(dlg.StatusText(), L"写数据成功!按Enter键继续下一个");
    EXPECT_EQ(pCounts->text(), W(L"合格 1  失败 0  总数 1  直通率 100.0%"));

    // The operator moves to the port whose handset refuses every write.
    auto* pList = Control<QComboBox>(IDC_PORT_LIST);
    pList->setCurrentIndex(pList->findText(QString("COM%1").arg(pBad->Port())));
    ASSERT_EQ(dlg.Port().port, static_cast<int>(pBad->Port()));
    QTest::keyClick(Control<QWidget>(IDC_WRITE), Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dlg.Runner().JobActive(); }, 8000));
    EXPECT_EQ(dlg.StatusText(), L"写数据失败!错误代码: 23!");
    EXPECT_EQ(pCounts->text(), W(L"合格 1  失败 1  总数 2  直通率 50.0%"));

    // In the bottom margin, wholly visible, over no control of the template
    // (whose places the first test checks).
    EXPECT_TRUE(dlg.rect().contains(pCounts->geometry()));
    EXPECT_LE(pCounts->fontMetrics().horizontalAdvance(pCounts->text()), pCounts->width());
    EXPECT_LE(pCounts->fontMetrics().height(), pCounts->height());
    for (QWidget* pControl : dlg.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        // The black frames around the window are lines, not controls.
        if (pControl != pCounts && pControl->metaObject() != &QFrame::staticMetaObject) {
            EXPECT_FALSE(pCounts->geometry().intersects(pControl->geometry()))
                << pControl->objectName().toStdString();
        }
    }
    const QString shot =
        QString::fromStdString(m_ini.Path().parent_path().string()) + "/station_counts.png";
    EXPECT_TRUE(dlg.grab().save(shot));
    EXPECT_TRUE(dlg.Runner().WaitForWorker(5000));
}
