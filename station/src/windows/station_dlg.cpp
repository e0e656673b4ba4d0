// The main window: template 102, its open sequence, settings and port list.
#include "station_dlg.h"

#include <QAbstractItemView>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QFileInfo>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>

#include <functional>

#include "about_dlg.h"
#include "dialog_layout.h"
#include "platform/ext/com_port_map.h"
#include "port_list.h"
#include "setup_dlg.h"
#include "slot_panels.h"
#include "station_record.h"

const wchar_t MSG_ENTER_IMEI[] = L"请输入正确IMEI后， 然后按'Enter'键开始";
const wchar_t MSG_STOP_BEFORE_CLOSE[] = L"正在写号，请先按'停止'结束写号，再关闭程序";
const wchar_t MSG_WAIT_BEFORE_CLOSE[] = L"正在结束写号，请稍候再关闭程序";
namespace {
const wchar_t kRecordError[] = L"无法打开记录数据库，不能写号!";
const wchar_t kSlotsNotMade[] = L"无法创建多工位，不能写号!";
}  // namespace

namespace {

QString Q(const std::wstring& text) {
    return QString::fromStdWString(text);
}
QString Q(const wchar_t* lpsz) {
    return QString::fromWCharArray(lpsz);
}

// A message from the write job's worker, run on the window's thread in the
// order posted (the window's WM_JOB_DONE among them).
class CJobEvent : public QEvent {
public:
    static constexpr QEvent::Type kType = static_cast<QEvent::Type>(QEvent::User + WM_JOB_DONE);
    explicit CJobEvent(std::function<void()> fn) : QEvent(kType), m_fn(std::move(fn)) {}
    void Run() { m_fn(); }

private:
    std::function<void()> m_fn;
};

constexpr int kAboutCommand = 0x10;
// How often the port list is read again without a directory change, and how
// long a burst of directory changes is let settle before it is read.
constexpr int kPortRescanMs = 2000;
constexpr int kPortSettleMs = 100;
const wchar_t kAboutMenuText[] = L"About Stampwell(&A)...";

}  // namespace

CStationDlg::CStationDlg(const ProgramVersion& version, QWidget* pParent)
    : QDialog(pParent), m_version(version) {
    // Before the settings are read (they overwrite every one of these).
    m_port.port = -1;
    m_port.usb = 0;
    m_settings.timeoutMs = 3000;
    m_settings.modeWaitMs = 10000;
    setObjectName("102");
    setWindowTitle("Stampwell");
    setWindowIcon(QIcon(":/stampwell/icon.png"));
    CreateControls();
}

CStationDlg::~CStationDlg() {
    // Before anything of the window goes: a worker still running posts
    // nothing from here on. The slots use the window's settings and rules.
    m_runner.Detach();
    delete m_pBoard;
    m_pBoard = nullptr;
}

int CStationDlg::DoModal() {
    OnInitDialog();
    return exec();
}

void CStationDlg::CreateControls() {
    InstallFontSubstitutions();
    setFont(MakeDialogFont(Q(L"宋体"), 14));
    const CDialogUnits units(font());
    setFixedSize(units.Size(328, 283));

    // Template order, which is also the tab order of the tab stops.
    m_pImei1 = AddEdit(IDC_IMEI1, 15, 67, 112, 244, 33);
    m_pImei2 = AddEdit(IDC_IMEI2, 15, 67, 151, 244, 33);
    m_pWrite = AddButton(IDC_WRITE, L"写 IMEI", 270, 8, 45, 36);
    m_pSetup = AddButton(IDC_SETUP, L"设置", 142, 18, 31, 19);
    m_pPortList = new QComboBox(this);
    m_pPortList->setObjectName(QString::number(IDC_PORT_LIST));
    {
        // A drop-down list's template height includes its open list; the
        // closed box is as high as the font needs.
        const QRect r = units.Rect(37, 19, 99, 59);
        const int nClosed = m_pPortList->sizeHint().height();
        m_pPortList->setGeometry(r.x(), r.y(), r.width(), nClosed);
        m_pPortList->setMaxVisibleItems(
            std::max(1, (r.height() - nClosed) / std::max(1, fontMetrics().height())));
    }
    m_pBtAddr = AddEdit(IDC_BT_ADDR, 12, 67, 228, 244, 33, CDigitEdit::Digits::Hex);
    m_pBtAddr->setEnabled(false);
    m_pRead = AddButton(IDC_READ, L"读 IMEI", 181, 18, 38, 19);
    m_pRead->setEnabled(false);
    m_pStop = AddButton(IDC_STOP, L"停止", 231, 18, 31, 19);
    m_pResult = new CColorLabel(this);
    m_pResult->setObjectName(QString::number(IDC_RESULT));
    m_pResult->setGeometry(units.Rect(68, 52, 241, 51));
    m_pResult->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    m_pResult->setWordWrap(true);
    m_pResult->setText("PASS");
    m_singleControls = {m_pImei1, m_pImei2, m_pBtAddr, m_pResult};
    m_singleControls.push_back(
        AddStatic(IDC_CAPTION_IMEI1, L"IMEI(1)", Qt::AlignRight, 20, 124, 41, 8));
    m_singleControls.push_back(
        AddStatic(IDC_CAPTION_IMEI2, L"IMEI(2)", Qt::AlignRight, 17, 162, 44, 8));
    m_singleControls.push_back(
        AddStatic(IDC_CAPTION_BT_ADDR, L"蓝牙地址", Qt::AlignRight, 20, 239, 41, 8));
    m_pImei3 = AddEdit(IDC_IMEI3, 15, 67, 189, 244, 33);
    m_singleControls.push_back(m_pImei3);
    m_singleControls.push_back(
        AddStatic(IDC_CAPTION_IMEI3, L"IMEI(3)", Qt::AlignRight, 17, 200, 44, 8));
    AddStatic(0, L"端口", Qt::AlignLeft, 17, 22, 17, 8);
    m_singleControls.push_back(AddStatic(0, L"测试结果:", Qt::AlignLeft, 22, 53, 37, 8));
    m_pOuterFrame = AddFrame(7, 7, 309, 261);
    m_pTopLine = AddFrame(10, 44, 304, 1);
    // Beyond the template: the jobs since the start, in the bottom margin.
    m_pCounts = new QLabel(Q(JobCountsText(JobCounts())), this);
    m_pCounts->setObjectName("counts");
    PlaceCounts(m_pOuterFrame->geometry().bottom());

    QWidget::setTabOrder(m_pImei1, m_pImei2);
    QWidget::setTabOrder(m_pImei2, m_pWrite);
    QWidget::setTabOrder(m_pWrite, m_pSetup);
    QWidget::setTabOrder(m_pSetup, m_pPortList);
    QWidget::setTabOrder(m_pPortList, m_pBtAddr);
    QWidget::setTabOrder(m_pBtAddr, m_pRead);
    QWidget::setTabOrder(m_pRead, m_pStop);
    QWidget::setTabOrder(m_pStop, m_pImei3);

    for (CDigitEdit* pEdit : {m_pImei1, m_pImei2, m_pImei3}) {
        // A change in an IMEI box takes every box's text at once.
        connect(pEdit, &QLineEdit::textChanged, this, [this] {
            if (!m_bSyncing)
                UpdateBoxesFromControls();
        });
    }
    connect(m_pPortList, &QComboBox::currentIndexChanged, this, [this] { OnPortSelChange(); });
    m_portSettle.setSingleShot(true);
    m_portSettle.setInterval(kPortSettleMs);
    connect(&m_portWatcher, &QFileSystemWatcher::directoryChanged, &m_portSettle,
            qOverload<>(&QTimer::start));
    connect(&m_portSettle, &QTimer::timeout, this, [this] { FillPortList(); });
    m_portRescan.setInterval(kPortRescanMs);
    connect(&m_portRescan, &QTimer::timeout, this, [this] {
        WatchPortMap();
        FillPortList();
    });
    connect(m_pWrite, &QPushButton::clicked, this, [this] { StartJob(); });
    connect(m_pStop, &QPushButton::clicked, this, [this] { OnStop(); });
    connect(m_pSetup, &QPushButton::clicked, this, [this] { OnSetup(); });

    // Keys are looked at before the controls see them.
    for (QWidget* pChild : findChildren<QWidget*>())
        pChild->installEventFilter(this);
    installEventFilter(this);
}

QLabel* CStationDlg::AddStatic(int nId, const wchar_t* lpszText, Qt::Alignment align, int x, int y,
                               int w, int h) {
    const CDialogUnits units(font());
    auto* pLabel = new QLabel(Q(lpszText), this);
    if (nId != 0)
        pLabel->setObjectName(QString::number(nId));
    pLabel->setAlignment(align | Qt::AlignTop);
    // A static control clips its text to its rectangle; Qt labels would
    // otherwise grow. The font's line may exceed a short caption's height.
    const QRect r = units.Rect(x, y, w, h);
    pLabel->setGeometry(r.x(), r.y(), r.width(), std::max(r.height(), fontMetrics().height()));
    return pLabel;
}

CDigitEdit* CStationDlg::AddEdit(int nId, int nMaxChars, int x, int y, int w, int h,
                                 CDigitEdit::Digits digits) {
    auto* pEdit = CDialogUnits(font()).Place(new CDigitEdit(this, digits), nId, x, y, w, h);
    pEdit->setMaxLength(nMaxChars);
    return pEdit;
}

QPushButton* CStationDlg::AddButton(int nId, const wchar_t* lpszText, int x, int y, int w, int h) {
    // Enter is the window's own key: it never presses a button.
    return CDialogUnits(font()).Place(NewTemplateButton(this, Q(lpszText)), nId, x, y, w, h);
}

QFrame* CStationDlg::AddFrame(int x, int y, int w, int h) {
    const CDialogUnits units(font());
    auto* pFrame = new QFrame(this);
    pFrame->setFrameStyle(QFrame::Box | QFrame::Plain);
    pFrame->setLineWidth(1);
    QPalette pal = pFrame->palette();
    pal.setColor(QPalette::WindowText, Qt::black);
    pFrame->setPalette(pal);
    QRect r = units.Rect(x, y, w, h);
    r.setHeight(std::max(1, r.height()));
    pFrame->setGeometry(r);
    pFrame->setAttribute(Qt::WA_TransparentForMouseEvents);
    pFrame->lower();
    return pFrame;
}

void CStationDlg::PlaceCounts(int nFrameBottom) {
    // From the frame's left edge to the window's right margin, centred in
    // the margin under the frame.
    const int nHeight = m_pCounts->fontMetrics().height();
    const int nMargin = height() - nFrameBottom - 1;
    const QRect frame = m_pOuterFrame->geometry();
    m_pCounts->setGeometry(frame.x() + CDialogUnits(font()).BaseX(),
                           nFrameBottom + 1 + std::max(0, (nMargin - nHeight) / 2),
                           frame.width() - CDialogUnits(font()).BaseX(), nHeight);
}

void CStationDlg::ShowCounts() {
    m_pCounts->setText(
        Q(JobCountsText(m_pBoard != nullptr ? m_pBoard->Total() : m_runner.Counts())));
}

void CStationDlg::SetUpSlots(const std::vector<int>& ports) {
    m_pBoard = new CSlotBoard(
        ports, m_settings, m_rules, [this](std::function<void()> fn) { Post(std::move(fn)); },
        this);
    m_pBoard->countsChanged = [this] { ShowCounts(); };
    m_bSlotsMade = m_pBoard->Init(m_pRecord, Utf8Text(m_pool), &m_settingsFile);
    for (QWidget* pControl : m_singleControls)
        pControl->hide();
    // USB is one handset at a time: the list shows the ports, the slots
    // name their own.
    m_pPortList->setEnabled(false);

    // The board under the top row, inside the frame with the frame's own
    // margins, filling it; the window grows to hold more panels than fit.
    const CDialogUnits units(font());
    const QRect outer = m_pOuterFrame->geometry();
    const QRect topLine = m_pTopLine->geometry();
    const QPoint at = units.Rect(10, 46, 0, 0).topLeft();
    const int nInset = at.x() - outer.x();
    const QRect inner(at, QPoint(outer.right() - nInset, outer.bottom() - nInset));
    m_pBoard->setGeometry(QRect(at, m_pBoard->sizeHint().expandedTo(inner.size())));
    const QRect board = m_pBoard->geometry();
    const int nRight = std::max(outer.right(), board.right() + nInset);
    const int nBottom = std::max(outer.bottom(), board.bottom() + nInset);
    const QSize margins(width() - outer.right(), height() - outer.bottom());
    m_pOuterFrame->setGeometry(QRect(outer.topLeft(), QPoint(nRight, nBottom)));
    m_pTopLine->setGeometry(QRect(
        topLine.topLeft(), QPoint(nRight - (outer.right() - topLine.right()), topLine.bottom())));
    setFixedSize(nRight + margins.width(), nBottom + margins.height());
    PlaceCounts(nBottom);
    m_pBoard->show();
    for (QWidget* pChild : m_pBoard->findChildren<QWidget*>())
        pChild->installEventFilter(this);
    m_pBoard->installEventFilter(this);
}

bool CStationDlg::CheckSlots() {
    std::wstring reason;
    if (!m_bSlotsMade)
        reason = kSlotsNotMade;
    else if (m_pRecord == nullptr)
        reason = RecordErrorText();
    else
        SlotsCanRun(m_settings, &reason);
    m_pBoard->ShowReason(reason);
    return reason.empty();
}

void CStationDlg::StartSlots() {
    if (m_pBoard->Running() || !CheckSlots())
        return;
    m_pBoard->RunAll();
    m_pWrite->setEnabled(false);
    m_pSetup->setEnabled(false);
}

std::wstring CStationDlg::RecordErrorText() const {
    return m_recordError.empty() ? kRecordError : m_recordError;
}

bool CStationDlg::LeftWorkerRunning() const {
    return m_bLeftWorker || m_runner.WorkerAlive() ||
           (m_pBoard != nullptr && m_pBoard->WorkerAlive());
}

bool CStationDlg::OnInitDialog() {
    setWindowIcon(QIcon(":/stampwell/icon.png"));
    m_runner.CreateEvents();
    setWindowTitle(QString("Stampwell R") + Q(m_version.version));

    if (!m_bPathGiven && !m_settingsFile.LocateBesideProgram())
        return false;
    LoadSettings();
    m_bSettingsRead = true;
    m_runner.SetSettingsFile(m_settingsFile);
    OpenRecord();
    std::vector<int> slotPorts;
    const bool bSlotsValid = m_settingsFile.LoadSlots(slotPorts);

    m_fontBoxes = MakeFont("Arial", 80, 700);
    for (CDigitEdit* pEdit : {m_pImei1, m_pImei2, m_pImei3, m_pBtAddr})
        pEdit->setFont(m_fontBoxes);
    m_fontLabel = MakeFont("SIMHEI", 50, 700);
    m_pResult->setFont(m_fontLabel);
    m_pResult->SetLabelBkColor(ColorIdle);
    if (!slotPorts.empty())
        SetUpSlots(slotPorts);

    FillPortList();
    WatchPortMap();
    m_portRescan.start();

    m_pSetup->setEnabled(m_settings.userPrivilege != 0);
    if (m_settings.fastWrite == 0)
        m_pRead->setEnabled(false);
    if (m_pBoard != nullptr) {
        CheckSlots();
        m_pWrite->setFocus();
        return true;
    }

    PrepareNumbers();
    m_rules.ShowPreparedOnOpen(m_boxes);
    UpdateControlsFromBoxes();

    if (!m_recordError.empty())
        ShowStatus(m_recordError, ColorFail);
    else if (!bSlotsValid)
        ShowStatus(MSG_SLOTS_INVALID, ColorFail);
    else
        ShowStatus(MSG_ENTER_IMEI, m_pResult->GetLabelBkColor());
    if (m_settings.imei1On && !(m_settings.autoCreate && m_settings.autoFromImei1))
        m_pImei1->setFocus();
    return true;
}

void CStationDlg::LoadSettings() {
    m_settingsFile.LoadSettings(m_settings, m_port);
}

void CStationDlg::SaveSettings() {
    m_settingsFile.SaveSettings(
        m_settings, m_port,
        m_pBoard != nullptr ? m_pBoard->StartNumberForSave() : m_runner.StartNumberForSave());
}

void CStationDlg::PrepareNumbers() {
    m_runner.PrepareNumbers();
}

bool CStationDlg::OpenRecord() {
    RecordSettings recordSettings;
    m_settingsFile.LoadRecordSettings(recordSettings);
    std::string error;
    std::shared_ptr<IJobRecord> pRecord = OpenStationRecord(m_settingsFile, recordSettings, &error);
    if (!pRecord) {
        m_recordError = kRecordError;
        return false;
    }
    m_recordError.clear();
    // Generation resumes past every number the record holds as written or
    // possibly written (a job a crash interrupted counts as written).
    if (m_settings.autoCreate)
        m_rules.RaiseStartNumber(ResumeStartBody(*pRecord, ReadDecimal(m_settings.startNumber)));
    m_pRecord = pRecord;
    m_runner.SetLedger(pRecord);
    if (!recordSettings.server.empty()) {
        m_runner.SetPool(recordSettings.pool);
        m_pool = WideFromUtf8(recordSettings.pool);
    }
    return true;
}

bool CStationDlg::ValidateInput() {
    UpdateBoxesFromControls();
    return m_rules.ValidateInput(m_boxes, m_statusText);
}

void CStationDlg::FillPortList() {
    // Not under the operator's pointer: an open list is left as it is until
    // it closes (the next rescan catches up).
    const std::vector<std::wstring> registered = ::FillPortList();
    if (m_pBoard != nullptr)
        m_pBoard->ShowPortItems(registered);
    if (m_pPortList->view()->isVisible())
        return;
    const std::vector<std::wstring> items = ShownPortItems(registered, m_port);
    bool bSame = static_cast<size_t>(m_pPortList->count()) == items.size();
    for (size_t i = 0; bSame && i < items.size(); ++i)
        bSame = m_pPortList->itemText(static_cast<int>(i)).toStdWString() == items[i];
    if (bSame)
        return;
    // Rebuilt without selection-change messages: the port setting stays as
    // the operator chose it, and the list shows it again.
    m_pPortList->blockSignals(true);
    m_pPortList->clear();
    for (const std::wstring& item : items)
        m_pPortList->addItem(Q(item));
    m_pPortList->setCurrentIndex(ChooseSavedPort(items, m_port));
    m_pPortList->blockSignals(false);
}

void CStationDlg::WatchPortMap() {
    const QString dir = QString::fromStdString(platform::ComPortMapDir());
    const QStringList watched = m_portWatcher.directories();
    if (watched.size() == 1 && watched.front() == dir)
        return;
    if (!watched.isEmpty())
        m_portWatcher.removePaths(watched);
    // A directory that does not exist yet is looked for at the next rescan.
    if (QFileInfo(dir).isDir())
        m_portWatcher.addPath(dir);
}

void CStationDlg::OnPortSelChange() {
    ApplyPortSelection(m_pPortList->currentText().toStdWString(), m_port);
}

void CStationDlg::ShowStatus(const std::wstring& text, COLORREF crBk) {
    ShowStatus(text, std::optional<COLORREF>(crBk));
}

void CStationDlg::UpdateBoxesFromControls() {
    m_boxes.imei1.text = m_pImei1->text().toStdWString();
    m_boxes.imei2.text = m_pImei2->text().toStdWString();
    m_boxes.imei3.text = m_pImei3->text().toStdWString();
    m_boxes.btAddr.text = m_pBtAddr->text().toStdWString();
}

void CStationDlg::UpdateControlsFromBoxes() {
    m_bSyncing = true;
    const std::array<std::pair<CDigitEdit*, EditBox*>, 4> pairs{{{m_pImei1, &m_boxes.imei1},
                                                                 {m_pImei2, &m_boxes.imei2},
                                                                 {m_pImei3, &m_boxes.imei3},
                                                                 {m_pBtAddr, &m_boxes.btAddr}}};
    for (auto [pEdit, pBox] : pairs) {
        if (pEdit->text().toStdWString() != pBox->text)
            pEdit->setText(Q(pBox->text));
        pEdit->setEnabled(pBox->enabled);
    }
    m_bSyncing = false;
}

void CStationDlg::ShowStatus(const std::wstring& text, std::optional<COLORREF> crBk) {
    m_statusText = text;
    if (crBk) {
        m_pResult->SetLabelBkColor(*crBk);
        // After a failure the operator scans the handset again: the new
        // numbers replace what the boxes hold. Boxes of generated numbers
        // take no keys, so every box can be told.
        for (CDigitEdit* pEdit : {m_pImei1, m_pImei2, m_pImei3, m_pBtAddr})
            pEdit->ReplaceOnNextInput(*crBk == ColorFail);
    }
    m_pResult->setText(Q(text));
}

void CStationDlg::EnableJobControls(bool bEnabled) {
    if (!bEnabled) {
        for (QWidget* pControl : std::initializer_list<QWidget*>{
                 m_pImei1, m_pImei2, m_pImei3, m_pBtAddr, m_pWrite, m_pSetup, m_pPortList, m_pRead})
            pControl->setEnabled(false);
        return;
    }
    m_pWrite->setEnabled(true);
    m_pPortList->setEnabled(true);
    m_pSetup->setEnabled(m_settings.userPrivilege != 0);
}

void CStationDlg::FocusImei1() {
    m_pImei1->setFocus();
}
void CStationDlg::FocusWrite() {
    m_pWrite->setFocus();
}

void CStationDlg::Post(std::function<void()> fn) {
    QCoreApplication::postEvent(this, new CJobEvent(std::move(fn)));
}

void CStationDlg::JobFinished(int /*nResult*/) {
    // The runner counted the job before this.
    ShowCounts();
}

bool CStationDlg::event(QEvent* pEvent) {
    if (pEvent->type() == CJobEvent::kType) {
        static_cast<CJobEvent*>(pEvent)->Run();
        return true;
    }
    return QDialog::event(pEvent);
}

void CStationDlg::StartJob() {
    if (m_pBoard != nullptr) {
        StartSlots();
        return;
    }
    if (m_pRecord == nullptr && m_bSettingsRead) {
        ShowStatus(RecordErrorText(), ColorFail);
        return;
    }
    m_runner.StartJob();
}

void CStationDlg::OnJobDone() {
    m_runner.OnJobDone();
}
void CStationDlg::StopWorker() {
    m_runner.StopWorker();
}
void CStationDlg::OnStop() {
    if (m_pBoard == nullptr) {
        m_runner.OnStop();
        return;
    }
    m_pBoard->StopAll();
    m_pWrite->setEnabled(true);
    m_pSetup->setEnabled(m_settings.userPrivilege != 0);
    m_pWrite->setFocus();
}

void CStationDlg::OnSetup() {
    CSetupDlg dlg(&m_settings, this);
    dlg.SetPool(m_pool);
    if (dlg.DoModal() != QDialog::Accepted)
        return;
    if (m_pBoard != nullptr) {
        CheckSlots();
        m_pWrite->setFocus();
        return;
    }
    PrepareNumbers();
    m_rules.ShowPreparedAfterSetup(m_boxes);
    UpdateControlsFromBoxes();
    if (m_settings.imei1On && m_settings.autoFromImei1)
        m_pImei1->setFocus();
    else if (m_settings.btOn && !m_settings.btAuto)
        m_pBtAddr->setFocus();
    else
        m_pWrite->setFocus();
}

void CStationDlg::ShowAbout() {
    CAboutDlg dlg(m_version, this);
    dlg.DoModal();
}

void CStationDlg::ShowSystemMenu(const QPoint& at) {
    // The window's own menu: the About item after a separator, as on the
    // title bar's menu, and Close.
    QMenu menu(this);
    QAction* pClose = menu.addAction("Close");
    menu.addSeparator();
    QAction* pAbout = menu.addAction(Q(kAboutMenuText));
    pAbout->setData(kAboutCommand);
    QAction* pChosen = menu.exec(at);
    if (pChosen == pAbout)
        ShowAbout();
    else if (pChosen == pClose)
        close();
}

void CStationDlg::contextMenuEvent(QContextMenuEvent* pEvent) {
    ShowSystemMenu(pEvent->globalPos());
}

bool CStationDlg::OnEnter(QWidget* pFrom) {
    if (m_pBoard != nullptr) {
        // Slots: Enter anywhere starts them all.
        StartJob();
        return true;
    }
    // The box the key came from is taken once: moving the focus does not
    // make the next test see another box.
    if (pFrom == m_pImei1)
        m_pImei2->setFocus();
    if (pFrom == m_pImei2) {
        m_pImei3->setFocus();
        if (!m_settings.imei3On)
            StartJob();
    }
    if (pFrom == m_pImei3 || m_settings.autoCreate || m_settings.autoFromImei1)
        StartJob();
    return true;
}

bool CStationDlg::eventFilter(QObject* pWatched, QEvent* pEvent) {
    if (pEvent->type() == QEvent::KeyPress) {
        auto* pKey = static_cast<QKeyEvent*>(pEvent);
        QWidget* pWidget = qobject_cast<QWidget*>(pWatched);
        if ((pKey->key() == Qt::Key_Return || pKey->key() == Qt::Key_Enter) && pWidget != nullptr &&
            (pWidget == this || pWidget->window() == this)) {
            // Enter is always the window's: it never presses a button.
            return OnEnter(pWidget);
        }
        if (pKey->key() == Qt::Key_Space && pKey->modifiers() == Qt::AltModifier) {
            ShowSystemMenu(mapToGlobal(QPoint(0, 0)));
            return true;
        }
    }
    return QDialog::eventFilter(pWatched, pEvent);
}

bool CStationDlg::RefuseEndDuringJob() {
    // Slots that run wait for their handsets without end: stopped first too.
    const bool bJob = m_runner.JobActive() || (m_pBoard != nullptr && m_pBoard->JobActive());
    if (!bJob && !LeftWorkerRunning())
        return false;
    QMessageBox box(QMessageBox::NoIcon, "Stampwell",
                    Q(bJob ? MSG_STOP_BEFORE_CLOSE : MSG_WAIT_BEFORE_CLOSE), QMessageBox::Ok, this);
    box.exec();
    return true;
}

void CStationDlg::reject() {
    // Esc: the dialog's cancel path, which never saves. The close box ends
    // the dialog through here too, after its own handling.
    if (RefuseEndDuringJob())
        return;
    m_portRescan.stop();
    m_portSettle.stop();
    QDialog::reject();
}

void CStationDlg::closeEvent(QCloseEvent* pEvent) {
    // The close box, the system menu's Close and Alt+F4 come here; Esc ends
    // the dialog through reject() and never saves.
    if (RefuseEndDuringJob()) {
        pEvent->ignore();
        return;
    }
    // Should the window go all the same (it is destroyed), a worker inside
    // a write finishes on its own and records its result; nothing of the
    // window is touched again. Its numbers count as spent before the start
    // number is stored.
    m_bLeftWorker = LeftWorkerRunning();
    m_runner.Detach();
    if (m_pBoard != nullptr)
        m_pBoard->Detach();
    if (m_bSettingsRead)
        SaveSettings();
    pEvent->accept();
    QDialog::closeEvent(pEvent);
}
