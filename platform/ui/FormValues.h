#pragma once
// Values of stored forms: how a parsed value (FormSyntax.h) becomes a value
// of a property's type, and the integer and enumeration views of property
// types that the reader and the writer share. Any thread, as far as the
// meta-types involved allow it.

#include "platform/ui/Classes.h"
#include "platform/ui/FormSyntax.h"

#include <QMetaEnum>
#include <QMetaProperty>
#include <QMetaType>
#include <QString>
#include <QVariant>

/// Converts Value to a value of Property's type into Result; false, with
/// Reason, when it does not fit. References and events are the reader's
/// business and are not converted here.
bool ConvertPropertyValue(
    const QMetaProperty& property, const TValueNode& value, QVariant& result, QString& reason);

/// What Value is, for error messages ("a string", "'alNone'", ...).
QString ValueKindName(const TValueNode& value);

/// Converts Text, a value in stored-form syntax ("bvRaised", "[akLeft]",
/// "'abc'", "12"), to a value of Property's type. Raises EReadError (without
/// a place) when it does not fit. References and events are not supported.
QVariant ReadPropertyValueText(const QMetaProperty& property, const QString& text);

/// The Q_ENUM / Q_FLAG enumerator of Property's type; invalid when it has
/// none.
QMetaEnum PropertyEnumerator(const QMetaProperty& property);

/// Whether a stored form gives values of Type as integers: the integer
/// types, enumerations that are no Q_ENUM, and types with integer
/// identifiers (RegisterIntegerIdents), 1, 2, 4 or 8 bytes wide.
bool IsIntegerLikeType(QMetaType type);

/// The integer held by Value (of an integer-like type, an enumeration or a
/// QFlags), sign-extended as its type is signed or not.
long long VariantToInteger(const QVariant& value);

/// A value of Type holding Value, cut to the type's width.
QVariant IntegerToVariant(QMetaType type, long long value);
