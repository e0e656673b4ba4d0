// Dialog templates on Qt: template coordinates (dialog units) converted to
// pixels with the dialog font's base units, and fonts made from the sizes a
// template or a font record gives.
#pragma once

#include <QFont>
#include <QPushButton>
#include <QRect>
#include <QSize>
#include <QString>

// Makes the template face names ("宋体", "SIMHEI", "Arial") resolve to fonts
// installed here, so every text renders. Call once after the application
// object exists; repeated calls do nothing more.
void InstallFontSubstitutions();

// A font of a font record: a positive height is the cell height in pixels
// (internal leading included), a negative one the character height; weight
// 100..900 (700 bold); a width above 0 narrows or widens the characters to
// that average width.
QFont MakeFont(const QString& face, int nHeight, int nWeight, int nWidth = 0);
// The dialog font of a template: face and point size at 96 pixels per inch.
QFont MakeDialogFont(const QString& face, int nPointSize);

// A push button of a template that focus never makes the default button (a
// dialog decides itself what Enter does).
QPushButton* NewTemplateButton(QWidget* pParent, const QString& text);

// Converts template units of one dialog: x by the average character width
// over 4, y by the character height over 8, rounded as the original does.
class CDialogUnits {
public:
    explicit CDialogUnits(const QFont& dialogFont);
    int BaseX() const { return m_nBaseX; }
    int BaseY() const { return m_nBaseY; }
    QRect Rect(int x, int y, int w, int h) const;
    QSize Size(int w, int h) const;
    // Puts a template's control at its place: its id (when not 0) as the
    // object name, its rectangle converted. Returns the control.
    template <class T>
    T* Place(T* pControl, int nId, int x, int y, int w, int h) const {
        if (nId != 0)
            pControl->setObjectName(QString::number(nId));
        pControl->setGeometry(Rect(x, y, w, h));
        return pControl;
    }

private:
    int m_nBaseX;
    int m_nBaseY;
};
