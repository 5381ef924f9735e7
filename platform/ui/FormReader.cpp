#include "platform/ui/FormReader.h"

#include <QBuffer>
#include <QFile>
#include <QMetaEnum>
#include <QPointer>
#include <QStringList>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

// Deeper nesting than any form needs; the limits keep hostile input from
// exhausting the stack.
constexpr int kMaxObjectDepth = 200;
constexpr int kMaxListDepth = 16;

struct TParseError {
    QString Message;
    int Line;
};

enum class TTok { End, Ident, String, Integer, Float, Binary, Symbol };

struct TToken {
    TTok Kind = TTok::End;
    QString Text; // identifier, string value, number as written
    long long Int = 0;
    double Float = 0;
    QByteArray Bytes;
    QChar Sym;
    int Line = 1;
};

bool IsIdentStart(QChar c)
{
    return (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
        || (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || c == QLatin1Char('_');
}

bool IsDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

bool IsIdentChar(QChar c)
{
    return IsIdentStart(c) || IsDigit(c);
}

int HexValue(QChar c)
{
    if (IsDigit(c))
        return c.unicode() - '0';
    if (c >= QLatin1Char('a') && c <= QLatin1Char('f'))
        return c.unicode() - 'a' + 10;
    if (c >= QLatin1Char('A') && c <= QLatin1Char('F'))
        return c.unicode() - 'A' + 10;
    return -1;
}

class TLexer {
public:
    explicit TLexer(const QString& text)
        : FText(text)
    {
        if (!FText.isEmpty() && FText[0] == QChar(0xFEFF))
            FPos = 1;
    }

    TToken Next()
    {
        SkipSpace();
        TToken token;
        token.Line = FLine;
        if (FPos >= FText.size())
            return token;
        const QChar c = FText[FPos];
        if (IsIdentStart(c)) {
            const qsizetype start = FPos;
            while (FPos < FText.size() && IsIdentChar(FText[FPos]))
                ++FPos;
            token.Kind = TTok::Ident;
            token.Text = FText.mid(start, FPos - start);
            return token;
        }
        if (IsDigit(c) || c == QLatin1Char('$')
            || (c == QLatin1Char('-') && FPos + 1 < FText.size()
                && (IsDigit(FText[FPos + 1]) || FText[FPos + 1] == QLatin1Char('$')))) {
            LexNumber(token);
            return token;
        }
        if (c == QLatin1Char('\'') || c == QLatin1Char('#')) {
            LexString(token);
            return token;
        }
        if (c == QLatin1Char('{')) {
            LexBinary(token);
            return token;
        }
        static const QString kSymbols = QStringLiteral("=:.,[]()<>+");
        if (kSymbols.contains(c)) {
            ++FPos;
            token.Kind = TTok::Symbol;
            token.Sym = c;
            token.Text = QString(c);
            return token;
        }
        throw TParseError { QStringLiteral("Unexpected character '%1'").arg(Printable(c)), FLine };
    }

private:
    static QString Printable(QChar c)
    {
        if (c.unicode() < 32 || c.unicode() == 127)
            return QStringLiteral("#%1").arg(c.unicode());
        return QString(c);
    }

    void SkipSpace()
    {
        while (FPos < FText.size()) {
            const QChar c = FText[FPos];
            if (c == QLatin1Char('\n'))
                ++FLine;
            else if (c != QLatin1Char(' ') && c != QLatin1Char('\t') && c != QLatin1Char('\r'))
                break;
            ++FPos;
        }
    }

    void LexNumber(TToken& token)
    {
        const qsizetype start = FPos;
        bool negative = false;
        if (FText[FPos] == QLatin1Char('-')) {
            negative = true;
            ++FPos;
        }
        if (FText[FPos] == QLatin1Char('$')) {
            ++FPos;
            unsigned long long value = 0;
            int digits = 0;
            while (FPos < FText.size() && HexValue(FText[FPos]) >= 0) {
                value = (value << 4) | static_cast<unsigned>(HexValue(FText[FPos]));
                ++FPos;
                if (++digits > 16)
                    throw TParseError { QStringLiteral("Integer out of range"), FLine };
            }
            if (digits == 0)
                throw TParseError { QStringLiteral("Invalid number '%1'").arg(FText.mid(start, FPos - start)),
                    FLine };
            token.Kind = TTok::Integer;
            token.Int = static_cast<long long>(negative ? 0 - value : value);
        } else {
            while (FPos < FText.size() && IsDigit(FText[FPos]))
                ++FPos;
            bool isFloat = false;
            if (FPos + 1 < FText.size() && FText[FPos] == QLatin1Char('.') && IsDigit(FText[FPos + 1])) {
                isFloat = true;
                ++FPos;
                while (FPos < FText.size() && IsDigit(FText[FPos]))
                    ++FPos;
            }
            if (FPos < FText.size() && (FText[FPos] == QLatin1Char('e') || FText[FPos] == QLatin1Char('E'))) {
                qsizetype p = FPos + 1;
                if (p < FText.size() && (FText[p] == QLatin1Char('+') || FText[p] == QLatin1Char('-')))
                    ++p;
                if (p < FText.size() && IsDigit(FText[p])) {
                    isFloat = true;
                    FPos = p;
                    while (FPos < FText.size() && IsDigit(FText[FPos]))
                        ++FPos;
                }
            }
            const QString text = FText.mid(start, FPos - start);
            bool ok = false;
            if (isFloat) {
                token.Kind = TTok::Float;
                token.Float = text.toDouble(&ok);
                if (!ok || !std::isfinite(token.Float))
                    throw TParseError { QStringLiteral("Invalid number '%1'").arg(text), FLine };
            } else {
                token.Kind = TTok::Integer;
                token.Int = text.toLongLong(&ok, 10);
                if (!ok)
                    throw TParseError { QStringLiteral("Integer out of range '%1'").arg(text), FLine };
            }
        }
        if (FPos < FText.size() && IsIdentChar(FText[FPos]))
            throw TParseError { QStringLiteral("Invalid number '%1'").arg(FText.mid(start, FPos - start + 1)),
                FLine };
        token.Text = FText.mid(start, FPos - start);
    }

    void LexString(TToken& token)
    {
        QString value;
        while (FPos < FText.size()) {
            const QChar c = FText[FPos];
            if (c == QLatin1Char('\'')) {
                ++FPos;
                for (;;) {
                    if (FPos >= FText.size() || FText[FPos] == QLatin1Char('\n'))
                        throw TParseError { QStringLiteral("Unterminated string"), FLine };
                    const QChar s = FText[FPos++];
                    if (s == QLatin1Char('\'')) {
                        if (FPos < FText.size() && FText[FPos] == QLatin1Char('\'')) {
                            value += QLatin1Char('\'');
                            ++FPos;
                            continue;
                        }
                        break;
                    }
                    value += s;
                }
            } else if (c == QLatin1Char('#')) {
                ++FPos;
                unsigned long code = 0;
                int digits = 0;
                const bool hex = FPos < FText.size() && FText[FPos] == QLatin1Char('$');
                if (hex)
                    ++FPos;
                while (FPos < FText.size() && (hex ? HexValue(FText[FPos]) >= 0 : IsDigit(FText[FPos]))) {
                    code = code * (hex ? 16 : 10)
                        + static_cast<unsigned>(hex ? HexValue(FText[FPos]) : FText[FPos].unicode() - '0');
                    ++FPos;
                    if (++digits > 7)
                        break;
                }
                if (digits == 0 || digits > 7 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
                    throw TParseError { QStringLiteral("Invalid character code"), FLine };
                const char32_t ucs = static_cast<char32_t>(code);
                value += QString::fromUcs4(&ucs, 1);
            } else {
                break;
            }
        }
        token.Kind = TTok::String;
        token.Text = value;
    }

    void LexBinary(TToken& token)
    {
        const int startLine = FLine;
        ++FPos; // '{'
        QByteArray bytes;
        int high = -1;
        for (;;) {
            if (FPos >= FText.size())
                throw TParseError { QStringLiteral("Invalid binary value: '}' missing"), startLine };
            const QChar c = FText[FPos++];
            if (c == QLatin1Char('}'))
                break;
            if (c == QLatin1Char('\n')) {
                ++FLine;
                continue;
            }
            if (c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\r'))
                continue;
            const int v = HexValue(c);
            if (v < 0)
                throw TParseError { QStringLiteral("Invalid binary value"), FLine };
            if (high < 0) {
                high = v;
            } else {
                bytes.append(static_cast<char>((high << 4) | v));
                high = -1;
            }
        }
        if (high >= 0)
            throw TParseError { QStringLiteral("Invalid binary value: odd number of digits"), FLine };
        token.Kind = TTok::Binary;
        token.Bytes = bytes;
    }

    QString FText;
    qsizetype FPos = 0;
    int FLine = 1;
};

struct TValueNode {
    enum Kind { kInteger, kFloat, kString, kIdent, kSet, kList, kBinary } Kind = kInteger;
    long long Int = 0;
    double Float = 0;
    QString Text; // string value or (dotted) identifier
    QStringList Items;
    std::vector<TValueNode> List;
    QByteArray Bytes;
    int Line = 0;
};

struct TPropertyNode {
    QString Path;
    TValueNode Value;
    int Line = 0;
};

struct TObjectNode {
    QString Name;
    QString ClassName;
    int Line = 0;
    std::vector<TPropertyNode> Properties;
    std::vector<std::unique_ptr<TObjectNode>> Children;
};

class TParser {
public:
    explicit TParser(const QString& text)
        : FLexer(text)
    {
        Advance();
    }

    std::unique_ptr<TObjectNode> ParseRoot()
    {
        std::unique_ptr<TObjectNode> root = ParseObject(0);
        if (FToken.Kind != TTok::End)
            Unexpected(QStringLiteral("end of file"));
        return root;
    }

    TValueNode ParseSingleValue()
    {
        TValueNode value = ParseValue(0);
        if (FToken.Kind != TTok::End)
            Unexpected(QStringLiteral("end of value"));
        return value;
    }

private:
    void Advance() { FToken = FLexer.Next(); }

    bool IsKeyword(const char* word) const
    {
        return FToken.Kind == TTok::Ident
            && FToken.Text.compare(QLatin1String(word), Qt::CaseInsensitive) == 0;
    }

    bool IsSymbol(char c) const { return FToken.Kind == TTok::Symbol && FToken.Sym == QLatin1Char(c); }

    QString Describe() const
    {
        switch (FToken.Kind) {
        case TTok::End:
            return QStringLiteral("end of file");
        case TTok::String:
            return QStringLiteral("string");
        case TTok::Binary:
            return QStringLiteral("binary value");
        default:
            return QStringLiteral("'%1'").arg(FToken.Text);
        }
    }

    [[noreturn]] void Unexpected(const QString& expected) const
    {
        throw TParseError { QStringLiteral("%1 expected but %2 found").arg(expected, Describe()),
            FToken.Line };
    }

    QString ExpectIdent(const QString& what)
    {
        if (FToken.Kind != TTok::Ident)
            Unexpected(what);
        QString text = FToken.Text;
        Advance();
        return text;
    }

    std::unique_ptr<TObjectNode> ParseObject(int depth)
    {
        if (depth > kMaxObjectDepth)
            throw TParseError { QStringLiteral("Objects nested too deeply"), FToken.Line };
        if (!IsKeyword("object"))
            Unexpected(QStringLiteral("'object'"));
        auto node = std::make_unique<TObjectNode>();
        node->Line = FToken.Line;
        Advance();
        const QString first = ExpectIdent(QStringLiteral("Identifier"));
        if (IsSymbol(':')) {
            Advance();
            node->Name = first;
            node->ClassName = ExpectIdent(QStringLiteral("Class name"));
        } else {
            node->ClassName = first;
        }
        for (;;) {
            if (IsKeyword("end")) {
                Advance();
                return node;
            }
            if (IsKeyword("object")) {
                node->Children.push_back(ParseObject(depth + 1));
                continue;
            }
            if (FToken.Kind == TTok::End)
                throw TParseError { QStringLiteral(
                                        "'end' expected but end of file found (object %1 opened at line %2)")
                                        .arg(node->Name.isEmpty() ? node->ClassName : node->Name)
                                        .arg(node->Line),
                    FToken.Line };
            if (IsKeyword("inherited") || IsKeyword("inline"))
                throw TParseError { QStringLiteral("'%1' objects are not supported").arg(FToken.Text),
                    FToken.Line };
            if (FToken.Kind != TTok::Ident)
                Unexpected(QStringLiteral("'end'"));
            node->Properties.push_back(ParseProperty());
        }
    }

    TPropertyNode ParseProperty()
    {
        TPropertyNode property;
        property.Line = FToken.Line;
        property.Path = ExpectIdent(QStringLiteral("Property name"));
        while (IsSymbol('.')) {
            Advance();
            property.Path += QLatin1Char('.') + ExpectIdent(QStringLiteral("Property name"));
        }
        if (!IsSymbol('='))
            Unexpected(QStringLiteral("'='"));
        Advance();
        property.Value = ParseValue(0);
        return property;
    }

    TValueNode ParseValue(int depth)
    {
        TValueNode value;
        value.Line = FToken.Line;
        switch (FToken.Kind) {
        case TTok::String:
            value.Kind = TValueNode::kString;
            value.Text = FToken.Text;
            Advance();
            while (IsSymbol('+')) {
                Advance();
                if (FToken.Kind != TTok::String)
                    Unexpected(QStringLiteral("String"));
                value.Text += FToken.Text;
                Advance();
            }
            return value;
        case TTok::Integer:
            value.Kind = TValueNode::kInteger;
            value.Int = FToken.Int;
            value.Text = FToken.Text;
            Advance();
            return value;
        case TTok::Float:
            value.Kind = TValueNode::kFloat;
            value.Float = FToken.Float;
            value.Text = FToken.Text;
            Advance();
            return value;
        case TTok::Binary:
            value.Kind = TValueNode::kBinary;
            value.Bytes = FToken.Bytes;
            Advance();
            return value;
        case TTok::Ident:
            value.Kind = TValueNode::kIdent;
            value.Text = FToken.Text;
            Advance();
            while (IsSymbol('.')) {
                Advance();
                value.Text += QLatin1Char('.') + ExpectIdent(QStringLiteral("Identifier"));
            }
            return value;
        case TTok::Symbol:
            if (IsSymbol('[')) {
                value.Kind = TValueNode::kSet;
                Advance();
                if (IsSymbol(']')) {
                    Advance();
                    return value;
                }
                for (;;) {
                    value.Items.append(ExpectIdent(QStringLiteral("Identifier")));
                    if (IsSymbol(',')) {
                        Advance();
                        continue;
                    }
                    if (!IsSymbol(']'))
                        Unexpected(QStringLiteral("']'"));
                    Advance();
                    return value;
                }
            }
            if (IsSymbol('(')) {
                if (depth >= kMaxListDepth)
                    throw TParseError { QStringLiteral("Lists nested too deeply"), FToken.Line };
                value.Kind = TValueNode::kList;
                Advance();
                while (!IsSymbol(')')) {
                    if (FToken.Kind == TTok::End)
                        Unexpected(QStringLiteral("')'"));
                    value.List.push_back(ParseValue(depth + 1));
                }
                Advance();
                return value;
            }
            if (IsSymbol('<'))
                throw TParseError { QStringLiteral("Collections are not supported"), FToken.Line };
            break;
        case TTok::End:
            break;
        }
        Unexpected(QStringLiteral("Property value"));
    }

    TLexer FLexer;
    TToken FToken;
};

// ---------------------------------------------------------------------------
// Value conversion

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

QString KindName(const TValueNode& value)
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

// Converts Value for Property; false with Reason when it does not fit.
bool ConvertValue(const QMetaProperty& property, const TValueNode& value, QVariant& result, QString& reason)
{
    const QMetaType type = property.metaType();
    const QString invalid = QStringLiteral("Invalid property value (%1)").arg(KindName(value));
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
        value = TParser(text).ParseSingleValue();
    } catch (const TParseError& e) {
        throw EReadError(e.Message);
    }
    QVariant result;
    QString reason;
    if (FindEventTypeInfo(property.metaType()) != nullptr
        || (property.metaType().flags() & QMetaType::PointerToQObject)
        || !ConvertValue(property, value, result, reason))
        throw EReadError(reason.isEmpty() ? QStringLiteral("Invalid property value") : reason);
    return result;
}

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
                fail(QStringLiteral("Invalid property value (%1)").arg(KindName(node.Value)));
            if (node.Value.Text.compare(QLatin1String("nil"), Qt::CaseInsensitive) == 0)
                value = QVariant(type);
            else
                value = BindEvent(*info, node.Value.Text, fail);
        } else if (type.flags() & QMetaType::PointerToQObject) {
            if (node.Value.Kind != TValueNode::kIdent)
                fail(QStringLiteral("Invalid property value (%1)").arg(KindName(node.Value)));
            if (node.Value.Text.compare(QLatin1String("nil"), Qt::CaseInsensitive) != 0) {
                Fixups.push_back({ target, property, where, node.Value.Text, node.Line });
                TReader::ChangeState(component, csFixups, {});
                return;
            }
            QObject* none = nullptr;
            value = QVariant(type, &none);
        } else {
            QString reason;
            if (!ConvertValue(property, node.Value, value, reason))
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
            fail(QStringLiteral("Invalid property value (%1)").arg(KindName(value)));
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
        tree = TParser(QString::fromUtf8(d->Text)).ParseRoot();
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
