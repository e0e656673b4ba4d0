// CColorLabel: a static text whose text and background colours the program
// chooses. The whole control is painted with the background brush, so a
// colour change never leaves a stale area around the text.
#pragma once

#include <QBrush>
#include <QFont>
#include <QLabel>

#include <memory>

#include "label_colors.h"

class CColorLabel : public QLabel {
public:
    explicit CColorLabel(QWidget* pParent = nullptr);
    ~CColorLabel() override;
    CColorLabel(const CColorLabel&) = delete;
    CColorLabel& operator=(const CColorLabel&) = delete;

    // Stores the colour (COLOR_SYSTEM: the system's button text) and repaints
    // the whole control.
    void SetLabelTextColor(COLORREF crText);
    COLORREF GetLabelTextColor() const { return m_crText; }
    // Stores the colour (COLOR_SYSTEM: the system's button face), replaces the
    // background brush and repaints the whole control.
    void SetLabelBkColor(COLORREF crBk);
    COLORREF GetLabelBkColor() const { return m_crBk; }
    // Replaces the control's own font (normal weight, sans-serif family) and
    // applies it; nHeight and nWidth as in a font record.
    void SetLabelFont(const QString& face, int nWidth, int nHeight);

    // Brushes and fonts of the control's own alive in the process (each
    // control holds exactly one of each).
    static int LiveBrushes();
    static int LiveFonts();

    static QColor ToQColor(COLORREF cr);
    static COLORREF FromQColor(const QColor& color);

protected:
    void paintEvent(QPaintEvent* pEvent) override;

private:
    struct OwnedBrush;
    struct OwnedFont;

    void ApplyTextColor();

    COLORREF m_crText;
    COLORREF m_crBk;
    std::unique_ptr<OwnedBrush> m_pBrush;
    std::unique_ptr<OwnedFont> m_pFont;
};
