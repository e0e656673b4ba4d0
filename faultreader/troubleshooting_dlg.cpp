#include "troubleshooting_dlg.h"

#include <QApplication>
#include <QHeaderView>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QPixmap>
#include <QTableWidget>
#include <QThread>

#include "ansi_text.h"
#include "display_check.h"
#include "troubleshooting_icon.h"

namespace faultreader {
namespace {

const size_t kMaxLines = 100;
const size_t kMaxParts = 10;

QString FromAnsi(const std::string& strText) {
    return QString::fromUtf8(AnsiToUtf8(strText).c_str());
}

std::vector<std::string> SplitAt(const std::string& strText, const char* lpszDelims, size_t nMax) {
    std::vector<std::string> pieces;
    size_t pos = 0;
    while (pos < strText.size() && pieces.size() < nMax) {
        const size_t stop = strText.find_first_of(lpszDelims, pos);
        const size_t end = stop == std::string::npos ? strText.size() : stop;
        if (end > pos)
            pieces.push_back(strText.substr(pos, end - pos));
        pos = end + 1;
    }
    return pieces;
}

// Dialog units to pixels with the dialog font's base units, as the
// template's geometry is given.
class CDialogUnits {
public:
    explicit CDialogUnits(const QFont& font) {
        const QFontMetrics fm(font);
        const int cx = fm.horizontalAdvance(
            QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
        m_nBaseX = (cx / 26 + 1) / 2;
        m_nBaseY = fm.height();
    }
    int X(int du) const { return du * m_nBaseX / 4; }
    int Y(int du) const { return du * m_nBaseY / 8; }
    QRect Rect(int x, int y, int cx, int cy) const { return QRect(X(x), Y(y), X(cx), Y(cy)); }

private:
    int m_nBaseX;
    int m_nBaseY;
};

struct Column {
    const char* lpszHeading;  // UTF-8
    Qt::Alignment align;
    int nTenths;  // share of the width
};

QTableWidget* MakeReportList(QWidget* pParent, const char* lpszId, const QRect& rect) {
    auto* pList = new QTableWidget(pParent);
    pList->setObjectName(QString::fromLatin1(lpszId));
    pList->setGeometry(rect);
    pList->verticalHeader()->hide();
    // Rows as tall as a report view's: the text and a small margin.
    pList->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    pList->verticalHeader()->setDefaultSectionSize(QFontMetrics(pParent->font()).height() + 4);
    pList->setShowGrid(true);
    pList->setSelectionBehavior(QAbstractItemView::SelectRows);
    pList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    pList->setWordWrap(false);
    pList->horizontalHeader()->setStretchLastSection(false);
    pList->setFocusPolicy(Qt::StrongFocus);
    return pList;
}

void AddColumns(QTableWidget* pList, int nWidth, const std::vector<Column>& columns) {
    pList->setColumnCount(static_cast<int>(columns.size()));
    for (size_t i = 0; i < columns.size(); ++i) {
        auto* pHeader = new QTableWidgetItem(QString::fromUtf8(columns[i].lpszHeading));
        pHeader->setTextAlignment(columns[i].align | Qt::AlignVCenter);
        pList->setHorizontalHeaderItem(static_cast<int>(i), pHeader);
        // Integers, multiplication first, the division truncating.
        pList->setColumnWidth(static_cast<int>(i), columns[i].nTenths * nWidth / 10);
    }
}

void Fill(QTableWidget* pList, const std::string& strText, const std::vector<Column>& columns) {
    const auto rows = SplitDialogText(strText);
    pList->setRowCount(static_cast<int>(rows.size()));
    for (size_t r = 0; r < rows.size(); ++r) {
        for (size_t c = 0; c < columns.size(); ++c) {
            auto* pItem =
                new QTableWidgetItem(c < rows[r].size() ? FromAnsi(rows[r][c]) : QString());
            pItem->setTextAlignment(columns[c].align | Qt::AlignVCenter);
            pList->setItem(static_cast<int>(r), static_cast<int>(c), pItem);
        }
    }
}

const std::vector<Column>& ErrorColumns() {
    static const std::vector<Column> kColumns = {{"模块", Qt::AlignHCenter, 2},
                                                 {"接口名", Qt::AlignLeft, 2},
                                                 {"错误信息", Qt::AlignHCenter, 6}};
    return kColumns;
}

const std::vector<Column>& SolutionColumns() {
    static const std::vector<Column> kColumns = {{"模块", Qt::AlignHCenter, 2},
                                                 {"可能的解决方法", Qt::AlignLeft, 8}};
    return kColumns;
}

}  // namespace

std::vector<std::vector<std::string>> SplitDialogText(const std::string& strText) {
    std::vector<std::vector<std::string>> rows;
    for (const std::string& strLine : SplitAt(strText, ";\n", kMaxLines))
        rows.push_back(SplitAt(strLine, "-", kMaxParts));
    return rows;
}

CTroubleshootingDlg::CTroubleshootingDlg(QWidget* pParent)
    : QDialog(pParent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint),
      m_lstSolution(nullptr),
      m_lstError(nullptr) {
    setObjectName(QStringLiteral("23000"));
    setWindowTitle(QStringLiteral("Troubleshooting"));
    setModal(true);
    // Closing the dialog must not end a host's own event loop when it is
    // the last window on screen; its own exec() returns all the same.
    setAttribute(Qt::WA_QuitOnClose, false);
    // The template's face, with metric and CJK stand-ins where it is not
    // installed.
    QFont font;
    font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("Liberation Sans"),
                      QStringLiteral("WenQuanYi Micro Hei")});
    font.setPointSize(8);
    setFont(font);
    const CDialogUnits du(font);
    setFixedSize(du.X(358), du.Y(223));

    auto* pErrorLabel = new QLabel(QString::fromUtf8("错误信息："), this);
    pErrorLabel->setGeometry(du.Rect(7, 7, 72, 8));
    pErrorLabel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    auto* pSolutionLabel = new QLabel(QString::fromUtf8("解决方法推荐："), this);
    pSolutionLabel->setGeometry(du.Rect(7, 114, 72, 8));
    pSolutionLabel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_lstError = MakeReportList(this, "23001", du.Rect(7, 18, 344, 91));
    m_lstSolution = MakeReportList(this, "23002", du.Rect(7, 127, 344, 91));
}

void CTroubleshootingDlg::OnInitDialog() {
    const QPixmap icon(kTroubleshootingIcon23001);
    if (!icon.isNull())
        setWindowIcon(QIcon(icon));
    AddColumns(m_lstError, m_lstError->frameGeometry().width() - 2, ErrorColumns());
    AddColumns(m_lstSolution, m_lstSolution->frameGeometry().width() - 3, SolutionColumns());
    Fill(m_lstError, m_strErrorInfo, ErrorColumns());
    Fill(m_lstSolution, m_strSolutionInfo, SolutionColumns());
}

int CTroubleshootingDlg::DoModal() {
    OnInitDialog();
    return exec();
}

void CTroubleshootingDlg::keyPressEvent(QKeyEvent* pEvent) {
    // Without buttons Enter closes the dialog, as Escape does.
    if (pEvent->key() == Qt::Key_Return || pEvent->key() == Qt::Key_Enter) {
        accept();
        return;
    }
    QDialog::keyPressEvent(pEvent);
}

BOOL RunTroubleshootingDialog(const std::string& strErrors, const std::string& strSolutions) {
    QApplication* pOwnApp = nullptr;
    if (QCoreApplication::instance() == nullptr) {
        // Without a platform to show on, QApplication would end the process.
        if (!CanReachDisplay())
            return FALSE;
        // QApplication keeps references to argc and argv for its life.
        static int s_argc = 1;
        static char s_szName[] = "faultreader";
        static char* s_argv[] = {s_szName, nullptr};
        pOwnApp = new QApplication(s_argc, s_argv);
    } else if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        return FALSE;
    } else if (QThread::currentThread() != QCoreApplication::instance()->thread()) {
        // Widgets live on the application's thread only; handing the dialog
        // over to it would deadlock when that thread is waiting for us.
        return FALSE;
    }
    {
        CTroubleshootingDlg dlg;
        dlg.SetErrorInfo(strErrors);
        dlg.SetSolutionInfo(strSolutions);
        dlg.DoModal();
    }
    delete pOwnApp;
    return TRUE;
}

}  // namespace faultreader
