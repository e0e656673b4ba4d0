// The About box: template 100's texts, the version and build from the
// program's version, and OK closing it.
#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QtTest/QTest>

#include "about_dlg.h"
#include "dialog_check.h"
#include "dialog_layout.h"
#include "station_test_support.h"
#include "version_read.h"

TEST(AboutDlg, ShowsTheVersionAndBuildOfTheProgram) {
    TestApp();
    // The texts the program's own version resource gives ("1, 3, 3, 1").
    CAboutDlg dlg(ReadProgramVersion());
    dlg.OnInitDialog();
    dlg.show();
    EXPECT_EQ(dlg.windowTitle(), W(L"关于Stampwell"));
    EXPECT_EQ(dlg.objectName(), "100");
    EXPECT_EQ(dlg.size(), CDialogUnits(dlg.font()).Size(315, 97));
    EXPECT_EQ(Control<QLabel>(dlg, 1031)->text(), "1.3.3");
    EXPECT_EQ(Control<QLabel>(dlg, 1032)->text(), "0001");

    QStringList texts;
    const QLabel* pIcon = nullptr;
    const QLabel* pVersionCaption = nullptr;
    const QLabel* pBuildCaption = nullptr;
    for (const QLabel* pLabel : dlg.findChildren<QLabel*>()) {
        texts << pLabel->text();
        if (!pLabel->pixmap().isNull())
            pIcon = pLabel;
        if (pLabel->text() == "Version:")
            pVersionCaption = pLabel;
        if (pLabel->text() == "Build:")
            pBuildCaption = pLabel;
    }
    for (const char* lpszText : {"Stampwell TOOL", "All rights reserved."})
        EXPECT_TRUE(texts.contains(lpszText)) << lpszText;
    EXPECT_TRUE(texts.contains(W(MSG_ABOUT_OWNER_NOTICE)));
    ASSERT_NE(pIcon, nullptr);
    EXPECT_GE(pIcon->pixmap().width(), 24);
    // Each value follows its caption on the same line; the notice is above
    // the rights line.
    ASSERT_NE(pVersionCaption, nullptr);
    ASSERT_NE(pBuildCaption, nullptr);
    for (auto [pCaption, nId] :
         {std::pair{pVersionCaption, 1031}, std::pair{pBuildCaption, 1032}}) {
        const QLabel* pValue = Control<QLabel>(dlg, nId);
        EXPECT_EQ(pValue->y(), pCaption->y()) << nId;
        EXPECT_GT(pValue->x(), pCaption->geometry().right()) << nId;
    }
    const auto yOf = [&](const QString& text) {
        for (const QLabel* pLabel : dlg.findChildren<QLabel*>())
            if (pLabel->text() == text)
                return pLabel->y();
        return -1;
    };
    EXPECT_LT(yOf(W(MSG_ABOUT_OWNER_NOTICE)), yOf("All rights reserved."));
    ExpectLayoutClean(dlg);
    EXPECT_TRUE(dlg.grab().save(QCoreApplication::applicationDirPath() + "/about_dialog.png"));
}

TEST(AboutDlg, OkAndEnterCloseTheBox) {
    TestApp();
    CAboutDlg dlg(ProgramVersion{L"1.3.3", L"0001"});
    QTimer::singleShot(5000, &dlg, [&] { dlg.done(-1); });  // a hung loop fails, not hangs
    QTimer::singleShot(0, &dlg, [&] {
        EXPECT_EQ(Control<QLabel>(dlg, 1032)->text(), "0001");
        QTest::mouseClick(Control<QPushButton>(dlg, 1), Qt::LeftButton);
    });
    EXPECT_EQ(dlg.DoModal(), QDialog::Accepted);

    QTimer::singleShot(0, &dlg, [&] { QTest::keyClick(&dlg, Qt::Key_Return); });
    EXPECT_EQ(dlg.DoModal(), QDialog::Accepted);
}
