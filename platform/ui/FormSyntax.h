#pragma once
// The stored-form text syntax (see FormReader.h for an example): a lexer and
// a recursive-descent parser that turn the text into a tree of objects,
// properties and values, without knowing any class. FormReader binds the
// tree to meta-objects. Nesting is bounded, so hostile input cannot exhaust
// the stack. Any thread.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

/// A syntax error at Line of the text (1 for the first).
struct TParseError {
    QString Message;
    int Line;
};

/// One property value as written: a number, string, (dotted) identifier,
/// set "[a, b]", list "( ... )" or binary "{ ... }".
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

/// Parses a whole stored form: one object with everything nested in it.
/// Raises TParseError.
std::unique_ptr<TObjectNode> ParseFormText(const QString& text);

/// Parses Text as exactly one property value ("bvRaised", "[akLeft]").
/// Raises TParseError.
TValueNode ParseFormValue(const QString& text);
