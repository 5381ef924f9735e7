#include "mm/core/MMObj.h"

#include <iterator>
#include <mutex>

void RegisterMMObjTypes()
{
    static std::once_flag once;
    std::call_once(once, [] {
        qRegisterMetaType<TThreadPriority>("TThreadPriority");
        RegisterIntegerIdents<TThreadPriority>({{tpIdle, "tpIdle"},
                                                {tpLowest, "tpLowest"},
                                                {tpLower, "tpLower"},
                                                {tpNormal, "tpNormal"},
                                                {tpHigher, "tpHigher"},
                                                {tpHighest, "tpHighest"},
                                                {tpTimeCritical, "tpTimeCritical"}});
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
