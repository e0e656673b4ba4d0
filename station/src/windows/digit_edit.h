// An edit box that takes only digits from the keyboard, as a number-only
// edit control does: typed letters are refused, pasted text is taken as it
// is (the length and check-digit tests catch what is wrong with it). The
// Bluetooth box takes hexadecimal digits instead, in either case; typed
// letters are stored upper case, as a scanner's and the keyboard's must
// name the same address.
#pragma once

#include <QLineEdit>

class CDigitEdit : public QLineEdit {
public:
    enum class Digits { Decimal, Hex };
    explicit CDigitEdit(QWidget* pParent = nullptr, Digits digits = Digits::Decimal)
        : QLineEdit(pParent), m_digits(digits) {}

    // After a failed job: the next text typed or scanned replaces the whole
    // text instead of being appended to it (the text shows selected while
    // the box has the focus). A click or an editing key (arrows, Backspace,
    // ...) first keeps the text for editing instead.
    void ReplaceOnNextInput(bool bReplace);
    bool ReplacesOnNextInput() const { return m_bReplaceNext; }

protected:
    void keyPressEvent(QKeyEvent* pEvent) override;
    void focusInEvent(QFocusEvent* pEvent) override;
    void mousePressEvent(QMouseEvent* pEvent) override;

private:
    bool Accepts(QChar c) const;

    Digits m_digits;
    bool m_bReplaceNext = false;
};
