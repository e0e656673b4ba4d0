#include "station_app.h"

#include <cstdio>
#include <cstdlib>

#include "dialog_layout.h"
#include "station_dlg.h"

CStationApp::CStationApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName("Stampwell");
}

int CStationApp::InitInstance() {
    m_version = ReadProgramVersion();
    InstallFontSubstitutions();
    CStationDlg dlg(m_version);
    dlg.DoModal();
    if (dlg.LeftWorkerRunning()) {
        // A worker is still inside a bounded library call. Its numbers are
        // on record (a job without an outcome counts as written at the next
        // start), so the process ends now rather than tearing down what the
        // worker still uses.
        std::fflush(nullptr);
        std::quick_exit(0);
    }
    return 0;
}
