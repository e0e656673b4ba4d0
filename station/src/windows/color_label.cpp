// The colour label control.
#include "color_label.h"

#include <QApplication>
#include <QPainter>
#include <QPalette>

#include <atomic>

#include "dialog_layout.h"

namespace {

std::atomic<int> g_nLiveBrushes{0};
std::atomic<int> g_nLiveFonts{0};

COLORREF SystemButtonText() {
    return CColorLabel::FromQColor(QApplication::palette().buttonText().color());
}
COLORREF SystemButtonFace() {
    return CColorLabel::FromQColor(QApplication::palette().button().color());
}

}  // namespace

struct CColorLabel::OwnedBrush {
    explicit OwnedBrush(COLORREF cr) : brush(ToQColor(cr)) { ++g_nLiveBrushes; }
    ~OwnedBrush() { --g_nLiveBrushes; }
    OwnedBrush(const OwnedBrush&) = delete;
    OwnedBrush& operator=(const OwnedBrush&) = delete;
    QBrush brush;
};

struct CColorLabel::OwnedFont {
    explicit OwnedFont(QFont f) : font(std::move(f)) { ++g_nLiveFonts; }
    ~OwnedFont() { --g_nLiveFonts; }
    OwnedFont(const OwnedFont&) = delete;
    OwnedFont& operator=(const OwnedFont&) = delete;
    QFont font;
};

CColorLabel::CColorLabel(QWidget* pParent)
    : QLabel(pParent), m_crText(SystemButtonText()), m_crBk(SystemButtonFace()) {
    m_pBrush = std::make_unique<OwnedBrush>(m_crBk);
    // Made but not applied: only SetLabelFont gives the control a font of its own.
    InstallFontSubstitutions();
    m_pFont = std::make_unique<OwnedFont>(MakeFont("Courier", 10, 400));
    ApplyTextColor();
}

CColorLabel::~CColorLabel() = default;

QColor CColorLabel::ToQColor(COLORREF cr) {
    return QColor(static_cast<int>(cr & 0xFF), static_cast<int>((cr >> 8) & 0xFF),
                  static_cast<int>((cr >> 16) & 0xFF));
}

COLORREF CColorLabel::FromQColor(const QColor& color) {
    return RGB(color.red(), color.green(), color.blue());
}

void CColorLabel::SetLabelTextColor(COLORREF crText) {
    m_crText = crText == COLOR_SYSTEM ? SystemButtonText() : crText;
    ApplyTextColor();
    update();
}

void CColorLabel::SetLabelBkColor(COLORREF crBk) {
    m_crBk = crBk == COLOR_SYSTEM ? SystemButtonFace() : crBk;
    m_pBrush.reset();
    m_pBrush = std::make_unique<OwnedBrush>(m_crBk);
    update();
}

void CColorLabel::SetLabelFont(const QString& face, int nWidth, int nHeight) {
    m_pFont.reset();
    m_pFont = std::make_unique<OwnedFont>(MakeFont(face, nHeight, 400, nWidth));
    setFont(m_pFont->font);
    update();
}

int CColorLabel::LiveBrushes() {
    return g_nLiveBrushes.load();
}
int CColorLabel::LiveFonts() {
    return g_nLiveFonts.load();
}

void CColorLabel::ApplyTextColor() {
    QPalette pal = palette();
    pal.setColor(QPalette::WindowText, ToQColor(m_crText));
    setPalette(pal);
}

void CColorLabel::paintEvent(QPaintEvent* pEvent) {
    if (m_pBrush) {
        QPainter painter(this);
        painter.fillRect(rect(), m_pBrush->brush);
    }
    QLabel::paintEvent(pEvent);
}
