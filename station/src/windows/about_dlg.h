// CAboutDlg: the About box (template 100), reached from the main window's
// system menu. It shows the program's version and build texts.
#pragma once

#include <QDialog>

#include "version_read.h"

class QLabel;

// Control ids of template 100.
enum AboutControlId {
    IDC_ABOUT_VERSION = 1031,
    IDC_ABOUT_BUILD = 1032,
    IDC_ABOUT_OK = 1,
};

// The owner's notice line above "All rights reserved.".
extern const wchar_t MSG_ABOUT_OWNER_NOTICE[];

class CAboutDlg : public QDialog {
public:
    explicit CAboutDlg(const ProgramVersion& version, QWidget* pParent = nullptr);
    CAboutDlg(const CAboutDlg&) = delete;
    CAboutDlg& operator=(const CAboutDlg&) = delete;

    // Runs OnInitDialog, then the box modally; returns its result.
    int DoModal();
    // Shows the version text in 1031 and the build text in 1032.
    void OnInitDialog();

private:
    void CreateControls();
    QLabel* AddStatic(int nId, const wchar_t* lpszText, int x, int y, int w, int h);

    ProgramVersion m_version;
    QLabel* m_pVersion = nullptr;
    QLabel* m_pBuild = nullptr;
};
