// LoadBMP reads back what the about window writes, and refuses what it
// cannot read with the boxes a person sees.
#include "app/BMP.h"
#include "platform/ui/Bitmap.h"
#include "platform/ui/Dialogs.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QImage>
#include <gtest/gtest.h>

namespace {

class LoadBMPTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        FDir = tonvara::test::MakeTempDir("loadbmp");
        FPrevious = SetMessageDialogHandler([this](const TMessageDialogRequest& request) {
            FBoxes.push_back(request);
            return mrOk;
        });
    }
    void TearDown() override { SetMessageDialogHandler(FPrevious); }

    QString FDir;
    std::vector<TMessageDialogRequest> FBoxes;
    TMessageDialogHandler FPrevious;
};

} // namespace

TEST_F(LoadBMPTest, A24BitPictureComesBackInRGBOrderBottomRowFirst)
{
    QImage image(64, 64, QImage::Format_RGB888);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x)
            image.setPixel(x, y, qRgb(x * 4, y * 4, 255 - x - y));
    TBitmap bitmap;
    bitmap.SetImage(image, pf24bit);
    const QString file = FDir + "/parcacik.bmp";
    bitmap.SaveToFile(file);

    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> data;
    LoadBMP(file, width, height, data);
    EXPECT_TRUE(FBoxes.empty());
    ASSERT_EQ(width, 64);
    ASSERT_EQ(height, 64);
    ASSERT_EQ(data.size(), 64u * 64u * 3u);
    for (const auto& [x, y] : { std::pair { 0, 63 }, { 63, 63 }, { 5, 0 }, { 40, 17 } }) {
        const std::uint8_t* pixel = data.data() + ((63 - y) * 64 + x) * 3;
        EXPECT_EQ(pixel[0], x * 4) << x << "," << y;
        EXPECT_EQ(pixel[1], y * 4) << x << "," << y;
        EXPECT_EQ(pixel[2], 255 - x - y) << x << "," << y;
    }

    // Cut short: the box says so and nothing is handed out.
    QFile cut(file);
    ASSERT_TRUE(cut.resize(54 + 64 * 3 * 10));
    LoadBMP(file, width, height, data);
    EXPECT_TRUE(data.empty());
    ASSERT_EQ(FBoxes.size(), 1u);
    EXPECT_EQ(FBoxes[0].Text, "Error reading bitmap data");
    EXPECT_EQ(FBoxes[0].Caption, "BMP Unit");
}

TEST_F(LoadBMPTest, AMissingFileIsNamedWithAnOpeningQuoteOnly)
{
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> data { 1 };
    LoadBMP(FDir + "/yok.bmp", width, height, data);
    EXPECT_TRUE(data.empty());
    ASSERT_EQ(FBoxes.size(), 1u);
    EXPECT_EQ(FBoxes[0].Text, "Error opening \"" + FDir + "/yok.bmp");
    EXPECT_EQ(FBoxes[0].Caption, "BMP Unit");
}
