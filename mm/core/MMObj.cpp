#include "mm/core/MMObj.h"

#include "platform/ui/Forms.h"
#include "platform/ui/Resources.h"

#include <QCursor>
#include <QImage>
#include <QImageReader>
#include <QPixmap>
#include <iterator>
#include <mutex>
#include <optional>

void RegisterMMObjTypes()
{
    static std::once_flag once;
    std::call_once(once, [] {
        qRegisterMetaType<TThreadPriority>("TThreadPriority");
        RegisterIntegerIdents<TThreadPriority>({ { tpIdle, "tpIdle" }, { tpLowest, "tpLowest" },
            { tpLower, "tpLower" }, { tpNormal, "tpNormal" }, { tpHigher, "tpHigher" },
            { tpHighest, "tpHighest" }, { tpTimeCritical, "tpTimeCritical" } });
    });
}

namespace {
[[maybe_unused]] const bool kTypesRegistered = (RegisterMMObjTypes(), true);
} // namespace

// ---------------------------------------------------------------------------

TMMObject::TMMObject(QObject* parent)
    : TPersistent(parent)
{
}

TMMObject::~TMMObject() = default;

void TMMObject::BeginUpdate()
{
    if (FUpdateCount == 0)
        SetUpdateState(true);
    ++FUpdateCount;
}

void TMMObject::EndUpdate()
{
    --FUpdateCount;
    if (FUpdateCount == 0)
        SetUpdateState(false);
}

void TMMObject::SetUpdateState(bool updating)
{
    if (updating)
        Changing();
    else
        Changed();
}

void TMMObject::Changing()
{
    if (FUpdateCount == 0 && FOnChanging)
        FOnChanging(this);
}

void TMMObject::Changed()
{
    if (FUpdateCount == 0 && FOnChange)
        FOnChange(this);
}

// ---------------------------------------------------------------------------

TMMComponent::TMMComponent(TComponent* owner)
    : TComponent(owner)
{
}

TMMComponent::~TMMComponent() = default;

void TMMComponent::SetDesignMode(bool value)
{
    SetDesigning(value, true);
}

TMMNonVisualComponent::TMMNonVisualComponent(TComponent* owner)
    : TMMComponent(owner)
{
}

TMMNonVisualComponent::~TMMNonVisualComponent() = default;

// ---------------------------------------------------------------------------

TMMThreadEx::TMMThreadEx(bool createSuspended)
    : TThread(createSuspended)
{
}

TMMThreadEx::~TMMThreadEx() = default;

void TMMThreadEx::SetPriority(TThreadPriority value)
{
    const int ordinal = static_cast<int>(value) & 0x7F;
    // A stored priority with stray high bits must not index past the scale.
    if (ordinal >= static_cast<int>(std::size(kThreadPriorityValues)))
        return;
    // The base applies kThreadPriorityValues[ordinal] (idle -15 ... time
    // critical 15) and remembers it, so Priority() reads back what was set.
    TThread::SetPriority(static_cast<TThreadPriority>(ordinal));
}

// ---------------------------------------------------------------------------
// Cursors

void RegisterMMCursors()
{
    static bool registered = false;
    if (registered)
        return;
    registered = true;
    for (int number = kMMFirstCursor; number <= kMMLastCursor; ++number) {
        std::optional<QCursor> cursor;
        const QString path = FindResourceFile(QString::number(number), QStringLiteral(".cur"));
        if (!path.isEmpty()) {
            QImageReader reader(path);
            const QImage image = reader.read();
            if (!image.isNull())
                cursor = QCursor(QPixmap::fromImage(image));
        }
        Screen->SetCursors(number, cursor);
    }
}

namespace {

void RegisterVisualTypes()
{
    static std::once_flag once;
    std::call_once(once, [] { RegisterEventType<TMMFillPanel>(); });
}

// Owned bevels are children of their control, so their name path reads
// "Form1.Meter1.TMMBevel" in messages.
TMMBevel* MakeBevel(QObject* control, std::function<void()> changed)
{
    RegisterVisualTypes();
    RegisterMMCursors();
    auto* bevel = new TMMBevel(control);
    bevel->SetOnChange([changed = std::move(changed)](TObject*) { changed(); });
    return bevel;
}

void FreeBevel(TMMBevel*& bevel)
{
    bevel->SetOnChange(nullptr);
    delete bevel;
    bevel = nullptr;
}

int ExtentOf(const TMMBevel* bevel)
{
    return bevel != nullptr ? bevel->BevelExtent() : 0;
}

TRect InnerOf(const TMMBevel* bevel, int width, int height)
{
    TRect rect = Rect(0, 0, width, height);
    const int extent = ExtentOf(bevel);
    InflateRect(rect, -extent, -extent);
    return rect;
}

void PaintBevelAndFill(TMMBevel* bevel, TCanvas* canvas, const TRect& client, TColor color)
{
    const TRect inside = bevel->PaintBevel(canvas, client, true);
    canvas->Brush()->SetColor(color);
    canvas->Brush()->SetStyle(bsSolid);
    canvas->FillRect(inside);
}

} // namespace

// ---------------------------------------------------------------------------

TMMCustomControl::TMMCustomControl(TComponent* owner)
    : TCustomControl(owner)
{
    FControlStyle |= csOpaque;
    FBevel = MakeBevel(this, [this] { BevelChanged(); });
}

TMMCustomControl::~TMMCustomControl()
{
    FreeBevel(FBevel);
}

void TMMCustomControl::SetBevel(TMMBevel* value)
{
    FBevel->Assign(value);
}

int TMMCustomControl::BevelExtent() const
{
    return ExtentOf(FBevel);
}

TRect TMMCustomControl::InnerRect() const
{
    return InnerOf(FBevel, Width(), Height());
}

void TMMCustomControl::SetDesignMode(bool value)
{
    SetDesigning(value, true);
    Invalidate();
}

void TMMCustomControl::BevelChanged()
{
    Invalidate();
}

void TMMCustomControl::Paint()
{
    PaintBevelAndFill(FBevel, Canvas(), ClientRect(), Color());
}

// ---------------------------------------------------------------------------

TMMCustomPanel::TMMCustomPanel(TComponent* owner)
    : TCustomPanel(owner)
{
    // The bevel first: switching the framework frame off re-aligns, which
    // asks for the bevel's extent.
    FBevel = MakeBevel(this, [this] {
        Realign();
        BevelChanged();
    });
    // Only the owned bevel frames the panel.
    SetBorderWidth(0);
    SetBevelInner(bvNone);
    SetBevelOuter(bvNone);
}

TMMCustomPanel::~TMMCustomPanel()
{
    FreeBevel(FBevel);
}

void TMMCustomPanel::SetBevel(TMMBevel* value)
{
    FBevel->Assign(value);
}

int TMMCustomPanel::BevelExtent() const
{
    return ExtentOf(FBevel);
}

TRect TMMCustomPanel::InnerRect() const
{
    return InnerOf(FBevel, Width(), Height());
}

void TMMCustomPanel::SetDesignMode(bool value)
{
    SetDesigning(value, true);
    Invalidate();
}

void TMMCustomPanel::BevelChanged()
{
    Invalidate();
}

void TMMCustomPanel::AlignControls(TControl* control, TRect& rect)
{
    const int extent = ExtentOf(FBevel);
    InflateRect(rect, -extent, -extent);
    // The framework panel's own frame is switched off; aligning goes
    // straight to the windowed control's.
    TCustomControl::AlignControls(control, rect);
}

void TMMCustomPanel::Paint()
{
    if (FOnCustomPaint) {
        FOnCustomPaint(this);
        return;
    }
    TCanvas* canvas = Canvas();
    TRect rect = FBevel->PaintBevel(canvas, ClientRect(), FDrawBorder);
    if (FOnFillInner) {
        FOnFillInner(this, canvas, rect);
    } else {
        canvas->Brush()->SetColor(Color());
        canvas->Brush()->SetStyle(bsSolid);
        canvas->FillRect(rect);
    }
    const QString caption = Caption();
    if (caption.isEmpty())
        return;
    canvas->Brush()->SetStyle(bsClear);
    canvas->SetFont(Font());
    const int height = canvas->TextHeight(QStringLiteral("W"));
    rect.Top = (rect.Top + rect.Bottom - height) / 2;
    rect.Bottom = rect.Top + height;
    unsigned flags = DT_EXPANDTABS | DT_SINGLELINE;
    switch (Alignment()) {
    case taLeftJustify:
        flags |= DT_LEFT;
        break;
    case taRightJustify:
        flags |= DT_RIGHT;
        break;
    case taCenter:
        flags |= DT_CENTER;
        break;
    }
    canvas->DrawText(caption, rect, flags);
}

// ---------------------------------------------------------------------------

TMMGraphicControl::TMMGraphicControl(TComponent* owner)
    : TGraphicControl(owner)
{
    FControlStyle |= csOpaque;
    FBevel = MakeBevel(this, [this] { BevelChanged(); });
}

TMMGraphicControl::~TMMGraphicControl()
{
    FreeBevel(FBevel);
}

void TMMGraphicControl::SetBevel(TMMBevel* value)
{
    FBevel->Assign(value);
}

int TMMGraphicControl::BevelExtent() const
{
    return ExtentOf(FBevel);
}

TRect TMMGraphicControl::InnerRect() const
{
    return InnerOf(FBevel, Width(), Height());
}

void TMMGraphicControl::SetDesignMode(bool value)
{
    SetDesigning(value, true);
}

void TMMGraphicControl::BevelChanged()
{
    Invalidate();
}

void TMMGraphicControl::Paint()
{
    PaintBevelAndFill(FBevel, Canvas(), ClientRect(), Color());
}

// ---------------------------------------------------------------------------

TMMCommonDialog::TMMCommonDialog(TComponent* owner)
    : TComponent(owner)
{
}

TMMCommonDialog::~TMMCommonDialog() = default;
