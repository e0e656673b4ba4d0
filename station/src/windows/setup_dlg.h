// CSetupDlg: the Setup dialog (template 130). It edits the first part of the
// main window's StationSettings in place: which items are written and how
// the numbers are produced.
#pragma once

#include <QDialog>
#include <QString>

#include <string>

#include "station_settings.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

// Control ids of template 130.
enum SetupControlId {
    IDC_SETUP_IMEI1 = 1006,
    IDC_SETUP_IMEI2 = 1010,
    IDC_SETUP_IMEI3 = 1011,
    IDC_SETUP_AUTO_CREATE = 1014,
    IDC_SETUP_AUTO_FROM_IMEI1 = 1015,
    IDC_SETUP_USE_SAME = 1021,
    IDC_SETUP_BT = 1027,
    IDC_SETUP_BT_AUTO = 1028,
    IDC_SETUP_PHASE_CHECK = 1008,
    IDC_SETUP_START_NUMBER = 1012,
    IDC_SETUP_OK = 1,
    IDC_SETUP_CANCEL = 2,
};

// The messages of a refused OK.
extern const wchar_t MSG_START_NUMBER_LENGTH[];
// The start number's caption when the IMEIs come from the line's pool (%s:
// the pool's name).
extern const wchar_t MSG_START_NUMBER_FROM_POOL[];

class CSetupDlg : public QDialog {
public:
    // pSettings is the window's block; it must outlive the dialog.
    explicit CSetupDlg(StationSettings* pSettings, QWidget* pParent = nullptr);
    CSetupDlg(const CSetupDlg&) = delete;
    CSetupDlg& operator=(const CSetupDlg&) = delete;

    // Generation draws its IMEIs from this pool of the line's record: the
    // start number is then not used, and the dialog says so (its box stays
    // disabled and is not checked on OK). Call before OnInitDialog.
    void SetPool(const std::wstring& pool) { m_pool = pool; }

    // Runs OnInitDialog, then the dialog modally; returns QDialog::Accepted
    // (OK) or QDialog::Rejected (Cancel, Esc, the close box).
    int DoModal();
    // Fills the controls from the settings and applies the enable rules.
    void OnInitDialog();

    // OK: stores the nine check states and the start number, then checks the
    // start number in generation mode; the dialog stays open when it is
    // refused (what was stored stays stored).
    void OnOK();
    // Cancel: closes without storing.
    void OnCancel();

    // Enter presses OK and Esc cancels, as the buttons do.
    void accept() override { OnOK(); }
    void reject() override { OnCancel(); }

protected:
    // Shows a refused OK's message to the operator; tests replace it so that
    // no modal box blocks them.
    virtual void ShowMessage(const QString& text);

private:
    void CreateControls();
    QCheckBox* AddCheck(int nId, const wchar_t* lpszText, int x, int y, int w, int h);
    QPushButton* AddButton(int nId, const wchar_t* lpszText, int x, int y, int w, int h);

    // The click handlers of the check boxes that change other controls.
    void OnClickedImei1();
    void OnClickedImei2Or3(const QCheckBox* pClicked);
    void OnClickedAutoCreate();
    void OnClickedAutoFromImei1();
    void OnClickedBt();

    StationSettings* m_pSettings;
    std::wstring m_startNumber;
    std::wstring m_pool;
    // imei2On as it stood when the dialog opened (the generation box's click
    // rule reads it, not the IMEI(2) box).
    bool m_bImei2OnAtOpen = false;

    QCheckBox* m_pImei1 = nullptr;
    QCheckBox* m_pImei2 = nullptr;
    QCheckBox* m_pImei3 = nullptr;
    QCheckBox* m_pAutoCreate = nullptr;
    QCheckBox* m_pAutoFromImei1 = nullptr;
    QCheckBox* m_pUseSame = nullptr;
    QCheckBox* m_pBt = nullptr;
    QCheckBox* m_pBtAuto = nullptr;
    QCheckBox* m_pPhaseCheck = nullptr;
    QLineEdit* m_pStartNumber = nullptr;
    QLabel* m_pStartCaption = nullptr;
    QPushButton* m_pOk = nullptr;
    QPushButton* m_pCancel = nullptr;
};
