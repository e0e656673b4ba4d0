// Shared by the dialog tests: a control by its id, and the layout checks of a
// dialog whose places are our own (every control inside the dialog, none on
// top of another, every text wholly visible).
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QFontMetrics>
#include <QLabel>
#include <QList>
#include <QWidget>

template <class T>
T* Control(QWidget& dlg, int nId) {
    return dlg.findChild<T*>(QString::number(nId));
}

inline QString W(const wchar_t* lpsz) {
    return QString::fromWCharArray(lpsz);
}

// The text's width within its control, the indicator of a check box included.
inline int NeededWidth(const QWidget* pControl) {
    if (const auto* pBox = qobject_cast<const QCheckBox*>(pControl))
        return pBox->sizeHint().width();
    const QFontMetrics metrics(pControl->font());
    if (const auto* pButton = qobject_cast<const QAbstractButton*>(pControl))
        return metrics.horizontalAdvance(pButton->text()) + 8;
    if (const auto* pLabel = qobject_cast<const QLabel*>(pControl))
        return pLabel->text().isEmpty() ? 0 : metrics.horizontalAdvance(pLabel->text());
    return 0;
}

inline void ExpectLayoutClean(QWidget& dlg) {
    const QList<QWidget*> controls = dlg.findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    ASSERT_FALSE(controls.isEmpty());
    for (qsizetype i = 0; i < controls.size(); ++i) {
        const QWidget* pA = controls[i];
        const QString name =
            pA->objectName().isEmpty() ? QString("static %1").arg(i) : pA->objectName();
        EXPECT_TRUE(dlg.rect().contains(pA->geometry())) << name.toStdString();
        EXPECT_LE(NeededWidth(pA), pA->width()) << name.toStdString();
        EXPECT_LE(QFontMetrics(pA->font()).height(), pA->height()) << name.toStdString();
        for (qsizetype j = i + 1; j < controls.size(); ++j)
            EXPECT_FALSE(pA->geometry().intersects(controls[j]->geometry()))
                << name.toStdString() << " and " << controls[j]->objectName().toStdString();
    }
}
