#include "platform/ui/FormSyntax.h"

namespace {

// Deeper nesting than any form needs; the limits keep hostile input from
// exhausting the stack.
constexpr int kMaxObjectDepth = 200;
constexpr int kMaxListDepth = 16;

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

} // namespace

std::unique_ptr<TObjectNode> ParseFormText(const QString& text)
{
    return TParser(text).ParseRoot();
}

TValueNode ParseFormValue(const QString& text)
{
    return TParser(text).ParseSingleValue();
}
