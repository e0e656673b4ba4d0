// Shared by the station's tests: one Qt application for the process,
// Stampwell.ini beside the test program (the window reads the file there),
// and the main window opened on it.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "handset_sim.h"
#include "platform/ext/com_port_map.h"
#include "platform/win_system.h"
#include "platform_testing/serial_hardware_roots.h"
#include "station_dlg.h"
#include "temp_com_map.h"

// A stream of simulated handsets on a COM port of its own (the lowest free
// one unless options name it), answering at once unless options say
// otherwise.
inline std::unique_ptr<CHandsetSim> StartedSim(HandsetSimOptions options = {}) {
    options.dwPowerUpMs = 0;
    auto pSim = std::make_unique<CHandsetSim>(std::move(options));
    std::string error;
    EXPECT_TRUE(pSim->Start(&error)) << error;
    return pSim;
}

// The process's application object, made on first use and kept to the end.
inline QApplication* TestApp() {
    static int argc = 1;
    static char szName[] = "station_tests";
    static char* argv[] = {szName, nullptr};
    static QApplication* pApp = new QApplication(argc, argv);
    return pApp;
}

// Runs action (which opens a message box) and returns the box's text; the
// box is answered from inside its own loop. Empty when none opened.
template <class Action>
QString MessageBoxOf(QObject& owner, Action action) {
    auto pShown = std::make_shared<QString>();
    QTimer::singleShot(0, &owner, [pShown] {
        if (auto* pBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            *pShown = pBox->text();
            pBox->accept();
        }
    });
    QTimer::singleShot(5000, &owner, [] {  // a box that was not answered fails, not hangs
        if (QWidget* pModal = QApplication::activeModalWidget())
            pModal->close();
    });
    action();
    return *pShown;
}

// Stampwell.ini (and the record Stampwell.db) beside this program; both
// removed before and after.
class IniBesideProgram {
public:
    IniBesideProgram() {
        wchar_t szExe[MAX_PATH];
        DWORD n = GetModuleFileNameW(nullptr, szExe, MAX_PATH);
        std::wstring exe(szExe, n);
        std::string narrow(exe.begin(), exe.end());
        m_path = std::filesystem::path(narrow).parent_path() / "Stampwell.ini";
        RemoveAll();
    }
    ~IniBesideProgram() { RemoveAll(); }
    // The record of handsets the window keeps beside the settings.
    std::filesystem::path RecordPath() const { return m_path.parent_path() / "Stampwell.db"; }
    IniBesideProgram(const IniBesideProgram&) = delete;
    IniBesideProgram& operator=(const IniBesideProgram&) = delete;

    void Write(const std::string& text) const { std::ofstream(m_path, std::ios::binary) << text; }
    std::string Read() const {
        std::ifstream in(m_path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    bool Exists() const { return std::filesystem::exists(m_path); }
    const std::filesystem::path& Path() const { return m_path; }

private:
    void RemoveAll() const {
        std::error_code ec;
        std::filesystem::remove(m_path, ec);
        for (const char* lpszSuffix : {"", "-wal", "-shm", "-journal"})
            std::filesystem::remove(RecordPath().string() + lpszSuffix, ec);
    }

    std::filesystem::path m_path;
};

// A machine without serial hardware, for as long as the object lives: the
// COM port map looks for UARTs in an empty tree.
class NoSerialHardware {
public:
    NoSerialHardware() {
        char szTemplate[] = "/tmp/station-no-uart-XXXXXX";
        const char* lpszDir = mkdtemp(szTemplate);
        m_dir = lpszDir != nullptr ? lpszDir : "/nonexistent";
        std::filesystem::create_directories(m_dir + "/sys");
        std::filesystem::create_directories(m_dir + "/dev");
        platform::SetSerialHardwareRoots(m_dir + "/sys", m_dir + "/dev");
    }
    ~NoSerialHardware() {
        platform::SetSerialHardwareRoots("", "");
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
    NoSerialHardware(const NoSerialHardware&) = delete;
    NoSerialHardware& operator=(const NoSerialHardware&) = delete;

private:
    std::string m_dir;
};

// The main window shown and opened on the given Stampwell.ini text, beside
// the test program, with a private COM port map.
class StationWindowTest : public ::testing::Test {
protected:
    void SetUp() override { TestApp(); }
    void OpenWindow(const std::string& ini) {
        m_ini.Write(ini);
        m_pDlg = std::make_unique<CStationDlg>(ProgramVersion{L"1.3.3", L"0001"});
        m_pDlg->show();
        ASSERT_TRUE(m_pDlg->OnInitDialog());
        QApplication::processEvents();
    }
    template <class T = QWidget>
    T* Control(int nId) {
        return m_pDlg->findChild<T*>(QString::number(nId));
    }

    TempComMap m_map;
    IniBesideProgram m_ini;
    std::unique_ptr<CStationDlg> m_pDlg;
};
