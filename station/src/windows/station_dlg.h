// CStationDlg: the station's main window (template 102). It owns the
// settings, the number state and the port list; the logic lives in the
// widget-free classes it calls (CSettingsFile, CNumberRules, port_list).
#pragma once

#include <QDialog>
#include <QFileSystemWatcher>
#include <QTimer>

#include <array>
#include <string>
#include <vector>

#include "color_label.h"
#include "digit_edit.h"
#include "job_runner.h"
#include "number_rules.h"
#include "platform/win_types.h"
#include "station_settings.h"
#include "version_read.h"

class CSlotBoard;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;

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

extern const wchar_t MSG_ENTER_IMEI[];
// Asked of the operator who closes the window (or presses Esc) during a job,
// and after Stop while the worker still finishes its write.
extern const wchar_t MSG_STOP_BEFORE_CLOSE[];
extern const wchar_t MSG_WAIT_BEFORE_CLOSE[];

class IJobRecord;

class CStationDlg : public QDialog, private IStationView {
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

    // The port list: filled when the window opens and again whenever ports
    // come or go (the COM port map's directory is watched, and read again
    // every few seconds for hardware). The selection never changes by
    // itself; a configured port that is absent stays selected, marked so.
    void FillPortList();
    void OnPortSelChange();

    // Shows a text on the result label in a colour, remembering it as statusText.
    void ShowStatus(const std::wstring& text, COLORREF crBk);

    // The write job (the runner holds its logic) and the window's buttons.
    void StartJob();
    void OnJobDone();
    void StopWorker();
    void OnStop();
    void OnSetup();
    void ShowAbout();
    // Opens the record of handsets beside the settings file ("Stampwell.db").
    // Without it no job starts: no number may reach a handset unrecorded.
    bool OpenRecord();
    CJobRunner& Runner() { return m_runner; }
    // TRUE when the window closed while a worker was still inside a write.
    bool LeftWorkerRunning() const;
    // A station with slots ([General] Slots): one panel per slot instead of
    // the single handset's controls. Null without slots.
    CSlotBoard* SlotBoard() { return m_pBoard; }

    // Tests and the batch mode use these.
    void SetSettingsPath(const std::wstring& path) {
        m_settingsFile.SetPath(path);
        m_bPathGiven = true;
    }
    StationSettings& Settings() { return m_settings; }
    const PortSetting& Port() const { return m_port; }
    const std::wstring& StatusText() const { return m_statusText; }
    const CNumberRules& Rules() const { return m_rules; }
    HANDLE ModeEvent() const { return m_runner.ModeEvent(); }
    HANDLE StopEvent() const { return m_runner.StopEvent(); }
    const std::wstring& RecordError() const { return m_recordError; }

protected:
    // While a job runs neither the close box nor Esc ends the window: the
    // operator is asked to stop the job first.
    void closeEvent(QCloseEvent* pEvent) override;
    void reject() override;
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;
    bool event(QEvent* pEvent) override;
    void contextMenuEvent(QContextMenuEvent* pEvent) override;

private:
    void CreateControls();
    QLabel* AddStatic(int nId, const wchar_t* lpszText, Qt::Alignment align, int x, int y, int w,
                      int h);
    CDigitEdit* AddEdit(int nId, int nMaxChars, int x, int y, int w, int h,
                        CDigitEdit::Digits digits = CDigitEdit::Digits::Decimal);
    QPushButton* AddButton(int nId, const wchar_t* lpszText, int x, int y, int w, int h);
    QFrame* AddFrame(int x, int y, int w, int h);
    // The counts line in the window's bottom margin, under the frame whose
    // bottom edge is at nFrameBottom.
    void PlaceCounts(int nFrameBottom);
    void ShowCounts();
    std::wstring RecordErrorText() const;

    // Slots: the board in place of the single handset's controls, the
    // window grown to hold it; Write starts every slot, Stop stops them.
    void SetUpSlots(const std::vector<int>& ports);
    // Whether the slots may start; every panel shows why not, or that
    // they may.
    bool CheckSlots();
    void StartSlots();

    // Data exchange between the widgets and the boxes the rules work on.
    void UpdateBoxesFromControls();
    void UpdateControlsFromBoxes();
    bool OnEnter(QWidget* pFrom);
    void ShowSystemMenu(const QPoint& at);
    // TRUE (and the operator told why) when a job or its worker still runs.
    bool RefuseEndDuringJob();
    // Watches the COM port map's directory when it exists (it may appear
    // after the window opened, or move with the environment).
    void WatchPortMap();

    // IStationView, for the job runner.
    void SyncBoxesFromControls() override { UpdateBoxesFromControls(); }
    void SyncControlsFromBoxes() override { UpdateControlsFromBoxes(); }
    void ShowStatus(const std::wstring& text, std::optional<COLORREF> crBk) override;
    void EnableJobControls(bool bEnabled) override;
    void FocusImei1() override;
    void FocusWrite() override;
    void Post(std::function<void()> fn) override;
    void JobFinished(int nResult) override;

    ProgramVersion m_version;
    CSettingsFile m_settingsFile;
    bool m_bPathGiven = false;
    StationSettings m_settings;
    PortSetting m_port;
    CNumberRules m_rules{m_settings};
    NumberBoxes m_boxes;
    std::wstring m_statusText;
    CJobRunner m_runner{m_settings, m_port, m_rules, m_boxes, *this};
    std::shared_ptr<IJobRecord> m_pRecord;
    std::wstring m_pool;  // generation's pool on the line's record, empty for none
    std::wstring m_recordError;
    bool m_bSettingsRead = false;
    bool m_bLeftWorker = false;

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
    QLabel* m_pCounts = nullptr;
    QFrame* m_pOuterFrame = nullptr;
    QFrame* m_pTopLine = nullptr;
    // The controls of the single handset, hidden when the station has slots.
    std::vector<QWidget*> m_singleControls;
    CSlotBoard* m_pBoard = nullptr;
    bool m_bSlotsMade = false;  // every slot's events and session were made
    QFont m_fontBoxes;
    QFont m_fontLabel;
    bool m_bSyncing = false;
    QFileSystemWatcher m_portWatcher;
    QTimer m_portRescan;  // periodic: hardware ports are not in the directory
    QTimer m_portSettle;  // one-shot: a burst of directory changes, read once
};
