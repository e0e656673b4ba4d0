// The Setup dialog: template 130, its open rules, the check-box click rules
// and the start-number check on OK.
#include "setup_dlg.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include <algorithm>
#include <initializer_list>
#include <utility>

#include "dialog_layout.h"
#include "number_rules.h"
#include "platform/win_format.h"

const wchar_t MSG_START_NUMBER_LENGTH[] = L"请输入14位起始IMEI";
const wchar_t MSG_START_NUMBER_FROM_POOL[] = L"IMEI来自号码池 %s，不使用起始号：";

namespace {

constexpr int kStartNumberChars = 14;

QString Q(const wchar_t* lpsz) {
    return QString::fromWCharArray(lpsz);
}

int Flag(const QCheckBox* pBox) {
    return pBox->isChecked() ? 1 : 0;
}

void Disable(std::initializer_list<QWidget*> controls) {
    for (QWidget* pControl : controls)
        pControl->setEnabled(false);
}
void Enable(std::initializer_list<QWidget*> controls) {
    for (QWidget* pControl : controls)
        pControl->setEnabled(true);
}
void Uncheck(std::initializer_list<QCheckBox*> boxes) {
    for (QCheckBox* pBox : boxes)
        pBox->setChecked(false);
}

}  // namespace

CSetupDlg::CSetupDlg(StationSettings* pSettings, QWidget* pParent)
    : QDialog(pParent), m_pSettings(pSettings) {
    setObjectName("130");
    setWindowTitle("Setup");
    CreateControls();
}

int CSetupDlg::DoModal() {
    OnInitDialog();
    return exec();
}

void CSetupDlg::CreateControls() {
    InstallFontSubstitutions();
    setFont(MakeDialogFont(Q(L"宋体"), 10));
    const CDialogUnits units(font());
    setFixedSize(units.Size(283, 134));

    // Template order, which is also the tab order. The places are this
    // dialog's own: the items in use on top, the ways of producing numbers
    // below, then the start number and the buttons.
    m_pImei1 = AddCheck(IDC_SETUP_IMEI1, L"IMEI(1)", 14, 12, 56, 10);
    m_pImei2 = AddCheck(IDC_SETUP_IMEI2, L"IMEI(2)", 80, 12, 56, 10);
    m_pImei3 = AddCheck(IDC_SETUP_IMEI3, L"IMEI(3)", 146, 12, 56, 10);
    m_pAutoCreate = AddCheck(IDC_SETUP_AUTO_CREATE, L"自动生成IMEI", 14, 30, 64, 10);
    m_pAutoFromImei1 =
        AddCheck(IDC_SETUP_AUTO_FROM_IMEI1, L"由IMEI1自动生成其他IMEI", 80, 30, 128, 10);
    m_pUseSame = AddCheck(IDC_SETUP_USE_SAME, L"三卡IMEI相同", 212, 30, 64, 10);
    m_pBt = AddCheck(IDC_SETUP_BT, L"蓝牙", 14, 48, 56, 10);
    m_pBtAuto = AddCheck(IDC_SETUP_BT_AUTO, L"自动生成蓝牙", 80, 48, 70, 10);
    m_pPhaseCheck = AddCheck(IDC_SETUP_PHASE_CHECK, L"PhaseCheck", 212, 12, 62, 10);

    m_pStartNumber = new QLineEdit(this);
    m_pStartNumber->setObjectName(QString::number(IDC_SETUP_START_NUMBER));
    m_pStartNumber->setMaxLength(kStartNumberChars);
    m_pStartNumber->setGeometry(units.Rect(14, 80, 160, 20));

    auto* pCaption = new QLabel(Q(L"自动IMEI（主卡）起始号（勾选自动生成IMEI时有效）："), this);
    m_pStartCaption = pCaption;
    pCaption->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    const QRect captionRect = units.Rect(14, 68, 260, 10);
    pCaption->setGeometry(captionRect.x(), captionRect.y(), captionRect.width(),
                          std::max(captionRect.height(), fontMetrics().height()));

    m_pOk = AddButton(IDC_SETUP_OK, L"确定", 160, 110, 52, 16);
    m_pCancel = AddButton(IDC_SETUP_CANCEL, L"取消", 220, 110, 52, 16);
    // Enter in the dialog presses OK, as in any dialog with a default button.
    m_pOk->setDefault(true);

    connect(m_pImei1, &QCheckBox::clicked, this, [this] { OnClickedImei1(); });
    connect(m_pImei2, &QCheckBox::clicked, this, [this] { OnClickedImei2Or3(m_pImei2); });
    connect(m_pImei3, &QCheckBox::clicked, this, [this] { OnClickedImei2Or3(m_pImei3); });
    connect(m_pAutoCreate, &QCheckBox::clicked, this, [this] { OnClickedAutoCreate(); });
    connect(m_pAutoFromImei1, &QCheckBox::clicked, this, [this] { OnClickedAutoFromImei1(); });
    connect(m_pBt, &QCheckBox::clicked, this, [this] { OnClickedBt(); });
    connect(m_pOk, &QPushButton::clicked, this, [this] { OnOK(); });
    connect(m_pCancel, &QPushButton::clicked, this, [this] { OnCancel(); });
}

QCheckBox* CSetupDlg::AddCheck(int nId, const wchar_t* lpszText, int x, int y, int w, int h) {
    return CDialogUnits(font()).Place(new QCheckBox(Q(lpszText), this), nId, x, y, w, h);
}

QPushButton* CSetupDlg::AddButton(int nId, const wchar_t* lpszText, int x, int y, int w, int h) {
    // Only the button made default below answers Enter; focus does not move it.
    return CDialogUnits(font()).Place(NewTemplateButton(this, Q(lpszText)), nId, x, y, w, h);
}

void CSetupDlg::OnInitDialog() {
    const StationSettings& s = *m_pSettings;
    m_pStartNumber->setFont(MakeFont("Arial", 30, 700));
    m_startNumber = s.startNumber;
    m_pStartNumber->setText(QString::fromStdWString(m_startNumber));

    const std::pair<QCheckBox*, int> checks[] = {
        {m_pImei1, s.imei1On},   {m_pImei2, s.imei2On},
        {m_pImei3, s.imei3On},   {m_pBt, s.btOn},
        {m_pBtAuto, s.btAuto},   {m_pAutoCreate, s.autoCreate},
        {m_pUseSame, s.useSame}, {m_pAutoFromImei1, s.autoFromImei1}};
    for (auto [pBox, nFlag] : checks)
        pBox->setChecked(nFlag != 0);
    m_bImei2OnAtOpen = s.imei2On != 0;

    if (!s.imei1On)
        Disable({m_pImei2, m_pImei3, m_pAutoCreate, m_pAutoFromImei1, m_pUseSame});
    if (!s.imei2On)
        Disable({m_pUseSame, m_pAutoFromImei1});
    if (!s.imei3On)
        Disable({m_pUseSame, m_pAutoFromImei1});
    // The start number is usable exactly when numbers are generated from it,
    // as the click rules keep it (and as its caption says).
    if (!s.autoCreate || s.autoFromImei1)
        Disable({m_pStartNumber});
    if (!m_pool.empty()) {
        wchar_t szCaption[256];
        _snwprintf_s(szCaption, 256, _TRUNCATE, MSG_START_NUMBER_FROM_POOL, m_pool.c_str());
        m_pStartCaption->setText(Q(szCaption));
        Disable({m_pStartNumber});
    }

    // The phase check is not offered at this station.
    m_pPhaseCheck->setChecked(false);
    m_pPhaseCheck->setEnabled(false);
    m_pSettings->phaseCheck = 0;
}

void CSetupDlg::OnClickedImei1() {
    if (m_pImei1->isChecked()) {
        Enable({m_pImei2, m_pImei3, m_pAutoCreate, m_pAutoFromImei1});
    } else {
        Disable({m_pImei2, m_pImei3, m_pAutoCreate, m_pAutoFromImei1, m_pUseSame});
        Uncheck({m_pAutoCreate, m_pAutoFromImei1, m_pImei2, m_pImei3, m_pUseSame});
    }
}

void CSetupDlg::OnClickedImei2Or3(const QCheckBox* pClicked) {
    // The box just clicked decides, IMEI(2) or IMEI(3) alike.
    if (pClicked->isChecked()) {
        Enable({m_pUseSame});
    } else {
        Disable({m_pUseSame});
        Uncheck({m_pUseSame});
    }
}

void CSetupDlg::OnClickedAutoCreate() {
    if (m_pAutoCreate->isChecked()) {
        if (m_pool.empty())
            Enable({m_pStartNumber});
        Disable({m_pAutoFromImei1});
        Uncheck({m_pAutoFromImei1});
        if (m_bImei2OnAtOpen)
            Enable({m_pUseSame});
    } else {
        Disable({m_pUseSame});
        Enable({m_pAutoFromImei1});
        Uncheck({m_pUseSame, m_pAutoFromImei1});
        Disable({m_pStartNumber});
    }
}

void CSetupDlg::OnClickedAutoFromImei1() {
    if (m_pAutoFromImei1->isChecked()) {
        Disable({m_pAutoCreate, m_pStartNumber});
        Uncheck({m_pAutoCreate});
        Disable({m_pUseSame});
        Uncheck({m_pUseSame});
    } else {
        Enable({m_pUseSame});
        Uncheck({m_pUseSame});
        Enable({m_pAutoCreate});
        Uncheck({m_pAutoCreate});
        if (m_pool.empty())
            Enable({m_pStartNumber});
    }
}

void CSetupDlg::OnClickedBt() {
    if (m_pBt->isChecked()) {
        Enable({m_pBtAuto});
    } else {
        Disable({m_pBtAuto});
        Uncheck({m_pBtAuto});
    }
}

void CSetupDlg::OnOK() {
    StationSettings& s = *m_pSettings;
    s.imei1On = Flag(m_pImei1);
    s.imei2On = Flag(m_pImei2);
    s.imei3On = Flag(m_pImei3);
    s.autoCreate = Flag(m_pAutoCreate);
    s.autoFromImei1 = Flag(m_pAutoFromImei1);
    s.useSame = Flag(m_pUseSame);
    s.phaseCheck = Flag(m_pPhaseCheck);
    s.btOn = Flag(m_pBt);
    s.btAuto = Flag(m_pBtAuto);
    m_startNumber = m_pStartNumber->text().toStdWString();
    s.startNumber = m_startNumber;

    if (s.autoCreate && m_pool.empty()) {
        if (m_startNumber.size() != kStartNumberChars) {
            ShowMessage(Q(MSG_START_NUMBER_LENGTH));
            return;
        }
        // ASCII digits only: a full-width digit is no digit of an IMEI.
        if (!IsDecimalText(m_startNumber, kStartNumberChars)) {
            ShowMessage(Q(MSG_IMEI_DIGITS));
            return;
        }
    }
    QDialog::accept();
}

void CSetupDlg::OnCancel() {
    QDialog::reject();
}

void CSetupDlg::ShowMessage(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, "Stampwell", text, QMessageBox::Ok, this);
    box.exec();
}
