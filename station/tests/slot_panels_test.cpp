// The main window of a station with slots ([General] Slots): one panel per
// slot, each writing its own stream of simulated handsets on its own
// pseudo-terminal, side by side, with the real phone-command library and a
// real record file. Screenshots for a person to look at are written beside
// the test program.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QtTest/QTest>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "color_label.h"
#include "dialog_check.h"
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
