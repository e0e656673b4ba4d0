// CStationApp: the application object. It fills the version texts, runs the
// main window modally, and the program ends when the window closes.
#pragma once

#include <QApplication>

#include "version_read.h"

class CStationApp : public QApplication {
public:
    CStationApp(int& argc, char** argv);
    // Runs the main window; returns the process's exit status.
    int InitInstance();
    const ProgramVersion& Version() const { return m_version; }

private:
    ProgramVersion m_version;
};
