#include "platform/ui/FormWriter.h"

#include "platform/ui/FormValues.h"

#include <QBuffer>
#include <QLocale>
#include <QMetaEnum>
#include <QMetaProperty>
#include <QSaveFile>
#include <QSet>
#include <cmath>
#include <vector>

namespace {

// Sub-objects pointing back at their holders must not send the writer round
// in circles.
constexpr int kMaxSubObjectDepth = 8;
constexpr int kBytesPerLine = 32;

QString Indent(int depth)
{
    return QString(depth * 2, QLatin1Char(' '));
}

QString Quote(const QString& text)
{
    QString result;
    bool open = false;
    for (const QChar c : text) {
        const ushort code = c.unicode();
        if (code < 32 || code == 127) {
            if (open) {
                result += QLatin1Char('\'');
                open = false;
            }
            result += QLatin1Char('#') + QString::number(code);
            continue;
        }
        if (!open) {
            result += QLatin1Char('\'');
            open = true;
        }
        if (c == QLatin1Char('\''))
            result += QLatin1String("''");
        else
            result += c;
    }
    if (open)
        result += QLatin1Char('\'');
    if (result.isEmpty())
        result = QStringLiteral("''");
    return result;
}

QString FormatBinary(const QByteArray& bytes, int indent)
{
    QString result = QStringLiteral("{");
    for (qsizetype i = 0; i < bytes.size(); i += kBytesPerLine)
        result += QLatin1Char('\n') + Indent(indent + 1)
            + QString::fromLatin1(bytes.mid(i, kBytesPerLine).toHex().toUpper());
    result += QLatin1Char('}');
    return result;
}

QString FormatFloat(double value)
{
    if (!std::isfinite(value))
        throw EWriteError(QStringLiteral("Invalid floating point value %1").arg(value));
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

QString FormatSet(const QMetaEnum& enumerator, long long value)
{
    QStringList keys;
    for (int i = 0; i < enumerator.keyCount(); ++i) {
        const long long bit = enumerator.value(i);
        // Sets are made of single members; keys naming several bits or none
        // are shorthands the reader also understands, but would repeat bits.
        if (bit == 0 || (bit & (bit - 1)) != 0)
            continue;
        if ((value & bit) == bit)
            keys.append(QString::fromLatin1(enumerator.key(i)));
    }
    return QLatin1Char('[') + keys.join(QStringLiteral(", ")) + QLatin1Char(']');
}

} // namespace

QString FormatPropertyValue(const QMetaProperty& property, const QVariant& value, int indent)
{
    const QMetaType type = property.metaType();
    const QMetaEnum enumerator = PropertyEnumerator(property);
    if (enumerator.isValid()) {
        const long long v = VariantToInteger(value);
        if (enumerator.isFlag())
            return FormatSet(enumerator, v);
        const char* key = enumerator.valueToKey(static_cast<int>(v));
        if (key == nullptr)
            throw EWriteError(QStringLiteral("Property %1 has the value %2, which %3 does not name")
                                  .arg(QLatin1String(property.name()))
                                  .arg(v)
                                  .arg(QLatin1String(enumerator.name())));
        return QString::fromLatin1(key);
    }
    switch (type.id()) {
    case QMetaType::Bool:
        return value.toBool() ? QStringLiteral("True") : QStringLiteral("False");
    case QMetaType::QString:
        return Quote(value.toString());
    case QMetaType::QChar:
        return Quote(QString(value.toChar()));
    case QMetaType::QByteArray:
        return FormatBinary(value.toByteArray(), indent);
    case QMetaType::QStringList: {
        const QStringList list = value.toStringList();
        QString result = QStringLiteral("(");
        for (const QString& item : list)
            result += QLatin1Char('\n') + Indent(indent + 1) + Quote(item);
        return result + QLatin1Char(')');
    }
    case QMetaType::Double:
        return FormatFloat(value.toDouble());
    case QMetaType::Float:
        return FormatFloat(static_cast<double>(value.toFloat()));
    default:
        break;
    }
    if (IsIntegerLikeType(type)) {
        const long long v = VariantToInteger(value);
        QString ident;
        if (type.id() != QMetaType::Int && IntToIdent(type, v, ident))
            return ident;
        return QString::number(v);
    }
    if (type.isValid() && QMetaType::canConvert(type, QMetaType::fromType<QString>())
        && QMetaType::canConvert(QMetaType::fromType<QString>(), type)) {
        return Quote(value.toString());
    }
    throw EWriteError(QStringLiteral("Cannot store property %1 of type %2")
                          .arg(QLatin1String(property.name()), QLatin1String(type.name())));
}

struct TWriter::TImpl {
    struct TDefined {
        QString Name;
        TStreamProc Write;
    };

    TWriter* Self = nullptr;
    QIODevice* Stream = nullptr;
    TComponent* Root = nullptr;
    QString Out;
    QSet<TComponent*> Written;
    std::vector<TDefined>* Collect = nullptr;

    void Line(int indent, const QString& text) { Out += Indent(indent) + text + QLatin1Char('\n'); }

    void WriteObject(TComponent* component, int indent)
    {
        if (Written.contains(component))
            return;
        Written.insert(component);
        TWriter::ChangeState(component, csWriting, {});
        try {
            const QString className = component->ClassName();
            Line(indent,
                component->Name().isEmpty()
                    ? QStringLiteral("object %1").arg(className)
                    : QStringLiteral("object %1: %2").arg(component->Name(), className));
            WriteProperties(component, QString(), indent + 1, 0);
            std::vector<TComponent*> children;
            component->GetChildren([&children](TComponent* child) { children.push_back(child); }, Root);
            for (TComponent* child : children) {
                if (!(child->ComponentStyle() & csSubComponent))
                    WriteObject(child, indent + 1);
            }
            Line(indent, QStringLiteral("end"));
        } catch (...) {
            TWriter::ChangeState(component, {}, csWriting);
            throw;
        }
        TWriter::ChangeState(component, {}, csWriting);
    }

    QString ReferenceName(TComponent* component) const
    {
        if (component->Name().isEmpty())
            return {};
        if (component == Root || component->Owner() == Root || component->Owner() == nullptr)
            return component->Name();
        if (component->Owner()->Name().isEmpty())
            return {};
        return component->Owner()->Name() + QLatin1Char('.') + component->Name();
    }

    // What the property's "stored:" method says; false without one.
    static bool StoredByState(QObject* object, const QMetaProperty& property)
    {
        const QMetaObject* mo = object->metaObject();
        const QByteArray key = QByteArray("stored:") + property.name();
        const int index = mo->indexOfClassInfo(key.constData());
        if (index < 0)
            return false;
        bool stored = false;
        if (!QMetaObject::invokeMethod(
                object, mo->classInfo(index).value(), Qt::DirectConnection, Q_RETURN_ARG(bool, stored)))
            throw EWriteError(QStringLiteral("Invalid stored method \"%1\" for %2.%3")
                                  .arg(QLatin1String(mo->classInfo(index).value()),
                                      QLatin1String(mo->className()), QLatin1String(property.name())));
        return stored;
    }

    bool IsDefault(const QObject* object, const QMetaProperty& property, const QVariant& value) const
    {
        const QMetaObject* mo = object->metaObject();
        const QByteArray key = QByteArray("default:") + property.name();
        const int index = mo->indexOfClassInfo(key.constData());
        if (index >= 0) {
            const QString text = QString::fromUtf8(mo->classInfo(index).value());
            QVariant defaultValue;
            try {
                defaultValue = ReadPropertyValueText(property, text);
            } catch (const EReadError& e) {
                throw EWriteError(QStringLiteral("Invalid default \"%1\" for %2.%3: %4")
                                      .arg(text, QLatin1String(mo->className()),
                                          QLatin1String(property.name()), e.Message()));
            }
            return FormatPropertyValue(property, defaultValue) == FormatPropertyValue(property, value);
        }
        switch (property.metaType().id()) {
        case QMetaType::QString:
            return value.toString().isEmpty();
        case QMetaType::QStringList:
            return value.toStringList().isEmpty();
        case QMetaType::QByteArray:
            return value.toByteArray().isEmpty();
        default:
            return false;
        }
    }

    void WriteProperties(QObject* object, const QString& prefix, int indent, int depth)
    {
        if (depth > kMaxSubObjectDepth)
            return;
        const QMetaObject* mo = object->metaObject();
        for (int i = QObject::staticMetaObject.propertyCount(); i < mo->propertyCount(); ++i) {
            const QMetaProperty property = mo->property(i);
            if (!property.isStored() || !property.isReadable())
                continue;
            const QString name = prefix + QString::fromLatin1(property.name());
            const QMetaType type = property.metaType();
            const QVariant value = property.read(object);

            if (const TEventTypeInfo* info = FindEventTypeInfo(type)) {
                const QString method = info->MethodName(value);
                if (!method.isEmpty())
                    Line(indent, name + QStringLiteral(" = ") + method);
                continue;
            }
            if (type.flags() & QMetaType::PointerToQObject) {
                QObject* target = value.value<QObject*>();
                if (target == nullptr)
                    continue;
                auto* component = qobject_cast<TComponent*>(target);
                const bool subObject = component == nullptr || (component->ComponentStyle() & csSubComponent)
                    || (component->Owner() == object && !property.isWritable());
                if (!subObject) {
                    const QString reference = ReferenceName(component);
                    if (!reference.isEmpty())
                        Line(indent, name + QStringLiteral(" = ") + reference);
                } else if (qobject_cast<TPersistent*>(target) != nullptr) {
                    WriteProperties(target, name + QLatin1Char('.'), indent, depth + 1);
                }
                continue;
            }
            if (!StoredByState(object, property) && IsDefault(object, property, value))
                continue;
            Line(indent, name + QStringLiteral(" = ") + FormatPropertyValue(property, value, indent));
        }

        auto* persistent = qobject_cast<TPersistent*>(object);
        if (persistent == nullptr)
            return;
        std::vector<TDefined> defined;
        Collect = &defined;
        try {
            TWriter::CallDefineProperties(persistent, Self);
        } catch (...) {
            Collect = nullptr;
            throw;
        }
        Collect = nullptr;
        for (const TDefined& entry : defined) {
            QByteArray bytes;
            QBuffer buffer(&bytes);
            buffer.open(QIODevice::WriteOnly);
            if (entry.Write)
                entry.Write(buffer);
            Line(indent, prefix + entry.Name + QStringLiteral(" = ") + FormatBinary(bytes, indent));
        }
    }
};

TWriter::TWriter(QIODevice& stream)
    : d(std::make_unique<TImpl>())
{
    d->Self = this;
    d->Stream = &stream;
}

TWriter::~TWriter() = default;

void TWriter::WriteRootComponent(TComponent* root)
{
    if (root == nullptr)
        throw EWriteError(QStringLiteral("Nothing to write"));
    d->Root = root;
    d->Out.clear();
    d->Written.clear();
    d->WriteObject(root, 0);
    const QByteArray bytes = d->Out.toUtf8();
    if (d->Stream->write(bytes) != bytes.size())
        throw EWriteError(QStringLiteral("Stream write error: %1").arg(d->Stream->errorString()));
}

TComponent* TWriter::Root() const
{
    return d->Root;
}

void TWriter::DefineBinaryProperty(const QString& name, TStreamProc, TStreamProc writeData, bool hasData)
{
    if (d->Collect != nullptr && hasData)
        d->Collect->push_back({ name, std::move(writeData) });
}

void TWriter::ChangeState(TComponent* component, TComponentState include, TComponentState exclude)
{
    component->IncludeState(include);
    component->ExcludeState(exclude);
}

void TWriter::CallDefineProperties(TPersistent* instance, TFiler* filer)
{
    instance->DefineProperties(filer);
}

void WriteComponent(QIODevice& stream, TComponent* root)
{
    TWriter writer(stream);
    writer.WriteRootComponent(root);
}

QByteArray ComponentToText(TComponent* root)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    WriteComponent(buffer, root);
    return bytes;
}

void WriteComponentRes(const QString& path, TComponent* root)
{
    const QByteArray text = ComponentToText(root);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throw EFCreateError(QStringLiteral("Cannot create file \"%1\". %2").arg(path, file.errorString()));
    if (file.write(text) != text.size() || !file.commit())
        throw EWriteError(QStringLiteral("Cannot write file \"%1\". %2").arg(path, file.errorString()));
}
