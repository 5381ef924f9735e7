#include "mm/display/MMDIBCv.h"

#include <QImage>
#include <chrono>
#include <climits>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <set>
#include <thread>
#include <utility>
#include <vector>

namespace {

// Runs Draw inside a drawing bracket of Canvas.
template <typename TDraw> void Drawn(TMMDIBCanvas& canvas, TDraw draw)
{
    canvas.BeginDraw();
    draw();
    canvas.EndDraw();
}

// What DrawTo puts on a screen canvas, as RGB.
QImage Shown(TMMDIBCanvas& canvas)
{
    TBitmap screen(canvas.Width(), canvas.Height(), pf32bit);
    canvas.DrawTo(screen.Canvas(), Rect(0, 0, canvas.Width(), canvas.Height()), 0, 0);
    return screen.Image().copy();
}

std::vector<std::uint8_t> Bytes(const TMMDIBCanvas& canvas)
{
    return { canvas.Bits(), canvas.Bits() + std::size_t(canvas.Stride()) * canvas.Height() };
}

std::set<std::pair<int, int>> SetPixels(TMMDIBCanvas& canvas)
{
    std::set<std::pair<int, int>> set;
    Drawn(canvas, [&] {
        for (int y = 0; y < canvas.Height(); ++y)
            for (int x = 0; x < canvas.Width(); ++x)
                if (canvas.DIBGetPixel(x, y) != 0)
                    set.insert({ x, y });
    });
    return set;
}

} // namespace

TEST(MMDIBCanvas, StrideAndPixelAddresses)
{
    struct TCase {
        int Bits, Width, Height, Stride;
    };
    for (const TCase& c : { TCase { 8, 100, 50, 100 }, TCase { 24, 101, 50, 304 }, TCase { 8, 7, 3, 8 },
             TCase { 24, 5, 10, 16 } }) {
        SCOPED_TRACE(c.Width);
        TMMDIBCanvas canvas;
        canvas.SetBitsPerPixel(c.Bits);
        canvas.SetSize(c.Width, c.Height);
        canvas.HandleNeeded();
        EXPECT_EQ(canvas.Stride(), c.Stride);
        const int bytes = c.Bits / 8;
        const std::uint32_t value = c.Bits == 8 ? 0xA7 : 0x00123456; // blue 0x12, green 0x34, red 0x56
        for (auto [x, y] :
            { std::pair { 0, 0 }, std::pair { c.Width - 1, 1 }, std::pair { 3, c.Height - 1 } }) {
            Drawn(canvas, [&] { canvas.DIBSetPixel(x, y, value); });
            // Rows are stored bottom-up: (0, 0) lies in the last stored row.
            const std::uint8_t* p = canvas.Bits() + (c.Height - 1 - y) * c.Stride + x * bytes;
            if (bytes == 1) {
                EXPECT_EQ(p[0], 0xA7);
            } else {
                EXPECT_EQ(p[0], 0x12);
                EXPECT_EQ(p[1], 0x34);
                EXPECT_EQ(p[2], 0x56);
            }
            Drawn(canvas, [&] { EXPECT_EQ(canvas.DIBGetPixel(x, y), std::int32_t(value)); });
        }
        const auto before = Bytes(canvas);
        Drawn(canvas, [&] {
            canvas.DIBSetPixel(-1, 0, value);
            canvas.DIBSetPixel(c.Width, 0, value);
            canvas.DIBSetPixel(0, c.Height, value);
            EXPECT_EQ(canvas.DIBGetPixel(c.Width, 0), -1);
            EXPECT_EQ(canvas.DIBGetPixel(0, -1), -1);
        });
        EXPECT_EQ(Bytes(canvas), before);
        // Outside a bracket the primitives do nothing.
        canvas.DIBClear();
        EXPECT_EQ(Bytes(canvas), before);
    }
}

TEST(MMDIBCanvas, EllipseAndClippedLineSetExactlyTheirPixels)
{
    TMMDIBCanvas canvas;
    canvas.SetSize(20, 20);
    Drawn(canvas, [&] {
        canvas.SetDrawValue(5);
        canvas.DIBFillEllipse(10, 10, 3, 2);
    });
    std::set<std::pair<int, int>> expected;
    for (auto [row, from, to] : { std::tuple { 8, 9, 11 }, std::tuple { 9, 8, 12 }, std::tuple { 10, 7, 13 },
             std::tuple { 11, 8, 12 }, std::tuple { 12, 9, 11 } })
        for (int x = from; x <= to; ++x)
            expected.insert({ x, row });
    EXPECT_EQ(SetPixels(canvas), expected);

    // Radii near 1000 need 64-bit terms: the ellipse covers the canvas.
    Drawn(canvas, [&] { canvas.DIBFillEllipse(10, 10, 1000, 1200); });
    EXPECT_EQ(SetPixels(canvas).size(), 400u);

    TMMDIBCanvas small;
    small.SetSize(10, 10);
    Drawn(small, [&] {
        small.SetDrawValue(9);
        small.DIBLine(-10, -10, 20, 20);
    });
    std::set<std::pair<int, int>> diagonal;
    for (int i = 0; i < 10; ++i)
        diagonal.insert({ i, i });
    EXPECT_EQ(SetPixels(small), diagonal);
}

TEST(MMDIBCanvas, AnimationChangesTheScreenNotThePixels)
{
    TMMDIBCanvas canvas;
    canvas.SetSize(4, 3);
    canvas.SetAnimatedCount(3);
    EXPECT_EQ(canvas.FirstAnimated(), 244);
    EXPECT_EQ(canvas.AnimatedIndex(2), 246);
    // Placeholders: colours no other entry has.
    std::set<QRgb> others;
    for (int i = 0; i < 256; ++i)
        if (i < 244 || i > 246)
            others.insert(Shown(canvas).colorTable().value(i, 0));
    Drawn(canvas, [&] {
        canvas.SetDrawColor(clBlack);
        canvas.DIBClear();
        canvas.SetDrawValue(std::uint32_t(canvas.AnimatedIndex(1)));
        canvas.DIBSetPixel(2, 1, std::uint32_t(canvas.AnimatedIndex(1)));
    });
    const auto bytes = Bytes(canvas);
    EXPECT_EQ(canvas.ColorTable()[4 * 245 + 3], 0);
    EXPECT_EQ(canvas.ColorTable()[4 * 243 + 3], 4);

    canvas.SetAnimatedColor(1, clRed);
    EXPECT_EQ(Shown(canvas).pixel(2, 1), qRgb(255, 0, 0));
    EXPECT_EQ(Shown(canvas).pixel(1, 1), qRgb(0, 0, 0));

    canvas.BeginAnimate();
    canvas.SetAnimatedColor(1, clLime);
    canvas.SetAnimatedColor(1, clAqua);
    EXPECT_EQ(Shown(canvas).pixel(2, 1), qRgb(255, 0, 0));
    canvas.EndAnimate();
    EXPECT_EQ(Shown(canvas).pixel(2, 1), qRgb(0, 255, 255));
    EXPECT_EQ(Bytes(canvas), bytes);
}

TEST(MMDIBCanvas, RejectedInputsRaiseTheirTextAndChangeNothing)
{
    auto raises = [](const char* text, auto call) {
        try {
            call();
            ADD_FAILURE() << "nothing raised for " << text;
        } catch (const EMMDIBError& e) {
            EXPECT_EQ(e.Message(), QString(text));
        }
    };
    TMMDIBCanvas canvas;
    canvas.SetSize(6, 4);
    canvas.SetAnimatedCount(3);
    canvas.SetAnimatedColor(0, clRed);
    const QImage shown = Shown(canvas);

    raises("Bitlength not supported yet", [&] { canvas.SetBitsPerPixel(16); });
    raises("Invalid count of animated colors", [&] { canvas.SetAnimatedCount(237); });
    raises("Invalid count of animated colors", [&] { canvas.SetAnimatedCount(-1); });
    raises("Invalidate animated color index", [&] { canvas.SetAnimatedColor(3, clLime); });
    raises("Invalidate animated color index", [&] { canvas.SetAnimatedColor(-1, clLime); });
    EXPECT_EQ(canvas.BitsPerPixel(), 8);
    EXPECT_EQ(canvas.AnimatedCount(), 3);
    EXPECT_EQ(Shown(canvas), shown);

    canvas.BeginDraw();
    raises("Attempt to create new DIB while initialized for drawing", [&] { canvas.SetBitsPerPixel(24); });
    raises("Attempt to create new DIB while initialized for drawing", [&] { canvas.SetAnimatedCount(5); });
    canvas.SetSize(8, 8);
    raises("Attempt to create new DIB while initialized for drawing", [&] { canvas.HandleNeeded(); });
    canvas.EndDraw();
    EXPECT_EQ(canvas.BitsPerPixel(), 8);
    EXPECT_EQ(canvas.AnimatedCount(), 3);
    canvas.HandleNeeded();
    EXPECT_EQ(canvas.Stride(), 8);

    // A batch whose colour table went away is closed all the same.
    canvas.BeginAnimate();
    canvas.SetBitsPerPixel(24);
    raises("Set palette entries failed", [&] { canvas.EndAnimate(); });
    raises("Get palette entries failed", [&] { canvas.SetAnimatedColor(0, clLime); });
    raises("Get palette entries failed", [&] { canvas.BeginAnimate(); });
    canvas.SetBitsPerPixel(8);
    canvas.SetAnimatedColor(0, clLime); // not swallowed by a batch left open

    TMMDIBCanvas huge;
    huge.SetSize(70000, 70000);
    raises("Unable to access DIB device context", [&] { huge.HandleNeeded(); });
}

TEST(MMDIBCanvas, BackgroundTiledOrStretchedAndPlatformDrawing)
{
    QImage picture(2, 2, QImage::Format_RGB32);
    picture.setPixel(0, 0, qRgb(255, 0, 0));
    picture.setPixel(1, 0, qRgb(0, 255, 0));
    picture.setPixel(0, 1, qRgb(0, 0, 255));
    picture.setPixel(1, 1, qRgb(255, 255, 255));
    TBitmap bitmap;
    bitmap.SetImage(picture, pf24bit);

    for (int bits : { 8, 24 }) {
        SCOPED_TRACE(bits);
        TMMDIBCanvas canvas;
        canvas.SetBitsPerPixel(bits);
        canvas.SetSize(5, 3);
        canvas.SetStretchBackGround(false);
        canvas.SetBackGroundBitmap(&bitmap);
        Drawn(canvas, [&] { canvas.DIBCopyBits(0, 0, 5, 3, 0, 0, canvas.BackGroundBits()); });
        const QImage tiled = Shown(canvas);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 5; ++x)
                EXPECT_EQ(tiled.pixel(x, y), picture.pixel(x % 2, y % 2)) << x << "," << y;

        canvas.SetSize(4, 4);
        canvas.SetStretchBackGround(true);
        Drawn(canvas, [&] { canvas.DIBCopyBits(0, 0, 4, 4, 0, 0, canvas.BackGroundBits()); });
        const QImage stretched = Shown(canvas);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 4; ++x)
                EXPECT_EQ(stretched.pixel(x, y), picture.pixel(x / 2, y / 2)) << x << "," << y;

        // The platform canvas draws into the same pixels.
        canvas.Brush()->SetColor(clYellow);
        canvas.FillRect(Rect(1, 1, 3, 2));
        Drawn(canvas, [&] {
            EXPECT_EQ(canvas.DIBGetPixel(1, 1), bits == 8 ? 251 : 0x00FFFF);
            // Beside the rectangle the stretched picture's green stays.
            EXPECT_EQ(canvas.DIBGetPixel(3, 1), bits == 8 ? 250 : 0x00FF00);
        });
    }
}

TEST(MMDIBCanvas, AnimatedCountGrownInsideABatchJoinsTheBatch)
{
    struct TCase {
        int Before, After, Index;
    };
    for (const TCase& c : { TCase { 1, 3, 2 }, TCase { 0, 2, 1 }, TCase { 3, 40, 39 } }) {
        SCOPED_TRACE(c.After);
        TMMDIBCanvas canvas;
        canvas.SetSize(4, 1);
        canvas.SetAnimatedCount(c.Before);
        canvas.BeginAnimate();
        canvas.SetAnimatedCount(c.After);
        // What entry I shows, as 0x00RRGGBB.
        auto shows = [&](int i) {
            const auto& table = canvas.ColorTable();
            const int at = 4 * canvas.AnimatedIndex(i);
            return table[at + 2] << 16 | table[at + 1] << 8 | table[at];
        };
        const int placeholder = shows(c.Index - 1);
        canvas.SetAnimatedColor(c.Index, clRed);
        canvas.SetAnimatedColor(0, clLime);
        canvas.EndAnimate();
        EXPECT_EQ(shows(c.Index), 0xFF0000);
        EXPECT_EQ(shows(0), 0x00FF00);
        if (c.Index > 1) {
            EXPECT_EQ(shows(c.Index - 1), placeholder);
        }
    }
}

TEST(MMDIBCanvas, NestedDrawBracketsLeaveTheDrawingLockToOtherThreads)
{
    TMMDIBCanvas canvas;
    canvas.SetSize(4, 4);
    canvas.BeginDraw();
    canvas.BeginDraw();
    canvas.EndDraw();
    EXPECT_TRUE(canvas.Drawing());
    canvas.DIBSetPixel(1, 1, 7);
    EXPECT_EQ(canvas.DIBGetPixel(1, 1), 7);
    canvas.EndDraw();
    EXPECT_FALSE(canvas.Drawing());
    canvas.EndDraw(); // outside any bracket: nothing

    // Another thread's bracket must not wait for ever; if it does, the
    // thread and its canvas are left behind rather than joined.
    auto* other = new TMMDIBCanvas;
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread thread([other, done] {
        other->BeginDraw();
        other->EndDraw();
        done->set_value();
    });
    if (finished.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        thread.detach();
        FAIL() << "the drawing lock is still held";
    }
    thread.join();
    delete other;
}

TEST(MMDIBCanvas, ExtremeCoordinatesAndSizesDrawWhatTheGeometrySays)
{
    constexpr int kMin = INT32_MIN, kMax = INT32_MAX;
    using TPixels = std::set<std::pair<int, int>>;
    auto row = [](int y, std::initializer_list<int> xs) {
        TPixels p;
        for (int x : xs)
            p.insert({ x, y });
        return p;
    };
    auto column = [](int x, std::initializer_list<int> ys) {
        TPixels p;
        for (int y : ys)
            p.insert({ x, y });
        return p;
    };
    TPixels diagonal, antiDiagonal, evenRows, copied;
    for (int i = 0; i < 10; ++i) {
        diagonal.insert({ i, i });
        antiDiagonal.insert({ i, 9 - i });
        for (int j = 0; j < 10; j += 2)
            evenRows.insert({ i, j });
    }
    const auto all = [] {
        TPixels p;
        for (int y = 0; y < 10; ++y)
            for (int x = 0; x < 10; ++x)
                p.insert({ x, y });
        return p;
    }();
    using TDraw = std::function<void(TMMDIBCanvas&)>;
    auto drawn = [](const TDraw& draw) {
        TMMDIBCanvas canvas;
        canvas.SetSize(10, 10);
        Drawn(canvas, [&] {
            canvas.SetDrawValue(5);
            draw(canvas);
        });
        return SetPixels(canvas);
    };
    struct TCase {
        const char* Name;
        TDraw Draw;
        TPixels Expected;
    };
    const TCase cases[] = {
        { "line corner to corner", [&](TMMDIBCanvas& c) { c.DIBLine(kMin, kMin, kMax, kMax); }, diagonal },
        { "line clipped at its upper end", [&](TMMDIBCanvas& c) { c.DIBLine(-10, 19, 19, -10); },
            antiDiagonal },
        { "line across", [&](TMMDIBCanvas& c) { c.DIBLine(9 - kMax, kMax, kMax, 9 - kMax); }, antiDiagonal },
        { "line beyond 2^30",
            [&](TMMDIBCanvas& c) {
                c.DIBXorLine(-(1 << 30) - 7, -(1 << 30) - 7, (1 << 30) + 9, (1 << 30) + 9);
            },
            diagonal },
        { "dashed row", [&](TMMDIBCanvas& c) { c.DIBHLineDashed(kMin, kMax, 2); },
            row(2, { 0, 1, 2, 3, 8, 9 }) },
        { "dashed column", [&](TMMDIBCanvas& c) { c.DIBVLineDashed(5, kMin, kMax); },
            column(5, { 0, 1, 2, 3, 8, 9 }) },
        { "dotted row", [&](TMMDIBCanvas& c) { c.DIBHLineDotted(kMin, kMax, 1, kMax); }, row(1, { 0 }) },
        { "frame at the int limit", [&](TMMDIBCanvas& c) { c.DIBFrameRect(3, 3, kMin, kMin); },
            [&] {
                TPixels p = row(3, { 0, 1, 2 });
                p.merge(column(3, { 0, 1, 2 }));
                return p;
            }() },
        { "striped fill of everything",
            [&](TMMDIBCanvas& c) { c.DIBFillRectStriped(Rect(kMin, kMin, kMax, kMax), true); }, evenRows },
        { "copy from the int limit",
            [&](TMMDIBCanvas& c) {
                c.DIBSetPixel(9, 9, 5);
                c.DIBCopyBits(kMin, kMin, kMax, kMax, 9, 9, c.Bits());
                c.DIBCopyBits(0, 0, kMax, kMax, kMin, kMin, c.Bits());
                c.DIBCopyBits(0, 0, kMax, kMax, 9, 9, c.Bits());
            },
            TPixels { { 0, 0 }, { 9, 9 } } },
        { "arc whose centre lies at the int limit",
            [&](TMMDIBCanvas& c) { c.DIBArc(kMax, 5, kMax - 5, kMax - 5, 0, 360); },
            column(5, { 0, 1, 2, 3, 4, 5, 6, 7, 8, 9 }) },
        // (2^32 - 1) mod 360 = 255 degrees from INT_MIN mod 360 = 232.
        { "arc sweeping the int range", [&](TMMDIBCanvas& c) { c.DIBArc(5, 5, 3, 3, kMin, kMax); },
            drawn([](TMMDIBCanvas& c) { c.DIBArc(5, 5, 3, 3, 232, 127); }) },
        { "ellipse of two million", [&](TMMDIBCanvas& c) { c.DIBFillEllipse(5, 5, 2000000, 2000000); }, all },
        { "ellipse touching from the int limit", [&](TMMDIBCanvas& c) { c.DIBFillEllipse(kMax, 5, kMax, 3); },
            row(5, { 0, 1, 2, 3, 4, 5, 6, 7, 8, 9 }) },
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(drawn(c.Draw), c.Expected);
    }

    // 40000 x 40000 asks for gigabytes: refused with the unit's error, and
    // a later size that fits is made.
    TMMDIBCanvas big;
    big.SetSize(40000, 40000);
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            big.BeginDraw();
            big.EndDraw();
            ADD_FAILURE() << "a DIB of 40000 x 40000 was made";
        } catch (const EMMDIBError& e) {
            EXPECT_EQ(e.Message(), "Unable to access DIB device context");
        }
    }
    big.SetSize(10, 10);
    Drawn(big, [&] {
        big.SetDrawValue(5);
        big.DIBClear();
    });
    EXPECT_EQ(SetPixels(big), all);
}
