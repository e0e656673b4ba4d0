// USB mode against serial hardware as the kernel shows it (a fake sysfs
// tree whose device nodes are the simulators' ttys): devices sorting before
// others, a foreign device beside the handset, numbers that must keep naming
// the device that answered.
#include <sys/inotify.h>
#include <unistd.h>

#include "cellbridge_fixture.h"
#include "fake_serial_hardware.h"
#include "platform/ext/com_port_map.h"

namespace cellbridge_test {
namespace {

class UsbDevices : public CellbridgeTest {
protected:
    void TearDown() override {
        // The last USB port found is process-wide: a fresh entry clears it,
        // so later tests start as a new process would.
        VX_EnterModeProcess(1, 10, m_hEvent, 0);
        VX_StopModeProcess();
        CellbridgeTest::TearDown();
    }

    // A simulated handset whose tty is plugged as hardware, not registered.
    std::unique_ptr<CHandsetSim> PlugHandset(const std::string& name, const std::string& byId,
                                             bool bSilent = false) {
        auto pSim = StartHandset(name, bSilent);
        m_hw.Plug(name, pSim->SlavePath(), byId);
        return pSim;
    }
    std::unique_ptr<CHandsetSim> StartHandset(const std::string& name, bool bSilent) {
        HandsetSimOptions options = QuickSim();
        options.bUnregistered = true;
        options.bNeverAnswer = bSilent;
        return StartNamedSim(name, options);
    }

    DWORD NumberOf(const std::string& name) {
        for (const platform::ComPortEntry& e : platform::ListComPorts()) {
            if (e.device == m_hw.Node(name))
                return e.dwPort;
        }
        return 0;
    }

    FakeSerialHardware m_hw;
};

TEST_F(UsbDevices, AHandsetSortingFirstIsTakenNotThePreviousOne) {
    // The previous job's handset is still connected and still answers.
    auto pOld = PlugHandset("ttyACM1", "usb-Maker_Phone_0001-if00");
    const DWORD dwOld = NumberOf("ttyACM1");
    ASSERT_NE(dwOld, 0u);
    ASSERT_EQ(VX_EnterModeProcess(1, 10, m_hEvent, 0), CB_OK);
    EXPECT_FALSE(WaitEvent(100));
    // The new handset comes up on a node that sorts before the old one.
    auto pNew = PlugHandset("ttyACM0", "usb-Maker_Phone_0002-if00");
    ASSERT_TRUE(WaitEvent(3000));
    const int nPort = VX_GetUsbPort();
    EXPECT_NE(nPort, static_cast<int>(dwOld));
    EXPECT_EQ(platform::ResolveComPort(static_cast<DWORD>(nPort)), m_hw.Node("ttyACM0"));
    EXPECT_EQ(NumberOf("ttyACM1"), dwOld);
    ASSERT_EQ(VX_BeginPhoneTest(nPort, 115200), CB_OK);
    NvWriteRecord record = MakeRecord("860000000000011", "", "", "");
    EXPECT_EQ(VX_NvWriteDirect(&record), 0);
    VX_EndPhoneTest();
    ASSERT_TRUE(pNew->WaitFinished(1, 1000));
    EXPECT_EQ(pNew->Results()[0].imei1, "860000000000011");
    EXPECT_EQ(pOld->FinishedCount(), 0u);
}

TEST_F(UsbDevices, ASilentForeignPortIsProbedOncePerEntry) {
    CbTimings timings = FastTimings();
    timings.dwUsbProbeMs = 60;
    CbSetTimings(timings);
    ASSERT_EQ(VX_EnterModeProcess(1, 10, m_hEvent, 0), CB_OK);
    auto pModem = StartHandset("ttyUSB0", true);
    int nNotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(nNotify, 0);
    ASSERT_GE(inotify_add_watch(nNotify, pModem->SlavePath().c_str(), IN_OPEN | IN_CLOSE), 0);
    m_hw.Plug("ttyUSB0", pModem->SlavePath(), "usb-Maker_Modem-if00-port0");
    // (Closes are watched too: inotify merges repeated identical events.)
    // Several probe times: today's scan would have asked it again each time.
    EXPECT_FALSE(WaitEvent(400));
    int nOpens = 0;
    char buf[4096] __attribute__((aligned(8)));
    for (;;) {
        ssize_t n = read(nNotify, buf, sizeof buf);
        if (n <= 0)
            break;
        for (char* p = buf; p < buf + n;) {
            auto* pEvent = reinterpret_cast<struct inotify_event*>(p);
            nOpens += (pEvent->mask & IN_OPEN) != 0;
            p += sizeof(struct inotify_event) + pEvent->len;
        }
    }
    close(nNotify);
    EXPECT_EQ(nOpens, 1) << "opens";
    // The handset beside it is still found promptly.
    auto pPhone = PlugHandset("ttyACM0", "usb-Maker_Phone_0003-if00");
    const DWORD dwStart = GetTickCount();
    ASSERT_TRUE(WaitEvent(2000));
    EXPECT_LT(Since(dwStart), 1500u);
    EXPECT_EQ(platform::ResolveComPort(static_cast<DWORD>(VX_GetUsbPort())), m_hw.Node("ttyACM0"));
}

TEST_F(UsbDevices, BeginPhoneTestOpensTheDeviceThatAnsweredOrFails) {
    ASSERT_EQ(VX_EnterModeProcess(1, 10, m_hEvent, 0), CB_OK);
    auto pPhone = PlugHandset("ttyACM0", "usb-Maker_Phone_0004-if00");
    ASSERT_TRUE(WaitEvent(3000));
    const int nPort = VX_GetUsbPort();
    // Between the event and the open the handset goes, and an explicit
    // entry now gives its number to another tty.
    m_hw.Unplug("ttyACM0");
    platform::PseudoTerminal other;
    ASSERT_TRUE(other.Open(static_cast<DWORD>(nPort)));
    EXPECT_EQ(VX_BeginPhoneTest(nPort, 115200), CB_E_PORT_OPEN);
    VX_EndPhoneTest();
}

TEST_F(UsbDevices, AnEarlierJobsUsbPortDoesNotMarkASerialHandsetAsAnswered) {
    ASSERT_EQ(VX_EnterModeProcess(1, 10, m_hEvent, 0), CB_OK);
    auto pPhone = PlugHandset("ttyACM0", "usb-Maker_Phone_0005-if00");
    ASSERT_TRUE(WaitEvent(3000));
    const int nPort = VX_GetUsbPort();
    ASSERT_EQ(VX_BeginPhoneTest(nPort, 115200), CB_OK);
    VX_EndPhoneTest();
    m_hw.Unplug("ttyACM0");
    // A later serial job on the same number, with a handset that never
    // answers: ending it must not wait for an acknowledgement.
    HandsetSimOptions options = QuickSim();
    options.dwPort = static_cast<DWORD>(nPort);
    options.bNeverAnswer = true;
    CHandsetSim& serial = StartSim(options);
    ASSERT_EQ(serial.Port(), static_cast<DWORD>(nPort));
    ASSERT_EQ(VX_BeginPhoneTest(nPort, 115200), CB_OK);
    const DWORD dwStart = GetTickCount();
    VX_EndPhoneTest();
    EXPECT_LT(Since(dwStart), FastTimings().dwEndReplyMs / 2);
}

}  // namespace
}  // namespace cellbridge_test
