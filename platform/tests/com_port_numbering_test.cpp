// Numbers of serial hardware without map entries, on a fake sysfs tree:
// stable while present, given back on return, never shifted by another
// device, never taken from an entry, found without opening idle ports.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <set>

#include "fake_serial_hardware.h"
#include "platform/com_port_map.h"
#include "platform/pseudo_terminal.h"
#include "temp_com_map.h"

namespace {

// Device node -> number, for everything listed now.
std::map<std::string, DWORD> Numbers() {
    std::map<std::string, DWORD> numbers;
    for (const platform::ComPortEntry& e : platform::ListComPorts())
        numbers[e.device] = e.dwPort;
    return numbers;
}

class ComPortNumbering : public ::testing::Test {
protected:
    DWORD NumberOf(const std::string& name) {
        auto numbers = Numbers();
        auto it = numbers.find(m_hw.Node(name));
        return it == numbers.end() ? 0 : it->second;
    }

    TempComMap m_map;
    FakeSerialHardware m_hw;
};

TEST_F(ComPortNumbering, AnEarlierSortingDeviceDoesNotRenumberTheOthers) {
    m_hw.Plug("ttyACM1", "/dev/null", "usb-Maker_Phone_A-if00");
    m_hw.Plug("ttyUSB0", "/dev/null", "usb-Maker_Adapter_U-if00-port0");
    const DWORD dwAcm1 = NumberOf("ttyACM1");
    const DWORD dwUsb0 = NumberOf("ttyUSB0");
    ASSERT_NE(dwAcm1, 0u);
    ASSERT_NE(dwUsb0, 0u);
    ASSERT_NE(dwAcm1, dwUsb0);
    // A new handset sorting before both.
    m_hw.Plug("ttyACM0", "/dev/null", "usb-Maker_Phone_B-if00");
    EXPECT_EQ(NumberOf("ttyACM1"), dwAcm1);
    EXPECT_EQ(NumberOf("ttyUSB0"), dwUsb0);
    const DWORD dwAcm0 = NumberOf("ttyACM0");
    EXPECT_NE(dwAcm0, 0u);
    EXPECT_NE(dwAcm0, dwAcm1);
    EXPECT_NE(dwAcm0, dwUsb0);
    // Unplugging one shifts nobody.
    m_hw.Unplug("ttyACM1");
    EXPECT_EQ(NumberOf("ttyUSB0"), dwUsb0);
    EXPECT_EQ(NumberOf("ttyACM0"), dwAcm0);
    EXPECT_EQ(platform::ResolveComPort(dwAcm1), "");
    // The first handset returns on another node and gets its number back;
    // a different device on its old node does not.
    m_hw.Plug("ttyACM1", "/dev/null");
    m_hw.Plug("ttyACM2", "/dev/null", "usb-Maker_Phone_A-if00");
    EXPECT_EQ(NumberOf("ttyACM2"), dwAcm1);
    EXPECT_NE(NumberOf("ttyACM1"), dwAcm1);
    EXPECT_EQ(platform::ResolveComPort(dwAcm1), m_hw.Node("ttyACM2"));
}

TEST_F(ComPortNumbering, PlugsAndUnplugsInManyOrdersNeverMoveAPresentDevice) {
    struct Device {
        const char* pszId;
        bool bPresent;
        std::string node;
    };
    std::vector<Device> devices = {{"usb-A-if00", false, ""},
                                   {"usb-B-if00", false, ""},
                                   {"usb-C-if00", false, ""},
                                   {"usb-D-if00", false, ""},
                                   {"usb-E-if00-port0", false, ""}};
    std::map<std::string, DWORD> first;  // identity -> number first given
    std::mt19937 rng(7);
    for (int nStep = 0; nStep < 60; ++nStep) {
        Device& d = devices[rng() % devices.size()];
        if (d.bPresent) {
            m_hw.Unplug(d.node);
        } else {
            // The kernel gives the lowest free node: nodes move between
            // devices, identities do not.
            for (int i = 0;; ++i) {
                std::string node =
                    (d.pszId[strlen(d.pszId) - 1] == '0' && i % 2 ? "ttyUSB" : "ttyACM") +
                    std::to_string(i);
                if (access(m_hw.Node(node).c_str(), F_OK) != 0 &&
                    access((m_hw.Sys() + "/" + node).c_str(), F_OK) != 0) {
                    d.node = node;
                    break;
                }
            }
            m_hw.Plug(d.node, "/dev/null", d.pszId);
        }
        d.bPresent = !d.bPresent;
        std::set<DWORD> used;
        for (const Device& p : devices) {
            if (!p.bPresent)
                continue;
            DWORD n = NumberOf(p.node);
            ASSERT_NE(n, 0u) << p.pszId << " step " << nStep;
            auto [it, bNew] = first.emplace(p.pszId, n);
            EXPECT_EQ(it->second, n) << p.pszId << " changed number at step " << nStep;
            EXPECT_TRUE(used.insert(n).second) << "two devices share COM" << n;
        }
    }
}

TEST_F(ComPortNumbering, EntriesKeepTheirNumbersAndHideNoOtherDevice) {
    m_hw.Plug("ttyACM0", "/dev/null", "usb-Phone-if00");
    m_hw.Plug("ttyUSB0", "/dev/zero", "usb-Adapter-if00-port0");
    // The README's example: COM1 names the adapter explicitly.
    ASSERT_EQ(platform::RegisterComPort(1, m_hw.Node("ttyUSB0")), 1u);
    auto numbers = Numbers();
    ASSERT_EQ(numbers.count(m_hw.Node("ttyACM0")), 1u);
    EXPECT_NE(numbers[m_hw.Node("ttyACM0")], 1u);
    EXPECT_EQ(numbers[m_hw.Node("ttyUSB0")], 1u);
    EXPECT_EQ(numbers.size(), 2u);
    // A dangling entry still holds its number against new hardware.
    ASSERT_EQ(symlink("/dev/pts/does-not-exist", (m_map.Dir() + "/COM2").c_str()), 0);
    m_hw.Plug("ttyACM1", "/dev/null", "usb-Phone2-if00");
    DWORD n = NumberOf("ttyACM1");
    EXPECT_NE(n, 0u);
    EXPECT_NE(n, 2u);
    EXPECT_NE(n, 1u);
    // RegisterComPort(0) skips numbers of hardware, present or away.
    m_hw.Unplug("ttyACM0");
    DWORD dwAcm0 = numbers[m_hw.Node("ttyACM0")];
    for (int i = 0; i < 4; ++i) {
        DWORD m = platform::RegisterComPort(0, "/dev/null");
        EXPECT_NE(m, dwAcm0);
        EXPECT_NE(m, n);
    }
}

TEST_F(ComPortNumbering, NumbersSurviveARestartThroughTheMapDirectory) {
    m_hw.Plug("ttyUSB0", "/dev/null", "usb-X-port0");
    m_hw.Plug("ttyUSB1", "/dev/null", "usb-Y-port0");
    const DWORD dwY = NumberOf("ttyUSB1");
    std::ifstream in(m_map.Dir() + "/.hardware-numbers");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("COM" + std::to_string(dwY) + " by-id:usb-Y-port0\n"), std::string::npos)
        << text;
    // Only the file carries the numbers: after both left, Y alone comes
    // back first and still gets its own number.
    m_hw.Unplug("ttyUSB0");
    m_hw.Unplug("ttyUSB1");
    m_hw.Plug("ttyUSB0", "/dev/null", "usb-Y-port0");
    EXPECT_EQ(NumberOf("ttyUSB0"), dwY);
    // A torn last line is ignored, the rest read.
    { std::ofstream(m_map.Dir() + "/.hardware-numbers") << "COM9 by-id:usb-Z-port0\nCOM3 by-"; }
    m_hw.Plug("ttyUSB1", "/dev/null", "usb-Z-port0");
    EXPECT_EQ(NumberOf("ttyUSB1"), 9u);
}

TEST_F(ComPortNumbering, UartsAreToldFromPhantomsWithoutOpeningThem) {
    const std::string uart = m_map.Dir() + "/uart-node";
    const std::string phantom = m_map.Dir() + "/phantom-node";
    { std::ofstream(uart) << ""; }
    { std::ofstream(phantom) << ""; }
    m_hw.Plug("ttyS1", uart, "", 4);     // a 16550A
    m_hw.Plug("ttyS0", phantom, "", 0);  // PORT_UNKNOWN
    m_hw.AddVirtual("tty1", "/dev/null");
    int nNotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(nNotify, 0);
    ASSERT_GE(inotify_add_watch(nNotify, uart.c_str(), IN_OPEN | IN_CLOSE), 0);
    ASSERT_GE(inotify_add_watch(nNotify, phantom.c_str(), IN_OPEN | IN_CLOSE), 0);
    for (int i = 0; i < 3; ++i) {
        auto numbers = Numbers();
        EXPECT_EQ(numbers.size(), 1u);
        EXPECT_EQ(numbers[m_hw.Node("ttyS1")], 2u);  // ttyS<k> prefers COM<k+1>
        EXPECT_EQ(platform::ResolveComPort(1), "");
    }
    char buf[4096];
    EXPECT_LT(read(nNotify, buf, sizeof buf), 0) << "a port was opened to list it";
    close(nNotify);
}

}  // namespace

namespace {

// A killed helper leaves its COM entry behind; when the kernel hands the
// same slave name to a new pseudo-terminal, the new registration must not
// leave two numbers naming one device.
TEST(ComPortStaleEntries, ANewPseudoTerminalTakesOverItsNameFromADeadOwner) {
    TempComMap map;
    for (int nTry = 0; nTry < 5; ++nTry) {
        std::string oldPath;
        {
            platform::PseudoTerminal dead;
            ASSERT_TRUE(dead.Open());
            oldPath = dead.SlavePath();
        }
        const std::string stale = map.Dir() + "/COM50";
        unlink(stale.c_str());
        ASSERT_EQ(symlink(oldPath.c_str(), stale.c_str()), 0);
        platform::PseudoTerminal live;
        ASSERT_TRUE(live.Open(0));
        if (live.SlavePath() != oldPath)
            continue;  // another process took the name meanwhile
        EXPECT_EQ(platform::ResolveComPort(50), "");
        int nNaming = 0;
        for (const platform::ComPortEntry& e : platform::ListComPorts())
            nNaming += e.device == live.SlavePath();
        EXPECT_EQ(nNaming, 1);
        return;
    }
    GTEST_SKIP() << "the kernel never reused the slave name";
}

}  // namespace
