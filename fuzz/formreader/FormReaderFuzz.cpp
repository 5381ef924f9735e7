// The stored-form reader on arbitrary bytes. Whatever the input, reading
// must end in success or EReadError, never in a crash or another exception.
// A form that reads must write, and the written text must read back into a
// fresh root and write again to the same text.
#include "platform/ui/FormReader.h"
#include "platform/ui/FormWriter.h"

#include <QIODevice>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

enum TFuzzColor : qint32 {};
Q_DECLARE_METATYPE(TFuzzColor)

namespace {

class TFuzzBevel : public TPersistent {
    Q_OBJECT
    Q_PROPERTY(TCut BevelOuter MEMBER FBevelOuter)
    Q_PROPERTY(int BevelWidth MEMBER FBevelWidth)
    Q_CLASSINFO("default:BevelWidth", "1")
public:
    enum TCut { bvNone, bvLowered, bvRaised, bvSpace };
    Q_ENUM(TCut)
    TCut FBevelOuter = bvNone;
    int FBevelWidth = 1;
};

class TFuzzControl : public TComponent {
    Q_OBJECT
    Q_PROPERTY(QString Caption MEMBER FCaption)
    Q_PROPERTY(int Left MEMBER FLeft)
    Q_PROPERTY(bool Visible MEMBER FVisible)
    Q_PROPERTY(double Scale MEMBER FScale)
    Q_PROPERTY(unsigned char Small MEMBER FSmall)
    Q_PROPERTY(TAlign Align MEMBER FAlign)
    Q_PROPERTY(TAnchors Anchors READ Anchors WRITE SetAnchors)
    Q_PROPERTY(TFuzzColor Color MEMBER FColor)
    Q_PROPERTY(QStringList Lines MEMBER FLines)
    Q_PROPERTY(QByteArray Data MEMBER FData)
    Q_PROPERTY(TFuzzBevel* Bevel READ Bevel)
    Q_PROPERTY(TFuzzControl* Buddy MEMBER FBuddy)
    Q_PROPERTY(TNotifyEvent OnClick READ OnClick WRITE SetOnClick)
    Q_CLASSINFO("default:Visible", "True")
public:
    enum TAlign { alNone, alTop, alClient };
    Q_ENUM(TAlign)
    enum TAnchorKind { akLeft = 1, akTop = 2, akRight = 4 };
    Q_DECLARE_FLAGS(TAnchors, TAnchorKind)
    Q_FLAG(TAnchors)

    explicit TFuzzControl(TComponent* owner)
        : TComponent(owner)
    {
        FBevel.setParent(this);
    }

    TAnchors Anchors() const { return FAnchors; }
    void SetAnchors(TAnchors value) { FAnchors = value; }
    TNotifyEvent OnClick() const { return FOnClick; }
    void SetOnClick(const TNotifyEvent& value) { FOnClick = value; }
    TFuzzBevel* Bevel() { return &FBevel; }

    bool HasParent() const override { return FParent != nullptr; }
    TComponent* GetParentComponent() const override { return FParent; }
    void SetParentComponent(TComponent* value) override { FParent = value; }

    QString FCaption;
    int FLeft = 0;
    bool FVisible = true;
    double FScale = 0;
    unsigned char FSmall = 0;
    TAlign FAlign = alNone;
    TAnchors FAnchors;
    TFuzzColor FColor = TFuzzColor(0);
    QStringList FLines;
    QByteArray FData;
    TFuzzBevel FBevel;
    QPointer<TFuzzControl> FBuddy;
    TNotifyEvent FOnClick;
    QPointer<TComponent> FParent;
    QByteArray Blob;

protected:
    void DefineProperties(TFiler* filer) override
    {
        TComponent::DefineProperties(filer);
        filer->DefineBinaryProperty(
            QStringLiteral("Blob"),
            [this](QIODevice& stream) {
                Blob = stream.readAll();
                if (Blob.startsWith('\xff'))
                    throw EStreamError(QStringLiteral("Invalid Blob stream"));
            },
            [this](QIODevice& stream) { stream.write(Blob); }, !Blob.isEmpty());
    }
};

class TFuzzForm : public TComponent {
    Q_OBJECT
    Q_PROPERTY(QString Caption MEMBER FCaption)
public:
    using TComponent::TComponent;
    Q_INVOKABLE void Button1Click(TObject*) { }
    QString FCaption;
};

[[noreturn]] void Fail(const char* what, const QByteArray& text)
{
    std::fprintf(stderr, "formreader fuzz: %s\n---\n%s\n---\n", what, text.constData());
    std::abort();
}

bool Setup()
{
    RegisterClasses<TFuzzControl, TFuzzForm>();
    RegisterIntegerIdents<TFuzzColor>({ { 0x8000000F, "clBtnFace" }, { 0xFF, "clRed" } });
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool ready = Setup();
    (void)ready;
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    TFuzzForm form(nullptr);
    bool read = false;
    try {
        TReader reader(input, QStringLiteral("fuzz.dfm"));
        reader.ReadRootComponent(&form);
        read = true;
    } catch (const EReadError&) {
    }
    if (read) {
        const QByteArray written = ComponentToText(&form);
        TFuzzForm again(nullptr);
        try {
            TReader reader(written, QStringLiteral("written.dfm"));
            reader.ReadRootComponent(&again);
        } catch (const EReadError& e) {
            Fail(e.what(), written);
        }
        if (ComponentToText(&again) != written)
            Fail("second write differs", written);
    }

    try {
        std::unique_ptr<TComponent> standalone(
            ReadComponentFromText(input, nullptr, QStringLiteral("fuzz.dfm")));
    } catch (const EReadError&) {
    }
    return 0;
}

#include "FormReaderFuzz.moc"
