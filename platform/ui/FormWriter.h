#pragma once
// The stored-form writer: the counterpart of FormReader.h, in the same text
// format. For each component it writes, in declaration order, every
// published property (Q_PROPERTY) that is stored and differs from its
// default (see Classes.h for how defaults are declared): sub-objects as
// dotted names ("Bevel.BevelOuter = bvRaised"), references to components by
// name ("Output = Connector", "Form2.Button1" for a component of another
// owner), events by the name of the root's method they are bound to (events
// assigned any other way are not stored), then the defined properties whose
// hasData is true (see TFiler), then the child components GetChildren
// reports, nested in their own object blocks. Reading the text back into a
// fresh root gives the same property values.

#include "platform/ui/Classes.h"

#include <QByteArray>
#include <QString>
#include <memory>

class QIODevice;

/// Writes one component tree. GUI thread. Raises EWriteError for values it
/// cannot store (an enumeration value without a name, a non-finite float,
/// a value type it does not know) and when the stream refuses the bytes.
class TWriter : public TFiler {
public:
    explicit TWriter(QIODevice& stream);
    ~TWriter() override;

    /// Writes Root with everything below it.
    void WriteRootComponent(TComponent* root);

    TComponent* Root() const override;

    /// Called back from DefineProperties: records the property for writing
    /// when HasData is true.
    void DefineBinaryProperty(
        const QString& name, TStreamProc readData, TStreamProc writeData, bool hasData) override;

private:
    struct TImpl;
    std::unique_ptr<TImpl> d;

    static void ChangeState(TComponent* component, TComponentState include, TComponentState exclude);
    static void CallDefineProperties(TPersistent* instance, TFiler* filer);
};

/// Writes Root as a stored form to Stream.
void WriteComponent(QIODevice& stream, TComponent* root);

/// Root as stored-form text (UTF-8).
QByteArray ComponentToText(TComponent* root);

/// Writes Root to the file Path, replacing it only once everything is
/// written. Raises EFCreateError when the file cannot be created, and
/// EWriteError.
void WriteComponentRes(const QString& path, TComponent* root);

/// Value in stored-form syntax for Property (not for references, events and
/// sub-objects); Indent is the depth of the property's line, for values that
/// take several lines. Raises EWriteError.
QString FormatPropertyValue(const QMetaProperty& property, const QVariant& value, int indent = 0);
