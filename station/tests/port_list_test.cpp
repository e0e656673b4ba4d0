// The port list from the registry's serial port list, on a private COM port map.
#include <gtest/gtest.h>

#include "platform/ext/com_port_map.h"
#include "platform/ext/pseudo_terminal.h"
#include "port_list.h"
#include "station_test_support.h"
#include "temp_com_map.h"

TEST(PortList, UsbFirstThenTheRegisteredPorts) {
    NoSerialHardware noUarts;
    TempComMap map;
    const size_t nHardware = 0;
    std::vector<std::wstring> items = FillPortList();
    ASSERT_EQ(items, std::vector<std::wstring>{L"USB"});

    platform::PseudoTerminal com3, com12;
    ASSERT_TRUE(com3.Open(3));
    ASSERT_TRUE(com12.Open(12));
    items = FillPortList();
    ASSERT_EQ(items.size(), 3 + nHardware);
    EXPECT_NE(std::find(items.begin(), items.end(), L"COM3"), items.end());
    EXPECT_NE(std::find(items.begin(), items.end(), L"COM12"), items.end());

    PortSetting port{3, 0};
    const int nIndex = ChooseSavedPort(items, port);
    EXPECT_EQ(items[static_cast<size_t>(nIndex)], L"COM3");
    EXPECT_EQ(port.port, 3);

    // Unplugged, the configured port stays configured: no item is chosen
    // for it, and the list the window shows carries it marked absent.
    com3.Close();
    items = FillPortList();
    port = {3, 0};
    EXPECT_EQ(ChooseSavedPort(items, port), -1);
    EXPECT_EQ(port.port, 3);
    const std::vector<std::wstring> shown = ShownPortItems(items, port);
    ASSERT_EQ(shown.size(), items.size() + 1);
    EXPECT_EQ(shown.back(), L"COM3 (未连接)");
    EXPECT_EQ(ChooseSavedPort(shown, port), static_cast<int>(shown.size()) - 1);
    ApplyPortSelection(shown.back(), port);  // choosing it again keeps COM3
    EXPECT_EQ(port.port, 3);
    EXPECT_EQ(port.usb, 0);
    // Nothing is added for USB, nor for a port that is there.
    port = {-1, 0};
    EXPECT_EQ(ShownPortItems(items, port), items);
    port = {12, 0};
    EXPECT_EQ(ShownPortItems(items, port), items);
}

TEST(PortList, SavedPortMatchStripsTheLettersOfCom) {
    const std::vector<std::wstring> items{L"USB", L"COM1", L"MOC7", L"com9", L"COMX4"};
    PortSetting port{7, 0};
    EXPECT_EQ(ChooseSavedPort(items, port), 2);  // "MOC7": any order of C, O, M
    port = {9, 0};
    EXPECT_EQ(ChooseSavedPort(items, port), -1);  // lower case letters are not stripped
    EXPECT_EQ(port.port, 9);
    port = {-1, 0};
    EXPECT_EQ(ChooseSavedPort(items, port), 0);
    // USB chosen: item 0, whatever number a USB job left in port.
    port = {1, 1};
    EXPECT_EQ(ChooseSavedPort(items, port), 0);
    // No COM number at all: USB, as before.
    port = {0, 0};
    EXPECT_EQ(ChooseSavedPort(items, port), 0);
    EXPECT_EQ(port.port, -1);
    port = {-5, 0};
    EXPECT_EQ(ShownPortItems(items, port), items);
}

TEST(PortList, DefaultPortIsTakenOnlyWhenPresentThenKept) {
    // No Port key in the file: COM1 when it is there, else USB.
    PortSetting port{1, 0, true};
    EXPECT_EQ(ShownPortItems({L"USB", L"COM3"}, port),
              (std::vector<std::wstring>{L"USB", L"COM3"}));
    EXPECT_EQ(ChooseSavedPort({L"USB", L"COM3"}, port), 0);
    EXPECT_EQ(port.port, -1);
    EXPECT_FALSE(port.defaulted);
    // Taken once, it is the configured port: unplugged, it is kept.
    port = {1, 0, true};
    EXPECT_EQ(ChooseSavedPort({L"USB", L"COM1"}, port), 1);
    EXPECT_FALSE(port.defaulted);
    EXPECT_EQ(ChooseSavedPort({L"USB"}, port), -1);
    EXPECT_EQ(port.port, 1);
}

TEST(PortList, SelectionChangeRule) {
    PortSetting port{5, 0};
    ApplyPortSelection(L"COM12", port);
    EXPECT_EQ(port.port, 12);
    EXPECT_EQ(port.usb, 0);
    ApplyPortSelection(L"usb", port);
    EXPECT_EQ(port.port, -1);
    EXPECT_EQ(port.usb, 1);
    port = {5, 1};
    ApplyPortSelection(L"com7", port);  // not "COM": the number is kept
    EXPECT_EQ(port.port, 5);
    EXPECT_EQ(port.usb, 0);
    ApplyPortSelection(L"Modem", port);
    EXPECT_EQ(port.port, 5);
}
