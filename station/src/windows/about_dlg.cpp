// The About box: template 100 and its version texts.
#include "about_dlg.h"

#include <QIcon>
#include <QLabel>
#include <QPushButton>

#include <algorithm>

#include "dialog_layout.h"

const wchar_t MSG_ABOUT_OWNER_NOTICE[] = L"Copyright (C) Stampwell line tools";

namespace {

QString Q(const wchar_t* lpsz) {
    return QString::fromWCharArray(lpsz);
}

}  // namespace

CAboutDlg::CAboutDlg(const ProgramVersion& version, QWidget* pParent)
    : QDialog(pParent), m_version(version) {
    setObjectName("100");
    setWindowTitle(Q(L"关于Stampwell"));
    CreateControls();
}

int CAboutDlg::DoModal() {
    OnInitDialog();
    return exec();
}

void CAboutDlg::CreateControls() {
    InstallFontSubstitutions();
    setFont(MakeDialogFont(Q(L"宋体"), 9));
    const CDialogUnits units(font());
    setFixedSize(units.Size(315, 97));

    // The places are this box's own: the icon on the left, the texts beside
    // it, the OK button on the right.
    auto* pIcon = new QLabel(this);
    const QRect iconRect = units.Rect(11, 14, 21, 20);
    const int nIcon = std::min(iconRect.width(), iconRect.height());
    pIcon->setGeometry(iconRect.x(), iconRect.y(), nIcon, nIcon);
    pIcon->setPixmap(QIcon(":/stampwell/icon.png").pixmap(nIcon, nIcon));

    AddStatic(0, L"Stampwell TOOL", 44, 12, 150, 9);
    AddStatic(0, L"Version:", 44, 27, 34, 9);
    m_pVersion = AddStatic(IDC_ABOUT_VERSION, L"", 80, 27, 110, 9);
    AddStatic(0, L"Build:", 44, 41, 34, 9);
    m_pBuild = AddStatic(IDC_ABOUT_BUILD, L"", 80, 41, 110, 9);
    AddStatic(0, MSG_ABOUT_OWNER_NOTICE, 44, 60, 200, 9);
    AddStatic(0, L"All rights reserved.", 44, 74, 200, 9);

    auto* pOk = new QPushButton("OK", this);
    pOk->setObjectName(QString::number(IDC_ABOUT_OK));
    pOk->setAutoDefault(false);
    // Enter and the button both close the box.
    pOk->setDefault(true);
    pOk->setGeometry(units.Rect(254, 10, 50, 16));
    connect(pOk, &QPushButton::clicked, this, &QDialog::accept);
}

QLabel* CAboutDlg::AddStatic(int nId, const wchar_t* lpszText, int x, int y, int w, int h) {
    const CDialogUnits units(font());
    auto* pLabel = new QLabel(Q(lpszText), this);
    if (nId != 0)
        pLabel->setObjectName(QString::number(nId));
    pLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    const QRect r = units.Rect(x, y, w, h);
    pLabel->setGeometry(r.x(), r.y(), r.width(), std::max(r.height(), fontMetrics().height()));
    return pLabel;
}

void CAboutDlg::OnInitDialog() {
    m_pVersion->setText(QString::fromStdWString(m_version.version));
    m_pBuild->setText(QString::fromStdWString(m_version.build));
}
