// Shared by the station's tests: one Qt application for the process, and
// Stampwell.ini beside the test program (the window reads the file there).
#pragma once

#include <QApplication>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/ext/com_port_map.h"
#include "platform/win_system.h"
#include "platform_testing/serial_hardware_roots.h"

// The process's application object, made on first use and kept to the end.
inline QApplication* TestApp() {
    static int argc = 1;
    static char szName[] = "station_tests";
    static char* argv[] = {szName, nullptr};
    static QApplication* pApp = new QApplication(argc, argv);
    return pApp;
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
