// The colour label under the offscreen platform: colours, repaint of the
// whole control, one brush and one font of its own at a time.
#include <gtest/gtest.h>

#include <QImage>
#include <QPixmap>

#include "color_label.h"
#include "station_test_support.h"

namespace {

// Every pixel of the grabbed control that is not text has this colour.
double ShareOfColor(const QImage& image, const QColor& color) {
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            n += QColor(image.pixel(x, y)) == color ? 1 : 0;
    return static_cast<double>(n) / (image.width() * image.height());
}

}  // namespace

TEST(ColorLabel, StartsWithTheSystemColoursAndRestoresThem) {
    TestApp();
    CColorLabel label;
    const COLORREF crText = CColorLabel::FromQColor(QApplication::palette().buttonText().color());
    const COLORREF crFace = CColorLabel::FromQColor(QApplication::palette().button().color());
    EXPECT_EQ(label.GetLabelTextColor(), crText);
    EXPECT_EQ(label.GetLabelBkColor(), crFace);
    label.SetLabelBkColor(RGB(0, 128, 0));
    label.SetLabelTextColor(RGB(255, 255, 255));
    EXPECT_EQ(label.GetLabelBkColor(), 0x008000u);
    EXPECT_EQ(label.GetLabelTextColor(), 0xFFFFFFu);
    label.SetLabelBkColor(COLOR_SYSTEM);
    label.SetLabelTextColor(COLOR_SYSTEM);
    EXPECT_EQ(label.GetLabelBkColor(), crFace);
    EXPECT_EQ(label.GetLabelTextColor(), crText);
}

TEST(ColorLabel, ABackgroundChangeRepaintsTheWholeControl) {
    TestApp();
    CColorLabel label;
    label.resize(300, 80);
    label.setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    label.setText("PASS");
    label.SetLabelBkColor(RGB(255, 255, 0));
    label.show();
    QImage before = label.grab().toImage();
    EXPECT_GT(ShareOfColor(before, QColor(255, 255, 0)), 0.8);

    label.SetLabelBkColor(0x008000);
    QImage after = label.grab().toImage();
    // No yellow left anywhere, the corners and the area around the text included.
    EXPECT_EQ(ShareOfColor(after, QColor(255, 255, 0)), 0.0);
    EXPECT_GT(ShareOfColor(after, QColor(0, 128, 0)), 0.8);
    EXPECT_EQ(QColor(after.pixel(0, 0)), QColor(0, 128, 0));
    EXPECT_EQ(QColor(after.pixel(after.width() - 1, after.height() - 1)), QColor(0, 128, 0));
}

TEST(ColorLabel, RepeatedChangesKeepOneBrushAndOneFont) {
    TestApp();
    const int nBrushes = CColorLabel::LiveBrushes();
    const int nFonts = CColorLabel::LiveFonts();
    {
        CColorLabel label;
        EXPECT_EQ(CColorLabel::LiveBrushes(), nBrushes + 1);
        EXPECT_EQ(CColorLabel::LiveFonts(), nFonts + 1);
        // The constructor's font is held, not applied.
        const QFont applied = label.font();
        EXPECT_EQ(applied, QApplication::font(&label));
        for (int i = 0; i < 500; ++i)
            label.SetLabelBkColor(RGB(i % 256, 0, 255 - i % 256));
        for (int i = 0; i < 100; ++i)
            label.SetLabelFont("Arial", 0, 20 + i % 10);
        EXPECT_EQ(CColorLabel::LiveBrushes(), nBrushes + 1);
        EXPECT_EQ(CColorLabel::LiveFonts(), nFonts + 1);
        EXPECT_EQ(label.font().weight(), QFont::Normal);
        EXPECT_EQ(label.GetLabelBkColor(), RGB(499 % 256, 0, 255 - 499 % 256));
    }
    EXPECT_EQ(CColorLabel::LiveBrushes(), nBrushes);
    EXPECT_EQ(CColorLabel::LiveFonts(), nFonts);
}
