// The Setup dialog: template 130's controls, the open rules, every check-box
// click rule driven by real mouse clicks, and OK and Cancel with the
// settings block they leave behind.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QFontInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest/QTest>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "dialog_check.h"
#include "dialog_layout.h"
#include "setup_dlg.h"
#include "station_test_support.h"

namespace {

// The dialog with its message boxes recorded instead of shown.
class CRecordingSetupDlg : public CSetupDlg {
public:
    using CSetupDlg::CSetupDlg;
    std::vector<std::wstring> messages;

protected:
    void ShowMessage(const QString& text) override { messages.push_back(text.toStdWString()); }
};

// The ten fields the dialog edits.
auto EditedFields(const StationSettings& s) {
    return std::make_tuple(s.imei1On, s.imei2On, s.imei3On, s.autoCreate, s.autoFromImei1,
                           s.useSame, s.phaseCheck, s.btOn, s.btAuto, s.startNumber);
}

StationSettings AllItemsManual() {
    StationSettings s;
    s.imei1On = 1;
    s.imei2On = 1;
    s.imei3On = 1;
    s.btOn = 1;
    s.startNumber = L"35000000000000";
    return s;
}

// An open, shown dialog on a settings block, with shorthands for its boxes.
class SetupDlgTest : public ::testing::Test {
protected:
    void Open(const StationSettings& settings) {
        TestApp();
        m_settings = settings;
        m_pDlg = std::make_unique<CRecordingSetupDlg>(&m_settings);
        m_pDlg->OnInitDialog();
        m_pDlg->show();
        QApplication::processEvents();
    }
    QCheckBox* Box(int nId) { return Control<QCheckBox>(*m_pDlg, nId); }
    QLineEdit* Edit() { return Control<QLineEdit>(*m_pDlg, IDC_SETUP_START_NUMBER); }
    // A real click on the box's indicator (a disabled box ignores it).
    void Click(int nId) {
        QCheckBox* pBox = Box(nId);
        QTest::mouseClick(pBox, Qt::LeftButton, {}, QPoint(6, pBox->height() / 2));
    }
    void ClickButton(int nId) {
        QTest::mouseClick(Control<QPushButton>(*m_pDlg, nId), Qt::LeftButton);
    }
    void TypeStartNumber(const QString& text) {
        Edit()->clear();
        QTest::keyClicks(Edit(), text);
    }
    void ExpectState(int nId, bool bChecked, bool bEnabled) {
        EXPECT_EQ(Box(nId)->isChecked(), bChecked) << nId;
        EXPECT_EQ(Box(nId)->isEnabled(), bEnabled) << nId;
    }

    StationSettings m_settings;
    std::unique_ptr<CRecordingSetupDlg> m_pDlg;
};

}  // namespace

TEST_F(SetupDlgTest, TemplateControlsTextsAndFonts) {
    Open(AllItemsManual());
    CSetupDlg& dlg = *m_pDlg;
    EXPECT_EQ(dlg.windowTitle(), "Setup");
    EXPECT_EQ(dlg.objectName(), "130");
    EXPECT_EQ(dlg.size(), CDialogUnits(dlg.font()).Size(283, 134));
    // Each control carries its template id as its object name.
    struct BoxSpec {
        int nId;
        const char* lpszTemplateId;
        const wchar_t* lpszText;
    };
    const BoxSpec boxes[] = {{IDC_SETUP_IMEI1, "1006", L"IMEI(1)"},
                             {IDC_SETUP_IMEI2, "1010", L"IMEI(2)"},
                             {IDC_SETUP_IMEI3, "1011", L"IMEI(3)"},
                             {IDC_SETUP_AUTO_CREATE, "1014", L"自动生成IMEI"},
                             {IDC_SETUP_AUTO_FROM_IMEI1, "1015", L"由IMEI1自动生成其他IMEI"},
                             {IDC_SETUP_USE_SAME, "1021", L"三卡IMEI相同"},
                             {IDC_SETUP_BT, "1027", L"蓝牙"},
                             {IDC_SETUP_BT_AUTO, "1028", L"自动生成蓝牙"},
                             {IDC_SETUP_PHASE_CHECK, "1008", L"PhaseCheck"}};
    for (const BoxSpec& box : boxes) {
        ASSERT_NE(Box(box.nId), nullptr) << box.nId;
        EXPECT_EQ(Box(box.nId)->objectName(), box.lpszTemplateId);
        EXPECT_EQ(Box(box.nId)->text(), W(box.lpszText)) << box.nId;
    }
    EXPECT_EQ(Edit()->objectName(), "1012");
    EXPECT_EQ(Control<QPushButton>(dlg, IDC_SETUP_OK)->objectName(), "1");
    EXPECT_EQ(Control<QPushButton>(dlg, IDC_SETUP_CANCEL)->objectName(), "2");
    // Tab order is the template's order.
    const auto nextStop = [](QWidget* pWidget) {
        QWidget* pNext = pWidget->nextInFocusChain();
        while (pNext->focusPolicy() == Qt::NoFocus)
            pNext = pNext->nextInFocusChain();
        return pNext;
    };
    for (size_t i = 0; i + 1 < std::size(boxes); ++i)
        EXPECT_EQ(nextStop(Box(boxes[i].nId)), Box(boxes[i + 1].nId)) << boxes[i].nId;
    EXPECT_EQ(nextStop(Box(IDC_SETUP_PHASE_CHECK)), Edit());
    EXPECT_EQ(nextStop(Edit()), Control<QPushButton>(dlg, IDC_SETUP_OK));

    const QList<QLabel*> labels = dlg.findChildren<QLabel*>();
    ASSERT_EQ(labels.size(), 1);
    EXPECT_EQ(labels[0]->text(), W(L"自动IMEI（主卡）起始号（勾选自动生成IMEI时有效）："));
    EXPECT_EQ(Control<QPushButton>(dlg, IDC_SETUP_OK)->text(), W(L"确定"));
    EXPECT_EQ(Control<QPushButton>(dlg, IDC_SETUP_CANCEL)->text(), W(L"取消"));
    EXPECT_TRUE(Control<QPushButton>(dlg, IDC_SETUP_OK)->isDefault());

    EXPECT_EQ(Edit()->maxLength(), 14);
    EXPECT_EQ(Edit()->text(), "35000000000000");
    const QFont editFont = Edit()->font();
    EXPECT_EQ(editFont.family(), "Arial");
    EXPECT_EQ(editFont.weight(), QFont::Bold);
    EXPECT_NEAR(QFontMetrics(editFont).height(), 30, 2);
    EXPECT_TRUE(QFontMetrics(dlg.font()).inFont(QChar(0x84DD)));  // 蓝
    EXPECT_NE(QFontInfo(dlg.font()).family(), W(L"宋体"));        // an installed face
    // The places are ours: nothing clipped, nothing on top of another.
    ExpectLayoutClean(dlg);
    // The start number's 14 digits fit its box.
    EXPECT_LE(QFontMetrics(editFont).horizontalAdvance("88888888888888") + 8, Edit()->width());

    // A screenshot for a person to look at (written beside the test program).
    EXPECT_TRUE(dlg.grab().save(QCoreApplication::applicationDirPath() + "/setup_dialog.png"));
}

TEST_F(SetupDlgTest, OpenSetsTheBoxesAndLocksWhatIsNotInUse) {
    StationSettings s = AllItemsManual();
    s.useSame = 1;
    s.btAuto = 1;
    s.phaseCheck = 1;
    Open(s);
    for (int nId : {IDC_SETUP_IMEI1, IDC_SETUP_IMEI2, IDC_SETUP_IMEI3, IDC_SETUP_USE_SAME,
                    IDC_SETUP_BT, IDC_SETUP_BT_AUTO})
        ExpectState(nId, true, true);
    ExpectState(IDC_SETUP_AUTO_CREATE, false, true);
    ExpectState(IDC_SETUP_AUTO_FROM_IMEI1, false, true);
    // Either mode off locks the start number.
    EXPECT_FALSE(Edit()->isEnabled());
    // PhaseCheck is shown unchecked whatever the block held, and is cleared.
    ExpectState(IDC_SETUP_PHASE_CHECK, false, false);
    EXPECT_EQ(m_settings.phaseCheck, 0);
    Click(IDC_SETUP_PHASE_CHECK);
    ExpectState(IDC_SETUP_PHASE_CHECK, false, false);

    // IMEI1 off locks every IMEI box after it.
    s = StationSettings{};
    s.imei2On = 1;
    s.imei3On = 1;
    s.autoCreate = 1;
    Open(s);
    for (int nId : {IDC_SETUP_IMEI2, IDC_SETUP_IMEI3, IDC_SETUP_AUTO_CREATE,
                    IDC_SETUP_AUTO_FROM_IMEI1, IDC_SETUP_USE_SAME})
        EXPECT_FALSE(Box(nId)->isEnabled()) << nId;
    EXPECT_TRUE(Box(IDC_SETUP_IMEI2)->isChecked());
    EXPECT_TRUE(Box(IDC_SETUP_IMEI1)->isEnabled());
    EXPECT_TRUE(Box(IDC_SETUP_BT)->isEnabled());
    EXPECT_TRUE(Box(IDC_SETUP_BT_AUTO)->isEnabled());  // the Bluetooth boxes have no open rule
    EXPECT_TRUE(Edit()->isEnabled());                  // generation is set

    // IMEI2 or IMEI3 off locks the shared-number and the derivation boxes.
    for (bool bImei2 : {false, true}) {
        s = AllItemsManual();
        s.imei2On = bImei2 ? 0 : 1;
        s.imei3On = bImei2 ? 1 : 0;
        Open(s);
        EXPECT_FALSE(Box(IDC_SETUP_USE_SAME)->isEnabled()) << bImei2;
        EXPECT_FALSE(Box(IDC_SETUP_AUTO_FROM_IMEI1)->isEnabled()) << bImei2;
        EXPECT_TRUE(Box(IDC_SETUP_AUTO_CREATE)->isEnabled()) << bImei2;
    }

    // Both modes set (a block edited by hand): derivation locks the start
    // number, as a click on its box does.
    s = AllItemsManual();
    s.autoCreate = 1;
    s.autoFromImei1 = 1;
    Open(s);
    EXPECT_FALSE(Edit()->isEnabled());
}

TEST_F(SetupDlgTest, UncheckingImei1ClearsEveryBoxThatDependsOnIt) {
    StationSettings s = AllItemsManual();
    s.autoCreate = 1;
    s.useSame = 1;
    Open(s);
    Click(IDC_SETUP_IMEI1);
    ExpectState(IDC_SETUP_IMEI1, false, true);
    for (int nId : {IDC_SETUP_IMEI2, IDC_SETUP_IMEI3, IDC_SETUP_AUTO_CREATE,
                    IDC_SETUP_AUTO_FROM_IMEI1, IDC_SETUP_USE_SAME})
        ExpectState(nId, false, false);
    ExpectState(IDC_SETUP_BT, true, true);

    // Checking it again unlocks the boxes but checks none, nor the shared box.
    Click(IDC_SETUP_IMEI1);
    for (int nId :
         {IDC_SETUP_IMEI2, IDC_SETUP_IMEI3, IDC_SETUP_AUTO_CREATE, IDC_SETUP_AUTO_FROM_IMEI1})
        ExpectState(nId, false, true);
    ExpectState(IDC_SETUP_USE_SAME, false, false);
}

TEST_F(SetupDlgTest, Imei2AndImei3RuleTheSharedNumberBox) {
    StationSettings s = AllItemsManual();
    s.useSame = 1;
    Open(s);
    for (int nId : {IDC_SETUP_IMEI2, IDC_SETUP_IMEI3}) {
        Click(nId);
        ExpectState(nId, false, true);
        ExpectState(IDC_SETUP_USE_SAME, false, false);
        Click(nId);
        ExpectState(nId, true, true);
        ExpectState(IDC_SETUP_USE_SAME, false, true);
        Click(IDC_SETUP_USE_SAME);  // the shared box itself changes nothing else
        ExpectState(IDC_SETUP_USE_SAME, true, true);
    }
}

TEST_F(SetupDlgTest, StartNumberIsUsableOnOpenExactlyInGenerationMode) {
    StationSettings s = AllItemsManual();
    Open(s);
    EXPECT_FALSE(Edit()->isEnabled());
    s.autoCreate = 1;
    Open(s);
    EXPECT_TRUE(Edit()->isEnabled());
    s.autoFromImei1 = 1;
    Open(s);
    EXPECT_FALSE(Edit()->isEnabled());
}

TEST_F(SetupDlgTest, GenerationBoxUnlocksTheStartNumberAndExcludesDerivation) {
    StationSettings s = AllItemsManual();
    s.autoFromImei1 = 1;
    Open(s);
    Click(IDC_SETUP_AUTO_CREATE);
    ExpectState(IDC_SETUP_AUTO_CREATE, true, true);
    ExpectState(IDC_SETUP_AUTO_FROM_IMEI1, false, false);
    ExpectState(IDC_SETUP_USE_SAME, false, true);
    EXPECT_TRUE(Edit()->isEnabled());

    Click(IDC_SETUP_USE_SAME);
    Click(IDC_SETUP_AUTO_CREATE);
    ExpectState(IDC_SETUP_AUTO_CREATE, false, true);
    ExpectState(IDC_SETUP_AUTO_FROM_IMEI1, false, true);
    ExpectState(IDC_SETUP_USE_SAME, false, false);
    EXPECT_FALSE(Edit()->isEnabled());

    // The shared box follows IMEI2 as it was when the dialog opened, not the
    // IMEI(2) box now.
    Click(IDC_SETUP_IMEI2);  // IMEI(2) off: the shared box is locked
    ExpectState(IDC_SETUP_USE_SAME, false, false);
    Click(IDC_SETUP_AUTO_CREATE);
    ExpectState(IDC_SETUP_USE_SAME, false, true);

    s = AllItemsManual();
    s.imei2On = 0;
    Open(s);
    Click(IDC_SETUP_IMEI2);  // IMEI(2) on unlocks the shared box
    ExpectState(IDC_SETUP_USE_SAME, false, true);
    Click(IDC_SETUP_AUTO_CREATE);
    Click(IDC_SETUP_AUTO_CREATE);  // generation off locks it
    ExpectState(IDC_SETUP_USE_SAME, false, false);
    Click(IDC_SETUP_AUTO_CREATE);  // generation on: IMEI2 was off at open, it stays locked
    ExpectState(IDC_SETUP_USE_SAME, false, false);
}

TEST_F(SetupDlgTest, DerivationBoxLocksGenerationAndTheStartNumber) {
    StationSettings s = AllItemsManual();
    s.autoCreate = 1;
    s.useSame = 1;
    Open(s);
    Click(IDC_SETUP_AUTO_FROM_IMEI1);
    ExpectState(IDC_SETUP_AUTO_FROM_IMEI1, true, true);
    ExpectState(IDC_SETUP_AUTO_CREATE, false, false);
    ExpectState(IDC_SETUP_USE_SAME, false, false);
    EXPECT_FALSE(Edit()->isEnabled());

    Click(IDC_SETUP_AUTO_FROM_IMEI1);
    ExpectState(IDC_SETUP_AUTO_FROM_IMEI1, false, true);
    ExpectState(IDC_SETUP_AUTO_CREATE, false, true);
    ExpectState(IDC_SETUP_USE_SAME, false, true);
    // Unchecking derivation unlocks the start number even without generation.
    EXPECT_TRUE(Edit()->isEnabled());
}

TEST_F(SetupDlgTest, BluetoothBoxRulesItsGenerationBox) {
    StationSettings s = AllItemsManual();
    s.btAuto = 1;
    Open(s);
    Click(IDC_SETUP_BT);
    ExpectState(IDC_SETUP_BT, false, true);
    ExpectState(IDC_SETUP_BT_AUTO, false, false);
    Click(IDC_SETUP_BT);
    ExpectState(IDC_SETUP_BT_AUTO, false, true);
    Click(IDC_SETUP_BT_AUTO);
    ExpectState(IDC_SETUP_BT_AUTO, true, true);
    ExpectState(IDC_SETUP_BT, true, true);
}

TEST_F(SetupDlgTest, OkRefusesABadStartNumberAndKeepsWhatItStored) {
    const StationSettings s = AllItemsManual();
    Open(s);
    Click(IDC_SETUP_AUTO_CREATE);
    Click(IDC_SETUP_BT);
    TypeStartNumber("3500000000000");  // 13 characters
    ClickButton(IDC_SETUP_OK);
    ASSERT_EQ(m_pDlg->messages.size(), 1u);
    EXPECT_EQ(m_pDlg->messages[0], L"请输入14位起始IMEI");
    EXPECT_TRUE(m_pDlg->isVisible());
    EXPECT_EQ(m_pDlg->result(), QDialog::Rejected);  // not ended: still 0
    // What the refused OK stored stays in the block.
    EXPECT_EQ(m_settings.autoCreate, 1);
    EXPECT_EQ(m_settings.btOn, 0);
    EXPECT_EQ(m_settings.startNumber, L"3500000000000");

    TypeStartNumber("35000000a00000");  // a letter among 14
    ClickButton(IDC_SETUP_OK);
    ASSERT_EQ(m_pDlg->messages.size(), 2u);
    EXPECT_EQ(m_pDlg->messages[1], L"IMEI必须为0~9数字");
    EXPECT_TRUE(m_pDlg->isVisible());
    // A full-width digit is no digit either (typed in by an input method).
    Edit()->setText(W(L"3500000000000０"));
    ClickButton(IDC_SETUP_OK);
    ASSERT_EQ(m_pDlg->messages.size(), 3u);
    EXPECT_EQ(m_pDlg->messages[2], L"IMEI必须为0~9数字");
    EXPECT_EQ(m_settings.startNumber, W(L"3500000000000０").toStdWString());

    // Cancel afterwards stores nothing more and takes nothing back.
    TypeStartNumber("11111111111111");
    Click(IDC_SETUP_IMEI1);
    ClickButton(IDC_SETUP_CANCEL);
    EXPECT_FALSE(m_pDlg->isVisible());
    EXPECT_EQ(m_pDlg->result(), QDialog::Rejected);
    EXPECT_EQ(m_settings.autoCreate, 1);
    EXPECT_EQ(m_settings.imei1On, 1);
    EXPECT_EQ(m_settings.startNumber, W(L"3500000000000０").toStdWString());
    EXPECT_EQ(m_pDlg->messages.size(), 3u);
}

TEST_F(SetupDlgTest, OkStoresAllNineStatesAndTheStartNumber) {
    Open(AllItemsManual());
    Click(IDC_SETUP_AUTO_CREATE);
    Click(IDC_SETUP_USE_SAME);
    Click(IDC_SETUP_IMEI3);  // IMEI(3) off also clears the shared box
    Click(IDC_SETUP_IMEI2);
    Click(IDC_SETUP_IMEI2);
    Click(IDC_SETUP_USE_SAME);
    Click(IDC_SETUP_BT_AUTO);
    TypeStartNumber("86012345678901");
    ClickButton(IDC_SETUP_OK);
    EXPECT_TRUE(m_pDlg->messages.empty());
    EXPECT_FALSE(m_pDlg->isVisible());
    EXPECT_EQ(m_pDlg->result(), QDialog::Accepted);
    EXPECT_EQ(EditedFields(m_settings),
              std::make_tuple(1, 1, 0, 1, 0, 1, 0, 1, 1, std::wstring(L"86012345678901")));

    // In derivation mode the start number is not tested.
    StationSettings s = AllItemsManual();
    s.autoCreate = 1;
    s.startNumber = L"12ab";
    Open(s);
    Click(IDC_SETUP_AUTO_FROM_IMEI1);
    ClickButton(IDC_SETUP_OK);
    EXPECT_TRUE(m_pDlg->messages.empty());
    EXPECT_EQ(m_pDlg->result(), QDialog::Accepted);
    EXPECT_EQ(EditedFields(m_settings),
              std::make_tuple(1, 1, 1, 0, 1, 0, 0, 1, 0, std::wstring(L"12ab")));
}

TEST_F(SetupDlgTest, CancelAndEscStoreNothing) {
    StationSettings s = AllItemsManual();
    s.phaseCheck = 0;
    Open(s);
    Click(IDC_SETUP_IMEI1);
    Click(IDC_SETUP_BT);
    ClickButton(IDC_SETUP_CANCEL);
    EXPECT_EQ(m_pDlg->result(), QDialog::Rejected);
    EXPECT_EQ(EditedFields(m_settings), EditedFields(s));

    Open(s);
    Click(IDC_SETUP_AUTO_CREATE);
    TypeStartNumber("123");
    QTest::keyClick(m_pDlg.get(), Qt::Key_Escape);
    EXPECT_FALSE(m_pDlg->isVisible());
    EXPECT_EQ(EditedFields(m_settings), EditedFields(s));
    EXPECT_TRUE(m_pDlg->messages.empty());
}

TEST_F(SetupDlgTest, DoModalOpensFilledAndEnterPressesOk) {
    TestApp();
    StationSettings s = AllItemsManual();
    s.autoCreate = 1;
    s.startNumber = L"3500000000000";
    CRecordingSetupDlg dlg(&s);
    QTimer::singleShot(5000, &dlg, [&] { dlg.done(-1); });  // a hung loop fails, not hangs
    // Enter in the start number presses OK: a short number is refused, the
    // dialog stays in its loop until Cancel.
    QTimer::singleShot(0, &dlg, [&] {
        auto* pEdit = Control<QLineEdit>(dlg, IDC_SETUP_START_NUMBER);
        EXPECT_TRUE(Control<QCheckBox>(dlg, IDC_SETUP_AUTO_CREATE)->isChecked());
        QTest::keyClick(pEdit, Qt::Key_Return);
        EXPECT_EQ(dlg.messages.size(), 1u);
        EXPECT_TRUE(dlg.isVisible());
        QTest::keyClicks(pEdit, "7");
        QTest::keyClick(pEdit, Qt::Key_Return);
    });
    EXPECT_EQ(dlg.DoModal(), QDialog::Accepted);
    EXPECT_EQ(s.startNumber, L"35000000000007");
}

TEST(SetupDlg, RefusedOkShowsItsMessageInABox) {
    TestApp();
    StationSettings s = AllItemsManual();
    s.autoCreate = 1;
    s.startNumber = L"123";
    CSetupDlg dlg(&s);
    dlg.OnInitDialog();
    dlg.show();
    EXPECT_EQ(MessageBoxOf(dlg, [&] { dlg.OnOK(); }), W(L"请输入14位起始IMEI"));
    EXPECT_TRUE(dlg.isVisible());
}
