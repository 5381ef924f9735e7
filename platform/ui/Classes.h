#pragma once
// The component model: persistent objects, components with an owner, the
// component states, the removal notification, the class registry the stored
// form reader creates components from, and the registries that teach the
// reader and writer the value types of published properties (integer
// identifiers, events).
//
// Published properties are Q_PROPERTYs; enumerations are Q_ENUMs, sets are
// Q_FLAGs. Everything in this unit belongs to the GUI thread unless a
// function says otherwise.
//
// Property defaults, which decide what the stored-form writer leaves out,
// are declared per class with a class-info entry holding the default in the
// stored-form syntax:
//
//     Q_PROPERTY(int BufferSize READ BufferSize WRITE SetBufferSize)
//     Q_CLASSINFO("default:BufferSize", "2048")
//
// A derived class may declare the entry again with another value. Without
// an entry: strings, string lists and binary values default to empty,
// references and sub-objects to none, events to unassigned; numbers,
// booleans, enumerations and sets have no default and are always written.
// STORED false properties are never written. A property whose storing
// depends on the object's state names a Q_INVOKABLE method of its class
// returning bool; while it returns true the value is written even when it
// equals the default:
//
//     Q_CLASSINFO("stored:Ctl3D", "IsCtl3DStored")

#include "platform/ui/SysUtils.h"

#include <QList>
#include <QMetaMethod>
#include <QMetaType>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariant>
#include <functional>
#include <initializer_list>
#include <memory>
#include <type_traits>

/// The root of every class of the framework; event senders are TObject*.
class TObject {
public:
    virtual ~TObject();
};

/// The plain event: Sender is the object that fires it.
using TNotifyEvent = std::function<void(TObject* Sender)>;
Q_DECLARE_METATYPE(TNotifyEvent)

class QIODevice;
class TComponent;
class TReader;
class TWriter;

// ---------------------------------------------------------------------------
// Filers

/// Reads or writes the data of a defined binary property from or to Stream.
using TStreamProc = std::function<void(QIODevice& stream)>;

/// What a persistent object's DefineProperties hook talks to while its
/// object is read or written: the reader hands a stored defined property to
/// the matching ReadData; the writer calls WriteData for each defined
/// property whose HasData is true. Defined properties are written after the
/// published ones.
class TFiler {
public:
    virtual ~TFiler();

    /// Declares the binary property Name ("WaveFormatEx = { 31 00 ... }").
    /// ReadData gets a stream positioned at the start of the stored bytes;
    /// WriteData writes the bytes to store. Either may raise; the reader
    /// turns any exception into an EReadError at the property's line.
    virtual void DefineBinaryProperty(
        const QString& name, TStreamProc readData, TStreamProc writeData, bool hasData)
        = 0;

    /// The component at the top of what is read or written (the form).
    virtual TComponent* Root() const = 0;
};

// ---------------------------------------------------------------------------
// Persistent objects

/// An object with published properties that can be copied (Assign) and
/// stored. Sub-objects of components (a control's Bevel or Font) are
/// TPersistents published as Q_PROPERTYs of their pointer type; the stored
/// form writes their properties as "Bevel.BevelOuter = bvRaised".
class TPersistent : public QObject, public TObject {
    Q_OBJECT
public:
    explicit TPersistent(QObject* parent = nullptr);
    ~TPersistent() override;

    /// Copies Source's settings into this object. The default asks Source
    /// (AssignTo); when neither side knows the other it raises
    /// EConvertError "Cannot assign a <Source class> to a <this class>"
    /// ("a nil" for a null Source).
    virtual void Assign(TPersistent* source);

    /// The name used in messages: a component's name, or the owner's path
    /// and the class name for other objects ("Form1.TFont").
    virtual QString GetNamePath() const;

    /// The class name of the object's most derived Q_OBJECT class.
    QString ClassName() const;

protected:
    /// Copies this object's settings into Dest; the default raises the
    /// error described at Assign.
    virtual void AssignTo(TPersistent* dest);

    /// Declares properties stored outside the published ones (binary data).
    /// Overrides call the inherited implementation first.
    virtual void DefineProperties(TFiler* filer);

    /// The object this one belongs to, for GetNamePath; null by default.
    virtual TPersistent* GetOwner() const;

    /// Raises the "Cannot assign" EConvertError for Source into this object.
    [[noreturn]] void AssignError(TPersistent* source) const;

private:
    friend class TReader;
    friend class TWriter;
};

// ---------------------------------------------------------------------------
// Components

enum TComponentStateFlag : unsigned {
    csLoading = 0x0001, ///< from creation by the reader until Loaded
    csReading = 0x0002, ///< while the reader sets its properties
    csWriting = 0x0004, ///< while the writer stores it
    csDestroying = 0x0008, ///< from the start of its destruction
    csDesigning = 0x0010, ///< in design mode (SetDesigning)
    csAncestor = 0x0020,
    csUpdating = 0x0040,
    csFixups = 0x0080, ///< references to other components still unresolved
};
Q_DECLARE_FLAGS(TComponentState, TComponentStateFlag)
Q_DECLARE_OPERATORS_FOR_FLAGS(TComponentState)

enum TComponentStyleFlag : unsigned {
    /// Owned by another component and published by it as a sub-object: the
    /// writer stores its properties with dotted names, not a reference.
    csSubComponent = 0x0001,
};
Q_DECLARE_FLAGS(TComponentStyle, TComponentStyleFlag)
Q_DECLARE_OPERATORS_FOR_FLAGS(TComponentStyle)

enum TOperation { opInsert, opRemove };

/// Receives the children GetChildren reports.
using TGetChildProc = std::function<void(TComponent* child)>;

/// A persistent object with a name and an owner. The owner is the QObject
/// parent and destroys the components it owns. A component hears through
/// Notification when components are inserted into or removed from its
/// owner's tree, and when a partner it registered with FreeNotification is
/// destroyed; it clears its references to the removed component there.
///
/// Destruction, in this order: csDestroying is set on the component and
/// everything it owns (Destroying); the owned components are destroyed, the
/// last created first; every free-notification partner gets
/// Notification(this, opRemove); the component leaves its owner, which
/// sends Notification(this, opRemove) to the owner and every component in
/// the owner's tree. All of this happens in ~TComponent, that is after the
/// destructors of derived classes have run: by then the object is only a
/// TComponent, so its own overrides (Notification, GetParentComponent, ...)
/// are no longer called, and a component receiving Notification(x, opRemove)
/// must only compare x with its references, never call into it. A derived
/// class that needs its owned components gone while it is still whole (its
/// Notification override must hear of them, or they use resources the
/// derived destructor frees) calls Destroying() and DestroyComponents() at
/// the start of its own destructor.
class TComponent : public TPersistent {
    Q_OBJECT
    Q_PROPERTY(QString Name READ Name WRITE SetName STORED false)
    Q_PROPERTY(int Tag READ Tag WRITE SetTag)
    Q_CLASSINFO("default:Tag", "0")
public:
    /// Inserts the new component into Owner (which may be null). Owner must
    /// live in the calling thread.
    explicit TComponent(TComponent* owner);
    ~TComponent() override;

    QString Name() const { return FName; }
    /// Renames the component. Raises EComponentError
    /// "'<name>' is not a valid component name" unless the name is empty or
    /// an identifier, and "A component named <name> already exists" when
    /// another component of the same owner has it (case-insensitive). Also
    /// sets objectName, and keeps the owner's published field of that name
    /// (see InsertComponent) pointing at the component.
    virtual void SetName(const QString& newName);

    int Tag() const { return FTag; }
    void SetTag(int value) { FTag = value; }

    TComponent* Owner() const { return FOwner; }
    int ComponentCount() const { return static_cast<int>(FComponents.size()); }
    /// The owned component at Index, in insertion order; raises EListError
    /// "List index out of bounds (<index>)" outside 0..ComponentCount-1.
    TComponent* Components(int index) const;
    /// Position in the owner's list, -1 without owner.
    int ComponentIndex() const;
    /// The owned component of that name (case-insensitive), null if none.
    /// Only direct children are searched.
    TComponent* FindComponent(const QString& name) const;
    /// FindComponent with a cast; null when the class does not match.
    template <class T> T* FindComponent(const QString& name) const
    {
        return qobject_cast<T*>(FindComponent(name));
    }

    TComponentState ComponentState() const { return FComponentState; }
    TComponentStyle ComponentStyle() const { return FComponentStyle; }
    /// Marks the component as a sub-object of its owner (csSubComponent).
    void SetSubComponent(bool value);

    /// Makes this component the owner of Component, removing it from its
    /// previous owner first. Sends Notification(Component, opInsert) through
    /// this component's tree. When this component publishes a writable
    /// QObject-pointer Q_PROPERTY named like the component ("published
    /// field", declared STORED false), it is pointed at the component; a
    /// component that leaves clears it again.
    void InsertComponent(TComponent* component);
    /// Sends Notification(Component, opRemove) through this component's tree,
    /// then releases it (it has no owner afterwards).
    void RemoveComponent(TComponent* component);

    /// Destroys every owned component, the last inserted first.
    void DestroyComponents();
    /// Sets csDestroying on this component and everything it owns.
    void Destroying();

    /// Registers this component for Notification(Partner, opRemove) when
    /// Partner is destroyed, and the other way round. Needed for partners
    /// outside the owner's tree; harmless otherwise (each removal is still
    /// reported once). A null partner is ignored.
    void FreeNotification(TComponent* partner);
    void RemoveFreeNotification(TComponent* partner);

    /// Whether the component has a visual parent the writer nests it in.
    virtual bool HasParent() const;
    /// The visual parent (the writer stores the component inside it).
    virtual TComponent* GetParentComponent() const;
    /// Called by the reader with the component enclosing this one's block;
    /// controls set their visual parent here. The default ignores it.
    virtual void SetParentComponent(TComponent* value);
    /// Reports the components the writer stores inside this one's block, in
    /// order. The default: for the root, every owned component without a
    /// parent component (or whose parent component is the root); for another
    /// component, the components of Root whose parent component it is.
    virtual void GetChildren(const TGetChildProc& proc, TComponent* root);

    QString GetNamePath() const override;

    /// Switches csDesigning on or off, for the owned components too when
    /// SetChildren is true.
    void SetDesigning(bool value, bool setChildren = true);

    /// Marks the start and end of an update (csUpdating); overrides react.
    virtual void Updating();
    virtual void Updated();

protected:
    /// Called after the reader has set every property of every component of
    /// the form and resolved the references; clears csLoading. Overrides
    /// call the inherited implementation first.
    virtual void Loaded();

    /// Component was inserted into or removed from the owner tree this
    /// component belongs to, or a free-notification partner is being
    /// destroyed. Overrides clear their references to a removed component;
    /// the default does nothing (the framework forwards the notification
    /// through the owned components itself). Must not raise: removals are
    /// reported from destructors.
    virtual void Notification(TComponent* component, TOperation operation);

    /// Raises EComponentError when Component may not be renamed from CurName
    /// to NewName (see SetName).
    virtual void ValidateRename(TComponent* component, const QString& curName, const QString& newName);

    void IncludeState(TComponentState flags) { FComponentState |= flags; }
    void ExcludeState(TComponentState flags) { FComponentState &= ~flags; }

    TPersistent* GetOwner() const override;

private:
    friend class TReader;
    friend class TWriter;

    void NotifyTree(TComponent* component, TOperation operation);
    void SetReference(bool enable);
    void AddComponent(TComponent* component);
    void DetachComponent(TComponent* component);

    QString FName;
    int FTag = 0;
    TComponent* FOwner = nullptr;
    QList<TComponent*> FComponents;
    QList<TComponent*> FFreeNotifies;
    TComponentState FComponentState;
    TComponentStyle FComponentStyle;
};

/// Finds a component by name in the whole program ("Form2" for the stored
/// reference "Form2.Button1"); null when none. Asks the finders installed
/// with RegisterFindGlobalComponent, newest first.
TComponent* FindGlobalComponent(const QString& name);
using TFindGlobalComponent = std::function<TComponent*(const QString& name)>;
/// Returns a number for UnregisterFindGlobalComponent.
int RegisterFindGlobalComponent(TFindGlobalComponent finder);
void UnregisterFindGlobalComponent(int id);

// ---------------------------------------------------------------------------
// Class registry: the stored-form reader creates components by class name.

using TComponentFactory = std::function<TComponent*(TComponent* owner)>;

/// Registers a component class under its meta-object's class name. Any
/// thread; registering a name again replaces the factory.
void RegisterComponentClass(const QMetaObject* metaObject, TComponentFactory factory);

/// Registers T (a TComponent with a constructor T(TComponent* owner)).
template <class T> void RegisterClass()
{
    static_assert(std::is_base_of_v<TComponent, T>, "only components can be created by name");
    RegisterComponentClass(
        &T::staticMetaObject, [](TComponent* owner) -> TComponent* { return new T(owner); });
}

template <class... T> void RegisterClasses()
{
    (RegisterClass<T>(), ...);
}

/// The registered class of that name (case-insensitive), null if none.
const QMetaObject* GetClass(const QString& className);
/// As GetClass, but raises EClassNotFound "Class <name> not found".
const QMetaObject* FindClass(const QString& className);
/// Creates a component of a registered class with Owner; raises
/// EClassNotFound as FindClass.
TComponent* CreateComponent(const QString& className, TComponent* owner);

// ---------------------------------------------------------------------------
// Integer identifiers: names the reader accepts (in any letter case) and the
// writer writes for values of an integer-like property type
// ("DeviceID = MapperId", "Color = clBtnFace").

struct TIdentMapEntry {
    long long Value;
    const char* Name;
};

/// Adds identifiers for the property type Type (an integer type, or an enum
/// or other 1/2/4/8-byte integer-like type that is not a Q_ENUM). Values
/// are truncated to the type's width ("0x8000000F" fits a 32-bit colour).
/// Identifiers for plain int apply to every int property; the writer then
/// still writes numbers, so give distinct types (TColor, TMMDeviceId) their
/// own table. Any thread.
void RegisterIntegerIdents(QMetaType type, std::initializer_list<TIdentMapEntry> map);
/// The same by meta-type id.
void RegisterIntegerIdents(int metaTypeId, std::initializer_list<TIdentMapEntry> map);
/// The same by type name ("TColor"); the type must be known to QMetaType.
void RegisterIntegerIdents(const char* typeName, std::initializer_list<TIdentMapEntry> map);
template <class T> void RegisterIntegerIdents(std::initializer_list<TIdentMapEntry> map)
{
    RegisterIntegerIdents(QMetaType::fromType<T>(), map);
}

/// Whether identifiers are registered for Type.
bool HasIntegerIdents(QMetaType type);
/// Value of Ident for Type (case-insensitive); false when unknown.
bool IdentToInt(QMetaType type, const QString& ident, long long& value);
/// Identifier of Value for Type; false when none.
bool IntToIdent(QMetaType type, long long value, QString& ident);

// ---------------------------------------------------------------------------
// Events: a published event is a Q_PROPERTY of a std::function type
// (Q_DECLARE_METATYPE'd), declared with READ and WRITE accessors (MEMBER
// would make moc compare two std::functions, which C++ cannot do):
//
//     Q_PROPERTY(TNotifyEvent OnChange READ OnChange WRITE SetOnChange)
//
// A stored form binds it to a method of the root
// component by name ("OnClick = BitBtn1Click"); the root declares the method
// Q_INVOKABLE with exactly the event's parameter types. The resulting
// function is a TMethodBinding, which remembers the name for the writer.

/// How the reader and writer deal with one event type.
struct TEventTypeInfo {
    /// An event value calling Method on Root; an invalid QVariant when the
    /// method's parameters do not fit.
    std::function<QVariant(QObject* root, const QMetaMethod& method)> Bind;
    /// The method name of a value made by Bind, empty for other values.
    std::function<QString(const QVariant& value)> MethodName;
    /// Whether the value holds a callable.
    std::function<bool(const QVariant& value)> Assigned;
};

/// Any thread.
void RegisterEventTypeInfo(QMetaType type, TEventTypeInfo info);
/// Null when the type is not registered.
const TEventTypeInfo* FindEventTypeInfo(QMetaType type);

/// Whether Method takes exactly Params (references and const stripped).
bool MethodParametersMatch(const QMetaMethod& method, std::initializer_list<QMetaType> params);

template <class Fn> class TMethodBinding;

/// Calls a method of Root through its meta-object. Calls made after Root
/// is destroyed do nothing. Arguments are passed by address, so reference
/// parameters ("bool& Done") reach the method as references.
template <class... Args> class TMethodBinding<std::function<void(Args...)>> {
public:
    TMethodBinding(QObject* root, int methodIndex, const QString& methodName)
        : FRoot(root)
        , FMethodIndex(methodIndex)
        , FMethodName(methodName)
    {
    }

    void operator()(Args... args) const
    {
        QObject* root = FRoot.data();
        if (root == nullptr)
            return;
        void* argv[]
            = { nullptr, const_cast<void*>(static_cast<const volatile void*>(std::addressof(args)))... };
        root->qt_metacall(QMetaObject::InvokeMetaMethod, FMethodIndex, argv);
    }

    QObject* Root() const { return FRoot.data(); }
    QString MethodName() const { return FMethodName; }

private:
    QPointer<QObject> FRoot;
    int FMethodIndex;
    QString FMethodName;
};

/// The method of Root named Name (case-insensitive) whose parameters fit
/// Fn, bound as an Fn, for code that binds handlers the way a stored form
/// does. Raises EInvalidOperation "Method <name> not found in <class>" when
/// there is none.
template <class Fn> Fn BindMethod(QObject* root, const QString& name);

namespace UiDetail {
template <class Fn> struct TEventTraits;
template <class... Args> struct TEventTraits<std::function<void(Args...)>> {
    static QVariant Bind(QObject* root, const QMetaMethod& method)
    {
        if (!MethodParametersMatch(method, { QMetaType::fromType<std::remove_cvref_t<Args>>()... }))
            return {};
        using Fn = std::function<void(Args...)>;
        return QVariant::fromValue(
            Fn(TMethodBinding<Fn>(root, method.methodIndex(), QString::fromLatin1(method.name()))));
    }
    static QString MethodName(const QVariant& value)
    {
        using Fn = std::function<void(Args...)>;
        const Fn fn = value.value<Fn>();
        if (const auto* binding = fn.template target<TMethodBinding<Fn>>())
            return binding->MethodName();
        return {};
    }
    static bool Assigned(const QVariant& value)
    {
        return static_cast<bool>(value.value<std::function<void(Args...)>>());
    }
};
[[noreturn]] void RaiseMethodNotFound(QObject* root, const QString& name);
} // namespace UiDetail

/// Teaches the reader and writer the event type Fn, a std::function
/// returning void. TNotifyEvent is registered already. Any thread.
template <class Fn> void RegisterEventType()
{
    using Traits = UiDetail::TEventTraits<Fn>;
    RegisterEventTypeInfo(
        QMetaType::fromType<Fn>(), { &Traits::Bind, &Traits::MethodName, &Traits::Assigned });
}

template <class Fn> Fn BindMethod(QObject* root, const QString& name)
{
    if (root != nullptr) {
        const QMetaObject* mo = root->metaObject();
        for (int i = mo->methodCount() - 1; i >= 0; --i) {
            const QMetaMethod method = mo->method(i);
            if (QString::fromLatin1(method.name()).compare(name, Qt::CaseInsensitive) != 0)
                continue;
            QVariant bound = UiDetail::TEventTraits<Fn>::Bind(root, method);
            if (bound.isValid())
                return bound.value<Fn>();
        }
    }
    UiDetail::RaiseMethodNotFound(root, name);
}

/// The method name a stored form would give Event ("Button1Click"), empty
/// when the event is unassigned or not bound by name.
template <class Fn> QString EventMethodName(const Fn& event)
{
    if (const auto* binding = event.template target<TMethodBinding<Fn>>())
        return binding->MethodName();
    return {};
}
