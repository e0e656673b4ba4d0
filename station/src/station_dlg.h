// CStationDlg: the station's main window (template 102). It owns the
// settings, the number state and the port list; the logic lives in the
// widget-free classes it calls (CSettingsFile, CNumberRules, port_list).
#pragma once

#include <QDialog>

#include <array>
#include <string>
#include <vector>

#include "color_label.h"
#include "number_rules.h"
#include "platform/win_types.h"
#include "station_settings.h"
#include "version_read.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class CDigitEdit;

// Control ids of template 102.
enum StationControlId {
    IDC_IMEI1 = 1022,
    IDC_IMEI2 = 1014,
    IDC_IMEI3 = 1016,
    IDC_BT_ADDR = 1015,
    IDC_WRITE = 1004,
    IDC_SETUP = 1003,
    IDC_PORT_LIST = 1005,
    IDC_READ = 1023,
    IDC_STOP = 1030,
    IDC_RESULT = 1026,
    IDC_CAPTION_IMEI1 = 1017,
    IDC_CAPTION_IMEI2 = 1018,
    IDC_CAPTION_IMEI3 = 1020,
    IDC_CAPTION_BT_ADDR = 1019,
};

// Label colours of the write job's states.
constexpr COLORREF ColorIdle = RGB(58, 110, 165);
constexpr COLORREF ColorWait = RGB(255, 255, 0);
constexpr COLORREF ColorPass = RGB(0, 128, 0);
constexpr COLORREF ColorFail = RGB(255, 0, 0);

extern const wchar_t kMsgEnterImei[];

class CStationDlg : public QDialog {
public:
    explicit CStationDlg(const ProgramVersion& version, QWidget* pParent = nullptr);
    ~CStationDlg() override;
    CStationDlg(const CStationDlg&) = delete;
    CStationDlg& operator=(const CStationDlg&) = delete;

    // Runs OnInitDialog, then the dialog modally; returns its result.
    int DoModal();
    // The window's set-up when it opens. FALSE when the settings file cannot
    // be located (the window then opens without settings).
    bool OnInitDialog();

    // Settings file handling (the close box writes them back, Esc never).
    void LoadSettings();
    void SaveSettings();

    // The number rules on the window's boxes.
    void PrepareNumbers();
    bool ValidateInput();

    // The port list, filled once when the window opens.
    void FillPortList();
    void OnPortSelChange();

    // Shows a text on the result label in a colour, remembering it as statusText.
    void ShowStatus(const std::wstring& text, COLORREF crBk);

    // Tests and the batch mode use these.
    void SetSettingsPath(const std::wstring& path) {
        m_settingsFile.SetPath(path);
        m_bPathGiven = true;
    }
    StationSettings& Settings() { return m_settings; }
    const PortSetting& Port() const { return m_port; }
    const std::wstring& StatusText() const { return m_statusText; }
    const CNumberRules& Rules() const { return m_rules; }
    HANDLE ModeEvent() const { return m_hModeEvent; }
    HANDLE StopEvent() const { return m_hStopEvent; }

protected:
    void closeEvent(QCloseEvent* pEvent) override;

private:
    void CreateControls();
    QLabel* AddStatic(int nId, const wchar_t* lpszText, Qt::Alignment align, int x, int y, int w,
                      int h);
    CDigitEdit* AddEdit(int nId, int nMaxChars, int x, int y, int w, int h);
    QPushButton* AddButton(int nId, const wchar_t* lpszText, int x, int y, int w, int h);
    void AddFrame(int x, int y, int w, int h);

    // Data exchange between the widgets and the boxes the rules work on.
    void UpdateBoxesFromControls();
    void UpdateControlsFromBoxes();
    void FocusFirstBoxOrWrite();

    ProgramVersion m_version;
    CSettingsFile m_settingsFile;
    bool m_bPathGiven = false;
    StationSettings m_settings;
    PortSetting m_port;
    CNumberRules m_rules{m_settings};
    NumberBoxes m_boxes;
    std::wstring m_statusText;
    HANDLE m_hModeEvent = nullptr;
    HANDLE m_hStopEvent = nullptr;
    bool m_bSettingsRead = false;

    CDigitEdit* m_pImei1 = nullptr;
    CDigitEdit* m_pImei2 = nullptr;
    CDigitEdit* m_pImei3 = nullptr;
    CDigitEdit* m_pBtAddr = nullptr;
    QPushButton* m_pWrite = nullptr;
    QPushButton* m_pSetup = nullptr;
    QPushButton* m_pRead = nullptr;
    QPushButton* m_pStop = nullptr;
    QComboBox* m_pPortList = nullptr;
    CColorLabel* m_pResult = nullptr;
    QFont m_fontBoxes;
    QFont m_fontLabel;
    bool m_bSyncing = false;
};
