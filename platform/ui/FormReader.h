#pragma once
// The stored-form reader. A stored form is UTF-8 text:
//
//     object AnaForm: TAnaForm
//       Caption = 'Velmora  '#304'stanbul'       strings: '' escapes a quote,
//       Font.Height = -11                          #nnn is a Unicode character,
//       Color = clBtnFace                          parts are joined by + (also
//       BorderIcons = [biSystemMenu, biMinimize]   across lines)
//       OnCreate = FormCreate                      event: method of the root
//       object MonoDosya: TMMWaveRecorder          nested object (owner: the
//         Output = Connector                       root; the enclosing object
//         DeviceID = MapperId                      becomes its parent component)
//         SampleRate = 8000                        integers, -1, $FF; floats 1.5
//         WaveFormatEx = {                         binary data (a defined
//           3100010040...}                         property, see TFiler)
//       end
//       object Memo1: TMemo
//         Lines.Strings = (                        string lists
//           'first'
//           'second')
//       end
//     end
//
// Reading creates each nested object by its registered class name (see
// RegisterClass) with the root as owner, names it, calls
// SetParentComponent(enclosing component), then sets its properties in the
// stored order through their setters, with every component read so far in
// csLoading|csReading. Events are bound as they are read. References to
// components ("Output = Connector", "Other.Button1" for a component of the
// global component Other) are resolved once all objects exist. Then
// csReading is cleared and Loaded() runs on every component read, the root
// first, then in creation order.
//
// A form reads its stored form into itself once it is complete (see
// TApplication::CreateForm and AfterConstruction): from inside a base
// class's constructor the object's meta-object is still the base's, so the
// derived class's event handlers and published fields would not be found.
//
// The text syntax is FormSyntax's; the value conversions, which the writer
// shares, are FormValues'.
//
// Any failure raises EReadError with the file name and line. Nothing
// half-built is left: every component the read created is destroyed again
// and the root leaves the loading state (property values already set on
// the root itself stay).

#include "platform/ui/Classes.h"
#include "platform/ui/FormValues.h"

#include <QByteArray>
#include <QMetaProperty>
#include <QString>
#include <memory>

class QIODevice;

/// Reads one stored form. Usable once. GUI thread.
class TReader : public TFiler {
public:
    /// Text is the whole stored form; FileName only names it in errors.
    TReader(const QByteArray& text, const QString& fileName);
    ~TReader() override;

    /// Reads the form into Root, whose class (or one of its ancestors) must
    /// be the stored root class; the root takes the stored name (made unique
    /// among its owner's components with a "_1" suffix when needed). With a
    /// null Root, creates the root from the stored class with Owner. Returns
    /// the root. Raises EReadError.
    TComponent* ReadRootComponent(TComponent* root, TComponent* owner = nullptr);

    TComponent* Root() const override;
    QString FileName() const;

    /// Called back from DefineProperties while a property that is not
    /// published is looked for.
    void DefineBinaryProperty(
        const QString& name, TStreamProc readData, TStreamProc writeData, bool hasData) override;

private:
    struct TImpl;
    std::unique_ptr<TImpl> d;

    static void ChangeState(TComponent* component, TComponentState include, TComponentState exclude);
    static void CallLoaded(TComponent* component);
    static void CallDefineProperties(TPersistent* instance, TFiler* filer);
};

/// Reads the stored form in the file Path (":/..." for Qt resources) into
/// Root. Raises EFOpenError when the file cannot be opened, EReadError.
void ReadComponentRes(const QString& path, TComponent* root);

/// Reads the stored form from Stream (to its end) into Root. FileName names
/// it in errors.
void ReadComponent(QIODevice& stream, TComponent* root, const QString& fileName = QString());

/// Reads a standalone stored object: creates the stored class with Owner
/// (may be null) and returns it; the caller owns it when Owner is null.
TComponent* ReadComponentFromText(
    const QByteArray& text, TComponent* owner, const QString& fileName = QString());
