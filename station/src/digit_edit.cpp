#include "digit_edit.h"

#include <QApplication>
#include <QKeyEvent>

void CDigitEdit::keyPressEvent(QKeyEvent* pEvent) {
    const QString text = pEvent->text();
    // Control keys (editing, shortcuts such as paste) carry no printable text.
    const bool bPrintable = !text.isEmpty() && text.at(0).isPrint();
    if (bPrintable && !(pEvent->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
        for (QChar c : text) {
            if (c < u'0' || c > u'9') {
                QApplication::beep();
                pEvent->accept();
                return;
            }
        }
    }
    QLineEdit::keyPressEvent(pEvent);
}
