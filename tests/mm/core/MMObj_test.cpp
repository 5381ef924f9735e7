#include "mm/core/MMObj.h"
#include "platform/kernel/SyncObjs.h"
#include "platform/ui/FormReader.h"
#include "platform/ui/FormWriter.h"
#include "platform/ui/Forms.h"
#include "support/FormText.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QCursor>
#include <QWidget>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace {

// A descendant with one setting whose setter follows the library's rule:
// store and call Changed only when the value differs.
class TSetting : public TMMObject {
    Q_OBJECT
public:
    int Value() const { return FValue; }
    void SetValue(int value)
    {
        if (value == FValue)
            return;
        FValue = value;
        Changed();
    }

private:
    int FValue = 0;
};

struct TObjectEvents : testing::Test {
    TSetting Setting;
    std::vector<std::string> Log;

    void SetUp() override
    {
        Setting.SetOnChanging([this](TObject* sender) {
            EXPECT_EQ(sender, &Setting);
            Log.push_back("changing");
        });
        Setting.SetOnChange([this](TObject* sender) {
            EXPECT_EQ(sender, &Setting);
            Log.push_back("change");
        });
    }
};

TEST_F(TObjectEvents, ChangeOutsideABracketNotifiesAtOnce)
{
    Setting.SetValue(1);
    Setting.SetValue(2);
    EXPECT_EQ(Log, (std::vector<std::string> { "change", "change" }));
}

TEST_F(TObjectEvents, EqualValueNotifiesNothing)
{
    Setting.SetValue(0);
    EXPECT_TRUE(Log.empty());
}

TEST_F(TObjectEvents, BracketWithThreeChangesNotifiesOnceEachWay)
{
    Setting.BeginUpdate();
    EXPECT_EQ(Setting.UpdateCount(), 1);
    Setting.SetValue(1);
    Setting.SetValue(2);
    Setting.SetValue(3);
    EXPECT_EQ(Log, (std::vector<std::string> { "changing" }));
    Setting.EndUpdate();
    EXPECT_EQ(Setting.UpdateCount(), 0);
    EXPECT_EQ(Log, (std::vector<std::string> { "changing", "change" }));
}

TEST_F(TObjectEvents, NestedBracketsNotifyOnlyAtTheOutermost)
{
    Setting.BeginUpdate();
    Setting.BeginUpdate();
    Setting.SetValue(5);
    Setting.EndUpdate();
    EXPECT_EQ(Log, (std::vector<std::string> { "changing" }));
    Setting.EndUpdate();
    EXPECT_EQ(Log, (std::vector<std::string> { "changing", "change" }));
}

TEST_F(TObjectEvents, EmptyBracketStillNotifiesBothWays)
{
    Setting.BeginUpdate();
    Setting.EndUpdate();
    EXPECT_EQ(Log, (std::vector<std::string> { "changing", "change" }));
}

TEST_F(TObjectEvents, UnbalancedEndUpdateSilencesUntilBalancedAgain)
{
    Setting.EndUpdate();
    EXPECT_EQ(Setting.UpdateCount(), -1);
    Setting.SetValue(1);
    EXPECT_TRUE(Log.empty());
    // Back to 0 from below: the rising counter crosses 0 in BeginUpdate
    // without opening a bracket, and nothing notifies.
    Setting.BeginUpdate();
    EXPECT_EQ(Setting.UpdateCount(), 0);
    EXPECT_TRUE(Log.empty());
    Setting.SetValue(2);
    EXPECT_EQ(Log, (std::vector<std::string> { "change" }));
}

TEST(TMMObjectTest, WithoutHandlersChangesAreHarmless)
{
    TSetting setting;
    setting.BeginUpdate();
    setting.SetValue(4);
    setting.EndUpdate();
    setting.Changing();
    setting.Changed();
    EXPECT_EQ(setting.Value(), 4);
    EXPECT_EQ(setting.UpdateCount(), 0);
}

// Records each SetUpdateState call to show the order of the bracket.
class TStateRecorder : public TMMObject {
    Q_OBJECT
public:
    std::vector<std::pair<bool, int>> Calls;

protected:
    void SetUpdateState(bool updating) override
    {
        Calls.emplace_back(updating, UpdateCount());
        TMMObject::SetUpdateState(updating);
    }
};

TEST(TMMObjectTest, SetUpdateStateRunsBeforeTheCounterRisesAndAfterItFalls)
{
    TStateRecorder object;
    object.BeginUpdate();
    object.BeginUpdate();
    object.EndUpdate();
    object.EndUpdate();
    EXPECT_EQ(object.Calls, (std::vector<std::pair<bool, int>> { { true, 0 }, { false, 0 } }));
}

// ---------------------------------------------------------------------------

class TDesignProbe : public TMMNonVisualComponent {
    Q_OBJECT
public:
    using TMMNonVisualComponent::TMMNonVisualComponent;
    std::vector<bool> Calls;
    void SetDesignMode(bool value) override
    {
        TMMNonVisualComponent::SetDesignMode(value);
        Calls.push_back(value);
    }
};

TEST(TMMComponentTest, SetDesignModeSwitchesTheComponentAndWhatItOwns)
{
    TMMComponent root(nullptr);
    auto* child = new TDesignProbe(&root);
    auto* grandChild = new TComponent(child);

    root.SetDesignMode(true);
    EXPECT_TRUE(root.ComponentState() & csDesigning);
    EXPECT_TRUE(child->ComponentState() & csDesigning);
    EXPECT_TRUE(grandChild->ComponentState() & csDesigning);

    child->SetDesignMode(false);
    EXPECT_TRUE(root.ComponentState() & csDesigning);
    EXPECT_FALSE(child->ComponentState() & csDesigning);
    EXPECT_FALSE(grandChild->ComponentState() & csDesigning);
    EXPECT_EQ(child->Calls, std::vector<bool> { false });
}

// ---------------------------------------------------------------------------

class TWaitingThread : public TMMThreadEx {
public:
    TWaitingThread()
        : TMMThreadEx(true)
    {
    }
    ~TWaitingThread() override
    {
        Terminate();
        Release.SetEvent();
        if (!Suspended())
            WaitFor();
    }
    TEvent Release { true, false };

protected:
    void Execute() override { Release.WaitFor(INFINITE); }
};

TEST(TMMThreadExTest, SetPriorityAppliesTheTableValue)
{
    TWaitingThread thread;
    thread.Resume();
    const struct {
        TThreadPriority Priority;
        int Expected;
    } table[] = { { tpIdle, -15 }, { tpLowest, -2 }, { tpLower, -1 }, { tpNormal, 0 }, { tpHigher, 1 },
        { tpHighest, 2 }, { tpTimeCritical, 15 } };
    for (const auto& row : table) {
        thread.SetPriority(row.Priority);
        EXPECT_EQ(GetThreadPriority(thread.Handle()), row.Expected) << row.Priority;
        EXPECT_EQ(thread.Priority(), row.Priority);
    }
}

TEST(TMMThreadExTest, SetPriorityUsesOnlyTheLowSevenBits)
{
    TWaitingThread thread;
    thread.Resume();
    thread.SetPriority(static_cast<TThreadPriority>(0x80 | tpHighest));
    EXPECT_EQ(GetThreadPriority(thread.Handle()), 2);
    EXPECT_EQ(thread.Priority(), tpHighest);

    // An ordinal past the scale leaves the thread as it was.
    thread.SetPriority(static_cast<TThreadPriority>(7));
    thread.SetPriority(static_cast<TThreadPriority>(0x7F));
    EXPECT_EQ(GetThreadPriority(thread.Handle()), 2);
    EXPECT_EQ(thread.Priority(), tpHighest);
}

// ---------------------------------------------------------------------------
// Visual bases

constexpr TColor kFill = RGB(10, 120, 30);
constexpr TColor kOuterLight = RGB(250, 250, 0);
constexpr TColor kOuterShadow = RGB(90, 0, 90);
constexpr TColor kBorder = RGB(0, 0, 240);
constexpr TColor kInnerLight = RGB(0, 250, 250);
constexpr TColor kInnerShadow = RGB(0, 90, 0);
constexpr TColor kSpace = RGB(255, 128, 0);

// Concrete controls as the library's displays make them: the base with its
// Bevel published, counting what happens to it.
class TProbeControl : public TMMCustomControl {
    Q_OBJECT
    Q_PROPERTY(TMMBevel* Bevel READ Bevel WRITE SetBevel)
    Q_PROPERTY(TColor Color READ Color WRITE SetColor)
public:
    explicit TProbeControl(TComponent* owner)
        : TMMCustomControl(owner)
    {
    }
    int BevelChanges = 0;
    int Paints = 0;

protected:
    void BevelChanged() override
    {
        ++BevelChanges;
        TMMCustomControl::BevelChanged();
    }
    void Paint() override
    {
        ++Paints;
        TMMCustomControl::Paint();
    }
};

class TProbeGraphic : public TMMGraphicControl {
    Q_OBJECT
public:
    using TMMGraphicControl::TMMGraphicControl;
};

class TProbePanel : public TMMCustomPanel {
    Q_OBJECT
public:
    using TMMCustomPanel::TMMCustomPanel;
    int BevelChanges = 0;

protected:
    void BevelChanged() override
    {
        ++BevelChanges;
        TMMCustomPanel::BevelChanged();
    }
};

using tonvara::test::WaitUntil;

class VisualBaseTest : public testing::Test {
protected:
    VisualBaseTest()
        : Form(std::make_unique<TForm>(nullptr))
    {
        Form->SetPosition(poDesigned);
        Form->SetClientWidth(220);
        Form->SetClientHeight(160);
        Form->SetColor(clWhite);
    }

    QImage Render()
    {
        QWidget* client = Form->ClientHandle();
        QImage image(client->size(), QImage::Format_RGB32);
        client->render(&image);
        return image;
    }

    static TColor At(const QImage& image, int x, int y) { return QColorToColor(image.pixelColor(x, y)); }

    // True when the ring Offset pixels inside the control's rectangle R
    // (form coordinates) has Top on its top and left edges and Bottom on
    // its right and bottom ones (top-right corner: bottom colour, bottom-left
    // corner: top colour).
    static testing::AssertionResult RingIs(
        const QImage& image, const TRect& r, int offset, TColor top, TColor bottom)
    {
        const int left = r.Left + offset;
        const int topY = r.Top + offset;
        const int right = r.Right - 1 - offset;
        const int bottomY = r.Bottom - 1 - offset;
        struct TPixel {
            int X, Y;
            TColor Expected;
        };
        std::vector<TPixel> pixels;
        for (int x = left; x < right; ++x)
            pixels.push_back({ x, topY, top });
        for (int y = topY; y <= bottomY; ++y)
            pixels.push_back({ left, y, top });
        for (int y = topY; y <= bottomY; ++y)
            pixels.push_back({ right, y, bottom });
        for (int x = left + 1; x <= right; ++x)
            pixels.push_back({ x, bottomY, bottom });
        for (const TPixel& p : pixels) {
            if (At(image, p.X, p.Y) != p.Expected)
                return testing::AssertionFailure()
                    << "ring " << offset << ": pixel (" << p.X << ", " << p.Y << ") is "
                    << At(image, p.X, p.Y) << ", expected " << p.Expected;
        }
        return testing::AssertionSuccess();
    }

    static void SetFullBevel(TMMBevel* bevel)
    {
        bevel->SetBevelOuter(bvRaised);
        bevel->SetBevelOuterWidth(2);
        bevel->SetOuterLightColor(kOuterLight);
        bevel->SetOuterShadowColor(kOuterShadow);
        bevel->SetBorderWidth(3);
        bevel->SetBorderColor(kBorder);
        bevel->SetBevelInner(bvLowered);
        bevel->SetBevelInnerWidth(1);
        bevel->SetInnerLightColor(kInnerLight);
        bevel->SetInnerShadowColor(kInnerShadow);
        bevel->SetBorderSpace(2);
        bevel->SetBorderSpaceColor(kSpace);
    }

    std::unique_ptr<TForm> Form;
};

TEST_F(VisualBaseTest, ControlShowsEveryRingInItsColourAroundItsFill)
{
    auto* control = new TProbeControl(Form.get());
    control->SetParent(Form.get());
    control->SetBounds(20, 10, 100, 60);
    control->SetColor(kFill);
    SetFullBevel(control->Bevel());
    EXPECT_EQ(control->BevelExtent(), 8);
    EXPECT_EQ(control->InnerRect(), Rect(8, 8, 92, 52));
    EXPECT_TRUE(control->ControlStyle() & csOpaque);
    Form->Show();

    const QImage image = Render();
    const TRect r = control->BoundsRect();
    EXPECT_TRUE(RingIs(image, r, 0, kOuterLight, kOuterShadow));
    EXPECT_TRUE(RingIs(image, r, 1, kOuterLight, kOuterShadow));
    for (int ring = 2; ring < 5; ++ring)
        EXPECT_TRUE(RingIs(image, r, ring, kBorder, kBorder));
    EXPECT_TRUE(RingIs(image, r, 5, kInnerShadow, kInnerLight));
    EXPECT_TRUE(RingIs(image, r, 6, kSpace, kSpace));
    EXPECT_TRUE(RingIs(image, r, 7, kSpace, kSpace));
    for (int y = r.Top + 8; y < r.Bottom - 8; ++y) {
        for (int x = r.Left + 8; x < r.Right - 8; ++x)
            ASSERT_EQ(At(image, x, y), kFill) << x << "," << y;
    }
    // Nothing outside the control.
    EXPECT_EQ(At(image, r.Left - 1, r.Top), clWhite);
    EXPECT_EQ(At(image, r.Right, r.Bottom - 1), clWhite);
}

TEST_F(VisualBaseTest, GraphicControlWithADefaultBevel)
{
    auto* control = new TProbeGraphic(Form.get());
    control->SetParent(Form.get());
    control->SetBounds(5, 5, 30, 20);
    control->SetColor(kFill);
    EXPECT_EQ(control->BevelExtent(), 1);
    EXPECT_EQ(control->InnerRect(), Rect(1, 1, 29, 19));
    Form->Show();
    const QImage image = Render();
    const TColor shadow = ColorToRGB(clBtnShadow);
    const TColor highlight = ColorToRGB(clBtnHighlight);
    ASSERT_NE(shadow, highlight);
    EXPECT_TRUE(RingIs(image, control->BoundsRect(), 0, shadow, highlight));
    EXPECT_EQ(At(image, 5, 5), shadow);
    EXPECT_EQ(At(image, 34, 5), highlight);
    EXPECT_EQ(At(image, 34, 24), highlight);
    EXPECT_EQ(At(image, 6, 6), kFill);
    EXPECT_EQ(At(image, 33, 23), kFill);
}

TEST_F(VisualBaseTest, SpaceBevelShowsTheControlColourAroundTheContent)
{
    auto* control = new TProbeControl(Form.get());
    control->SetParent(Form.get());
    control->SetBounds(0, 0, 40, 30);
    control->SetColor(kFill);
    control->Bevel()->SetBevelOuter(bvSpace);
    control->Bevel()->SetBevelOuterWidth(3);
    EXPECT_EQ(control->InnerRect(), Rect(3, 3, 37, 27));
    Form->Show();
    const QImage image = Render();
    EXPECT_EQ(At(image, 0, 0), kFill);
    EXPECT_EQ(At(image, 2, 15), kFill);
    EXPECT_EQ(At(image, 39, 29), kFill);
}

TEST_F(VisualBaseTest, WritingBevelCopiesTheSettingsOnceAndRepaintsOnce)
{
    auto* control = new TProbeControl(Form.get());
    control->SetParent(Form.get());
    control->SetBounds(0, 0, 50, 40);
    Form->Show();
    ASSERT_TRUE(WaitUntil([&] { return control->Paints > 0; }));
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
    control->Paints = 0;
    control->BevelChanges = 0;

    TMMBevel* owned = control->Bevel();
    TMMBevel source;
    SetFullBevel(&source);
    source.SetBorderStyle(bsSingle);
    control->SetBevel(&source);
    EXPECT_EQ(control->Bevel(), owned);
    EXPECT_NE(control->Bevel(), &source);
    EXPECT_EQ(control->BevelChanges, 1);
    EXPECT_EQ(control->BevelExtent(), source.BevelExtent());
    const QMetaObject* mo = &TMMBevel::staticMetaObject;
    for (int i = mo->propertyOffset(); i < mo->propertyCount(); ++i)
        EXPECT_EQ(mo->property(i).read(owned), mo->property(i).read(&source)) << mo->property(i).name();

    ASSERT_TRUE(WaitUntil([&] { return control->Paints > 0; }));
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
    EXPECT_EQ(control->Paints, 1);

    EXPECT_THROW(control->SetBevel(nullptr), EConvertError);
    EXPECT_EQ(control->Bevel(), owned);
}

TEST_F(VisualBaseTest, PanelKeepsAlignedChildrenInsideItsBevel)
{
    auto* panel = new TProbePanel(Form.get());
    panel->SetParent(Form.get());
    panel->SetBounds(0, 0, 153, 100);
    EXPECT_EQ(panel->BevelOuter(), bvNone);
    EXPECT_EQ(panel->BevelInner(), bvNone);
    EXPECT_EQ(panel->BorderWidth(), 0);
    EXPECT_TRUE(panel->DrawBorder());
    EXPECT_FALSE(panel->OnCustomPaint());
    EXPECT_FALSE(panel->OnFillInner());

    panel->Bevel()->SetBevelOuter(bvRaised);
    auto* meter = new TProbeControl(Form.get());
    meter->SetParent(panel);
    meter->SetHeight(40);
    meter->SetAlign(alTop);
    EXPECT_EQ(meter->BoundsRect(), Bounds(1, 1, 151, 40));

    panel->BevelChanges = 0;
    panel->Bevel()->SetBorderWidth(2);
    EXPECT_EQ(panel->BevelChanges, 1);
    EXPECT_EQ(meter->BoundsRect(), Bounds(3, 3, 147, 40));
    EXPECT_EQ(panel->InnerRect(), Rect(3, 3, 150, 97));
}

TEST_F(VisualBaseTest, PanelPaintsBevelFillAndCentredCaption)
{
    auto* panel = new TProbePanel(Form.get());
    panel->SetParent(Form.get());
    panel->SetBounds(10, 10, 120, 50);
    panel->SetColor(kFill);
    panel->Bevel()->SetBevelOuter(bvRaised);
    panel->Bevel()->SetOuterLightColor(kOuterLight);
    panel->Bevel()->SetOuterShadowColor(kOuterShadow);
    panel->SetCaption(QStringLiteral("WWW"));
    panel->Font()->SetColor(clYellow);
    Form->Show();
    const QImage image = Render();
    EXPECT_TRUE(RingIs(image, panel->BoundsRect(), 0, kOuterLight, kOuterShadow));
    EXPECT_EQ(At(image, 12, 12), kFill);
    int inkLeft = 1000;
    int inkRight = -1;
    int inkTop = 1000;
    int inkBottom = -1;
    for (int y = 11; y < 59; ++y) {
        for (int x = 11; x < 129; ++x) {
            if (At(image, x, y) != kFill) {
                inkLeft = std::min(inkLeft, x);
                inkRight = std::max(inkRight, x);
                inkTop = std::min(inkTop, y);
                inkBottom = std::max(inkBottom, y);
            }
        }
    }
    ASSERT_GE(inkRight, 0);
    EXPECT_NEAR((inkLeft + inkRight + 1) / 2.0, 70, 1.5);
    EXPECT_NEAR((inkTop + inkBottom + 1) / 2.0, 35, 4);
}

TEST_F(VisualBaseTest, PanelLeftAndRightAlignedCaptions)
{
    for (TAlignment alignment : { taLeftJustify, taRightJustify }) {
        auto* panel = new TProbePanel(Form.get());
        panel->SetParent(Form.get());
        panel->SetBounds(0, 0, 200, 40);
        panel->SetColor(kFill);
        panel->SetAlignment(alignment);
        panel->SetCaption(QStringLiteral("I"));
        panel->Font()->SetColor(clBlack);
        Form->Show();
        const QImage image = Render();
        int inkLeft = 1000;
        int inkRight = -1;
        for (int y = 1; y < 39; ++y) {
            for (int x = 1; x < 199; ++x) {
                if (At(image, x, y) != kFill) {
                    inkLeft = std::min(inkLeft, x);
                    inkRight = std::max(inkRight, x);
                }
            }
        }
        ASSERT_GE(inkRight, 0) << alignment;
        if (alignment == taLeftJustify)
            EXPECT_LT(inkRight, 20);
        else
            EXPECT_GT(inkLeft, 180);
        delete panel;
    }
}

TEST_F(VisualBaseTest, PanelCustomPaintAndFillInnerReplaceTheirParts)
{
    auto* panel = new TProbePanel(Form.get());
    panel->SetParent(Form.get());
    panel->SetBounds(0, 0, 60, 40);
    panel->SetColor(kFill);
    panel->Bevel()->SetBorderWidth(2);
    panel->Bevel()->SetBorderColor(kBorder);

    std::vector<TRect> filled;
    panel->SetOnFillInner([&](TObject* sender, TCanvas* canvas, TRect r) {
        EXPECT_EQ(sender, panel);
        filled.push_back(r);
        canvas->Brush()->SetColor(kSpace);
        canvas->FillRect(r);
    });
    Form->Show();
    QImage image = Render();
    ASSERT_FALSE(filled.empty());
    EXPECT_EQ(filled.back(), Rect(3, 3, 57, 37));
    EXPECT_EQ(At(image, 1, 1), kBorder);
    EXPECT_EQ(At(image, 3, 3), kSpace);
    EXPECT_EQ(At(image, 56, 36), kSpace);

    int customPaints = 0;
    panel->SetOnCustomPaint([&](TObject* sender) {
        EXPECT_EQ(sender, panel);
        ++customPaints;
        panel->Canvas()->Brush()->SetColor(kInnerLight);
        panel->Canvas()->FillRect(Rect(0, 0, 60, 40));
    });
    filled.clear();
    image = Render();
    EXPECT_GE(customPaints, 1);
    EXPECT_TRUE(filled.empty());
    EXPECT_EQ(At(image, 0, 0), kInnerLight);
    EXPECT_EQ(At(image, 30, 20), kInnerLight);
}

TEST_F(VisualBaseTest, DesignModeSwitchesEveryVisualBase)
{
    auto* control = new TProbeControl(Form.get());
    auto* panel = new TProbePanel(Form.get());
    auto* graphic = new TProbeGraphic(Form.get());
    auto* owned = new TComponent(panel);
    control->SetDesignMode(true);
    panel->SetDesignMode(true);
    graphic->SetDesignMode(true);
    EXPECT_TRUE(control->ComponentState() & csDesigning);
    EXPECT_TRUE(panel->ComponentState() & csDesigning);
    EXPECT_TRUE(owned->ComponentState() & csDesigning);
    EXPECT_TRUE(graphic->ComponentState() & csDesigning);
    panel->SetDesignMode(false);
    EXPECT_FALSE(owned->ComponentState() & csDesigning);
}

TEST_F(VisualBaseTest, LibraryCursorsAreRegistered)
{
    auto* control = new TProbeControl(Form.get());
    (void)control;
    for (int number = kMMFirstCursor; number <= kMMLastCursor; ++number)
        EXPECT_TRUE(Screen->HasCursor(number)) << number;
    EXPECT_FALSE(Screen->HasCursor(kMMLastCursor + 1));
    // No pictures are shipped: null cursors, shown as the arrow.
    EXPECT_EQ(Screen->Cursors(kMMFirstCursor).shape(), Qt::ArrowCursor);
}

TEST(MMCommonDialogTest, IsAComponent)
{
    TComponent owner(nullptr);
    auto* dialog = new TMMCommonDialog(&owner);
    EXPECT_EQ(dialog->Owner(), &owner);
    EXPECT_TRUE(dialog->metaObject()->inherits(&TComponent::staticMetaObject));
}

// A form holding one control, for stored-form round trips.
class TBevelForm : public TForm {
    Q_OBJECT
    Q_PROPERTY(TProbeControl* Probe1 MEMBER Probe1 STORED false)
public:
    explicit TBevelForm(TComponent* owner)
        : TForm(owner)
    {
    }
    TProbeControl* Probe1 = nullptr;
};

TEST(VisualBaseStoredFormTest, AllThirteenBevelSettingsAreWrittenAndReadBack)
{
    RegisterClass<TProbeControl>();
    RegisterClass<TBevelForm>();
    TBevelForm form(nullptr);
    form.SetName(QStringLiteral("BevelForm"));
    auto* probe = new TProbeControl(&form);
    probe->SetName(QStringLiteral("Probe1"));
    probe->SetParent(&form);
    probe->Bevel()->SetBevelOuter(bvRaised);
    probe->Bevel()->SetBorderWidth(4);
    probe->Bevel()->SetBorderColor(clRed);

    const QString text = QString::fromUtf8(ComponentToText(&form));
    for (const char* line :
        { "Bevel.BevelInner = bvNone", "Bevel.BevelOuter = bvRaised", "Bevel.BevelInnerWidth = 1",
            "Bevel.BevelOuterWidth = 1", "Bevel.BorderStyle = bsNone", "Bevel.BorderWidth = 4",
            "Bevel.BorderSpace = 0", "Bevel.BorderColor = clRed", "Bevel.BorderSpaceColor = clBlack",
            "Bevel.InnerLightColor = clBtnHighlight", "Bevel.InnerShadowColor = clBtnShadow",
            "Bevel.OuterLightColor = clBtnHighlight", "Bevel.OuterShadowColor = clBtnShadow" })
        EXPECT_TRUE(text.contains(QLatin1String(line))) << line << " missing in\n" << text.toStdString();

    TBevelForm copy(nullptr);
    tonvara::test::ReadFormText(text.toUtf8(), &copy, QStringLiteral("bevel.form"));
    ASSERT_NE(copy.Probe1, nullptr);
    EXPECT_EQ(copy.Probe1->Bevel()->BevelOuter(), bvRaised);
    EXPECT_EQ(copy.Probe1->Bevel()->BorderWidth(), 4);
    EXPECT_EQ(copy.Probe1->Bevel()->BorderColor(), clRed);
    EXPECT_EQ(copy.Probe1->BevelExtent(), 5);
}

} // namespace

#include "MMObj_test.moc"
