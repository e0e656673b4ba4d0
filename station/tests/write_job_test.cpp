// The write job end to end: the main window driven by key presses and
// clicks, the real phone-command library, and a simulated handset on a
// pseudo-terminal registered as a COM port.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest/QTest>

#include <memory>
#include <string>
#include <thread>

#include "color_label.h"
#include "handset_sim.h"
#include "number_ledger.h"
#include "number_rules.h"
#include "platform/ext/pseudo_terminal.h"
#include "platform/win_error.h"
#include "platform_testing/fault_injection.h"
#include "station_dlg.h"
#include "station_test_support.h"
#include "temp_com_map.h"

namespace {

const QString kPass = QString::fromWCharArray(L"写数据成功!按Enter键继续下一个");

QString W(const wchar_t* lpsz) {
    return QString::fromWCharArray(lpsz);
}

class WriteJobTest : public StationWindowTest {
protected:
    void TearDown() override {
        m_pDlg.reset();
        if (m_pSim)
            m_pSim->Stop();
    }

    void StartSim(HandsetSimOptions options) {
        m_pSim = std::make_unique<CHandsetSim>(std::move(options));
        std::string error;
        ASSERT_TRUE(m_pSim->Start(&error)) << error;
    }
    // Opens the window with these settings (Port defaults to the simulator's).
    void Open(std::string general, const std::string& control = "") {
        if (general.find("Port=") == std::string::npos && m_pSim)
            general += "Port=" + std::to_string(m_pSim->Port()) + "\r\n";
        OpenWindow("[General]\r\nEntrerModeWait=0\r\n" + general + "[Control]\r\n" + control);
    }
    CColorLabel* Label() { return Control<CColorLabel>(IDC_RESULT); }
    void Enter(QWidget* pOn = nullptr) {
        QWidget* pTarget = pOn ? pOn : QApplication::focusWidget();
        QTest::keyClick(pTarget ? pTarget : m_pDlg.get(), Qt::Key_Return);
    }
    // Waits for the label to show a text starting with prefix.
    bool WaitLabel(const QString& prefix, int nMs = 8000) {
        return QTest::qWaitFor([&] { return Label()->text().startsWith(prefix); }, nMs);
    }
    bool WaitIdle(int nMs = 4000) {
        return QTest::qWaitFor([&] { return !m_pDlg->Runner().JobActive(); }, nMs);
    }
    std::string IniKey(const std::string& key) {
        const std::string ini = "\n" + m_ini.Read();
        size_t pos = ini.find("\n" + key + "=");
        if (pos == std::string::npos)
            return "";
        pos += key.size() + 2;
        return ini.substr(pos, ini.find_first_of("\r\n", pos) - pos);
    }

    std::unique_ptr<CHandsetSim> m_pSim;
};

// The sqlite3 shell's answer to one statement.
std::string RunShell(const std::string& db, const std::string& sql) {
    const std::string command = std::string(SQLITE3_SHELL) + " '" + db + "' \"" + sql + "\"";
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[256];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        pclose(p);
    }
    return out;
}

HandsetSimOptions Fast() {
    HandsetSimOptions options;
    options.dwPowerUpMs = 0;
    return options;
}

}  // namespace

TEST_F(WriteJobTest, GenerationWritesThreeImeisAdvancesAndNeverRepeats) {
    StartSim(Fast());
    Open("IMEI=1\r\nIMEI2=1\r\nIMEI3=1\r\nAutoCreateIMEI=1\r\nDefaultIMEI=35000000000000\r\n");
    // Enter anywhere starts a job in generation mode, the Stop button included.
    Enter(Control(IDC_STOP));
    EXPECT_EQ(Label()->text(), W(L"请在40秒内连接上手机并加电！"));
    EXPECT_EQ(Label()->GetLabelBkColor(), ColorWait);
    EXPECT_FALSE(Control(IDC_WRITE)->isEnabled());
    EXPECT_FALSE(Control(IDC_PORT_LIST)->isEnabled());
    // A second Enter while the job runs is refused quietly.
    Enter(Control(IDC_STOP));
    ASSERT_TRUE(WaitLabel(kPass)) << Label()->text().toStdString();
    EXPECT_EQ(Label()->GetLabelBkColor(), ColorPass);
    ASSERT_TRUE(WaitIdle());
    ASSERT_TRUE(m_pSim->WaitFinished(1, 2000));
    HandsetResult first = m_pSim->Results()[0];
    EXPECT_EQ(first.imei1, "350000000000006");
    EXPECT_EQ(first.imei2, "350000000000014");
    EXPECT_EQ(first.imei3, "350000000000022");
    EXPECT_EQ(first.nWrites, 1);
    EXPECT_EQ(m_pDlg->Settings().startNumber, L"35000000000003");
    // Stored at once, not only on close.
    EXPECT_EQ(IniKey("DefaultIMEI"), "35000000000003");
    EXPECT_TRUE(Control(IDC_WRITE)->isEnabled());
    // The boxes keep showing what was written; the next numbers reach them
    // when the next job starts.
    EXPECT_EQ(Control<QLineEdit>(IDC_IMEI1)->text(), "350000000000006");
    EXPECT_EQ(m_pDlg->Rules().PreparedImei1(), L"350000000000030");

    Enter();
    ASSERT_TRUE(m_pSim->WaitFinished(2, 8000));
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(m_pSim->Results()[1].imei1, "350000000000030");
    EXPECT_EQ(m_pSim->Results()[1].imei3, "350000000000055");

    // The record holds both handsets, readable by any SQLite client.
    CNumberLedger record;
    std::string error;
    ASSERT_TRUE(record.Open(m_ini.RecordPath().string(), &error)) << error;
    EXPECT_TRUE(record.IsImeiUsed("350000000000055"));
    EXPECT_EQ(record.HighestImeiBody(), 35000000000005);
}

TEST_F(WriteJobTest, AStartNumberEditedBackNeverReissuesRecordedNumbers) {
    StartSim(Fast());
    Open("IMEI=1\r\nAutoCreateIMEI=1\r\nDefaultIMEI=35000000000000\r\n");
    Enter();
    ASSERT_TRUE(WaitLabel(kPass));
    ASSERT_TRUE(WaitIdle());
    m_pDlg.reset();
    // The file is put back to the old start number (by hand, or a copy from
    // another station): the record moves generation past what it holds.
    Open("IMEI=1\r\nAutoCreateIMEI=1\r\nDefaultIMEI=35000000000000\r\n");
    EXPECT_EQ(m_pDlg->Settings().startNumber, L"35000000000001");
    Enter();
    ASSERT_TRUE(m_pSim->WaitFinished(2, 8000));
    EXPECT_EQ(m_pSim->Results()[1].imei1, "350000000000014");
}

TEST_F(WriteJobTest, SetupMovesGenerationToAnotherRangeAfterAWrite) {
    // A handset from one allocation, then the operator sets a lower start
    // number of another in Setup: that is where the next handset's numbers
    // come from, and what the close stores.
    StartSim(Fast());
    Open("IMEI=1\r\nAutoCreateIMEI=1\r\nDefaultIMEI=86000000000000\r\n", "User Privilege=1\r\n");
    Enter();
    ASSERT_TRUE(WaitLabel(kPass));
    ASSERT_TRUE(WaitIdle());
    ASSERT_TRUE(m_pSim->WaitFinished(1, 3000));
    ASSERT_EQ(m_pSim->Results()[0].imei1, "860000000000009");
    QTimer::singleShot(100, [] {
        for (QWidget* pTop : QApplication::topLevelWidgets()) {
            auto* pSetup = qobject_cast<QDialog*>(pTop);
            if (pSetup && pSetup->objectName() == "130" && pSetup->isVisible()) {
                pSetup->findChild<QLineEdit*>("1012")->setText("35000000000000");
                pSetup->findChild<QPushButton*>("1")->click();
            }
        }
    });
    Control<QPushButton>(IDC_SETUP)->click();
    EXPECT_EQ(m_pDlg->Settings().startNumber, L"35000000000000");
    Enter();
    ASSERT_TRUE(m_pSim->WaitFinished(2, 8000));
    EXPECT_EQ(m_pSim->Results()[1].imei1, "350000000000006");
    ASSERT_TRUE(WaitIdle());
    m_pDlg->close();
    EXPECT_EQ(IniKey("DefaultIMEI"), "35000000000001");
}

TEST_F(WriteJobTest, TypedBluetoothAddressSurvivesTheRedrawsAtTheStart) {
    StartSim(Fast());
    // Derivation mode draws IMEI2 from the typed IMEI1 at the start.
    Open(
        "IMEI=1\r\nIMEI2=1\r\nAutoCreateIMEIFromIMEI1=1\r\nBT_ADDR=1\r\nAutoGenerateBT_ADDR=0\r\n");
    auto* pImei1 = Control<QLineEdit>(IDC_IMEI1);
    QTest::keyClicks(Control<QLineEdit>(IDC_BT_ADDR), "123456789012");
    QTest::keyClicks(pImei1, "350000000000006");
    Enter(pImei1);
    ASSERT_TRUE(WaitLabel(kPass)) << Label()->text().toStdString();
    ASSERT_TRUE(WaitIdle());
    ASSERT_TRUE(m_pSim->WaitFinished(1, 3000));
    EXPECT_EQ(m_pSim->Results()[0].btAddr, "123456789012");
    EXPECT_EQ(m_pSim->Results()[0].imei2, "350000000000014");

    // Generation mode steps past a number on record at the start.
    m_pDlg.reset();
    Open(
        "IMEI=1\r\nAutoCreateIMEI=1\r\nDefaultIMEI=35000000000000\r\nBT_ADDR=1\r\n"
        "AutoGenerateBT_ADDR=0\r\n");
    m_pDlg->Settings().startNumber = L"35000000000000";  // back over the number just used
    m_pDlg->PrepareNumbers();
    auto* pBt = Control<QLineEdit>(IDC_BT_ADDR);
    QTest::keyClicks(pBt, "210987654321");
    Enter(pBt);
    ASSERT_TRUE(WaitLabel(kPass)) << Label()->text().toStdString();
    ASSERT_TRUE(m_pSim->WaitFinished(2, 3000));
    // Past both numbers of the first handset.
    EXPECT_EQ(m_pSim->Results()[1].imei1, "350000000000022");
    EXPECT_EQ(m_pSim->Results()[1].btAddr, "210987654321");
}

TEST_F(WriteJobTest, DerivationModeCloseKeepsTheStartNumberUnlessANumberWasTyped) {
    Open(
        "IMEI=1\r\nIMEI2=1\r\nIMEI3=1\r\nAutoCreateIMEIFromIMEI1=1\r\n"
        "DefaultIMEI=35000000000000\r\nPort=1\r\n");
    m_pDlg->close();  // the IMEI1 box is empty: no number to store
    EXPECT_EQ(IniKey("DefaultIMEI"), "35000000000000");
    m_pDlg.reset();
    Open(
        "IMEI=1\r\nIMEI2=1\r\nIMEI3=1\r\nAutoCreateIMEIFromIMEI1=1\r\n"
        "DefaultIMEI=35000000000000\r\nPort=1\r\n");
    QTest::keyClicks(Control<QLineEdit>(IDC_IMEI1), "860000000000003");
    m_pDlg->PrepareNumbers();  // as a job's end does, from the typed IMEI1
    m_pDlg->close();
    EXPECT_EQ(IniKey("DefaultIMEI"), "86000000000000");  // that IMEI1's body
}

TEST_F(WriteJobTest, DerivationFromTheTypedImei1) {
    StartSim(Fast());
    Open("IMEI=1\r\nIMEI2=1\r\nIMEI3=1\r\nAutoCreateIMEIFromIMEI1=1\r\n");
    auto* pImei1 = Control<QLineEdit>(IDC_IMEI1);
    EXPECT_TRUE(pImei1->isEnabled());
    QTest::keyClicks(pImei1, "350000000000006");
    Enter(pImei1);
    ASSERT_TRUE(WaitLabel(kPass));
    ASSERT_TRUE(WaitIdle());
    ASSERT_TRUE(m_pSim->WaitFinished(1, 3000));
    HandsetResult r = m_pSim->Results().at(0);
    EXPECT_EQ(r.imei1, "350000000000006");
    EXPECT_EQ(r.imei2, "350000000000014");
    EXPECT_EQ(r.imei3, "350000000000022");
    EXPECT_TRUE(pImei1->text().isEmpty());  // cleared for the next handset
}

TEST_F(WriteJobTest, ManualEnterMovesThenStartsAndCheckDigitsAreTested) {
    StartSim(Fast());
    Open("IMEI=1\r\nIMEI2=1\r\nCheck=1\r\n");
    auto* pImei1 = Control<QLineEdit>(IDC_IMEI1);
    auto* pImei2 = Control<QLineEdit>(IDC_IMEI2);
    QTest::keyClicks(pImei1, "490154203237518");
    Enter(pImei1);
    EXPECT_EQ(QApplication::focusWidget(), pImei2);
    EXPECT_FALSE(m_pDlg->Runner().JobActive());
    QTest::keyClicks(pImei2, "490154203237519");
    Enter(pImei2);
    EXPECT_EQ(Label()->text(), W(L"输入的第二IMEI号不合法"));
    EXPECT_EQ(Label()->GetLabelBkColor(), ColorFail);
    EXPECT_EQ(QApplication::focusWidget(), pImei1);
    EXPECT_EQ(m_pSim->FinishedCount(), 0u);

    pImei2->setText("490154203237518");
    Enter(pImei2);
    ASSERT_TRUE(WaitLabel(kPass));
    ASSERT_TRUE(WaitIdle());
    ASSERT_TRUE(m_pSim->WaitFinished(1, 3000));
    EXPECT_EQ(m_pSim->Results().at(0).imei2, "490154203237518");
    // Manual boxes are cleared for the next handset; focus back in IMEI1.
    EXPECT_TRUE(pImei1->text().isEmpty());
    EXPECT_EQ(QApplication::focusWidget(), pImei1);
}

TEST_F(WriteJobTest, TypedNumbersOnRecordAreRefusedUnlessTheHandsetCarriesThem) {
    StartSim(Fast());
    Open("IMEI=1\r\nIMEI2=1\r\n");
    auto* pImei1 = Control<QLineEdit>(IDC_IMEI1);
    auto* pImei2 = Control<QLineEdit>(IDC_IMEI2);
    const auto type = [&] {
        pImei1->setText("490154203237518");
        pImei2->setText("490154203237526");
        Enter(pImei2);
    };
    type();
    ASSERT_TRUE(WaitLabel(kPass));
    ASSERT_TRUE(WaitIdle());

    // The same numbers scanned again for the next handset: refused, red,
    // the number named, and nothing sent to the handset.
    type();
    ASSERT_TRUE(WaitLabel(W(L"号码490154203237518已使用过，未写入手机!")))
        << Label()->text().toStdString();
    EXPECT_EQ(Label()->GetLabelBkColor(), ColorFail);
    ASSERT_TRUE(WaitIdle());
    // For a person to look at, beside the test program.
    m_pDlg->grab().save(
        QString::fromStdString(m_ini.Path().parent_path().string() + "/station_used_number.png"));
    ASSERT_TRUE(m_pSim->WaitFinished(2, 3000));
    EXPECT_EQ(m_pSim->Results()[1].nWrites, 0);
    EXPECT_FALSE(m_pSim->Results()[1].bStored);

    // A number used only as another item of another handset is refused too.
    pImei1->setText("490154203237534");
    pImei2->setText("490154203237518");
    Enter(pImei2);
    ASSERT_TRUE(WaitLabel(W(L"号码490154203237518已使用过"))) << Label()->text().toStdString();
    ASSERT_TRUE(WaitIdle());

    // The handset that carries them comes back for a rework: written again,
    // and recorded as a rework.
    m_pDlg.reset();
    m_pSim->Stop();
    HandsetSimOptions carrying = Fast();
    carrying.carriedImei1 = "490154203237518";
    carrying.carriedImei2 = "490154203237526";
    StartSim(carrying);
    Open("IMEI=1\r\nIMEI2=1\r\n");
    pImei1 = Control<QLineEdit>(IDC_IMEI1);
    pImei2 = Control<QLineEdit>(IDC_IMEI2);
    type();
    ASSERT_TRUE(WaitLabel(kPass)) << Label()->text().toStdString();
    ASSERT_TRUE(WaitIdle());
    ASSERT_TRUE(m_pSim->WaitFinished(1, 3000));
    EXPECT_EQ(m_pSim->Results()[0].nWrites, 1);
    EXPECT_EQ(RunShell(m_ini.RecordPath().string(),
                       "SELECT imei1, outcome, rework FROM jobs ORDER BY id"),
              "490154203237518|written|0\n490154203237518|written|1\n");

    // A handset that carries only one of them is not that handset.
    m_pDlg.reset();
    m_pSim->Stop();
    carrying.carriedImei2.clear();
    StartSim(carrying);
    Open("IMEI=1\r\nIMEI2=1\r\n");
    pImei1 = Control<QLineEdit>(IDC_IMEI1);
    pImei2 = Control<QLineEdit>(IDC_IMEI2);
    type();
    ASSERT_TRUE(WaitLabel(W(L"号码490154203237526已使用过"))) << Label()->text().toStdString();
    ASSERT_TRUE(m_pSim->WaitFinished(1, 3000));
    EXPECT_EQ(m_pSim->Results()[0].nWrites, 0);
}

TEST_F(WriteJobTest, GenerationNeverLeavesTheStartNumbersAllocation) {
    StartSim(Fast());
    Open("IMEI=1\r\nIMEI2=1\r\nAutoCreateIMEI=1\r\nDefaultIMEI=35000000999998\r\n");
    Enter();
    ASSERT_TRUE(WaitLabel(kPass)) << Label()->text().toStdString();
    ASSERT_TRUE(WaitIdle());
    ASSERT_TRUE(m_pSim->WaitFinished(1, 3000));
    EXPECT_EQ(m_pSim->Results()[0].imei2, "350000009999992");
    // The start number stays 14 digits, inside the allocation.
    EXPECT_EQ(IniKey("DefaultIMEI"), "35000000999999");
    Enter();
    EXPECT_EQ(Label()->text(), W(MSG_RANGE_USED_UP));
    EXPECT_EQ(Label()->GetLabelBkColor(), ColorFail);
    EXPECT_FALSE(m_pDlg->Runner().JobActive());
    // Nor after a restart.
    m_pDlg->close();
    m_pDlg.reset();
    Open("IMEI=1\r\nIMEI2=1\r\nAutoCreateIMEI=1\r\nDefaultIMEI=35000000999999\r\n");
    Enter();
    EXPECT_EQ(Label()->text(), W(MSG_RANGE_USED_UP));
    m_pDlg->close();
    EXPECT_EQ(IniKey("DefaultIMEI"), "35000000999999");

    // The last allocation of all: two numbers, then nothing.
    m_pDlg.reset();
    Open("IMEI=1\r\nAutoCreateIMEI=1\r\nDefaultIMEI=99999999999998\r\n");
    Enter();
    ASSERT_TRUE(WaitLabel(kPass)) << Label()->text().toStdString();
    ASSERT_TRUE(WaitIdle());
    Enter();
    ASSERT_TRUE(WaitLabel(kPass)) << Label()->text().toStdString();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(IniKey("DefaultIMEI"), "99999999999999");
    Enter();
    EXPECT_EQ(Label()->text(), W(MSG_RANGE_USED_UP));
    m_pDlg->close();
    EXPECT_EQ(IniKey("DefaultIMEI"), "99999999999999");
    ASSERT_TRUE(m_pSim->WaitFinished(3, 3000));
    EXPECT_EQ(m_pSim->Results()[2].imei1, "999999999999994");
    EXPECT_EQ(m_pSim->FinishedCount(), 3u);

    // A start number that is not 14 digits is refused before anything.
    m_pDlg.reset();
    Open("IMEI=1\r\nAutoCreateIMEI=1\r\nDefaultIMEI=-1234567890123\r\n");
    Enter();
    EXPECT_EQ(Label()->text(), W(MSG_START_NUMBER));
    EXPECT_EQ(m_pSim->FinishedCount(), 3u);
}

TEST_F(WriteJobTest, NoItemInUseIsRefused) {
    StartSim(Fast());
    Open("AutoCreateIMEI=1\r\nDefaultIMEI=35000000000000\r\n");
    Enter();
    EXPECT_EQ(Label()->text(), W(MSG_NO_ITEM));
    EXPECT_EQ(Label()->GetLabelBkColor(), ColorFail);
    EXPECT_FALSE(m_pDlg->Runner().JobActive());
}

TEST_F(WriteJobTest, AFailedModeEntryIsShownAtOnce) {
    // USB: the worker's thread is made first, then the mode entry's, which
    // fails; the station must not wait out its 40 s time-out.
    Open("IMEI=1\r\nAutoCreateIMEI=1\r\nDefaultIMEI=35000000000000\r\nPort=-1\r\n");
    platform::InjectFault("CreateThread", ERROR_NOT_ENOUGH_MEMORY, 1, 1);
    QElapsedTimer timer;
    timer.start();
    Enter();
    platform::ClearFaults();
    EXPECT_EQ(Label()->text(), W(L"进入写号模式失败!错误代码: 8!"));
    EXPECT_EQ(Label()->GetLabelBkColor(), ColorFail);
    EXPECT_LT(timer.elapsed(), 3000);
    EXPECT_FALSE(m_pDlg->Runner().JobActive());
    EXPECT_FALSE(m_pDlg->Runner().WorkerAlive());
    EXPECT_TRUE(Control(IDC_WRITE)->isEnabled());
    EXPECT_EQ(m_pDlg->Settings().startNumber, L"35000000000000");
}

TEST_F(WriteJobTest, ImeiAloneEnterNeverStartsButWriteDoes) {
    StartSim(Fast());
    Open("IMEI=1\r\n");
    auto* pImei1 = Control<QLineEdit>(IDC_IMEI1);
    QTest::keyClicks(pImei1, "490154203237518");
    Enter(pImei1);
    QApplication::processEvents();
    EXPECT_FALSE(m_pDlg->Runner().JobActive());
    QTest::mouseClick(Control<QPushButton>(IDC_WRITE), Qt::LeftButton);
    ASSERT_TRUE(WaitLabel(kPass));
}

TEST_F(WriteJobTest, TimeoutAndStopWhileWaiting) {
    HandsetSimOptions silent = Fast();
    silent.bNeverAnswer = true;
    StartSim(silent);
    Open("IMEI=1\r\nAutoCreateIMEI=1\r\nDefaultIMEI=35000000000000\r\nTimeout=300\r\n");
    Enter();
    EXPECT_EQ(Label()->text(), W(L"请在0秒内连接上手机并加电！"));
    ASSERT_TRUE(WaitLabel(W(L"操作超时，请重试一下!!!"), 5000));
    EXPECT_EQ(Label()->GetLabelBkColor(), ColorFail);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(m_pDlg->Settings().startNumber, L"35000000000000");  // nothing was written

    m_pDlg.reset();
    Open("IMEI=1\r\nAutoCreateIMEI=1\r\nDefaultIMEI=35000000000000\r\n");
    Enter();
    EXPECT_EQ(Label()->text(), W(L"请在40秒内连接上手机并加电！"));
    QTest::mouseClick(Control<QPushButton>(IDC_STOP), Qt::LeftButton);
    EXPECT_EQ(Label()->text(), W(L"按Enter键继续下一个"));
    EXPECT_EQ(Label()->GetLabelBkColor(), ColorIdle);
    EXPECT_TRUE(Control(IDC_WRITE)->isEnabled());
    EXPECT_EQ(QApplication::focusWidget(), Control(IDC_WRITE));
    // No job end arrives later: the label keeps the idle text.
    QTest::qWait(300);
    EXPECT_EQ(Label()->text(), W(L"按Enter键继续下一个"));
    EXPECT_EQ(m_pDlg->Settings().startNumber, L"35000000000000");
}

TEST_F(WriteJobTest, FailedWritesRetryAndReportTheCode) {
    HandsetSimOptions twice = Fast();
    twice.nFailWrites = 2;
    StartSim(twice);
    Open("IMEI=1\r\nAutoCreateIMEI=1\r\nDefaultIMEI=35000000000000\r\n");
    Enter();
    ASSERT_TRUE(WaitLabel(kPass));
    ASSERT_TRUE(WaitIdle());
    ASSERT_TRUE(m_pSim->WaitFinished(1, 3000));
    EXPECT_EQ(m_pSim->Results().at(0).nWrites, 3);
    EXPECT_EQ(m_pDlg->Settings().startNumber, L"35000000000001");
    m_pDlg.reset();
    m_pSim->Stop();

    HandsetSimOptions always = Fast();
    always.nFailWrites = 3;
    always.wFailCode = 23;
    StartSim(always);
    Open("IMEI=1\r\nAutoCreateIMEI=1\r\nDefaultIMEI=35000000000001\r\n");
    Enter();
    ASSERT_TRUE(WaitLabel(W(L"写数据失败!错误代码: 23!")));
    EXPECT_EQ(Label()->GetLabelBkColor(), ColorFail);
    ASSERT_TRUE(WaitIdle());
    // The handset refused and stored nothing: the same number is offered again.
    EXPECT_EQ(m_pDlg->Settings().startNumber, L"35000000000001");
    EXPECT_EQ(Control<QLineEdit>(IDC_IMEI1)->text(), "350000000000014");
}

TEST_F(WriteJobTest, ReadBackMismatchAfterAFastWrite) {
    HandsetSimOptions corrupt = Fast();
    corrupt.bCorrupt = true;
    StartSim(corrupt);
    Open("IMEI=1\r\nAutoCreateIMEI=1\r\nDefaultIMEI=35000000000000\r\nReadBack=1\r\n",
         "OrvanNew=1\r\n");
    Enter();
    ASSERT_TRUE(WaitLabel(W(L"重写IMEI失败! 错误码: ")));
    EXPECT_EQ(Label()->GetLabelBkColor(), ColorFail);
    ASSERT_TRUE(WaitIdle());
    // The handset holds something it was sent: the number is not offered again.
    EXPECT_EQ(m_pDlg->Settings().startNumber, L"35000000000001");
    m_pDlg.reset();
    m_pSim->Stop();

    StartSim(Fast());
    Open("IMEI=1\r\nAutoCreateIMEI=1\r\nDefaultIMEI=35000000000010\r\nReadBack=1\r\n",
         "OrvanNew=1\r\n");
    Enter();
    ASSERT_TRUE(WaitLabel(W(L"写数据成功!按Enter键继续下一个!")));
    ASSERT_TRUE(m_pSim->WaitFinished(1, 3000));
    EXPECT_GE(m_pSim->Results().at(0).nReads, 1);
}

TEST_F(WriteJobTest, UsbHandsetConnectedAfterTheStart) {
    HandsetSimOptions usb;
    usb.bUsb = true;
    usb.dwPowerUpMs = 600;
    Open("IMEI=1\r\nAutoCreateIMEI=1\r\nDefaultIMEI=35000000000000\r\nPort=-1\r\n");
    EXPECT_EQ(Control<QComboBox>(IDC_PORT_LIST)->currentText(), "USB");
    Enter();
    StartSim(usb);  // the handset's port appears after the job started
    ASSERT_TRUE(WaitLabel(kPass)) << Label()->text().toStdString();
    ASSERT_TRUE(WaitIdle());
    ASSERT_TRUE(m_pSim->WaitFinished(1, 3000));
    ASSERT_EQ(m_pSim->Results().size(), 1u);
    EXPECT_EQ(m_pSim->Results()[0].imei1, "350000000000006");
    // The job keeps the handset's port number; USB stays selected.
    EXPECT_EQ(m_pDlg->Port().port, static_cast<int>(m_pSim->Results()[0].dwPort));
    EXPECT_EQ(m_pDlg->Port().usb, 1);
}

TEST_F(WriteJobTest, UsbHandsetGoneAfterModeEntryKeepsItsNumbersForTheRetry) {
    // The handset answers the mode entry and leaves the bus at once, as one
    // that restarts does: its port no longer opens when the job comes to
    // it. Nothing was written, so the same number goes to the handset when
    // it is back.
    HandsetSimOptions usb;
    usb.bUsb = true;
    usb.dwPowerUpMs = 200;
    usb.nDropsAfterMode = 1;
    Open("IMEI=1\r\nAutoCreateIMEI=1\r\nDefaultIMEI=35000000000000\r\nPort=-1\r\n");
    Enter();
    StartSim(usb);
    ASSERT_TRUE(WaitIdle(8000));
    const QString failed = Label()->text();
    EXPECT_TRUE(failed.startsWith(W(L"打开串口")) && failed.endsWith(W(L"失败")) &&
                failed != W(L"打开串口0失败"))
        << failed.toStdString();
    EXPECT_EQ(Label()->GetLabelBkColor(), ColorFail);
    EXPECT_EQ(m_pSim->FinishedCount(), 0u);
    EXPECT_EQ(IniKey("DefaultIMEI"), "35000000000000");
    EXPECT_TRUE(Control(IDC_WRITE)->isEnabled());

    Enter();
    ASSERT_TRUE(WaitLabel(kPass)) << Label()->text().toStdString();
    ASSERT_TRUE(m_pSim->WaitFinished(1, 3000));
    EXPECT_EQ(m_pSim->Results().at(0).imei1, "350000000000006");
}

TEST_F(WriteJobTest, SerialPortThatDoesNotOpen) {
    platform::PseudoTerminal gone;
    ASSERT_TRUE(gone.Open(0));
    const DWORD dwPort = gone.Port();
    Open("IMEI=1\r\nAutoCreateIMEI=1\r\nDefaultIMEI=35000000000000\r\nPort=" +
         std::to_string(dwPort) + "\r\n");
    gone.Close();
    Enter();
    EXPECT_EQ(Label()->text(), W(L"打开串口失败") + QString::number(dwPort));
    EXPECT_EQ(Label()->GetLabelBkColor(), ColorFail);
    EXPECT_FALSE(m_pDlg->Runner().JobActive());
    EXPECT_TRUE(Control(IDC_WRITE)->isEnabled());
}

TEST_F(WriteJobTest, StopDuringAWriteNeverReissuesItsNumbersAndShowsNothingLate) {
    // The handset stores the record but answers only after 3.5 s: the
    // library gives up on the reply after 3 s (it may be stored), and the
    // worker's end of the test waits for the handset beyond Stop's 3 s.
    HandsetSimOptions slow = Fast();
    slow.nSlowWrites = 1;
    slow.dwSlowReplyMs = 3500;
    StartSim(slow);
    Open("IMEI=1\r\nAutoCreateIMEI=1\r\nDefaultIMEI=35000000000000\r\n");
    Enter();
    ASSERT_TRUE(WaitLabel(W(L"手机连接成功!"), 5000));
    QTest::qWait(200);  // the write is on its way
    QElapsedTimer timer;
    timer.start();
    QTest::mouseClick(Control<QPushButton>(IDC_STOP), Qt::LeftButton);
    EXPECT_LT(timer.elapsed(), 3500);
    EXPECT_EQ(Label()->text(), W(L"按Enter键继续下一个"));
    // The number in flight is spent at once: the next one is offered.
    EXPECT_EQ(m_pDlg->Settings().startNumber, L"35000000000001");
    // A start is refused quietly while that worker still runs.
    Enter();
    EXPECT_FALSE(m_pDlg->Runner().JobActive());

    ASSERT_TRUE(m_pSim->WaitFinished(1, 5000));
    EXPECT_EQ(m_pSim->Results()[0].imei1, "350000000000006");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !m_pDlg->Runner().WorkerAlive(); }, 3000));
    QTest::qWait(50);
    EXPECT_EQ(Label()->text(), W(L"按Enter键继续下一个"));  // its late result shows nothing
    CNumberLedger record;
    std::string error;
    ASSERT_TRUE(record.Open(m_ini.RecordPath().string(), &error)) << error;
    EXPECT_TRUE(record.IsImeiUsed("350000000000006"));

    Enter();
    ASSERT_TRUE(WaitLabel(kPass));
    ASSERT_TRUE(m_pSim->WaitFinished(2, 5000));
    EXPECT_EQ(m_pSim->Results()[1].imei1, "350000000000014");
}

TEST_F(WriteJobTest, StopBeforeTheFirstWriteSendsNothing) {
    // Another station holds the record's write lock, so the worker waits
    // for it after the handset connected; Stop comes meanwhile.
    StartSim(Fast());
    Open("IMEI=1\r\nAutoCreateIMEI=1\r\nDefaultIMEI=35000000000000\r\n");
    sqlite3* pOther = nullptr;
    ASSERT_EQ(sqlite3_open(m_ini.RecordPath().string().c_str(), &pOther), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(pOther, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    Enter();
    ASSERT_TRUE(WaitLabel(W(L"手机连接成功!"), 5000));
    QTest::qWait(100);
    std::thread release([pOther] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        sqlite3_exec(pOther, "COMMIT", nullptr, nullptr, nullptr);
    });
    QTest::mouseClick(Control<QPushButton>(IDC_STOP), Qt::LeftButton);
    release.join();
    sqlite3_close(pOther);
    EXPECT_EQ(Label()->text(), W(L"按Enter键继续下一个"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !m_pDlg->Runner().WorkerAlive(); }, 3000));
    ASSERT_TRUE(m_pSim->WaitFinished(1, 3000));
    EXPECT_EQ(m_pSim->Results()[0].nWrites, 0);
    // The job's row says nothing was sent, and its number is offered again.
    EXPECT_EQ(RunShell(m_ini.RecordPath().string(), "SELECT outcome, result FROM jobs"),
              "refused|-1\n");
    EXPECT_EQ(m_pDlg->Settings().startNumber, L"35000000000000");
    Enter();
    ASSERT_TRUE(m_pSim->WaitFinished(2, 5000));
    EXPECT_EQ(m_pSim->Results()[1].imei1, "350000000000006");
}

TEST_F(WriteJobTest, ClosingDuringAJobNeverWaits) {
    HandsetSimOptions slow = Fast();
    slow.nSlowWrites = 1;
    slow.dwSlowReplyMs = 1500;
    StartSim(slow);
    Open("IMEI=1\r\nAutoCreateIMEI=1\r\nDefaultIMEI=35000000000000\r\n");
    Enter();
    ASSERT_TRUE(WaitLabel(W(L"手机连接成功!"), 5000));
    QTest::qWait(100);
    // The close box asks the operator to stop the job first; nothing ends.
    EXPECT_EQ(MessageBoxOf(*m_pDlg, [&] { m_pDlg->close(); }), W(MSG_STOP_BEFORE_CLOSE));
    EXPECT_TRUE(m_pDlg->isVisible());
    EXPECT_TRUE(m_pDlg->Runner().JobActive());
    // A window that goes all the same (the program ended otherwise) never
    // waits for the worker.
    QElapsedTimer timer;
    timer.start();
    m_pDlg.reset();
    EXPECT_LT(timer.elapsed(), 500);
    // The worker finishes on its own and records the write.
    ASSERT_TRUE(m_pSim->WaitFinished(1, 5000));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            std::string error;
            std::string out = RunShell(m_ini.RecordPath().string(), "SELECT outcome FROM jobs;");
            return out == "written\n";
        },
        3000));
    // The worker stored a start number past the job's.
    EXPECT_TRUE(QTest::qWaitFor([&] { return IniKey("DefaultIMEI") == "35000000000001"; }, 3000));
}

TEST_F(WriteJobTest, LabelStatesLookRight) {
    // Grabs of the window in each state, beside the test program, for a
    // person to look at; the colours are checked here.
    const std::string dir = m_ini.Path().parent_path().string() + "/";
    auto grab = [&](const char* lpszName, const QColor& expected) {
        QImage image = m_pDlg->grab().toImage();
        image.save(QString::fromStdString(dir + "station_" + lpszName + ".png"));
        const QRect label = Label()->geometry();
        EXPECT_EQ(QColor(image.pixel(label.left() + 2, label.bottom() - 2)), expected) << lpszName;
    };
    HandsetSimOptions options = Fast();
    options.dwPowerUpMs = 400;
    options.nFailWrites = 3;
    options.nHandsets = 0;
    StartSim(options);
    Open(
        "IMEI=1\r\nIMEI2=1\r\nAutoCreateIMEI=1\r\nDefaultIMEI=35000000000000\r\n"
        "BT_ADDR=1\r\nAutoGenerateBT_ADDR=1\r\n",
        "User Privilege=1\r\n");
    grab("idle", CColorLabel::ToQColor(ColorIdle));
    Enter();
    grab("waiting", QColor(255, 255, 0));
    ASSERT_TRUE(WaitLabel(W(L"写数据失败!错误代码: 23!")));
    grab("fail", QColor(255, 0, 0));
    ASSERT_TRUE(WaitIdle());
    m_pDlg.reset();
    m_pSim->Stop();
    StartSim(Fast());
    Open(
        "IMEI=1\r\nIMEI2=1\r\nAutoCreateIMEI=1\r\nDefaultIMEI=35000000000000\r\n"
        "BT_ADDR=1\r\nAutoGenerateBT_ADDR=1\r\n",
        "User Privilege=1\r\n");
    Enter();
    ASSERT_TRUE(WaitLabel(kPass));
    ASSERT_TRUE(WaitIdle());
    grab("pass", QColor(0, 128, 0));
}
