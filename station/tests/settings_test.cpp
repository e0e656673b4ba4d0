// Stampwell.ini against the real main window, beside the real test program.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QtTest/QTest>

#include "platform/ext/com_port_map.h"
#include "platform/ext/pseudo_terminal.h"
#include "station_dlg.h"
#include "station_settings.h"
#include "station_test_support.h"
#include "temp_com_map.h"
#include "temp_dir.h"

namespace {

const ProgramVersion kVersion{L"1.3.3", L"0001"};

std::string Key(const std::string& ini, const std::string& key) {
    const std::string needle = "\n" + key + "=";
    size_t pos = ("\n" + ini).find(needle);
    if (pos == std::string::npos)
        return "<absent>";
    pos += needle.size() - 1;
    size_t end = ini.find_first_of("\r\n", pos);
    return ini.substr(pos, end - pos);
}

}  // namespace

TEST(StationSettings, EmptyFileGivesTheDefaults) {
    TestApp();
    TempComMap map;
    // COM1 is preselected when present: a real UART may already be COM1.
    platform::PseudoTerminal com1;
    if (platform::ResolveComPort(1).empty()) {
        ASSERT_TRUE(com1.Open(1));
    }
    IniBesideProgram ini;
    ini.Write("");
    CStationDlg dlg(kVersion);
    ASSERT_TRUE(dlg.OnInitDialog());
    const StationSettings& s = dlg.Settings();
    EXPECT_EQ(s.imei1On + s.imei2On + s.imei3On + s.btOn, 0);
    EXPECT_EQ(s.timeoutMs, 40000);
    EXPECT_EQ(s.modeWaitMs, 100);
    EXPECT_EQ(s.startNumber, L"12345678901235");
    EXPECT_EQ(dlg.Port().port, 1);
    EXPECT_EQ(dlg.findChild<QComboBox*>("1005")->currentText(), "COM1");
}

TEST(StationSettings, NoFileAndNoCom1GiveUsb) {
    TestApp();
    NoSerialHardware noUarts;
    TempComMap map;
    IniBesideProgram none;
    ASSERT_FALSE(none.Exists());
    CStationDlg dlg(kVersion);
    ASSERT_TRUE(dlg.OnInitDialog());
    EXPECT_EQ(dlg.Settings().startNumber, L"12345678901235");
    EXPECT_EQ(dlg.Settings().timeoutMs, 40000);
    EXPECT_EQ(dlg.Port().port, -1);
    EXPECT_EQ(dlg.findChild<QComboBox*>("1005")->currentText(), "USB");
}

TEST(StationSettings, KeysAreReadAsWrittenAndCut) {
    TestApp();
    TempComMap map;
    IniBesideProgram ini;
    ini.Write(
        "[General]\r\nIMEI=01\r\nIMEI2=1\r\nIMEI3=-1\r\nAutoCreateIMEI=x\r\n"
        "PhaseCheck=1\r\nTimeout=12abc\r\nEntrerModeWait=250\r\nReadBack=1\r\nCheck=1\r\n"
        "DefaultIMEI=3500000000000012345\r\n[Control]\r\nUser Privilege=1\r\nOrvanNew=1\r\n");
    CStationDlg dlg(kVersion);
    ASSERT_TRUE(dlg.OnInitDialog());
    const StationSettings& s = dlg.Settings();
    EXPECT_EQ(s.imei1On, 1);
    EXPECT_EQ(s.imei3On, -1);
    EXPECT_EQ(s.autoCreate, 0);
    EXPECT_EQ(s.phaseCheck, 0);
    EXPECT_EQ(s.timeoutMs, 12);
    EXPECT_EQ(s.modeWaitMs, 250);
    EXPECT_EQ(s.readBack + s.checkDigits + s.userPrivilege + s.fastWrite, 4);
    EXPECT_EQ(s.startNumber, L"35000000000000");
    EXPECT_TRUE(dlg.findChild<QWidget*>("1003")->isEnabled());
}

TEST(StationSettings, CloseBoxWritesBackInOrderAndEscNeverWrites) {
    TestApp();
    TempComMap map;
    IniBesideProgram ini;
    const std::string original =
        "; line station 4\r\n[General]\r\nIMEI=1\r\nIMEI2=1\r\nAutoCreateIMEI=1\r\n"
        "PhaseCheck=1\r\nPort=7\r\nDefaultIMEI=35000000000000\r\n";
    ini.Write(original);
    {
        CStationDlg dlg(kVersion);
        dlg.show();
        ASSERT_TRUE(dlg.OnInitDialog());
        EXPECT_EQ(dlg.Port().port, 7);  // no COM7 here: still the configured port
        QTest::keyClick(dlg.focusWidget() ? dlg.focusWidget() : &dlg, Qt::Key_Escape);
        EXPECT_FALSE(dlg.isVisible());
    }
    EXPECT_EQ(ini.Read(), original);

    {
        CStationDlg dlg(kVersion);
        dlg.show();
        ASSERT_TRUE(dlg.OnInitDialog());
        dlg.close();
    }
    const std::string written = ini.Read();
    EXPECT_EQ(Key(written, "PhaseCheck"), "0");
    // The absent port is kept for the day it is plugged in again.
    EXPECT_EQ(Key(written, "Port"), "7");
    // IMEI1 and IMEI2 generated: the same start number goes back.
    EXPECT_EQ(Key(written, "DefaultIMEI"), "35000000000000");
    EXPECT_EQ(Key(written, "IMEI3"), "0");
    EXPECT_EQ(Key(written, "UseSameIMEI"), "0");
    EXPECT_EQ(Key(written, "Timeout"), "<absent>");  // read-only keys stay as they were
    EXPECT_EQ(written.rfind("; line station 4", 0), 0u);
    const char* order[] = {"IMEI=",           "IMEI2=",
                           "IMEI3=",          "BT_ADDR=",
                           "Port=",           "AutoGenerateBT_ADDR=",
                           "AutoCreateIMEI=", "AutoCreateIMEIFromIMEI1=",
                           "UseSameIMEI=",    "DefaultIMEI=",
                           "PhaseCheck="};
    for (const char* key : order)
        EXPECT_NE(written.find(std::string("\n") + key), std::string::npos) << key;

    // Only the operator's choice of USB writes -1.
    {
        CStationDlg dlg(kVersion);
        dlg.show();
        ASSERT_TRUE(dlg.OnInitDialog());
        dlg.findChild<QComboBox*>("1005")->setCurrentIndex(0);
        dlg.close();
    }
    EXPECT_EQ(Key(ini.Read(), "Port"), "-1");
}

TEST(StationSettings, StartNumberAloneIsStoredAtomically) {
    TempComMap map;
    IniBesideProgram ini;
    ini.Write("[General]\r\nIMEI=1\r\nDefaultIMEI=35000000000000\r\n[Control]\r\nOrvanNew=1\r\n");
    CSettingsFile file;
    ASSERT_TRUE(file.LocateBesideProgram());
    EXPECT_EQ(file.Path(), ini.Path().wstring());
    EXPECT_TRUE(file.SaveStartNumber(L"35000000000003"));
    EXPECT_EQ(ini.Read(),
              "[General]\r\nIMEI=1\r\nDefaultIMEI=35000000000003\r\n[Control]\r\nOrvanNew=1\r\n");
    // A file that cannot be replaced reports it.
    CSettingsFile bad;
    bad.SetPath(L"/nonexistent-dir/Stampwell.ini");
    EXPECT_FALSE(bad.SaveStartNumber(L"1"));
}

TEST(StationSettings, SlotsAndTheRecordSectionAreRead) {
    TempDir dir;
    const std::string path = dir.Path("Stampwell.ini");
    CSettingsFile file;
    file.SetPath(std::wstring(path.begin(), path.end()));
    const auto slotsOf = [&](const std::string& value, std::vector<int>& ports) {
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            << "[General]\r\nSlots=" << value << "\r\n[Record]\r\nServer = host=linehost dbname=l7 "
            << "\r\nPool=line7\r\nOperator=Li\r\n";
        return file.LoadSlots(ports);
    };
    std::vector<int> ports;
    EXPECT_TRUE(slotsOf(" 3, 4 ,5,6", ports));
    EXPECT_EQ(ports, (std::vector<int>{3, 4, 5, 6}));
    EXPECT_TRUE(slotsOf("", ports));
    EXPECT_TRUE(ports.empty());
    // One slot, nine, a repeat, a letter, a COM number out of range: refused.
    for (const char* lpszBad : {"3", "1,2,3,4,5,6,7,8,9", "3,3", "3,x", "3,256", "3,,4", "0,1"}) {
        EXPECT_FALSE(slotsOf(lpszBad, ports)) << lpszBad;
        EXPECT_TRUE(ports.empty()) << lpszBad;
    }
    RecordSettings record;
    file.LoadRecordSettings(record);
    EXPECT_EQ(record.server, "host=linehost dbname=l7");
    EXPECT_EQ(record.pool, "line7");
    EXPECT_EQ(record.operatorName, "Li");
    EXPECT_TRUE(record.workOrder.empty());
    EXPECT_FALSE(record.station.empty());  // the host name
}
