#include "platform/ui/Classes.h"

#include "platform/kernel/WinTypes.h"

#include <QHash>
#include <QMetaProperty>
#include <QSet>
#include <algorithm>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

TObject::~TObject() = default;

TFiler::~TFiler() = default;

// ---------------------------------------------------------------------------

TPersistent::TPersistent(QObject* parent)
    : QObject(parent)
{
}

TPersistent::~TPersistent() = default;

void TPersistent::Assign(TPersistent* source)
{
    if (source == nullptr)
        AssignError(nullptr);
    source->AssignTo(this);
}

void TPersistent::AssignTo(TPersistent* dest)
{
    if (dest == nullptr)
        throw EConvertError(QStringLiteral("Cannot assign a %1 to a nil").arg(ClassName()));
    dest->AssignError(this);
}

void TPersistent::AssignError(TPersistent* source) const
{
    const QString sourceName = source != nullptr ? source->ClassName() : QStringLiteral("nil");
    throw EConvertError(QStringLiteral("Cannot assign a %1 to a %2").arg(sourceName, ClassName()));
}

void TPersistent::DefineProperties(TFiler*)
{
}

TPersistent* TPersistent::GetOwner() const
{
    return nullptr;
}

QString TPersistent::ClassName() const
{
    return QString::fromLatin1(metaObject()->className());
}

QString TPersistent::GetNamePath() const
{
    QString result = ClassName();
    if (const TPersistent* owner = GetOwner()) {
        const QString ownerPath = owner->GetNamePath();
        if (!ownerPath.isEmpty())
            result = ownerPath + QLatin1Char('.') + result;
    }
    return result;
}

// ---------------------------------------------------------------------------

namespace {

bool IsValidIdent(const QString& name)
{
    if (name.isEmpty())
        return false;
    for (qsizetype i = 0; i < name.size(); ++i) {
        const QChar c = name[i];
        const bool letter = (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
            || (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || c == QLatin1Char('_');
        const bool digit = c >= QLatin1Char('0') && c <= QLatin1Char('9');
        if (!letter && !(digit && i > 0))
            return false;
    }
    return true;
}

// Every component of Root's tree, Root included.
void CollectTree(TComponent* root, QSet<TComponent*>& tree)
{
    tree.insert(root);
    for (int i = 0; i < root->ComponentCount(); ++i)
        CollectTree(root->Components(i), tree);
}

// The owner's writable QObject-pointer property named like a component it
// owns: the "published field" that points at that component.
QMetaProperty FieldProperty(const QObject* owner, const QString& name)
{
    const QMetaObject* mo = owner->metaObject();
    const QByteArray latin = name.toLatin1();
    int index = mo->indexOfProperty(latin.constData());
    if (index < 0) {
        for (int i = 0; i < mo->propertyCount(); ++i) {
            if (QString::fromLatin1(mo->property(i).name()).compare(name, Qt::CaseInsensitive) == 0) {
                index = i;
                break;
            }
        }
    }
    if (index < 0)
        return {};
    QMetaProperty property = mo->property(index);
    if (!property.isWritable() || !(property.metaType().flags() & QMetaType::PointerToQObject))
        return {};
    return property;
}

} // namespace

TComponent::TComponent(TComponent* owner)
    : TPersistent(nullptr)
{
    if (owner != nullptr)
        owner->InsertComponent(this);
}

TComponent::~TComponent()
{
    Destroying();

    QList<QPointer<TComponent>> partners;
    for (TComponent* partner : std::as_const(FFreeNotifies)) {
        partner->FFreeNotifies.removeAll(this);
        partners.append(partner);
    }
    FFreeNotifies.clear();

    DestroyComponents();

    // A partner inside the owner's tree hears of the removal through the
    // owner; it must not hear of it twice.
    QSet<TComponent*> ownerTree;
    if (FOwner != nullptr)
        CollectTree(FOwner, ownerTree);
    for (const QPointer<TComponent>& partner : std::as_const(partners)) {
        if (!partner.isNull() && !ownerTree.contains(partner.data()))
            partner->Notification(this, opRemove);
    }

    if (FOwner != nullptr)
        FOwner->RemoveComponent(this);
}

void TComponent::SetName(const QString& newName)
{
    if (newName == FName)
        return;
    if (!newName.isEmpty() && !IsValidIdent(newName))
        throw EComponentError(QStringLiteral("'%1' is not a valid component name").arg(newName));
    if (FOwner != nullptr)
        FOwner->ValidateRename(this, FName, newName);
    else
        ValidateRename(nullptr, FName, newName);
    SetReference(false);
    FName = newName;
    setObjectName(newName);
    SetReference(true);
}

void TComponent::ValidateRename(TComponent* component, const QString& curName, const QString& newName)
{
    if (component == nullptr || newName.isEmpty() || curName.compare(newName, Qt::CaseInsensitive) == 0)
        return;
    TComponent* existing = FindComponent(newName);
    if (existing != nullptr && existing != component)
        throw EComponentError(QStringLiteral("A component named %1 already exists").arg(newName));
}

TComponent* TComponent::Components(int index) const
{
    if (index < 0 || index >= FComponents.size())
        throw EListError(QStringLiteral("List index out of bounds (%1)").arg(index));
    return FComponents[index];
}

int TComponent::ComponentIndex() const
{
    return FOwner != nullptr ? static_cast<int>(FOwner->FComponents.indexOf(const_cast<TComponent*>(this)))
                             : -1;
}

TComponent* TComponent::FindComponent(const QString& name) const
{
    if (name.isEmpty())
        return nullptr;
    for (TComponent* component : FComponents) {
        if (component->FName.compare(name, Qt::CaseInsensitive) == 0)
            return component;
    }
    return nullptr;
}

void TComponent::SetSubComponent(bool value)
{
    if (value)
        FComponentStyle |= csSubComponent;
    else
        FComponentStyle &= ~TComponentStyle(csSubComponent);
}

void TComponent::InsertComponent(TComponent* component)
{
    if (component == nullptr || component->FOwner == this)
        return;
    for (const TComponent* c = this; c != nullptr; c = c->FOwner) {
        if (c == component)
            throw EComponentError(QStringLiteral("A component cannot own itself or its owner"));
    }
    ValidateRename(component, QString(), component->FName);
    if (component->FOwner != nullptr)
        component->FOwner->RemoveComponent(component);
    AddComponent(component);
    component->SetReference(true);
    if (FComponentState & csDesigning)
        component->SetDesigning(true);
    NotifyTree(component, opInsert);
}

void TComponent::RemoveComponent(TComponent* component)
{
    if (component == nullptr || component->FOwner != this)
        return;
    NotifyTree(component, opRemove);
    component->SetReference(false);
    DetachComponent(component);
}

void TComponent::AddComponent(TComponent* component)
{
    FComponents.append(component);
    component->FOwner = this;
    component->setParent(this);
}

void TComponent::DetachComponent(TComponent* component)
{
    FComponents.removeAll(component);
    component->FOwner = nullptr;
    component->setParent(nullptr);
}

void TComponent::NotifyTree(TComponent* component, TOperation operation)
{
    if (this != component)
        Notification(component, operation);
    // A notification may destroy components of the tree: walk a snapshot and
    // skip what has left meanwhile.
    const QList<TComponent*> snapshot = FComponents;
    for (TComponent* child : snapshot) {
        if (FComponents.contains(child))
            child->NotifyTree(component, operation);
    }
}

void TComponent::SetReference(bool enable)
{
    if (FOwner == nullptr || FName.isEmpty())
        return;
    const QMetaProperty field = FieldProperty(FOwner, FName);
    if (!field.isValid())
        return;
    QObject* value = nullptr;
    if (enable) {
        const QMetaObject* target = field.metaType().metaObject();
        if (target != nullptr && !metaObject()->inherits(target))
            return;
        value = this;
    } else {
        const QVariant current = field.read(FOwner);
        if (current.value<QObject*>() != static_cast<QObject*>(this))
            return;
    }
    // QObject is the first base of every Q_OBJECT class, so the QObject
    // pointer is also the pointer of the field's class.
    field.write(FOwner, QVariant(field.metaType(), &value));
}

void TComponent::DestroyComponents()
{
    while (!FComponents.isEmpty()) {
        TComponent* component = FComponents.last();
        delete component; // leaves FComponents in its destructor
        if (!FComponents.isEmpty() && FComponents.last() == component)
            FComponents.removeLast();
    }
}

void TComponent::Destroying()
{
    if (FComponentState & csDestroying)
        return;
    FComponentState |= csDestroying;
    for (TComponent* component : std::as_const(FComponents))
        component->Destroying();
}

void TComponent::FreeNotification(TComponent* partner)
{
    if (partner == nullptr || partner == this)
        return;
    if (!FFreeNotifies.contains(partner))
        FFreeNotifies.append(partner);
    if (!partner->FFreeNotifies.contains(this))
        partner->FFreeNotifies.append(this);
}

void TComponent::RemoveFreeNotification(TComponent* partner)
{
    if (partner == nullptr)
        return;
    FFreeNotifies.removeAll(partner);
    partner->FFreeNotifies.removeAll(this);
}

bool TComponent::HasParent() const
{
    return false;
}

TComponent* TComponent::GetParentComponent() const
{
    return nullptr;
}

void TComponent::SetParentComponent(TComponent*)
{
}

void TComponent::GetChildren(const TGetChildProc& proc, TComponent* root)
{
    if (root == nullptr)
        return;
    const QList<TComponent*> owned = root->FComponents;
    for (TComponent* component : owned) {
        TComponent* parent = component->HasParent() ? component->GetParentComponent() : nullptr;
        if (this == root) {
            if (parent == nullptr || parent == root)
                proc(component);
        } else if (parent == this) {
            proc(component);
        }
    }
}

QString TComponent::GetNamePath() const
{
    return FName;
}

TPersistent* TComponent::GetOwner() const
{
    return FOwner;
}

void TComponent::SetDesigning(bool value, bool setChildren)
{
    if (value)
        FComponentState |= csDesigning;
    else
        FComponentState &= ~TComponentState(csDesigning);
    if (setChildren) {
        for (TComponent* component : std::as_const(FComponents))
            component->SetDesigning(value, true);
    }
}

void TComponent::Updating()
{
    FComponentState |= csUpdating;
}

void TComponent::Updated()
{
    FComponentState &= ~TComponentState(csUpdating);
}

void TComponent::Loaded()
{
    FComponentState &= ~TComponentState(csLoading);
}

void TComponent::Notification(TComponent*, TOperation)
{
}

// ---------------------------------------------------------------------------

namespace {

struct TGlobalFinders {
    std::mutex Lock;
    int NextId = 1;
    std::vector<std::pair<int, TFindGlobalComponent>> Finders;
};

TGlobalFinders& GlobalFinders()
{
    static TGlobalFinders finders;
    return finders;
}

} // namespace

TComponent* FindGlobalComponent(const QString& name)
{
    std::vector<TFindGlobalComponent> finders;
    {
        TGlobalFinders& g = GlobalFinders();
        std::lock_guard lock(g.Lock);
        for (auto it = g.Finders.rbegin(); it != g.Finders.rend(); ++it)
            finders.push_back(it->second);
    }
    for (const TFindGlobalComponent& finder : finders) {
        if (TComponent* found = finder(name))
            return found;
    }
    return nullptr;
}

int RegisterFindGlobalComponent(TFindGlobalComponent finder)
{
    TGlobalFinders& g = GlobalFinders();
    std::lock_guard lock(g.Lock);
    const int id = g.NextId++;
    g.Finders.emplace_back(id, std::move(finder));
    return id;
}

void UnregisterFindGlobalComponent(int id)
{
    TGlobalFinders& g = GlobalFinders();
    std::lock_guard lock(g.Lock);
    std::erase_if(g.Finders, [id](const auto& entry) { return entry.first == id; });
}

// ---------------------------------------------------------------------------

namespace {

struct TClassEntry {
    const QMetaObject* MetaObject = nullptr;
    TComponentFactory Factory;
};

struct TClassRegistry {
    std::mutex Lock;
    QHash<QString, TClassEntry> Classes; // by lower-case name
};

TClassRegistry& ClassRegistry()
{
    static TClassRegistry registry;
    return registry;
}

bool LookupClass(const QString& className, TClassEntry& entry)
{
    TClassRegistry& r = ClassRegistry();
    std::lock_guard lock(r.Lock);
    auto it = r.Classes.constFind(className.toLower());
    if (it == r.Classes.constEnd())
        return false;
    entry = it.value();
    return true;
}

} // namespace

void RegisterComponentClass(const QMetaObject* metaObject, TComponentFactory factory)
{
    TClassRegistry& r = ClassRegistry();
    std::lock_guard lock(r.Lock);
    r.Classes.insert(QString::fromLatin1(metaObject->className()).toLower(),
        TClassEntry { metaObject, std::move(factory) });
}

const QMetaObject* GetClass(const QString& className)
{
    TClassEntry entry;
    return LookupClass(className, entry) ? entry.MetaObject : nullptr;
}

const QMetaObject* FindClass(const QString& className)
{
    const QMetaObject* mo = GetClass(className);
    if (mo == nullptr)
        throw EClassNotFound(QStringLiteral("Class %1 not found").arg(className));
    return mo;
}

TComponent* CreateComponent(const QString& className, TComponent* owner)
{
    TClassEntry entry;
    if (!LookupClass(className, entry))
        throw EClassNotFound(QStringLiteral("Class %1 not found").arg(className));
    return entry.Factory(owner);
}

// ---------------------------------------------------------------------------

namespace {

struct TIdent {
    long long Value;
    QString Name;
};

struct TIdentRegistry {
    std::mutex Lock;
    QHash<int, QList<TIdent>> Tables; // by meta-type id
};

TIdentRegistry& IdentRegistry()
{
    static TIdentRegistry registry;
    return registry;
}

// Value cut to the width of Type, so that 0x8000000F and -2147483633 name
// the same 32-bit colour.
long long Truncated(QMetaType type, long long value)
{
    const qsizetype size = type.sizeOf();
    if (size <= 0 || size >= 8)
        return value;
    const unsigned long long mask = (1ULL << (size * 8)) - 1;
    return static_cast<long long>(static_cast<unsigned long long>(value) & mask);
}

} // namespace

void RegisterIntegerIdents(QMetaType type, std::initializer_list<TIdentMapEntry> map)
{
    if (!type.isValid())
        throw EArgumentError(QStringLiteral("RegisterIntegerIdents: unknown type"));
    TIdentRegistry& r = IdentRegistry();
    std::lock_guard lock(r.Lock);
    QList<TIdent>& table = r.Tables[type.id()];
    for (const TIdentMapEntry& entry : map)
        table.append(TIdent { entry.Value, QString::fromLatin1(entry.Name) });
}

void RegisterIntegerIdents(int metaTypeId, std::initializer_list<TIdentMapEntry> map)
{
    RegisterIntegerIdents(QMetaType(metaTypeId), map);
}

void RegisterIntegerIdents(const char* typeName, std::initializer_list<TIdentMapEntry> map)
{
    const QMetaType type = QMetaType::fromName(typeName);
    if (!type.isValid())
        throw EArgumentError(
            QStringLiteral("RegisterIntegerIdents: unknown type %1").arg(QLatin1String(typeName)));
    RegisterIntegerIdents(type, map);
}

bool HasIntegerIdents(QMetaType type)
{
    if (!type.isValid())
        return false;
    TIdentRegistry& r = IdentRegistry();
    std::lock_guard lock(r.Lock);
    return r.Tables.contains(type.id());
}

bool IdentToInt(QMetaType type, const QString& ident, long long& value)
{
    if (!type.isValid())
        return false;
    TIdentRegistry& r = IdentRegistry();
    std::lock_guard lock(r.Lock);
    auto it = r.Tables.constFind(type.id());
    if (it == r.Tables.constEnd())
        return false;
    for (const TIdent& entry : it.value()) {
        if (entry.Name.compare(ident, Qt::CaseInsensitive) == 0) {
            value = entry.Value;
            return true;
        }
    }
    return false;
}

bool IntToIdent(QMetaType type, long long value, QString& ident)
{
    if (!type.isValid())
        return false;
    TIdentRegistry& r = IdentRegistry();
    std::lock_guard lock(r.Lock);
    auto it = r.Tables.constFind(type.id());
    if (it == r.Tables.constEnd())
        return false;
    const long long wanted = Truncated(type, value);
    for (const TIdent& entry : it.value()) {
        if (Truncated(type, entry.Value) == wanted) {
            ident = entry.Name;
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------

namespace {

struct TEventRegistry {
    TEventRegistry()
    {
        using Traits = UiDetail::TEventTraits<TNotifyEvent>;
        Types[QMetaType::fromType<TNotifyEvent>().id()] = std::make_unique<TEventTypeInfo>(
            TEventTypeInfo { &Traits::Bind, &Traits::MethodName, &Traits::Assigned });
    }

    std::mutex Lock;
    // Entries are never replaced or removed, so FindEventTypeInfo may hand
    // out plain pointers.
    std::map<int, std::unique_ptr<TEventTypeInfo>> Types;
};

TEventRegistry& EventRegistry()
{
    static TEventRegistry registry;
    return registry;
}

QByteArray PlainTypeName(QByteArray name)
{
    name = QMetaObject::normalizedType(name.constData());
    if (name.startsWith("const "))
        name = name.mid(6);
    while (name.endsWith('&'))
        name.chop(1);
    return name.trimmed();
}

} // namespace

void RegisterEventTypeInfo(QMetaType type, TEventTypeInfo info)
{
    TEventRegistry& r = EventRegistry();
    std::lock_guard lock(r.Lock);
    auto& slot = r.Types[type.id()];
    if (!slot)
        slot = std::make_unique<TEventTypeInfo>(std::move(info));
}

const TEventTypeInfo* FindEventTypeInfo(QMetaType type)
{
    if (!type.isValid())
        return nullptr;
    TEventRegistry& r = EventRegistry();
    std::lock_guard lock(r.Lock);
    auto it = r.Types.find(type.id());
    return it == r.Types.end() ? nullptr : it->second.get();
}

namespace {

// Handlers are written with the Windows names of their parameter types
// (WORD& Key); moc keeps those names, Qt knows the types by their C++ ones.
void RegisterWindowsTypeNames()
{
    static const bool registered = [] {
        QMetaType::registerNormalizedTypedef("BYTE", QMetaType::fromType<BYTE>());
        QMetaType::registerNormalizedTypedef("WORD", QMetaType::fromType<WORD>());
        QMetaType::registerNormalizedTypedef("DWORD", QMetaType::fromType<DWORD>());
        QMetaType::registerNormalizedTypedef("UINT", QMetaType::fromType<UINT>());
        QMetaType::registerNormalizedTypedef("LONG", QMetaType::fromType<LONG>());
        QMetaType::registerNormalizedTypedef("BOOL", QMetaType::fromType<BOOL>());
        return true;
    }();
    (void)registered;
}

} // namespace

bool MethodParametersMatch(const QMetaMethod& method, std::initializer_list<QMetaType> params)
{
    RegisterWindowsTypeNames();
    if (method.methodType() != QMetaMethod::Method && method.methodType() != QMetaMethod::Slot)
        return false;
    if (method.parameterCount() != static_cast<int>(params.size()))
        return false;
    int i = 0;
    for (const QMetaType& wanted : params) {
        const QMetaType actual = method.parameterMetaType(i);
        const QByteArray actualName = PlainTypeName(method.parameterTypeName(i));
        if (!(actual.isValid() && actual == wanted) && actualName != PlainTypeName(QByteArray(wanted.name()))
            && QMetaType::fromName(actualName) != wanted)
            return false;
        ++i;
    }
    return true;
}

namespace UiDetail {

void RaiseMethodNotFound(QObject* root, const QString& name)
{
    const QString className
        = root != nullptr ? QString::fromLatin1(root->metaObject()->className()) : QStringLiteral("nil");
    throw EInvalidOperation(QStringLiteral("Method %1 not found in %2").arg(name, className));
}

} // namespace UiDetail
