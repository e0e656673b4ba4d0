// The Troubleshooting dialog (template 23000): the error lines in an upper
// report list (module, interface, error message) and the suggested
// solutions in a lower one (module, solution).
#pragma once

#include <QDialog>
#include <string>
#include <vector>

#include "platform/win_types.h"

class QTableWidget;

namespace faultreader {

class CTroubleshootingDlg : public QDialog {
public:
    explicit CTroubleshootingDlg(QWidget* pParent = nullptr);
    CTroubleshootingDlg(const CTroubleshootingDlg&) = delete;
    CTroubleshootingDlg& operator=(const CTroubleshootingDlg&) = delete;

    void SetErrorInfo(const std::string& strText) { m_strErrorInfo = strText; }
    void SetSolutionInfo(const std::string& strText) { m_strSolutionInfo = strText; }

    // Sets up the icon and the columns and fills both lists from the texts;
    // DoModal calls it once before the dialog runs.
    void OnInitDialog();
    // Runs the dialog modally until the user closes it.
    int DoModal();

protected:
    void keyPressEvent(QKeyEvent* pEvent) override;

private:
    QTableWidget* m_lstSolution;
    QTableWidget* m_lstError;
    std::string m_strErrorInfo;
    std::string m_strSolutionInfo;
};

// Splits a dialog text into rows: lines at every ";" and newline, parts at
// every "-" (runs of delimiters count as one, empty pieces are dropped). At
// most 100 lines and 10 parts a line.
std::vector<std::vector<std::string>> SplitDialogText(const std::string& strText);

// Shows the dialog modally with the two texts; TRUE once it was closed.
// Makes a QApplication for the dialog's life when the process has none (and
// leaves a host's own alone, and its event loop running); FALSE when the
// process has only a non-GUI application object, when the caller is not
// on the thread of the host's QApplication, or when there is no display
// to show on.
BOOL RunTroubleshootingDialog(const std::string& strErrors, const std::string& strSolutions);

}  // namespace faultreader
