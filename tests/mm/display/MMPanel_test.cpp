#include "mm/display/MMPanel.h"
#include "platform/ui/FormReader.h"
#include "platform/ui/FormWriter.h"
#include "platform/ui/Forms.h"
#include "platform/ui/Menus.h"
#include "support/FormText.h"

#include <QApplication>
#include <QBuffer>
#include <QWidget>
#include <gtest/gtest.h>
#include <memory>

namespace {

QRgb Rgb(TColor color)
{
    return ColorToQColor(color).rgb() | 0xFF000000u;
}

class MMPanelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Form = std::make_unique<TForm>(nullptr);
        Form->SetBounds(0, 0, 300, 200);
        Panel = new TMMPanel(Form.get());
        Panel->SetParent(Form.get());
        Panel->SetBounds(10, 10, 153, 105);
    }

    QImage Grab()
    {
        Form->Show();
        QApplication::processEvents();
        return Panel->Handle()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    }

    std::unique_ptr<TForm> Form;
    TMMPanel* Panel = nullptr;
};

} // namespace

TEST_F(MMPanelTest, Defaults)
{
    EXPECT_EQ(Panel->Alignment(), taCenter);
    EXPECT_EQ(Panel->Color(), clBtnFace);
    EXPECT_TRUE(Panel->DrawBorder());
    EXPECT_EQ(Panel->Bevel()->BevelOuter(), bvLowered);
    EXPECT_EQ(Panel->Bevel()->BevelExtent(), 1);
    // Only the library's bevel is drawn.
    EXPECT_EQ(Panel->BevelOuter(), bvNone);
    EXPECT_EQ(Panel->BevelInner(), bvNone);
    EXPECT_EQ(Panel->BorderWidth(), 0);
}

TEST_F(MMPanelTest, DefaultBevelIsOneLoweredRing)
{
    Panel->SetColor(TColor(5718462));
    const QImage image = Grab();
    const QRgb face = qRgb(190, 65, 87);
    EXPECT_EQ(image.pixel(0, 50), Rgb(clBtnShadow));
    EXPECT_EQ(image.pixel(70, 0), Rgb(clBtnShadow));
    EXPECT_EQ(image.pixel(152, 50), Rgb(clBtnHighlight));
    EXPECT_EQ(image.pixel(70, 104), Rgb(clBtnHighlight));
    // Corners: top-right belongs to the bottom colour, bottom-left to the top.
    EXPECT_EQ(image.pixel(152, 0), Rgb(clBtnHighlight));
    EXPECT_EQ(image.pixel(0, 104), Rgb(clBtnShadow));
    EXPECT_EQ(image.pixel(1, 1), face);
    EXPECT_EQ(image.pixel(151, 103), face);
    EXPECT_EQ(image.pixel(76, 52), face);
}

TEST_F(MMPanelTest, RingsSitAtTheirOffsets)
{
    TMMBevel* bevel = Panel->Bevel();
    bevel->SetBevelOuter(bvRaised);
    bevel->SetBevelOuterWidth(2);
    bevel->SetBorderWidth(3);
    bevel->SetBorderColor(clRed);
    bevel->SetBevelInner(bvLowered);
    bevel->SetInnerShadowColor(clNavy);
    bevel->SetInnerLightColor(clAqua);
    bevel->SetBorderSpace(2);
    bevel->SetBorderSpaceColor(clBlue);
    bevel->SetBorderStyle(bsSingle);
    Panel->SetColor(clLime);
    const QImage image = Grab();
    const int y = 50;
    // Left edge, from the outside in.
    EXPECT_EQ(image.pixel(0, y), Rgb(clWindowFrame));
    EXPECT_EQ(image.pixel(1, y), Rgb(clBtnHighlight));
    EXPECT_EQ(image.pixel(2, y), Rgb(clBtnHighlight));
    EXPECT_EQ(image.pixel(3, y), Rgb(clRed));
    EXPECT_EQ(image.pixel(5, y), Rgb(clRed));
    EXPECT_EQ(image.pixel(6, y), Rgb(clNavy));
    EXPECT_EQ(image.pixel(7, y), Rgb(clBlue));
    EXPECT_EQ(image.pixel(8, y), Rgb(clBlue));
    EXPECT_EQ(image.pixel(9, y), Rgb(clLime));
    // Right edge.
    EXPECT_EQ(image.pixel(152, y), Rgb(clWindowFrame));
    EXPECT_EQ(image.pixel(151, y), Rgb(clBtnShadow));
    EXPECT_EQ(image.pixel(150, y), Rgb(clBtnShadow));
    EXPECT_EQ(image.pixel(147, y), Rgb(clRed));
    EXPECT_EQ(image.pixel(146, y), Rgb(clAqua));
    EXPECT_EQ(image.pixel(144, y), Rgb(clBlue));
    EXPECT_EQ(image.pixel(143, y), Rgb(clLime));
    EXPECT_EQ(bevel->BevelExtent(), 9);
}

TEST_F(MMPanelTest, BvSpaceShowsTheColour)
{
    Panel->Bevel()->SetBevelOuter(bvSpace);
    Panel->Bevel()->SetBevelOuterWidth(3);
    Panel->SetColor(clGreen);
    const QImage image = Grab();
    EXPECT_EQ(image.pixel(0, 50), Rgb(clGreen));
    EXPECT_EQ(image.pixel(2, 50), Rgb(clGreen));
    EXPECT_EQ(Panel->Bevel()->BevelExtent(), 3);
}

TEST_F(MMPanelTest, CaptionIsCentredInTheFont)
{
    Panel->SetColor(clWhite);
    Panel->Font()->SetColor(clBlack);
    Panel->Font()->SetHeight(-20);
    Panel->SetCaption("WWW");
    const QImage image = Grab();
    int firstX = 1000;
    int lastX = -1;
    int firstY = 1000;
    int lastY = -1;
    for (int y = 1; y < 104; ++y)
        for (int x = 1; x < 152; ++x)
            if (qGray(image.pixel(x, y)) < 100) {
                firstX = std::min(firstX, x);
                lastX = std::max(lastX, x);
                firstY = std::min(firstY, y);
                lastY = std::max(lastY, y);
            }
    ASSERT_GE(lastX, 0) << "no caption drawn";
    // Centred within a pixel or two each way (glyph side bearings).
    EXPECT_NEAR((firstX + lastX) / 2.0, 76.0, 3.0);
    EXPECT_NEAR((firstY + lastY) / 2.0, 52.0, 4.0);

    Panel->SetAlignment(taLeftJustify);
    const QImage left = Grab();
    int leftmost = 1000;
    for (int y = 1; y < 104; ++y)
        for (int x = 1; x < 152; ++x)
            if (qGray(left.pixel(x, y)) < 100)
                leftmost = std::min(leftmost, x);
    EXPECT_LE(leftmost, 4);
}

TEST_F(MMPanelTest, CustomPaintAndFillInnerReplaceThePainting)
{
    Panel->SetColor(clWhite);
    TRect inner;
    Panel->SetOnFillInner([&](TObject* sender, TCanvas* canvas, TRect r) {
        EXPECT_EQ(sender, Panel);
        inner = r;
        canvas->Brush()->SetColor(clRed);
        canvas->FillRect(r);
    });
    QImage image = Grab();
    EXPECT_EQ(inner, Rect(1, 1, 152, 104));
    EXPECT_EQ(image.pixel(50, 50), Rgb(clRed));
    EXPECT_EQ(image.pixel(0, 50), Rgb(clBtnShadow));

    Panel->SetOnCustomPaint([&](TObject*) {
        Panel->Canvas()->Brush()->SetColor(clBlue);
        Panel->Canvas()->FillRect(Panel->ClientRect());
    });
    image = Grab();
    EXPECT_EQ(image.pixel(0, 50), Rgb(clBlue));
    EXPECT_EQ(image.pixel(50, 50), Rgb(clBlue));
}

TEST_F(MMPanelTest, AlignedChildrenStayInsideTheFrame)
{
    Panel->Bevel()->SetBevelOuter(bvRaised);
    auto* child = new TMMPanel(Form.get());
    child->SetParent(Panel);
    child->SetHeight(65);
    child->SetAlign(alTop);
    EXPECT_EQ(child->Left(), 1);
    EXPECT_EQ(child->Top(), 1);
    EXPECT_EQ(child->Width(), 151);
    Panel->Bevel()->SetBorderWidth(2);
    EXPECT_EQ(child->Left(), 3);
    EXPECT_EQ(child->Width(), 147);
}

TEST_F(MMPanelTest, StoredFormReadsBack)
{
    RegisterClass<TForm>();
    Panel->SetName("MMPanel1");
    Panel->SetColor(TColor(5718462));
    Panel->Bevel()->SetBevelOuter(bvRaised);
    auto* menu = new TPopupMenu(Form.get());
    menu->SetName("PanelMenu");
    Panel->SetPopupMenu(menu);
    const QByteArray text = ComponentToText(Form.get());
    EXPECT_TRUE(text.contains("PopupMenu = PanelMenu"));
    EXPECT_TRUE(text.contains("object MMPanel1: TMMPanel"));
    EXPECT_TRUE(text.contains("Bevel.BevelOuter = bvRaised"));
    EXPECT_FALSE(text.contains("Alignment"));
    TForm copy(nullptr);
    tonvara::test::ReadFormText(text, &copy, "panel.form");
    auto* read = copy.FindComponent<TMMPanel>("MMPanel1");
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(read->Color(), TColor(5718462));
    EXPECT_EQ(read->Bevel()->BevelOuter(), bvRaised);
    EXPECT_EQ(read->Width(), 153);
    EXPECT_EQ(read->Parent(), &copy);
    EXPECT_EQ(read->PopupMenu(), copy.FindComponent("PanelMenu"));
}

namespace {

// A form whose methods the drag events of a stored form name.
class TDragForm : public TForm {
    Q_OBJECT
public:
    using TForm::TForm;
    QStringList Calls;

    Q_INVOKABLE void PanelDragDrop(TObject*, TObject* source, int x, int y)
    {
        Calls << QStringLiteral("drop %1 %2 %3").arg(source == this).arg(x).arg(y);
    }
    Q_INVOKABLE void PanelDragOver(TObject*, TObject*, int x, int y, TDragState state, bool& accept)
    {
        Calls << QStringLiteral("over %1 %2 %3").arg(x).arg(y).arg(state);
        accept = true;
    }
    Q_INVOKABLE void PanelEndDrag(TObject*, TObject* target, int x, int y)
    {
        Calls << QStringLiteral("end %1 %2 %3").arg(target == nullptr).arg(x).arg(y);
    }
    Q_INVOKABLE void PanelStartDrag(TObject*, TDragObject*& dragObject)
    {
        Calls << QStringLiteral("start");
        dragObject = nullptr;
    }
};

} // namespace

TEST(MMPanelStoredForm, DragPropertiesAndEventsLoadAndWriteBack)
{
    const QByteArray stored = "object DragForm: TDragForm\n"
                              "  object Outer: TMMPanel\n"
                              "    Ctl3D = False\n"
                              "    DragCursor = crHandPoint\n"
                              "    DragMode = dmAutomatic\n"
                              "    OnDragDrop = PanelDragDrop\n"
                              "    OnDragOver = PanelDragOver\n"
                              "    OnEndDrag = PanelEndDrag\n"
                              "    OnStartDrag = PanelStartDrag\n"
                              "    object Inner: TMMPanel\n"
                              "    end\n"
                              "    object Own: TMMPanel\n"
                              "      Ctl3D = True\n"
                              "      ParentCtl3D = False\n"
                              "    end\n"
                              "  end\n"
                              "end\n";
    QByteArray text = stored;
    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass == 0 ? "stored" : "written back");
        TDragForm form(nullptr);
        QBuffer buffer(&text);
        buffer.open(QIODevice::ReadOnly);
        ReadComponent(buffer, &form, "drag.form");
        auto* outer = form.FindComponent<TMMPanel>("Outer");
        auto* inner = form.FindComponent<TMMPanel>("Inner");
        auto* own = form.FindComponent<TMMPanel>("Own");
        ASSERT_TRUE(outer != nullptr && inner != nullptr && own != nullptr);
        EXPECT_FALSE(outer->Ctl3D());
        EXPECT_FALSE(outer->ParentCtl3D());
        EXPECT_FALSE(inner->Ctl3D()) << "follows its parent";
        EXPECT_TRUE(inner->ParentCtl3D());
        EXPECT_TRUE(own->Ctl3D());
        EXPECT_FALSE(own->ParentCtl3D());
        EXPECT_EQ(outer->DragCursor(), crHandPoint);
        EXPECT_EQ(outer->DragMode(), dmAutomatic);
        EXPECT_EQ(inner->DragCursor(), crDrag);
        EXPECT_EQ(inner->DragMode(), dmManual);

        bool accept = false;
        TDragObject* dragObject = nullptr;
        outer->OnDragDrop()(outer, &form, 3, 4);
        outer->OnDragOver()(outer, &form, 5, 6, dsDragMove, accept);
        outer->OnEndDrag()(outer, nullptr, 7, 8);
        outer->OnStartDrag()(outer, dragObject);
        EXPECT_TRUE(accept);
        EXPECT_EQ(form.Calls, QStringList({ "drop 1 3 4", "over 5 6 2", "end 1 7 8", "start" }));

        outer->SetCtl3D(true);
        EXPECT_TRUE(inner->Ctl3D()) << "follows its parent's change";
        outer->SetCtl3D(false);
        text = ComponentToText(&form);
    }
    for (const char* line : { "Ctl3D = False", "Ctl3D = True", "DragCursor = crHandPoint",
             "DragMode = dmAutomatic", "OnDragDrop = PanelDragDrop", "OnDragOver = PanelDragOver",
             "OnEndDrag = PanelEndDrag", "OnStartDrag = PanelStartDrag", "ParentCtl3D = False" })
        EXPECT_TRUE(text.contains(line)) << line << "\n" << text.constData();
}

#include "MMPanel_test.moc"
