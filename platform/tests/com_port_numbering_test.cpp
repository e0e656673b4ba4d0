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
#include "platform/ext/com_port_map.h"
#include "platform/ext/pseudo_terminal.h"
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

// Numbers the file reserves for devices (present or not), one per device.
size_t ReservedNumbers(const std::string& mapDir) {
    std::ifstream in(mapDir + "/.hardware-numbers");
    std::set<std::string> numbers;
    for (std::string line; std::getline(in, line);) {
        if (line.find(" present:") == std::string::npos)
            numbers.insert(line.substr(0, line.find(' ')));
    }
    return numbers.size();
}

TEST_F(ComPortNumbering, UdevLinksArrivingLateOrRepointedMoveNoDevice) {
    // A handset with a serial number, seen before udev made its links.
    m_hw.PlugUsb("ttyACM0", "/dev/null", FakeUsb{"0123456789ABCDEF", "1-1", ""});
    const DWORD dwPhone = NumberOf("ttyACM0");
    ASSERT_NE(dwPhone, 0u);
    m_hw.Link("by-id", "usb-Maker_Phone_0123456789ABCDEF-if00", "ttyACM0");
    m_hw.Link("by-path", "pci-0000:00:14.0-usb-0:1:1.0", "ttyACM0");
    EXPECT_EQ(NumberOf("ttyACM0"), dwPhone);
    // Two adapters of one model without serial numbers: udev points their
    // shared by-id name at the newer one.
    const std::string shared = "usb-1a86_USB_Serial-if00-port0";
    m_hw.PlugUsb("ttyUSB0", "/dev/null", FakeUsb{"", "1-3", shared, "1a86", "7523"});
    const DWORD dwFirst = NumberOf("ttyUSB0");
    m_hw.PlugUsb("ttyUSB1", "/dev/null", FakeUsb{"", "1-4", "", "1a86", "7523"});
    m_hw.Link("by-id", shared, "ttyUSB1");
    const DWORD dwSecond = NumberOf("ttyUSB1");
    EXPECT_EQ(NumberOf("ttyUSB0"), dwFirst);
    EXPECT_NE(dwSecond, 0u);
    EXPECT_NE(dwSecond, dwFirst);
    EXPECT_NE(dwSecond, dwPhone);
    EXPECT_EQ(NumberOf("ttyACM0"), dwPhone);
    EXPECT_EQ(ReservedNumbers(m_map.Dir()), 3u) << "a device was given a second number";
    // Each adapter gets its number back in its own port, whichever comes first.
    m_hw.Unplug("ttyUSB0");
    m_hw.Unplug("ttyUSB1");
    m_hw.PlugUsb("ttyUSB0", "/dev/null", FakeUsb{"", "1-4", shared, "1a86", "7523"});
    EXPECT_EQ(NumberOf("ttyUSB0"), dwSecond);
    m_hw.PlugUsb("ttyUSB1", "/dev/null", FakeUsb{"", "1-3", "", "1a86", "7523"});
    EXPECT_EQ(NumberOf("ttyUSB1"), dwFirst);
    EXPECT_EQ(NumberOf("ttyUSB0"), dwSecond);
}

TEST_F(ComPortNumbering, ClonesSharingASerialNumberKeepTheirNumbers) {
    m_hw.PlugUsb("ttyUSB0", "/dev/null", FakeUsb{"A50285BI", "1-1", ""});
    m_hw.PlugUsb("ttyUSB1", "/dev/null", FakeUsb{"A50285BI", "1-2", ""});
    const DWORD dwA = NumberOf("ttyUSB0");
    const DWORD dwB = NumberOf("ttyUSB1");
    ASSERT_NE(dwA, 0u);
    ASSERT_NE(dwB, 0u);
    ASSERT_NE(dwA, dwB);
    m_hw.Unplug("ttyUSB0");
    EXPECT_EQ(NumberOf("ttyUSB1"), dwB);
    m_hw.PlugUsb("ttyUSB0", "/dev/null", FakeUsb{"A50285BI", "1-1", ""});
    EXPECT_EQ(NumberOf("ttyUSB0"), dwA);
    EXPECT_EQ(NumberOf("ttyUSB1"), dwB);
    // Both away, back in the other order and on each other's nodes.
    m_hw.Unplug("ttyUSB0");
    m_hw.Unplug("ttyUSB1");
    m_hw.PlugUsb("ttyUSB0", "/dev/null", FakeUsb{"A50285BI", "1-2", ""});
    EXPECT_EQ(NumberOf("ttyUSB0"), dwB);
    m_hw.PlugUsb("ttyUSB1", "/dev/null", FakeUsb{"A50285BI", "1-1", ""});
    EXPECT_EQ(NumberOf("ttyUSB1"), dwA);
    EXPECT_EQ(ReservedNumbers(m_map.Dir()), 2u);
}

TEST_F(ComPortNumbering, APresentDeviceKeepsItsNumberWhateverItsIdentitySaysNow) {
    m_hw.PlugUsb("ttyACM0", "/dev/null", FakeUsb{"X1", "", ""});
    const DWORD n = NumberOf("ttyACM0");
    ASSERT_NE(n, 0u);
    { std::ofstream(m_hw.UsbDir("ttyACM0") + "/serial") << "X2\n"; }
    EXPECT_EQ(NumberOf("ttyACM0"), n);
    // A device now claiming the old identity is a different one.
    m_hw.PlugUsb("ttyACM1", "/dev/null", FakeUsb{"X1", "", ""});
    EXPECT_NE(NumberOf("ttyACM1"), 0u);
    EXPECT_NE(NumberOf("ttyACM1"), n);
    EXPECT_EQ(NumberOf("ttyACM0"), n);
    // A node of the same name that appears anew is not taken for the old one.
    m_hw.Unplug("ttyACM0");
    m_hw.PlugUsb("ttyACM0", "/dev/null", FakeUsb{"X3", "", ""});
    EXPECT_NE(NumberOf("ttyACM0"), n);
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
    EXPECT_NE(text.find("COM" + std::to_string(dwY) + " usb:1782:4d00:usb-Y-port0:1.0\n"),
              std::string::npos)
        << text;
    // Only the file carries the numbers: after both left, Y alone comes
    // back first and still gets its own number.
    m_hw.Unplug("ttyUSB0");
    m_hw.Unplug("ttyUSB1");
    m_hw.Plug("ttyUSB0", "/dev/null", "usb-Y-port0");
    EXPECT_EQ(NumberOf("ttyUSB0"), dwY);
    // A torn last line is ignored, the rest read.
    {
        std::ofstream(m_map.Dir() + "/.hardware-numbers")
            << "COM9 usb:1782:4d00:usb-Z-port0:1.0\nCOM3 usb:";
    }
    m_hw.Plug("ttyUSB1", "/dev/null", "usb-Z-port0");
    EXPECT_EQ(NumberOf("ttyUSB1"), 9u);
}

TEST_F(ComPortNumbering, NumbersGivenUnderUdevLinkNamesCarryOver) {
    // As an earlier version wrote it: devices keyed by their by-id and
    // by-path names.
    {
        std::ofstream(m_map.Dir() + "/.hardware-numbers")
            << "COM4 by-id:usb-Maker_Phone_77-if00\nCOM6 by-path:pci-0000:00:14.0-usb-0:3:1.0\n";
    }
    m_hw.PlugUsb("ttyACM0", "/dev/null", FakeUsb{"77", "", "usb-Maker_Phone_77-if00"});
    m_hw.PlugUsb("ttyACM1", "/dev/null", FakeUsb{"", "1-3", ""});
    m_hw.Link("by-path", "pci-0000:00:14.0-usb-0:3:1.0", "ttyACM1");
    EXPECT_EQ(NumberOf("ttyACM0"), 4u);
    EXPECT_EQ(NumberOf("ttyACM1"), 6u);
    // Now under their identities: links no longer matter.
    m_hw.Unplug("ttyACM0");
    m_hw.Unplug("ttyACM1");
    m_hw.PlugUsb("ttyACM1", "/dev/null", FakeUsb{"77", "", ""});
    m_hw.PlugUsb("ttyACM0", "/dev/null", FakeUsb{"", "1-3", ""});
    EXPECT_EQ(NumberOf("ttyACM1"), 4u);
    EXPECT_EQ(NumberOf("ttyACM0"), 6u);
    std::ifstream in(m_map.Dir() + "/.hardware-numbers");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.find("by-id:"), std::string::npos) << text;
    EXPECT_NE(text.find("COM4 usb:1782:4d00:77:1.0\n"), std::string::npos) << text;
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
