// The main window of a station with slots ([General] Slots): one panel per
// slot, each writing its own stream of simulated handsets on its own
// pseudo-terminal, side by side, with the real phone-command library and a
// real record file. Screenshots for a person to look at are written beside
// the test program.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest/QTest>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "color_label.h"
#include "dialog_check.h"
#include "dialog_layout.h"
#include "handset_sim.h"
#include "slot_panels.h"
#include "station_dlg.h"
#include "station_test_support.h"

namespace {

const wchar_t kPass[] = L"写数据成功!按Enter键继续下一个";
const wchar_t kWaiting[] = L"请连接手机并加电！";
const wchar_t kStopped[] = L"按Enter键继续下一个";

class SlotWindowTest : public StationWindowTest {
protected:
    void TearDown() override {
        // Every slot waits for handsets without end: stopped, and their
        // workers ended, before the simulators go.
        if (m_pDlg && m_pDlg->SlotBoard() != nullptr) {
            m_pDlg->OnStop();
            CSlotBoard& board = *m_pDlg->SlotBoard();
            for (size_t i = 0; i < board.Count(); ++i)
                EXPECT_TRUE(board.Slot(i).Runner().WaitForWorker(5000));
        }
        m_pDlg.reset();
        for (auto& pSim : m_sims)
            pSim->Stop();
    }

    // A simulator per options, each on a port of its own; their numbers.
    std::vector<int> StartSims(const std::vector<HandsetSimOptions>& options) {
        std::vector<int> ports;
        for (const HandsetSimOptions& one : options) {
            m_sims.push_back(StartedSim(one));
            ports.push_back(static_cast<int>(m_sims.back()->Port()));
        }
        return ports;
    }
    // The window on slots of these ports, generating two IMEIs per handset.
    void OpenSlots(const std::vector<int>& ports, const std::string& extra = "") {
        std::string list;
        for (int nPort : ports)
            list += (list.empty() ? "" : ",") + std::to_string(nPort);
        OpenWindow(
            "[General]\r\nIMEI=1\r\nIMEI2=1\r\nAutoCreateIMEI=1\r\nDefaultIMEI=35000000000000\r\n"
            "EntrerModeWait=0\r\nSlots=" +
            list + "\r\n" + extra);
        ASSERT_NE(m_pDlg->SlotBoard(), nullptr);
        ASSERT_EQ(Board().Count(), ports.size());
    }
    CSlotBoard& Board() { return *m_pDlg->SlotBoard(); }
    CSlotPanel& Panel(size_t i) { return Board().Panel(i); }
    void PressEnter() { QTest::keyClick(Control<QWidget>(IDC_WRITE), Qt::Key_Return); }
    bool WaitFor(const std::function<bool()>& done, int nMs = 10000) {
        return QTest::qWaitFor(done, nMs);
    }
    QString Screenshot(const char* lpszName) const {
        return QString::fromStdString(m_ini.Path().parent_path().string()) + "/" + lpszName;
    }

    std::vector<std::unique_ptr<CHandsetSim>> m_sims;
};

}  // namespace

TEST_F(SlotWindowTest, FourSlotsWriteSideBySideWithNumbersNeverTwice) {
    const std::vector<int> ports = StartSims({{}, {}, {}, {}});
    OpenSlots(ports);
    CStationDlg& dlg = *m_pDlg;
    // The single handset's controls give way to the panels.
    EXPECT_FALSE(Control<QWidget>(IDC_IMEI1)->isVisible());
    EXPECT_FALSE(Control<QWidget>(IDC_RESULT)->isVisible());
    EXPECT_FALSE(Control<QWidget>(IDC_PORT_LIST)->isEnabled());
    // Four panels, two by two, in the window of a single handset's size.
    EXPECT_EQ(dlg.size(), CDialogUnits(dlg.font()).Size(328, 283));
    for (size_t i = 0; i < ports.size(); ++i) {
        const QRect r(Panel(i).mapTo(&dlg, QPoint(0, 0)), Panel(i).size());
        EXPECT_TRUE(dlg.rect().contains(r)) << i;
        EXPECT_EQ(r.y(), Panel(i < 2 ? 0 : 2).mapTo(&dlg, QPoint(0, 0)).y()) << i;
    }
    for (size_t i = 0; i < ports.size(); ++i) {
        EXPECT_EQ(Panel(i).Title(), QString("COM%1").arg(ports[i]));
        EXPECT_EQ(Panel(i).Label().text(), W(MSG_SLOTS_READY));
        EXPECT_EQ(Panel(i).Label().GetLabelBkColor(), ColorIdle);
        EXPECT_TRUE(Panel(i).NumberBox(0).isReadOnly());
        EXPECT_FALSE(Panel(i).NumberBox(2).isVisibleTo(&Panel(i)));  // IMEI3 not in use
    }

    PressEnter();
    for (size_t i = 0; i < ports.size(); ++i)
        EXPECT_TRUE(Board().Slot(i).Runner().JobActive()) << i;  // all four at once
    EXPECT_FALSE(Control<QWidget>(IDC_WRITE)->isEnabled());
    EXPECT_FALSE(Control<QWidget>(IDC_SETUP)->isEnabled());
    ASSERT_TRUE(WaitFor([&] {
        for (size_t i = 0; i < ports.size(); ++i)
            if (Board().Slot(i).Counts().written < 2)
                return false;
        return true;
    })) << Panel(0).CountsText().toStdString();

    // Each panel counts its own slot's jobs; the window's line adds them up.
    JobCounts total;
    for (size_t i = 0; i < ports.size(); ++i) {
        EXPECT_EQ(Panel(i).CountsText(),
                  QString::fromStdWString(JobCountsText(Board().Slot(i).Counts())));
        total.Add(Board().Slot(i).Counts());
    }
    EXPECT_EQ(m_pDlg->findChild<QLabel*>("counts")->text(),
              QString::fromStdWString(JobCountsText(total)));

    // The window is not closed while slots run.
    EXPECT_EQ(MessageBoxOf(dlg, [&] { dlg.close(); }), W(MSG_STOP_BEFORE_CLOSE));
    EXPECT_TRUE(dlg.isVisible());

    // Stop stops every slot; nothing starts again.
    QTest::mouseClick(Control<QPushButton>(IDC_STOP), Qt::LeftButton);
    for (size_t i = 0; i < ports.size(); ++i) {
        EXPECT_FALSE(Board().Slot(i).Running()) << i;
        EXPECT_FALSE(Board().Slot(i).Runner().JobActive()) << i;
        EXPECT_EQ(Panel(i).Label().text(), W(kStopped)) << i;
    }
    EXPECT_TRUE(Control<QWidget>(IDC_WRITE)->isEnabled());
    std::vector<size_t> finished;
    for (auto& pSim : m_sims)
        finished.push_back(pSim->FinishedCount());
    QTest::qWait(800);
    for (size_t i = 0; i < m_sims.size(); ++i)
        EXPECT_EQ(m_sims[i]->FinishedCount(), finished[i]) << i;

    // No IMEI reached two handsets, across all the slots.
    std::set<std::string> imeis;
    size_t nStored = 0;
    for (auto& pSim : m_sims) {
        for (const HandsetResult& result : pSim->Results()) {
            if (!result.bStored)
                continue;
            ++nStored;
            EXPECT_TRUE(imeis.insert(result.imei1).second) << result.imei1;
            EXPECT_TRUE(imeis.insert(result.imei2).second) << result.imei2;
        }
    }
    EXPECT_EQ(nStored, static_cast<size_t>(total.written));
}

TEST_F(SlotWindowTest, OutcomesStayInViewWhileEachSlotAwaitsItsNextHandset) {
    HandsetSimOptions silent;
    silent.bNeverAnswer = true;
    HandsetSimOptions once;
    once.nHandsets = 1;
    HandsetSimOptions refusing;
    refusing.nFailWrites = 3;
    const std::vector<int> ports = StartSims({silent, once, refusing, silent});
    OpenSlots(ports);
    PressEnter();
    ASSERT_TRUE(WaitFor([&] {
        return Board().Slot(1).Counts().written == 1 && Board().Slot(2).Counts().failed == 1;
    }));
    // The pass stays green with the handset's numbers while the slot's next
    // job already waits; the failure stays red until its retry connects.
    EXPECT_TRUE(Board().Slot(1).Runner().JobActive());
    EXPECT_EQ(Panel(1).Label().text(), W(kPass));
    EXPECT_EQ(Panel(1).Label().GetLabelBkColor(), ColorPass);
    ASSERT_EQ(m_sims[1]->FinishedCount(), 1u);
    EXPECT_EQ(Panel(1).NumberBox(0).text().toStdString(), m_sims[1]->Results()[0].imei1);
    EXPECT_EQ(Panel(1).NumberBox(1).text().toStdString(), m_sims[1]->Results()[0].imei2);
    EXPECT_EQ(Panel(1).CountsText(), W(L"合格 1  失败 0  总数 1  直通率 100.0%"));
    EXPECT_EQ(Panel(2).Label().text(), W(L"写数据失败!错误代码: 23!"));
    EXPECT_EQ(Panel(2).Label().GetLabelBkColor(), ColorFail);
    EXPECT_EQ(Panel(2).CountsText(), W(L"合格 0  失败 1  总数 1  直通率 0.0%"));
    for (size_t i : {0u, 3u}) {
        EXPECT_EQ(Panel(i).Label().text(), W(kWaiting)) << i;
        EXPECT_EQ(Panel(i).Label().GetLabelBkColor(), ColorWait) << i;
        EXPECT_EQ(Panel(i).NumberBox(0).text().size(), 15) << i;
    }
    EXPECT_EQ(m_pDlg->findChild<QLabel*>("counts")->text(),
              W(L"合格 1  失败 1  总数 2  直通率 50.0%"));
    EXPECT_TRUE(m_pDlg->grab().save(Screenshot("slots_mixed.png")));
}

TEST_F(SlotWindowTest, AnAbsentPortAndARefusingSlotLeaveTheOthersWriting) {
    HandsetSimOptions refusing;
    refusing.nFailWrites = 3;
    std::vector<int> ports = StartSims({{}, {}, refusing});
    const int nAbsent = *std::max_element(ports.begin(), ports.end()) + 1;
    ports.push_back(nAbsent);
    OpenSlots(ports);
    EXPECT_EQ(Panel(3).Title(), W(L"COM%1 (未连接)").arg(nAbsent));
    PressEnter();
    EXPECT_EQ(Panel(3).Label().text(), W(L"打开串口失败%1").arg(nAbsent));
    EXPECT_EQ(Panel(3).Label().GetLabelBkColor(), ColorFail);
    ASSERT_TRUE(WaitFor([&] {
        return Board().Slot(0).Counts().written >= 3 && Board().Slot(1).Counts().written >= 3 &&
               Board().Slot(2).Counts().failed >= 1;
    }));
    EXPECT_EQ(Board().Slot(2).Counts().written, 0);
    EXPECT_EQ(Board().Slot(3).Counts().Total(), 0);
    EXPECT_TRUE(Board().Slot(3).Running());

    // The port arrives: its title follows the port list and the slot's next
    // try writes.
    HandsetSimOptions late;
    late.dwPort = static_cast<DWORD>(nAbsent);
    m_sims.push_back(StartedSim(late));
    ASSERT_TRUE(WaitFor([&] { return Panel(3).Title() == QString("COM%1").arg(nAbsent); }));
    ASSERT_TRUE(WaitFor([&] { return Board().Slot(3).Counts().written >= 1; }));
    EXPECT_EQ(Board().Slot(2).Counts().written, 0);
}

TEST_F(SlotWindowTest, TypedNumbersKeepTheSlotsFromStartingUntilSetupTurnsGenerationOn) {
    const std::vector<int> ports = StartSims({{}, {}});
    OpenWindow("[General]\r\nIMEI=1\r\nDefaultIMEI=35000000000000\r\nEntrerModeWait=0\r\nSlots=" +
               std::to_string(ports[0]) + "," + std::to_string(ports[1]) +
               "\r\n[Control]\r\nUser Privilege=1\r\n");
    ASSERT_NE(m_pDlg->SlotBoard(), nullptr);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(Panel(i).Label().text(), W(MSG_SLOTS_NEED_GENERATION));
        EXPECT_EQ(Panel(i).Label().GetLabelBkColor(), ColorFail);
    }
    PressEnter();
    QTest::mouseClick(Control<QPushButton>(IDC_WRITE), Qt::LeftButton);
    EXPECT_FALSE(Board().Running());
    EXPECT_FALSE(Board().JobActive());

    // Setup: generation on, OK. The panels say the slots may start.
    QTimer::singleShot(0, m_pDlg.get(), [] {
        auto* pSetupDlg = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(pSetupDlg, nullptr);
        auto* pAuto = pSetupDlg->findChild<QCheckBox*>("1014");
        QTest::mouseClick(pAuto, Qt::LeftButton, {}, QPoint(6, pAuto->height() / 2));
        QTest::mouseClick(pSetupDlg->findChild<QPushButton*>("1"), Qt::LeftButton);
    });
    QTest::mouseClick(Control<QPushButton>(IDC_SETUP), Qt::LeftButton);
    ASSERT_EQ(m_pDlg->Settings().autoCreate, 1);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(Panel(i).Label().text(), W(MSG_SLOTS_READY));
        EXPECT_EQ(Panel(i).Label().GetLabelBkColor(), ColorIdle);
    }
    PressEnter();
    ASSERT_TRUE(WaitFor([&] {
        return Board().Slot(0).Counts().written >= 1 && Board().Slot(1).Counts().written >= 1;
    }));
}

TEST_F(SlotWindowTest, InvalidSlotsOpenTheSingleWindowWithTheReason) {
    OpenWindow("[General]\r\nIMEI=1\r\nAutoCreateIMEI=1\r\nSlots=3,3\r\n");
    EXPECT_EQ(m_pDlg->SlotBoard(), nullptr);
    EXPECT_TRUE(Control<QWidget>(IDC_IMEI1)->isVisible());
    EXPECT_EQ(m_pDlg->StatusText(), MSG_SLOTS_INVALID);
    EXPECT_EQ(Control<CColorLabel>(IDC_RESULT)->GetLabelBkColor(), ColorFail);
    EXPECT_EQ(m_pDlg->size(), CDialogUnits(m_pDlg->font()).Size(328, 283));
}

TEST_F(SlotWindowTest, EightPanelsFitTheWindowReadably) {
    std::vector<int> ports = StartSims({{}, {}, {}, {}, {}, {}});
    const int nLast = *std::max_element(ports.begin(), ports.end());
    ports.push_back(nLast + 1);
    ports.push_back(nLast + 2);
    OpenSlots(ports, "BT_ADDR=1\r\nAutoGenerateBT_ADDR=1\r\nIMEI3=1\r\n");
    PressEnter();
    ASSERT_TRUE(WaitFor([&] {
        for (size_t i = 0; i < 6; ++i)
            if (Board().Slot(i).Counts().written < 1)
                return false;
        return true;
    }));
    // Two rows of four, inside the window, none over another; the longest
    // texts fit their places.
    QWidget& dlg = *m_pDlg;
    for (size_t i = 0; i < Board().Count(); ++i) {
        const QRect r(Panel(i).mapTo(&dlg, QPoint(0, 0)), Panel(i).size());
        EXPECT_TRUE(dlg.rect().contains(r)) << i;
        EXPECT_EQ(r.y(), Panel(i < 4 ? 0 : 4).mapTo(&dlg, QPoint(0, 0)).y()) << i;
        for (size_t j = i + 1; j < Board().Count(); ++j)
            EXPECT_FALSE(r.intersects(QRect(Panel(j).mapTo(&dlg, QPoint(0, 0)), Panel(j).size())));
        CColorLabel& label = Panel(i).Label();
        for (const wchar_t* lpszText : {MSG_SLOTS_NEED_GENERATION, kPass})
            EXPECT_LE(label.fontMetrics()
                          .boundingRect(label.contentsRect(), Qt::TextWordWrap, W(lpszText))
                          .height(),
                      label.contentsRect().height());
        for (int nItem = 0; nItem < 4; ++nItem) {
            QLineEdit& box = Panel(i).NumberBox(nItem);
            EXPECT_TRUE(box.isVisibleTo(&Panel(i)));
            EXPECT_LE(box.fontMetrics().horizontalAdvance("888888888888888"),
                      box.contentsRect().width() - 4);
        }
    }
    auto* pCounts = dlg.findChild<QLabel*>("counts");
    EXPECT_TRUE(dlg.rect().contains(pCounts->geometry()));
    EXPECT_GE(pCounts->y(), Board().mapTo(&dlg, QPoint(0, Board().height())).y());
    // Wider than the single window, never taller: it fits the screens that
    // one does, 1366 pixels wide.
    EXPECT_LE(dlg.width(), 1366);
    EXPECT_LE(dlg.height(), CDialogUnits(dlg.font()).Size(328, 283).height());
    EXPECT_TRUE(dlg.grab().save(Screenshot("slots_eight.png")));

    // A busy slot's counts, in two lines that fit their place.
    QTest::mouseClick(Control<QPushButton>(IDC_STOP), Qt::LeftButton);
    for (size_t i = 0; i < Board().Count(); ++i) {
        const JobCounts busy{9999, 999, 9999};
        Panel(i).ShowCounts(busy);
        EXPECT_EQ(Panel(i).CountsText(), QString::fromStdWString(JobCountsText(busy)));
        auto* pCounts = Panel(i).findChild<QLabel*>("counts");
        const QStringList lines = pCounts->text().split('\n');
        EXPECT_EQ(lines.size(), 2);
        for (const QString& line : lines)
            EXPECT_LE(pCounts->fontMetrics().horizontalAdvance(line), pCounts->width()) << i;
        EXPECT_LE(lines.size() * pCounts->fontMetrics().height(), pCounts->height());
    }
}
