#include "mm/display/MMFill.h"

#include "mm/core/MMObsrv.h"
#include "mm/core/MMUtils.h"
#include "platform/kernel/SyncObjs.h"

#include <algorithm>
#include <mutex>

void TileBitmap(TCanvas* canvas, TBitmap* bitmap, const TRect& rect, int rasterOp)
{
    if (canvas == nullptr || bitmap == nullptr)
        return;
    TCriticalSectionLock lock(BitmapDrawLock());
    const QImage& source = bitmap->Image();
    const int width = source.width();
    const int height = source.height();
    // A bitmap without pixels would never use up the rectangle.
    if (width <= 0 || height <= 0)
        return;
    const QImage tile = source.convertToFormat(QImage::Format_RGB32);
    for (int y = rect.Top; y < rect.Bottom; y += height) {
        const int rowHeight = std::min(height, rect.Bottom - y);
        for (int x = rect.Left; x < rect.Right; x += width) {
            const int columnWidth = std::min(width, rect.Right - x);
            const TRect dest = Bounds(x, y, columnWidth, rowHeight);
            if (columnWidth == width && rowHeight == height)
                canvas->DrawImage(dest, tile, rasterOp);
            else
                canvas->DrawImage(dest, tile.copy(0, 0, columnWidth, rowHeight), rasterOp);
        }
    }
}

void RegisterPanelFillClasses()
{
    static std::once_flag once;
    std::call_once(once, [] {
        RegisterPanelClasses();
        RegisterBitmapListClasses();
        RegisterEventType<TMMFillPanel>();
        RegisterClass<TMMPanelFill>();
    });
}

namespace {
[[maybe_unused]] const bool kRegistered = (RegisterPanelFillClasses(), true);
} // namespace

TMMPanelFill::TMMPanelFill(TComponent* owner)
    : TMMPanel(owner)
    , FObserver(std::make_unique<TMMObserver>())
{
    RegisterPanelFillClasses();
    SetDrawBorder(false);
    FObserver->SetOnNotify([this](TObject*, TObject*) { Repaint(); });
    // The background comes from Paint below; the panel's own fill inside
    // the bevel must not paint over it.
    SetOnFillInner([](TObject*, TCanvas*, TRect) {});
}

TMMPanelFill::~TMMPanelFill()
{
    SetOnFillInner(nullptr);
    SetBitmapList(nullptr);
    FObserver.reset();
}

void TMMPanelFill::SetBitmapIndex(int value)
{
    value = std::max(value, -1);
    if (value == FBitmapIndex)
        return;
    FBitmapIndex = value;
    Repaint();
}

void TMMPanelFill::SetBitmapList(TMMBitmapList* value)
{
    if (value == FBitmapList)
        return;
    if (FBitmapList != nullptr) {
        FBitmapList->RemoveObserver(FObserver.get());
        RemoveFreeNotification(FBitmapList);
    }
    FBitmapList = value;
    if (FBitmapList != nullptr) {
        FBitmapList->AddObserver(FObserver.get());
        // A list of another form tells this panel of its destruction too.
        FreeNotification(FBitmapList);
    }
    Repaint();
}

bool TMMPanelFill::HasBitmap() const
{
    return FBitmapList != nullptr && FBitmapIndex >= 0 && FBitmapIndex < FBitmapList->Count();
}

void TMMPanelFill::SetFillBevel(bool value)
{
    if (value == FillBevel())
        return;
    SetDrawBorder(!value);
    Invalidate();
}

void TMMPanelFill::Paint()
{
    TCanvas* canvas = Canvas();
    const TRect client = ClientRect();
    if (FOnFillPanel) {
        FOnFillPanel(this, canvas, client);
    } else if (HasBitmap()) {
        TBitmap* bitmap = FBitmapList->Bitmaps(FBitmapIndex);
        bitmap->Canvas()->Lock();
        try {
            TileBitmap(canvas, bitmap, client, cmSrcCopy);
        } catch (...) {
            bitmap->Canvas()->Unlock();
            throw;
        }
        bitmap->Canvas()->Unlock();
    } else {
        canvas->Brush()->SetStyle(bsSolid);
        canvas->Brush()->SetColor(Color());
        canvas->FillRect(client);
    }
    TMMPanel::Paint();
}

void TMMPanelFill::Notification(TComponent* component, TOperation operation)
{
    TMMPanel::Notification(component, operation);
    // The list is being destroyed and has already let go of the observer:
    // it must not be called any more, only forgotten.
    if (operation == opRemove && component != nullptr && component == FBitmapList) {
        FBitmapList = nullptr;
        Invalidate();
    }
}
