#include "platform/ui/Classes.h"

#include <QPointer>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace {

struct TNote {
    TComponent* Receiver;
    TComponent* Subject;
    TOperation Operation;
};

std::vector<TNote>* gNotes = nullptr;

// Records every notification it hears and whether it was whole when asked.
class TListener : public TComponent {
    Q_OBJECT
public:
    using TComponent::TComponent;
    TComponent* Reference = nullptr;
    std::vector<TComponent*>* DestroyedOrder = nullptr;
    TComponentState StateInDestructor;

    ~TListener() override
    {
        StateInDestructor = ComponentState();
        if (DestroyedOrder != nullptr)
            DestroyedOrder->push_back(this);
    }

    using TComponent::ExcludeState;
    using TComponent::IncludeState;
    using TComponent::Loaded;

protected:
    void Notification(TComponent* component, TOperation operation) override
    {
        TComponent::Notification(component, operation);
        if (gNotes != nullptr)
            gNotes->push_back({ this, component, operation });
        if (operation == opRemove && component == Reference)
            Reference = nullptr;
    }
};

// A component that must hear of its owned components' destruction while it
// is still whole, so it destroys them in its own destructor.
class TEarlyOwner : public TListener {
    Q_OBJECT
public:
    using TListener::TListener;
    ~TEarlyOwner() override
    {
        Destroying();
        DestroyComponents();
    }
};

class TWithFields : public TComponent {
    Q_OBJECT
    Q_PROPERTY(TListener* Child1 MEMBER Child1 STORED false)
public:
    using TComponent::TComponent;
    TListener* Child1 = nullptr;
};

class TSettings : public TPersistent {
    Q_OBJECT
public:
    int Value = 0;
    void Assign(TPersistent* source) override
    {
        if (auto* other = qobject_cast<TSettings*>(source)) {
            Value = other->Value;
            return;
        }
        TPersistent::Assign(source);
    }
};

class THandlers : public TComponent {
    Q_OBJECT
public:
    using TComponent::TComponent;
    TObject* LastSender = nullptr;
    int Clicks = 0;

    Q_INVOKABLE void ButtonClick(TObject* Sender)
    {
        LastSender = Sender;
        ++Clicks;
    }
    Q_INVOKABLE void Idle(TObject* Sender, bool& Done)
    {
        LastSender = Sender;
        Done = false;
    }
};

using TIdleEvent = std::function<void(TObject* Sender, bool& Done)>;

class ComponentTest : public ::testing::Test {
protected:
    void SetUp() override { gNotes = &FNotes; }
    void TearDown() override { gNotes = nullptr; }

    int Count(TComponent* receiver, TComponent* subject, TOperation op) const
    {
        int n = 0;
        for (const TNote& note : FNotes)
            n += note.Receiver == receiver && note.Subject == subject && note.Operation == op;
        return n;
    }

    std::vector<TNote> FNotes;
};

} // namespace

Q_DECLARE_METATYPE(TIdleEvent)

TEST_F(ComponentTest, OwnerListsAndFindsComponentsCaseInsensitively)
{
    TListener form(nullptr);
    auto* a = new TListener(&form);
    auto* b = new TListener(&form);
    a->SetName("Button1");
    b->SetName("Label1");

    EXPECT_EQ(form.ComponentCount(), 2);
    EXPECT_EQ(form.Components(0), a);
    EXPECT_EQ(form.Components(1), b);
    EXPECT_EQ(b->ComponentIndex(), 1);
    EXPECT_EQ(a->Owner(), &form);
    EXPECT_EQ(a->parent(), &form);
    EXPECT_EQ(form.FindComponent("BUTTON1"), a);
    EXPECT_EQ(form.FindComponent("label1"), b);
    EXPECT_EQ(form.FindComponent("Nothing"), nullptr);
    EXPECT_EQ(a->objectName(), QString("Button1"));
    EXPECT_THROW(form.Components(2), EListError);
}

TEST_F(ComponentTest, RejectsDuplicateAndInvalidNames)
{
    TListener form(nullptr);
    auto* a = new TListener(&form);
    auto* b = new TListener(&form);
    a->SetName("Meter1");
    try {
        b->SetName("METER1");
        FAIL() << "duplicate accepted";
    } catch (const EComponentError& e) {
        EXPECT_EQ(e.Message(), QString("A component named METER1 already exists"));
    }
    try {
        b->SetName("1Meter");
        FAIL() << "invalid name accepted";
    } catch (const EComponentError& e) {
        EXPECT_EQ(e.Message(), QString("'1Meter' is not a valid component name"));
    }
    EXPECT_EQ(b->Name(), QString());
    a->SetName("meter1"); // a case change of its own name is no clash
    EXPECT_EQ(a->Name(), QString("meter1"));
}

TEST_F(ComponentTest, InsertionIsReportedToTheOwnersTree)
{
    TListener form(nullptr);
    auto* first = new TListener(&form);
    auto* panelChild = new TListener(first);
    FNotes.clear();
    auto* second = new TListener(&form);

    EXPECT_EQ(Count(&form, second, opInsert), 1);
    EXPECT_EQ(Count(first, second, opInsert), 1);
    EXPECT_EQ(Count(panelChild, second, opInsert), 1);
    EXPECT_EQ(Count(second, second, opInsert), 0);
}

TEST_F(ComponentTest, DestroyingAComponentNotifiesTheOwnersOtherComponentsOnce)
{
    TListener form(nullptr);
    auto* connector = new TListener(&form);
    auto* recorder = new TListener(&form);
    recorder->Reference = connector;
    recorder->FreeNotification(connector); // same tree: must still hear only once
    FNotes.clear();

    delete connector;

    EXPECT_EQ(recorder->Reference, nullptr);
    EXPECT_EQ(Count(recorder, connector, opRemove), 1);
    EXPECT_EQ(Count(&form, connector, opRemove), 1);
    EXPECT_EQ(form.ComponentCount(), 1);
}

TEST_F(ComponentTest, FreeNotificationReachesPartnersOutsideTheTree)
{
    TListener formA(nullptr);
    TListener formB(nullptr);
    auto* source = new TListener(&formA);
    auto* display = new TListener(&formB);
    display->Reference = source;
    display->FreeNotification(source);
    FNotes.clear();

    delete source;

    EXPECT_EQ(display->Reference, nullptr);
    EXPECT_EQ(Count(display, source, opRemove), 1);

    // The partnership is gone with the partner: destroying the display later
    // must not reach the deleted source (ASan would see it).
    delete display;
    EXPECT_EQ(formB.ComponentCount(), 0);
}

TEST_F(ComponentTest, RemoveFreeNotificationStopsTheReport)
{
    TListener formA(nullptr);
    TListener formB(nullptr);
    auto* source = new TListener(&formA);
    auto* display = new TListener(&formB);
    display->FreeNotification(source);
    display->RemoveFreeNotification(source);
    FNotes.clear();
    delete source;
    EXPECT_EQ(Count(display, source, opRemove), 0);
}

TEST_F(ComponentTest, OwnerDestroysItsComponentsLastFirstAndSurvivorsHearOfEach)
{
    std::vector<TComponent*> order;
    auto* form = new TListener(nullptr);
    auto* c1 = new TListener(form);
    auto* c2 = new TListener(form);
    auto* c3 = new TListener(form);
    for (TListener* c : { c1, c2, c3 })
        c->DestroyedOrder = &order;
    c1->Reference = c3;
    FNotes.clear();

    delete form;

    ASSERT_EQ(order.size(), 3u);
    EXPECT_EQ(order[0], c3);
    EXPECT_EQ(order[1], c2);
    EXPECT_EQ(order[2], c1);
    // c1 was still alive when c3 and c2 went, so it heard of both.
    EXPECT_EQ(Count(c1, c3, opRemove), 1);
    EXPECT_EQ(Count(c1, c2, opRemove), 1);
    // Nobody is told about a component after it is gone.
    for (const TNote& note : FNotes) {
        if (note.Receiver == c3)
            FAIL() << "c3 notified after its destruction";
    }
}

TEST_F(ComponentTest, OwnedComponentsSeeCsDestroyingDuringTheirDestruction)
{
    auto* form = new TListener(nullptr);
    auto* child = new TListener(form);
    TComponentState seen;
    struct TProbe : TListener {
        using TListener::TListener;
        TComponentState* Seen = nullptr;
        ~TProbe() override { *Seen = ComponentState(); }
    };
    auto* probe = new TProbe(child);
    probe->Seen = &seen;
    delete form;
    EXPECT_TRUE(seen & csDestroying);
}

TEST_F(ComponentTest, DerivedDestructorCanHearItsOwnComponentsGo)
{
    auto* owner = new TEarlyOwner(nullptr);
    auto* child = new TListener(owner);
    FNotes.clear();
    delete owner;
    EXPECT_EQ(Count(owner, child, opRemove), 1);
}

TEST_F(ComponentTest, MovingAComponentBetweenOwnersNotifiesBoth)
{
    TListener formA(nullptr);
    TListener formB(nullptr);
    auto* moved = new TListener(&formA);
    moved->SetName("Moved");
    FNotes.clear();

    formB.InsertComponent(moved);

    EXPECT_EQ(Count(&formA, moved, opRemove), 1);
    EXPECT_EQ(Count(&formB, moved, opInsert), 1);
    EXPECT_EQ(formA.ComponentCount(), 0);
    EXPECT_EQ(moved->Owner(), &formB);
    EXPECT_EQ(moved->parent(), &formB);

    auto* clash = new TListener(&formA);
    clash->SetName("Moved");
    EXPECT_THROW(formB.InsertComponent(clash), EComponentError);
    EXPECT_EQ(clash->Owner(), &formA);
    EXPECT_THROW(moved->InsertComponent(&formB), EComponentError);
}

TEST_F(ComponentTest, DesignStatePropagatesToOwnedComponents)
{
    TListener form(nullptr);
    auto* panel = new TListener(&form);
    auto* label = new TListener(panel);

    form.SetDesigning(true);
    EXPECT_TRUE(panel->ComponentState() & csDesigning);
    EXPECT_TRUE(label->ComponentState() & csDesigning);

    auto* later = new TListener(&form);
    EXPECT_TRUE(later->ComponentState() & csDesigning);

    form.SetDesigning(false, false);
    EXPECT_FALSE(form.ComponentState() & csDesigning);
    EXPECT_TRUE(panel->ComponentState() & csDesigning);

    form.SetDesigning(false);
    EXPECT_FALSE(label->ComponentState() & csDesigning);
}

TEST_F(ComponentTest, LoadedClearsCsLoading)
{
    TListener c(nullptr);
    c.IncludeState(csLoading | csReading);
    c.ExcludeState(csReading);
    c.Loaded();
    EXPECT_FALSE(c.ComponentState() & csLoading);
    EXPECT_FALSE(c.ComponentState() & csReading);
}

TEST_F(ComponentTest, PublishedFieldFollowsTheComponentOfThatName)
{
    TWithFields form(nullptr);
    auto* child = new TListener(&form);
    EXPECT_EQ(form.Child1, nullptr);
    child->SetName("Child1");
    EXPECT_EQ(form.Child1, child);
    child->SetName("Other");
    EXPECT_EQ(form.Child1, nullptr);
    child->SetName("child1");
    EXPECT_EQ(form.Child1, child);
    delete child;
    EXPECT_EQ(form.Child1, nullptr);
}

TEST(Persistent, AssignReportsUnsupportedPairs)
{
    TSettings a;
    TSettings b;
    a.Value = 7;
    b.Assign(&a);
    EXPECT_EQ(b.Value, 7);

    TComponent c(nullptr);
    try {
        b.Assign(&c);
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), QString("Cannot assign a TComponent to a TSettings"));
    }
    try {
        b.Assign(nullptr);
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), QString("Cannot assign a nil to a TSettings"));
    }
}

TEST(Persistent, NamePathOfSubObjects)
{
    struct TOwned : TPersistent {
        TPersistent* Holder = nullptr;
        TPersistent* GetOwner() const override { return Holder; }
    };
    TComponent meter(nullptr);
    meter.SetName("Meter1");
    TOwned font;
    font.Holder = &meter;
    EXPECT_EQ(font.GetNamePath(), QString("Meter1.TPersistent"));
}

TEST(ClassRegistry, CreatesRegisteredClassesByName)
{
    RegisterClass<TListener>();
    EXPECT_EQ(GetClass("tlistener"), &TListener::staticMetaObject);
    EXPECT_EQ(GetClass("TNobody"), nullptr);

    TComponent owner(nullptr);
    TComponent* made = CreateComponent("TListener", &owner);
    EXPECT_NE(qobject_cast<TListener*>(made), nullptr);
    EXPECT_EQ(made->Owner(), &owner);

    try {
        FindClass("TNobody");
        FAIL();
    } catch (const EClassNotFound& e) {
        EXPECT_EQ(e.Message(), QString("Class TNobody not found"));
    }
}

namespace {
enum TTestDeviceId : int {};
}
Q_DECLARE_METATYPE(TTestDeviceId)

TEST(IntegerIdents, MatchInAnyCaseAndByTypeWidth)
{
    RegisterIntegerIdents<TTestDeviceId>(
        { { -1, "MapperId" }, { -2, "InvalidId" }, { 0x8000000F, "clSomething" } });
    long long value = 0;
    EXPECT_TRUE(IdentToInt(QMetaType::fromType<TTestDeviceId>(), "mapperid", value));
    EXPECT_EQ(value, -1);
    EXPECT_TRUE(IdentToInt(QMetaType::fromType<TTestDeviceId>(), "INVALIDID", value));
    EXPECT_EQ(value, -2);
    EXPECT_FALSE(IdentToInt(QMetaType::fromType<TTestDeviceId>(), "Mapper", value));
    EXPECT_FALSE(IdentToInt(QMetaType::fromType<short>(), "MapperId", value));

    QString ident;
    EXPECT_TRUE(IntToIdent(QMetaType::fromType<TTestDeviceId>(), -1, ident));
    EXPECT_EQ(ident, QString("MapperId"));
    // 0x8000000F and its 32-bit signed reading are the same value.
    EXPECT_TRUE(IntToIdent(QMetaType::fromType<TTestDeviceId>(), -2147483633LL, ident));
    EXPECT_EQ(ident, QString("clSomething"));
    EXPECT_FALSE(IntToIdent(QMetaType::fromType<TTestDeviceId>(), 5, ident));
}

TEST(Events, BindMethodCallsTheRootAndRemembersTheName)
{
    THandlers form(nullptr);
    TNotifyEvent click = BindMethod<TNotifyEvent>(&form, "buttonclick");
    TComponent sender(nullptr);
    click(&sender);
    EXPECT_EQ(form.Clicks, 1);
    EXPECT_EQ(form.LastSender, &sender);
    EXPECT_EQ(EventMethodName(click), QString("ButtonClick"));
    EXPECT_EQ(EventMethodName(TNotifyEvent([](TObject*) {})), QString());

    EXPECT_THROW(BindMethod<TNotifyEvent>(&form, "Idle"), EInvalidOperation); // wrong parameters
    EXPECT_THROW(BindMethod<TNotifyEvent>(&form, "Missing"), EInvalidOperation);
}

TEST(Events, ReferenceParametersReachTheMethod)
{
    RegisterEventType<TIdleEvent>();
    THandlers form(nullptr);
    TIdleEvent idle = BindMethod<TIdleEvent>(&form, "Idle");
    bool done = true;
    idle(&form, done);
    EXPECT_FALSE(done);
    EXPECT_EQ(form.LastSender, &form);
}

TEST(Events, CallsAfterTheRootIsGoneDoNothing)
{
    auto* form = new THandlers(nullptr);
    TNotifyEvent click = BindMethod<TNotifyEvent>(form, "ButtonClick");
    delete form;
    click(nullptr); // must not reach the deleted form
    const auto* binding = click.target<TMethodBinding<TNotifyEvent>>();
    ASSERT_NE(binding, nullptr);
    EXPECT_EQ(binding->Root(), nullptr);
}

#include "Classes_test.moc"
