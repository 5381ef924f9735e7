#include "platform/ui/FormReader.h"

#include "platform/ui/FormSyntax.h"

#include <QBuffer>
#include <QFile>
#include <QMetaEnum>
#include <QPointer>
#include <QStringList>
#include <vector>

namespace {

QMetaProperty FindProperty(const QObject* object, const QString& name)
{
    const QMetaObject* mo = object->metaObject();
    const QByteArray latin = name.toLatin1();
    const int index = mo->indexOfProperty(latin.constData());
    if (index >= 0)
        return mo->property(index);
    for (int i = mo->propertyCount() - 1; i >= 0; --i) {
        if (QString::fromLatin1(mo->property(i).name()).compare(name, Qt::CaseInsensitive) == 0)
            return mo->property(i);
    }
    return {};
}

QString DisplayName(const TComponent* component)
{
    if (!component->Name().isEmpty())
        return component->Name();
    return component->ClassName();
}

} // namespace

// ---------------------------------------------------------------------------

struct TReader::TImpl {
    struct TLoadedEntry {
        QPointer<TComponent> Component;
        int Line;
    };

    struct TFixup {
        QPointer<QObject> Instance;
        QMetaProperty Property;
        QString Where;
        QString Target;
        int Line;
    };

    TReader* Self = nullptr;
    QByteArray Text;
    QString FileName;
    TComponent* Root = nullptr;
    bool Used = false;
    std::vector<QPointer<TComponent>> Created;
    std::vector<TLoadedEntry> Loaded;
    std::vector<TFixup> Fixups;

    // DefineProperties look-up of one defined property.
    QString LookupName;
    bool LookupFound = false;
    TStreamProc LookupRead;

    [[noreturn]] void Fail(const QString& message, int line) const
    {
        throw EReadError(message, FileName, line);
    }

    bool IsLoading(const TComponent* component) const
    {
        for (const TLoadedEntry& entry : Loaded) {
            if (entry.Component.data() == component)
                return true;
        }
        return false;
    }

    void StartLoading(TComponent* component, int line)
    {
        TReader::ChangeState(component, csLoading | csReading, {});
        Loaded.push_back({ component, line });
    }

    void Cleanup()
    {
        for (auto it = Created.rbegin(); it != Created.rend(); ++it) {
            if (!it->isNull())
                delete it->data();
        }
        Created.clear();
        for (const TLoadedEntry& entry : Loaded) {
            if (!entry.Component.isNull())
                TReader::ChangeState(entry.Component.data(), {}, csLoading | csReading | csFixups);
        }
        Loaded.clear();
        Fixups.clear();
    }

    void ReadRoot(TComponent* existing, TComponent* owner, const TObjectNode& node)
    {
        TComponent* root = existing;
        if (root != nullptr) {
            bool matches = false;
            for (const QMetaObject* mo = root->metaObject(); mo != nullptr && !matches; mo = mo->superClass())
                matches = node.ClassName.compare(QLatin1String(mo->className()), Qt::CaseInsensitive) == 0;
            if (!matches)
                Fail(QStringLiteral("Cannot read a %1 into a %2").arg(node.ClassName, root->ClassName()),
                    node.Line);
        } else {
            root = Create(node, owner);
        }
        Root = root;
        if (existing != nullptr)
            StartLoading(root, node.Line);

        if (!node.Name.isEmpty()) {
            QString name = node.Name;
            if (TComponent* rootOwner = root->Owner()) {
                TComponent* other = rootOwner->FindComponent(name);
                for (int n = 1; other != nullptr && other != root; ++n) {
                    name = QStringLiteral("%1_%2").arg(node.Name).arg(n);
                    other = rootOwner->FindComponent(name);
                }
            }
            try {
                root->SetName(name);
            } catch (const std::exception& e) {
                Fail(ExceptionMessage(e), node.Line);
            }
        }
        ReadBody(root, node);
        ResolveFixups();
        for (const TLoadedEntry& entry : Loaded) {
            if (!entry.Component.isNull())
                TReader::ChangeState(entry.Component.data(), {}, csReading | csFixups);
        }
        // Loaded may create or destroy components; walk a copy.
        const std::vector<TLoadedEntry> loaded = Loaded;
        for (const TLoadedEntry& entry : loaded) {
            if (entry.Component.isNull())
                continue;
            try {
                TReader::CallLoaded(entry.Component.data());
            } catch (const EReadError&) {
                throw;
            } catch (const std::exception& e) {
                Fail(QStringLiteral("Error loading %1: %2")
                         .arg(DisplayName(entry.Component.data()), ExceptionMessage(e)),
                    entry.Line);
            }
        }
    }

    TComponent* Create(const TObjectNode& node, TComponent* owner)
    {
        TComponent* component = nullptr;
        try {
            component = CreateComponent(node.ClassName, owner);
        } catch (const std::exception& e) {
            Fail(ExceptionMessage(e), node.Line);
        }
        if (component == nullptr)
            Fail(QStringLiteral("Class %1 could not be created").arg(node.ClassName), node.Line);
        Created.push_back(component);
        StartLoading(component, node.Line);
        return component;
    }

    void ReadChild(TComponent* parent, const TObjectNode& node)
    {
        TComponent* component = Create(node, Root);
        try {
            component->SetName(node.Name);
        } catch (const std::exception& e) {
            Fail(ExceptionMessage(e), node.Line);
        }
        try {
            component->SetParentComponent(parent);
        } catch (const std::exception& e) {
            Fail(QStringLiteral("Error reading %1: %2").arg(DisplayName(component), ExceptionMessage(e)),
                node.Line);
        }
        ReadBody(component, node);
    }

    void ReadBody(TComponent* component, const TObjectNode& node)
    {
        for (const TPropertyNode& property : node.Properties)
            ReadProperty(component, property);
        for (const auto& child : node.Children)
            ReadChild(component, *child);
    }

    void ReadProperty(TComponent* component, const TPropertyNode& node)
    {
        const QString where = DisplayName(component) + QLatin1Char('.') + node.Path;
        auto fail = [&](const QString& reason) {
            Fail(QStringLiteral("Error reading %1: %2").arg(where, reason), node.Line);
        };

        const QStringList parts = node.Path.split(QLatin1Char('.'));
        QObject* target = component;
        for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
            const QString prefix = parts.mid(0, i + 1).join(QLatin1Char('.'));
            const QMetaProperty property = FindProperty(target, parts[i]);
            if (!property.isValid())
                fail(QStringLiteral("Property %1 does not exist").arg(prefix));
            if (!(property.metaType().flags() & QMetaType::PointerToQObject) || !property.isReadable())
                fail(QStringLiteral("Property %1 is not an object").arg(prefix));
            QObject* sub = nullptr;
            try {
                sub = property.read(target).value<QObject*>();
            } catch (const std::exception& e) {
                fail(ExceptionMessage(e));
            }
            if (sub == nullptr)
                fail(QStringLiteral("Property %1 is nil").arg(prefix));
            if (auto* subComponent = qobject_cast<TComponent*>(sub)) {
                const bool owned
                    = subComponent->Owner() == target || (subComponent->ComponentStyle() & csSubComponent);
                if (owned && subComponent != Root && !IsLoading(subComponent))
                    StartLoading(subComponent, node.Line);
            }
            target = sub;
        }

        const QString last = parts.last();
        const QMetaProperty property = FindProperty(target, last);
        if (!property.isValid()) {
            if (ReadDefinedProperty(target, last, node.Value, fail))
                return;
            fail(QStringLiteral("Property %1 does not exist").arg(node.Path));
        }
        if (!property.isWritable())
            fail(QStringLiteral("Property %1 is read-only").arg(node.Path));

        const QMetaType type = property.metaType();
        QVariant value;
        if (const TEventTypeInfo* info = FindEventTypeInfo(type)) {
            if (node.Value.Kind != TValueNode::kIdent)
                fail(QStringLiteral("Invalid property value (%1)").arg(ValueKindName(node.Value)));
            if (node.Value.Text.compare(QLatin1String("nil"), Qt::CaseInsensitive) == 0)
                value = QVariant(type);
            else
                value = BindEvent(*info, node.Value.Text, fail);
        } else if (type.flags() & QMetaType::PointerToQObject) {
            if (node.Value.Kind != TValueNode::kIdent)
                fail(QStringLiteral("Invalid property value (%1)").arg(ValueKindName(node.Value)));
            if (node.Value.Text.compare(QLatin1String("nil"), Qt::CaseInsensitive) != 0) {
                Fixups.push_back({ target, property, where, node.Value.Text, node.Line });
                TReader::ChangeState(component, csFixups, {});
                return;
            }
            QObject* none = nullptr;
            value = QVariant(type, &none);
        } else {
            QString reason;
            if (!ConvertPropertyValue(property, node.Value, value, reason))
                fail(reason);
        }
        Write(target, property, value, fail);
    }

    template <class Fail>
    void Write(QObject* target, const QMetaProperty& property, const QVariant& value, Fail fail)
    {
        bool written = false;
        try {
            written = property.write(target, value);
        } catch (const EReadError& e) {
            fail(e.Reason());
        } catch (const std::exception& e) {
            fail(ExceptionMessage(e));
        } catch (...) {
            fail(QStringLiteral("Unknown exception"));
        }
        if (!written)
            fail(QStringLiteral("Invalid property value"));
    }

    template <class Fail> QVariant BindEvent(const TEventTypeInfo& info, const QString& name, Fail fail)
    {
        const QMetaObject* mo = Root->metaObject();
        bool nameFound = false;
        for (int i = mo->methodCount() - 1; i >= 0; --i) {
            const QMetaMethod method = mo->method(i);
            if (QString::fromLatin1(method.name()).compare(name, Qt::CaseInsensitive) != 0)
                continue;
            nameFound = true;
            QVariant bound = info.Bind(Root, method);
            if (bound.isValid())
                return bound;
        }
        if (nameFound)
            fail(QStringLiteral("Method %1 of %2 does not fit the event").arg(name, Root->ClassName()));
        fail(QStringLiteral("Method %1 not found in %2").arg(name, Root->ClassName()));
        return {};
    }

    template <class Fail>
    bool ReadDefinedProperty(QObject* target, const QString& name, const TValueNode& value, Fail fail)
    {
        auto* persistent = qobject_cast<TPersistent*>(target);
        if (persistent == nullptr)
            return false;
        LookupName = name;
        LookupFound = false;
        LookupRead = nullptr;
        try {
            TReader::CallDefineProperties(persistent, Self);
        } catch (const std::exception& e) {
            LookupName.clear();
            fail(ExceptionMessage(e));
        }
        LookupName.clear();
        if (!LookupFound)
            return false;
        const TStreamProc read = std::move(LookupRead);
        LookupRead = nullptr;
        if (value.Kind != TValueNode::kBinary)
            fail(QStringLiteral("Invalid property value (%1)").arg(ValueKindName(value)));
        if (!read)
            return true;
        QByteArray bytes = value.Bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        try {
            read(buffer);
        } catch (const EReadError& e) {
            fail(e.Reason());
        } catch (const std::exception& e) {
            fail(ExceptionMessage(e));
        } catch (...) {
            fail(QStringLiteral("Unknown exception"));
        }
        return true;
    }

    TComponent* ResolveName(const QString& name) const
    {
        const QStringList parts = name.split(QLatin1Char('.'));
        TComponent* found = nullptr;
        if (parts.size() == 1) {
            found = Root->FindComponent(name);
            if (found == nullptr && Root->Name().compare(name, Qt::CaseInsensitive) == 0)
                found = Root;
            if (found == nullptr)
                found = FindGlobalComponent(name);
            return found;
        }
        // "MonoDosya.Wave": a component owned by one of the form's own; else
        // "Form2.Button1": a component of another global component.
        found = Root->FindComponent(parts[0]);
        if (found == nullptr && Root->Name().compare(parts[0], Qt::CaseInsensitive) == 0)
            found = Root;
        if (found == nullptr)
            found = FindGlobalComponent(parts[0]);
        for (qsizetype i = 1; i < parts.size() && found != nullptr; ++i)
            found = found->FindComponent(parts[i]);
        return found;
    }

    void ResolveFixups()
    {
        for (const TFixup& fixup : Fixups) {
            if (fixup.Instance.isNull())
                continue;
            auto fail = [&](const QString& reason) {
                Fail(QStringLiteral("Error reading %1: %2").arg(fixup.Where, reason), fixup.Line);
            };
            TComponent* target = ResolveName(fixup.Target);
            if (target == nullptr)
                fail(QStringLiteral("Unresolved reference to %1").arg(fixup.Target));
            const QMetaObject* wanted = fixup.Property.metaType().metaObject();
            if (wanted != nullptr && !target->metaObject()->inherits(wanted))
                fail(QStringLiteral("Invalid property value (%1 is a %2, not a %3)")
                         .arg(fixup.Target, target->ClassName(), QLatin1String(wanted->className())));
            // QObject is the first base of every Q_OBJECT class: the QObject
            // pointer is the pointer of the property's class as well.
            QObject* object = target;
            Write(fixup.Instance.data(), fixup.Property, QVariant(fixup.Property.metaType(), &object), fail);
        }
        Fixups.clear();
    }
};

TReader::TReader(const QByteArray& text, const QString& fileName)
    : d(std::make_unique<TImpl>())
{
    d->Self = this;
    d->Text = text;
    d->FileName = fileName;
}

TReader::~TReader() = default;

TComponent* TReader::ReadRootComponent(TComponent* root, TComponent* owner)
{
    if (d->Used)
        throw EInvalidOperation(QStringLiteral("A TReader reads only once"));
    d->Used = true;

    std::unique_ptr<TObjectNode> tree;
    try {
        tree = ParseFormText(QString::fromUtf8(d->Text));
    } catch (const TParseError& e) {
        d->Fail(e.Message, e.Line);
    }

    try {
        d->ReadRoot(root, owner, *tree);
    } catch (const EReadError&) {
        d->Cleanup();
        d->Root = nullptr;
        throw;
    } catch (...) {
        d->Cleanup();
        d->Root = nullptr;
        throw EReadError(ExceptionMessage(std::current_exception()), d->FileName, 0);
    }
    TComponent* result = d->Root;
    d->Created.clear();
    d->Loaded.clear();
    return result;
}

TComponent* TReader::Root() const
{
    return d->Root;
}

QString TReader::FileName() const
{
    return d->FileName;
}

void TReader::DefineBinaryProperty(const QString& name, TStreamProc readData, TStreamProc, bool)
{
    if (d->LookupName.isEmpty() || d->LookupFound)
        return;
    if (name.compare(d->LookupName, Qt::CaseInsensitive) != 0)
        return;
    d->LookupFound = true;
    d->LookupRead = std::move(readData);
}

void TReader::ChangeState(TComponent* component, TComponentState include, TComponentState exclude)
{
    component->IncludeState(include);
    component->ExcludeState(exclude);
}

void TReader::CallLoaded(TComponent* component)
{
    component->Loaded();
}

void TReader::CallDefineProperties(TPersistent* instance, TFiler* filer)
{
    instance->DefineProperties(filer);
}

// ---------------------------------------------------------------------------

void ReadComponentRes(const QString& path, TComponent* root)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw EFOpenError(QStringLiteral("Cannot open file \"%1\". %2").arg(path, file.errorString()));
    ReadComponent(file, root, path);
}

void ReadComponent(QIODevice& stream, TComponent* root, const QString& fileName)
{
    if (root == nullptr)
        throw EInvalidOperation(QStringLiteral("ReadComponent needs a root component"));
    TReader reader(stream.readAll(), fileName);
    reader.ReadRootComponent(root);
}

TComponent* ReadComponentFromText(const QByteArray& text, TComponent* owner, const QString& fileName)
{
    TReader reader(text, fileName);
    return reader.ReadRootComponent(nullptr, owner);
}
