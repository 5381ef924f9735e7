#include "platform/ui/FormValues.h"

#include <QMetaEnum>
#include <cfloat>
#include <cmath>
#include <cstring>

namespace {

bool IsUnsignedType(QMetaType type)
{
    switch (type.id()) {
    case QMetaType::UInt:
    case QMetaType::ULongLong:
    case QMetaType::UShort:
    case QMetaType::UChar:
    case QMetaType::ULong:
        return true;
    case QMetaType::Char:
        return std::is_unsigned_v<char>;
    default:
        return (type.flags() & QMetaType::IsUnsignedEnumeration) != 0;
    }
}

bool IsBuiltinInteger(QMetaType type)
{
    switch (type.id()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
    case QMetaType::Long:
    case QMetaType::ULong:
        return true;
    default:
        return false;
    }
}

bool FitsType(QMetaType type, long long value)
{
    const qsizetype size = type.sizeOf();
    if (size >= 8)
        return true;
    const int bits = static_cast<int>(size) * 8;
    if (IsUnsignedType(type))
        return value >= 0 && value <= static_cast<long long>((1ULL << bits) - 1);
    // 32-bit values may be given with all 32 bits ($80000000, $FFFFFFFF),
    // as colours and flags are.
    if (size == 4)
        return value >= -2147483648LL && value <= 4294967295LL;
    const long long limit = 1LL << (bits - 1);
    return value >= -limit && value < limit;
}

bool FindEnumKey(const QMetaEnum& enumerator, const QString& name, long long& value)
{
    for (int i = 0; i < enumerator.keyCount(); ++i) {
        if (QString::fromLatin1(enumerator.key(i)).compare(name, Qt::CaseInsensitive) == 0) {
            value = enumerator.value(i);
            return true;
        }
    }
    return false;
}

} // namespace

QString ValueKindName(const TValueNode& value)
{
    switch (value.Kind) {
    case TValueNode::kInteger:
        return QStringLiteral("an integer");
    case TValueNode::kFloat:
        return QStringLiteral("a floating point number");
    case TValueNode::kString:
        return QStringLiteral("a string");
    case TValueNode::kIdent:
        return QStringLiteral("'%1'").arg(value.Text);
    case TValueNode::kSet:
        return QStringLiteral("a set");
    case TValueNode::kList:
        return QStringLiteral("a list");
    case TValueNode::kBinary:
        return QStringLiteral("binary data");
    }
    return QString();
}

bool ConvertPropertyValue(
    const QMetaProperty& property, const TValueNode& value, QVariant& result, QString& reason)
{
    const QMetaType type = property.metaType();
    const QString invalid = QStringLiteral("Invalid property value (%1)").arg(ValueKindName(value));
    reason = invalid;

    const QMetaEnum enumerator = PropertyEnumerator(property);
    if (enumerator.isValid()) {
        const QMetaType target = type.isValid() ? type : QMetaType::fromType<int>();
        if (enumerator.isFlag()) {
            if (value.Kind != TValueNode::kSet)
                return false;
            long long bits = 0;
            for (const QString& item : value.Items) {
                long long v = 0;
                if (!FindEnumKey(enumerator, item, v)) {
                    reason = QStringLiteral("Invalid property value: unknown identifier %1").arg(item);
                    return false;
                }
                bits |= v;
            }
            result = IntegerToVariant(target, bits);
            return true;
        }
        if (value.Kind != TValueNode::kIdent)
            return false;
        long long v = 0;
        if (!FindEnumKey(enumerator, value.Text, v)) {
            reason = QStringLiteral("Invalid property value: unknown identifier %1").arg(value.Text);
            return false;
        }
        result = IntegerToVariant(target, v);
        return true;
    }

    switch (type.id()) {
    case QMetaType::Bool:
        if (value.Kind == TValueNode::kIdent) {
            if (value.Text.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0) {
                result = QVariant(true);
                return true;
            }
            if (value.Text.compare(QLatin1String("False"), Qt::CaseInsensitive) == 0) {
                result = QVariant(false);
                return true;
            }
        }
        return false;
    case QMetaType::QString:
        if (value.Kind != TValueNode::kString)
            return false;
        result = QVariant(value.Text);
        return true;
    case QMetaType::QByteArray:
        if (value.Kind != TValueNode::kBinary)
            return false;
        result = QVariant(value.Bytes);
        return true;
    case QMetaType::QStringList: {
        QStringList list;
        if (value.Kind == TValueNode::kString) {
            list.append(value.Text);
        } else if (value.Kind == TValueNode::kList) {
            for (const TValueNode& item : value.List) {
                if (item.Kind != TValueNode::kString)
                    return false;
                list.append(item.Text);
            }
        } else {
            return false;
        }
        result = QVariant(list);
        return true;
    }
    case QMetaType::Double:
    case QMetaType::Float: {
        double v = 0;
        if (value.Kind == TValueNode::kInteger)
            v = static_cast<double>(value.Int);
        else if (value.Kind == TValueNode::kFloat)
            v = value.Float;
        else
            return false;
        if (type.id() == QMetaType::Float) {
            if (std::fabs(v) > FLT_MAX) {
                reason = QStringLiteral("Value out of range");
                return false;
            }
            result = QVariant(static_cast<float>(v));
        } else {
            result = QVariant(v);
        }
        return true;
    }
    case QMetaType::QChar:
        if (value.Kind != TValueNode::kString || value.Text.size() != 1)
            return false;
        result = QVariant(value.Text[0]);
        return true;
    default:
        break;
    }

    if (IsIntegerLikeType(type)) {
        long long v = 0;
        if (value.Kind == TValueNode::kInteger) {
            v = value.Int;
        } else if (value.Kind == TValueNode::kIdent) {
            if (!IdentToInt(type, value.Text, v)) {
                reason = QStringLiteral("Invalid property value: unknown identifier %1").arg(value.Text);
                return false;
            }
        } else {
            return false;
        }
        if (!FitsType(type, v)) {
            reason = QStringLiteral("Value out of range (%1)")
                         .arg(value.Kind == TValueNode::kIdent ? value.Text : QString::number(v));
            return false;
        }
        result = IntegerToVariant(type, v);
        return true;
    }

    // Other value types Qt knows how to make from text or numbers.
    if (type.isValid()) {
        QVariant source;
        if (value.Kind == TValueNode::kString)
            source = QVariant(value.Text);
        else if (value.Kind == TValueNode::kInteger)
            source = QVariant(value.Int);
        else if (value.Kind == TValueNode::kFloat)
            source = QVariant(value.Float);
        if (source.isValid() && QMetaType::canConvert(source.metaType(), type) && source.convert(type)) {
            result = source;
            return true;
        }
    }
    return false;
}

QMetaEnum PropertyEnumerator(const QMetaProperty& property)
{
    if (property.isEnumType())
        return property.enumerator();
    const QMetaType type = property.metaType();
    if (type.isValid() && (type.flags() & QMetaType::IsEnumeration)) {
        if (const QMetaObject* mo = type.metaObject()) {
            QByteArray name(type.name());
            const qsizetype colon = name.lastIndexOf("::");
            if (colon >= 0)
                name = name.mid(colon + 2);
            const int index = mo->indexOfEnumerator(name.constData());
            if (index >= 0)
                return mo->enumerator(index);
        }
    }
    return {};
}

bool IsIntegerLikeType(QMetaType type)
{
    if (!type.isValid())
        return false;
    if (IsBuiltinInteger(type))
        return true;
    const qsizetype size = type.sizeOf();
    if (size != 1 && size != 2 && size != 4 && size != 8)
        return false;
    return (type.flags() & QMetaType::IsEnumeration) || HasIntegerIdents(type);
}

long long VariantToInteger(const QVariant& value)
{
    const QMetaType type = value.metaType();
    const void* data = value.constData();
    if (!type.isValid() || data == nullptr)
        return 0;
    const bool isUnsigned = IsUnsignedType(type);
    switch (type.sizeOf()) {
    case 1: {
        uint8_t v;
        std::memcpy(&v, data, 1);
        return isUnsigned ? static_cast<long long>(v) : static_cast<long long>(static_cast<int8_t>(v));
    }
    case 2: {
        uint16_t v;
        std::memcpy(&v, data, 2);
        return isUnsigned ? static_cast<long long>(v) : static_cast<long long>(static_cast<int16_t>(v));
    }
    case 4: {
        uint32_t v;
        std::memcpy(&v, data, 4);
        return isUnsigned ? static_cast<long long>(v) : static_cast<long long>(static_cast<int32_t>(v));
    }
    case 8: {
        int64_t v;
        std::memcpy(&v, data, 8);
        return v;
    }
    default:
        return value.toLongLong();
    }
}

QVariant IntegerToVariant(QMetaType type, long long value)
{
    if (!type.isValid())
        return QVariant(value);
    QVariant result(type);
    void* data = result.data();
    switch (type.sizeOf()) {
    case 1: {
        const auto v = static_cast<uint8_t>(value);
        std::memcpy(data, &v, 1);
        break;
    }
    case 2: {
        const auto v = static_cast<uint16_t>(value);
        std::memcpy(data, &v, 2);
        break;
    }
    case 4: {
        const auto v = static_cast<uint32_t>(value);
        std::memcpy(data, &v, 4);
        break;
    }
    case 8:
        std::memcpy(data, &value, 8);
        break;
    default:
        return QVariant(value);
    }
    return result;
}

QVariant ReadPropertyValueText(const QMetaProperty& property, const QString& text)
{
    TValueNode value;
    try {
        value = ParseFormValue(text);
    } catch (const TParseError& e) {
        throw EReadError(e.Message);
    }
    QVariant result;
    QString reason;
    if (FindEventTypeInfo(property.metaType()) != nullptr
        || (property.metaType().flags() & QMetaType::PointerToQObject)
        || !ConvertPropertyValue(property, value, result, reason))
        throw EReadError(reason.isEmpty() ? QStringLiteral("Invalid property value") : reason);
    return result;
}
