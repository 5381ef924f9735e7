// The about window on the X server: its texture file, its scene on the
// OpenGL surface, and no drawing once it is hidden again.
#include "app/About.h"
#include "platform/kernel/FormatSettings.h"
#include "platform/ui/Application.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QOpenGLWidget>
#include <QTest>
#include <algorithm>
#include <gtest/gtest.h>
#include <map>

TEST(AboutWindow, DrawsTheSceneWhileShownAndNothingOnceHidden)
{
    const QString oldDir = QDir::currentPath();
    const QString dir = tonvara::test::MakeTempDir("about-window");
    QDir::setCurrent(dir);
    TAboutFrm* form = nullptr;
    Application->CreateForm(form);
    QDir::setCurrent(oldDir);
    EXPECT_EQ(QFileInfo(dir + "/parcacik.bmp").size(), 54 + 64 * 64 * 3);
    EXPECT_EQ(DecimalSeparator(), '.');
    EXPECT_FALSE(form->Visible());
    EXPECT_FALSE(form->Timer1->Enabled());

    form->Show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form->Handle()));
    // Past the catch-up, with the heads between cells.
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->FramesDrawn() >= 20; }, 10000));
    const QImage frame = form->View()->grabFramebuffer();
    ASSERT_EQ(frame.size(), QSize(form->Panel1->Width(), form->Panel1->Height()));
    // The clear colour is the background: the commonest colour of the frame
    // (a corner is no sure place for it: a head's glow may wander there).
    const QRgb clear = qRgb(26, 26, 102);
    std::map<QRgb, int> counts;
    for (int y = 0; y < frame.height(); ++y)
        for (int x = 0; x < frame.width(); ++x)
            ++counts[frame.pixel(x, y) | 0xFF000000u];
    const QRgb background = std::max_element(counts.begin(), counts.end(), [](const auto& a, const auto& b) {
        return a.second < b.second;
    })->first;
    EXPECT_NEAR(qRed(background), qRed(clear), 1);
    EXPECT_NEAR(qGreen(background), qGreen(clear), 1);
    EXPECT_NEAR(qBlue(background), qBlue(clear), 1);
    // Glowing heads: near-white spots, more than trails (at most pale lines) make.
    int bright = 0;
    for (int y = 0; y < frame.height(); ++y)
        for (int x = 0; x < frame.width(); ++x) {
            const QRgb pixel = frame.pixel(x, y);
            bright += qRed(pixel) > 230 && qGreen(pixel) > 230 && qBlue(pixel) > 230;
        }
    EXPECT_GT(bright, 150) << "too few bright particle heads";

    form->Hide();
    EXPECT_FALSE(form->Visible());
    EXPECT_FALSE(form->Timer1->Enabled());
    const std::int64_t frames = form->FramesDrawn();
    QTest::qWait(300);
    EXPECT_EQ(form->FramesDrawn(), frames) << "the hidden window's scene is still drawn";
    delete form;
}
