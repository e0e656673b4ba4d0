#include "digit_edit.h"

#include <QApplication>
#include <QKeyEvent>

namespace {

// Keys that only change how the next key reads: a scanner sends Shift
// around upper-case letters, so these leave a pending replacement alone.
bool IsModifierKey(int nKey) {
    switch (nKey) {
        case Qt::Key_Shift:
        case Qt::Key_Control:
        case Qt::Key_Alt:
        case Qt::Key_Meta:
        case Qt::Key_AltGr:
        case Qt::Key_CapsLock:
        case Qt::Key_NumLock:
            return true;
        default:
            return false;
    }
}

}  // namespace

void CDigitEdit::ReplaceOnNextInput(bool bReplace) {
    m_bReplaceNext = bReplace;
    if (bReplace && hasFocus())
        selectAll();
}

bool CDigitEdit::Accepts(QChar c) const {
    if (c >= u'0' && c <= u'9')
        return true;
    const QChar upper = c.toUpper();
    return m_digits == Digits::Hex && upper >= u'A' && upper <= u'F';
}

void CDigitEdit::keyPressEvent(QKeyEvent* pEvent) {
    const QString text = pEvent->text();
    // Control keys (editing, shortcuts such as paste) carry no printable text.
    const bool bPrintable = !text.isEmpty() && text.at(0).isPrint();
    if (bPrintable && !(pEvent->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
        for (QChar c : text) {
            if (!Accepts(c)) {
                QApplication::beep();
                pEvent->accept();
                return;
            }
        }
        if (m_bReplaceNext) {
            m_bReplaceNext = false;
            selectAll();
        }
        if (m_digits == Digits::Hex && text != text.toUpper()) {
            QKeyEvent upper(pEvent->type(), pEvent->key(), pEvent->modifiers(), text.toUpper(),
                            pEvent->isAutoRepeat(), pEvent->count());
            QLineEdit::keyPressEvent(&upper);
            pEvent->setAccepted(upper.isAccepted());
            return;
        }
    } else if (!IsModifierKey(pEvent->key())) {
        m_bReplaceNext = false;
    }
    QLineEdit::keyPressEvent(pEvent);
}

void CDigitEdit::focusInEvent(QFocusEvent* pEvent) {
    QLineEdit::focusInEvent(pEvent);
    if (m_bReplaceNext)
        selectAll();
}

void CDigitEdit::mousePressEvent(QMouseEvent* pEvent) {
    m_bReplaceNext = false;
    QLineEdit::mousePressEvent(pEvent);
}
