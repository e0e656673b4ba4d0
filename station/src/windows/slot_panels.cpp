// The slots' panels and the board that holds them.
#include "slot_panels.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "dialog_layout.h"
#include "label_colors.h"
#include "platform/win_sync.h"
#include "port_list.h"

const wchar_t MSG_SLOTS_READY[] = L"按Enter键开始写号";

namespace {

constexpr int kTickMs = 1000;
// A panel's width in pixels: fifteen digits of the number font and their
// captions, and a label line of a dozen characters.
constexpr int kPanelWidth = 290;
// Lines of the label's text a panel has room for (the longest reason wraps
// to three).
constexpr int kLabelLines = 3;
// Up to four slots stand in two columns (the window keeps its size); more
// in two rows.
constexpr size_t kTwoColumnSlots = 4;
// What separates two counts in JobCountsText.
const QString kCountsGap("  ");

QString Q(const std::wstring& text) {
    return QString::fromStdWString(text);
}

}  // namespace

CSlotPanel::CSlotPanel(int nPort, const StationSettings& settings, WindowPoster post,
                       QWidget* pParent)
    : QFrame(pParent), m_nPort(nPort), m_settings(settings), m_post(std::move(post)) {
    setObjectName(QString("slot%1").arg(nPort));
    setFrameStyle(QFrame::Box | QFrame::Plain);
    setMinimumWidth(kPanelWidth);
    auto* pColumn = new QVBoxLayout(this);
    pColumn->setContentsMargins(8, 4, 8, 4);
    pColumn->setSpacing(4);

    m_pTitle = new QLabel(Q(AbsentPortItem(nPort)), this);
    m_pTitle->setFont(MakeFont(font().family(), 22, 700));
    pColumn->addWidget(m_pTitle);

    m_pLabel = new CColorLabel(this);
    m_pLabel->setFont(MakeFont("SIMHEI", 24, 700));
    m_pLabel->setAlignment(Qt::AlignCenter);
    m_pLabel->setWordWrap(true);
    m_pLabel->setMargin(4);
    m_pLabel->setFixedHeight(kLabelLines * QFontMetrics(m_pLabel->font()).height() + 8);
    m_pLabel->SetLabelBkColor(ColorIdle);
    pColumn->addWidget(m_pLabel);

    auto* pNumbers = new QGridLayout;
    pNumbers->setHorizontalSpacing(6);
    pNumbers->setVerticalSpacing(1);
    const QFont numberFont = MakeFont("Arial", 22, 700);
    const wchar_t* const captions[4] = {L"IMEI1", L"IMEI2", L"IMEI3", L"蓝牙"};
    for (int i = 0; i < 4; ++i) {
        m_caption[i] = new QLabel(QString::fromWCharArray(captions[i]), this);
        m_number[i] = new QLineEdit(this);
        m_number[i]->setReadOnly(true);
        m_number[i]->setFocusPolicy(Qt::ClickFocus);
        m_number[i]->setFont(numberFont);
        pNumbers->addWidget(m_caption[i], i, 0);
        pNumbers->addWidget(m_number[i], i, 1);
    }
    pColumn->addLayout(pNumbers);
    pColumn->addStretch(1);

    // Room for the counts in two lines: a busy slot's do not fit in one.
    m_pCounts = new QLabel(this);
    m_pCounts->setObjectName("counts");
    m_pCounts->setFixedHeight(2 * m_pCounts->fontMetrics().height());
    m_pCounts->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    pColumn->addWidget(m_pCounts);
    ShowCountsText(JobCounts());
    ApplyNumbers(NumberBoxes());
}

void CSlotPanel::ShowPortItems(const std::vector<std::wstring>& items) {
    // The port list's own rule: the registered item for the port, or the
    // absent one that ShownPortItems adds.
    PortSetting port;
    port.port = m_nPort;
    port.usb = 0;
    const std::vector<std::wstring> shown = ShownPortItems(items, port);
    const int nItem = ChooseSavedPort(shown, port);
    const QString title =
        Q(nItem >= 0 ? shown[static_cast<size_t>(nItem)] : AbsentPortItem(m_nPort));
    if (m_pTitle->text() != title)
        m_pTitle->setText(title);
}

QString CSlotPanel::Title() const {
    return m_pTitle->text();
}

QString CSlotPanel::CountsText() const {
    return m_pCounts->text().replace('\n', kCountsGap);
}

void CSlotPanel::ShowCountsText(const JobCounts& counts) {
    // A busy slot's counts are too long for one line of the panel: two
    // lines, broken between two counts, never inside one.
    QString text = Q(JobCountsText(counts));
    int nGap = -1;
    for (int i = 0; i < 2; ++i)
        nGap = text.indexOf(kCountsGap, nGap + 1);
    if (nGap >= 0)
        text.replace(nGap, kCountsGap.size(), '\n');
    m_pCounts->setText(text);
}

void CSlotPanel::ShowStatus(const std::wstring& text, std::optional<COLORREF> crBk) {
    if (m_bHolding) {
        // The next job waiting for its handset keeps the outcome in view.
        if (crBk && *crBk == ColorWait) {
            m_heldColor = crBk;
            return;
        }
        m_bHolding = false;
        if (!crBk)
            crBk = m_heldColor;
    }
    // Numbers are shown while a job holds them: a slot whose start failed,
    // or that stopped, has no handset (its prepared numbers are the next
    // slot's as well).
    ApplyNumbers(m_pSlot == nullptr || m_pSlot->Runner().JobActive() ? m_latest : NumberBoxes());
    ApplyStatus(text, crBk);
}

void CSlotPanel::ShowNumbers(const NumberBoxes& numbers) {
    m_latest = numbers;
    if (!m_bHolding)
        ApplyNumbers(numbers);
}

void CSlotPanel::ShowCounts(const JobCounts& counts) {
    ShowCountsText(counts);
    // A job ended: its outcome is on the label; its numbers (the runner has
    // prepared the next handset's already) come back beside it.
    m_bHolding = true;
    m_heldColor.reset();
    if (m_pSlot != nullptr)
        ApplyNumbers(m_pSlot->Runner().JobNumbers());
}

void CSlotPanel::ApplyNumbers(const NumberBoxes& numbers) {
    const int on[4] = {m_settings.imei1On, m_settings.imei2On, m_settings.imei3On, m_settings.btOn};
    const EditBox* const boxes[4] = {&numbers.imei1, &numbers.imei2, &numbers.imei3,
                                     &numbers.btAddr};
    for (int i = 0; i < 4; ++i) {
        m_caption[i]->setVisible(on[i] != 0);
        m_number[i]->setVisible(on[i] != 0);
        const QString text = Q(boxes[i]->text);
        if (m_number[i]->text() != text)
            m_number[i]->setText(text);
    }
}

void CSlotPanel::ApplyStatus(const std::wstring& text, std::optional<COLORREF> crBk) {
    if (crBk)
        m_pLabel->SetLabelBkColor(*crBk);
    m_pLabel->setText(Q(text));
}

CSlotBoard::CSlotBoard(const std::vector<int>& ports, StationSettings& settings,
                       CNumberRules& rules, const WindowPoster& post, QWidget* pParent)
    : QWidget(pParent) {
    auto* pGrid = new QGridLayout(this);
    pGrid->setContentsMargins(0, 0, 0, 0);
    pGrid->setSpacing(6);
    const size_t nColumns = ports.size() <= kTwoColumnSlots ? 2 : (ports.size() + 1) / 2;
    for (size_t i = 0; i < ports.size(); ++i) {
        auto* pPanel = new CSlotPanel(ports[i], settings, post, this);
        pGrid->addWidget(pPanel, static_cast<int>(i / nColumns), static_cast<int>(i % nColumns));
        m_panels.push_back(pPanel);
        m_slots.push_back(std::make_unique<CSlot>(ports[i], settings, rules, *pPanel));
        pPanel->SetSlot(m_slots.back().get());
        m_slots.back()->jobFinished = [this](CSlot&, JobResult) {
            if (countsChanged)
                countsChanged();
        };
    }
    m_tick.setInterval(kTickMs);
    connect(&m_tick, &QTimer::timeout, this, [this] {
        for (auto& pSlot : m_slots)
            pSlot->Tick();
    });
}

CSlotBoard::~CSlotBoard() {
    m_tick.stop();
    m_slots.clear();
}

bool CSlotBoard::Init(const std::shared_ptr<IJobRecord>& pRecord, const std::string& pool,
                      const CSettingsFile* pFile) {
    for (auto& pSlot : m_slots) {
        CSlot* pFirst = pSlot == m_slots.front() ? nullptr : m_slots.front().get();
        if (!pSlot->Init(pRecord, pool, pFile, pFirst, true))
            return false;
    }
    return true;
}

void CSlotBoard::ShowReason(const std::wstring& reason) {
    for (CSlotPanel* pPanel : m_panels) {
        if (reason.empty())
            pPanel->ShowStatus(MSG_SLOTS_READY, ColorIdle);
        else
            pPanel->ShowStatus(reason, ColorFail);
    }
}

void CSlotBoard::ShowPortItems(const std::vector<std::wstring>& items) {
    for (CSlotPanel* pPanel : m_panels)
        pPanel->ShowPortItems(items);
}

void CSlotBoard::RunAll() {
    // As the batch mode starts them: every slot's numbers first, then the
    // jobs, each of which keeps its numbers from the others.
    for (auto& pSlot : m_slots)
        pSlot->Runner().PrepareNumbers();
    for (auto& pSlot : m_slots)
        pSlot->Run();
    m_tick.start();
}

void CSlotBoard::StopAll() {
    m_tick.stop();
    // Each stop waits for its own worker: told all at once, they end side by
    // side instead of one after another.
    for (auto& pSlot : m_slots) {
        // An event that cannot be set leaves that worker to its slot's Stop,
        // which sets it again and waits as ever.
        if (pSlot->Runner().WorkerAlive())
            SetEvent(pSlot->Runner().StopEvent());
    }
    for (auto& pSlot : m_slots)
        pSlot->Stop();
}

void CSlotBoard::Detach() {
    m_tick.stop();
    for (auto& pSlot : m_slots)
        pSlot->Runner().Detach();
}

bool CSlotBoard::Running() const {
    for (const auto& pSlot : m_slots)
        if (pSlot->Running())
            return true;
    return false;
}

bool CSlotBoard::JobActive() const {
    for (const auto& pSlot : m_slots)
        if (pSlot->Running() || pSlot->Runner().JobActive())
            return true;
    return false;
}

bool CSlotBoard::WorkerAlive() const {
    for (const auto& pSlot : m_slots)
        if (pSlot->Runner().WorkerAlive())
            return true;
    return false;
}

JobCounts CSlotBoard::Total() const {
    JobCounts total;
    for (const auto& pSlot : m_slots)
        total.Add(pSlot->Counts());
    return total;
}
