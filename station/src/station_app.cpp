#include "station_app.h"

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
    return 0;
}
