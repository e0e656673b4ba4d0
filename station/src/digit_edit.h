// An edit box that takes only digits from the keyboard, as a number-only
// edit control does: typed letters are refused, pasted text is taken as it
// is (the length and check-digit tests catch what is wrong with it).
#pragma once

#include <QLineEdit>

class CDigitEdit : public QLineEdit {
public:
    explicit CDigitEdit(QWidget* pParent = nullptr) : QLineEdit(pParent) {}

protected:
    void keyPressEvent(QKeyEvent* pEvent) override;
};
