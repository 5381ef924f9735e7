#include "mm/core/MMObj.h"

#include "platform/kernel/SyncObjs.h"

#include <gtest/gtest.h>

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
    EXPECT_EQ(Log, (std::vector<std::string>{"change", "change"}));
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
    EXPECT_EQ(Log, (std::vector<std::string>{"changing"}));
    Setting.EndUpdate();
    EXPECT_EQ(Setting.UpdateCount(), 0);
    EXPECT_EQ(Log, (std::vector<std::string>{"changing", "change"}));
}

TEST_F(TObjectEvents, NestedBracketsNotifyOnlyAtTheOutermost)
{
    Setting.BeginUpdate();
    Setting.BeginUpdate();
    Setting.SetValue(5);
    Setting.EndUpdate();
    EXPECT_EQ(Log, (std::vector<std::string>{"changing"}));
    Setting.EndUpdate();
    EXPECT_EQ(Log, (std::vector<std::string>{"changing", "change"}));
}

TEST_F(TObjectEvents, EmptyBracketStillNotifiesBothWays)
{
    Setting.BeginUpdate();
    Setting.EndUpdate();
    EXPECT_EQ(Log, (std::vector<std::string>{"changing", "change"}));
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
    EXPECT_EQ(Log, (std::vector<std::string>{"change"}));
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
    EXPECT_EQ(object.Calls, (std::vector<std::pair<bool, int>>{{true, 0}, {false, 0}}));
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
    EXPECT_EQ(child->Calls, std::vector<bool>{false});
}

// ---------------------------------------------------------------------------

class TWaitingThread : public TMMThreadEx {
public:
    TWaitingThread() : TMMThreadEx(true) { }
    ~TWaitingThread() override
    {
        Terminate();
        Release.SetEvent();
        if (!Suspended())
            WaitFor();
    }
    TEvent Release {true, false};

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
    } table[] = {{tpIdle, -15}, {tpLowest, -2}, {tpLower, -1}, {tpNormal, 0},
                 {tpHigher, 1}, {tpHighest, 2}, {tpTimeCritical, 15}};
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

} // namespace

#include "MMObj_test.moc"
