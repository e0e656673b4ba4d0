// Dialog units and template fonts.
#include "dialog_layout.h"

#include <QFontMetrics>
#include <QStringList>

#include <cmath>

namespace {

int MulDiv(int a, int b, int c) {
    return static_cast<int>(std::lround(static_cast<double>(a) * b / c));
}

}  // namespace

void InstallFontSubstitutions() {
    static bool bDone = false;
    if (bDone)
        return;
    bDone = true;
    const QStringList cjk{"WenQuanYi Micro Hei", "Noto Sans CJK SC", "Noto Serif CJK SC"};
    QFont::insertSubstitutions(QString::fromWCharArray(L"宋体"), cjk);
    QFont::insertSubstitutions("SimSun", cjk);
    QFont::insertSubstitutions("SIMHEI", cjk);
    QFont::insertSubstitutions("Arial", {"Liberation Sans", "Arimo"});
    QFont::insertSubstitutions("Courier", {"Liberation Mono", "Cousine"});
}

QFont MakeFont(const QString& face, int nHeight, int nWeight, int nWidth) {
    QFont font(face);
    font.setStyleHint(QFont::SansSerif);
    font.setWeight(static_cast<QFont::Weight>(nWeight > 0 ? nWeight : 400));
    const int nSize = nHeight != 0 ? std::abs(nHeight) : 13;
    font.setPixelSize(nSize);
    if (nHeight > 0) {
        // A cell height: scale the character size so ascent plus descent is
        // the height asked for.
        const int nCell = QFontMetrics(font).height();
        if (nCell > 0)
            font.setPixelSize(std::max(1, MulDiv(nSize, nSize, nCell)));
    }
    if (nWidth > 0) {
        const int nAverage = QFontMetrics(font).averageCharWidth();
        if (nAverage > 0)
            font.setStretch(std::clamp(MulDiv(100, nWidth, nAverage), 1, 4000));
    }
    return font;
}

QFont MakeDialogFont(const QString& face, int nPointSize) {
    // The point size at 96 pixels per inch, as a character height.
    return MakeFont(face, -MulDiv(nPointSize, 96, 72), 400);
}

QPushButton* NewTemplateButton(QWidget* pParent, const QString& text) {
    auto* pButton = new QPushButton(text, pParent);
    pButton->setAutoDefault(false);
    pButton->setDefault(false);
    return pButton;
}

CDialogUnits::CDialogUnits(const QFont& dialogFont) {
    const QFontMetrics metrics(dialogFont);
    const int nWidth =
        metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    m_nBaseX = std::max(1, (nWidth / 26 + 1) / 2);
    m_nBaseY = std::max(1, metrics.height());
}

QRect CDialogUnits::Rect(int x, int y, int w, int h) const {
    return QRect(MulDiv(x, m_nBaseX, 4), MulDiv(y, m_nBaseY, 8), MulDiv(w, m_nBaseX, 4),
                 MulDiv(h, m_nBaseY, 8));
}

QSize CDialogUnits::Size(int w, int h) const {
    return QSize(MulDiv(w, m_nBaseX, 4), MulDiv(h, m_nBaseY, 8));
}
