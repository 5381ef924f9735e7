#include "mm/display/MMPanel.h"

#include <mutex>

void RegisterPanelClasses()
{
    static std::once_flag once;
    std::call_once(once, [] {
        RegisterControlsTypes();
        RegisterClass<TMMPanel>();
    });
}

namespace {
[[maybe_unused]] const bool kRegistered = (RegisterPanelClasses(), true);
} // namespace

TMMPanel::TMMPanel(TComponent* owner)
    : TMMCustomPanel(owner)
{
    RegisterPanelClasses();
}

TMMPanel::~TMMPanel() = default;
