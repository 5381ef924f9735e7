#include "platform/ui/FormReader.h"
#include "platform/ui/FormWriter.h"
#include "support/FormText.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QIODevice>
#include <QMetaProperty>
#include <QPointer>
#include <gtest/gtest.h>
#include <limits>
#include <vector>

enum TFormColor : qint32 {};
enum TFormDeviceId : int {};
Q_DECLARE_METATYPE(TFormColor)
Q_DECLARE_METATYPE(TFormDeviceId)

namespace {

int gLiveControls = 0;
std::vector<QString>* gLoadedOrder = nullptr;

class TTestBevel : public TPersistent {
    Q_OBJECT
    Q_PROPERTY(TCut BevelOuter READ BevelOuter WRITE SetBevelOuter)
    Q_PROPERTY(int BevelWidth READ BevelWidth WRITE SetBevelWidth)
    Q_CLASSINFO("default:BevelOuter", "bvNone")
    Q_CLASSINFO("default:BevelWidth", "1")
public:
    enum TCut { bvNone, bvLowered, bvRaised, bvSpace };
    Q_ENUM(TCut)

    TCut BevelOuter() const { return FBevelOuter; }
    void SetBevelOuter(TCut value) { FBevelOuter = value; }
    int BevelWidth() const { return FBevelWidth; }
    void SetBevelWidth(int value) { FBevelWidth = value; }

    void Assign(TPersistent* source) override
    {
        if (auto* other = qobject_cast<TTestBevel*>(source)) {
            FBevelOuter = other->FBevelOuter;
            FBevelWidth = other->FBevelWidth;
            return;
        }
        TPersistent::Assign(source);
    }

private:
    TCut FBevelOuter = bvNone;
    int FBevelWidth = 1;
};

class TTestControl : public TComponent {
    Q_OBJECT
    Q_PROPERTY(QString Caption READ Caption WRITE SetCaption)
    Q_PROPERTY(int Left MEMBER FLeft)
    Q_PROPERTY(int Top MEMBER FTop)
    Q_PROPERTY(bool Visible MEMBER FVisible)
    Q_PROPERTY(double Scale MEMBER FScale)
    Q_PROPERTY(float Ratio MEMBER FRatio)
    Q_PROPERTY(unsigned char Small MEMBER FSmall)
    Q_PROPERTY(qint64 Big MEMBER FBig)
    Q_PROPERTY(TAlign Align MEMBER FAlign)
    Q_PROPERTY(TAnchors Anchors READ Anchors WRITE SetAnchors)
    Q_PROPERTY(TFormColor Color MEMBER FColor)
    Q_PROPERTY(TFormDeviceId DeviceID MEMBER FDeviceID)
    Q_PROPERTY(QStringList Lines MEMBER FLines)
    Q_PROPERTY(QByteArray Data MEMBER FData)
    Q_PROPERTY(TTestBevel* Bevel READ Bevel WRITE SetBevel)
    Q_PROPERTY(TTestControl* Buddy READ Buddy WRITE SetBuddy)
    Q_PROPERTY(TNotifyEvent OnClick READ OnClick WRITE SetOnClick)
    Q_PROPERTY(int Hidden MEMBER FHidden STORED false)
    Q_CLASSINFO("default:Visible", "True")
    Q_CLASSINFO("default:Align", "alNone")
    Q_CLASSINFO("default:Anchors", "[akLeft, akTop]")
    Q_CLASSINFO("default:Color", "clBtnFace")
public:
    enum TAlign { alNone, alTop, alBottom, alClient };
    Q_ENUM(TAlign)
    enum TAnchorKind { akLeft = 1, akTop = 2, akRight = 4, akBottom = 8 };
    Q_DECLARE_FLAGS(TAnchors, TAnchorKind)
    Q_FLAG(TAnchors)

    explicit TTestControl(TComponent* owner)
        : TComponent(owner)
    {
        ++gLiveControls;
        FBevel.setParent(this);
    }
    ~TTestControl() override { --gLiveControls; }

    QString Caption() const { return FCaption; }
    void SetCaption(const QString& value)
    {
        if (value == QLatin1String("boom"))
            throw EInvalidOperation(QStringLiteral("Caption may not explode"));
        FCaption = value;
        StateAtCaption = ComponentState();
    }
    TAnchors Anchors() const { return FAnchors; }
    void SetAnchors(TAnchors value) { FAnchors = value; }
    TNotifyEvent OnClick() const { return FOnClick; }
    void SetOnClick(const TNotifyEvent& value) { FOnClick = value; }
    TTestBevel* Bevel() { return &FBevel; }
    void SetBevel(TTestBevel* value) { FBevel.Assign(value); }
    TTestControl* Buddy() const { return FBuddy; }
    void SetBuddy(TTestControl* value)
    {
        FBuddy = value;
        BuddySetWhileLoading = ComponentState() & csLoading;
    }

    bool HasParent() const override { return FParent != nullptr; }
    TComponent* GetParentComponent() const override { return FParent; }
    void SetParentComponent(TComponent* value) override { FParent = value; }

    QByteArray Blob;
    TComponentState StateAtCaption;
    bool BuddySetWhileLoading = false;
    bool WasLoaded = false;
    TComponent* FParent = nullptr;
    QString FCaption;
    int FLeft = 0;
    int FTop = 0;
    bool FVisible = true;
    double FScale = 0;
    float FRatio = 0;
    unsigned char FSmall = 0;
    qint64 FBig = 0;
    TAlign FAlign = alNone;
    TAnchors FAnchors = TAnchors(akLeft | akTop);
    TFormColor FColor = TFormColor(static_cast<qint32>(0x8000000F));
    TFormDeviceId FDeviceID = TFormDeviceId(0);
    QStringList FLines;
    QByteArray FData;
    TTestBevel FBevel;
    TTestControl* FBuddy = nullptr;
    TNotifyEvent FOnClick;
    int FHidden = 0;

protected:
    void DefineProperties(TFiler* filer) override
    {
        TComponent::DefineProperties(filer);
        filer->DefineBinaryProperty(
            QStringLiteral("Blob"),
            [this](QIODevice& stream) {
                Blob = stream.readAll();
                if (Blob == "bad")
                    throw EStreamError(QStringLiteral("Invalid Blob stream"));
            },
            [this](QIODevice& stream) { stream.write(Blob); }, !Blob.isEmpty());
    }

    void Loaded() override
    {
        TComponent::Loaded();
        WasLoaded = true;
        if (gLoadedOrder != nullptr)
            gLoadedOrder->push_back(Name());
    }

    void Notification(TComponent* component, TOperation operation) override
    {
        TComponent::Notification(component, operation);
        if (operation == opRemove && component == FBuddy)
            FBuddy = nullptr;
    }
};

Q_DECLARE_OPERATORS_FOR_FLAGS(TTestControl::TAnchors)

class TTestForm : public TComponent {
    Q_OBJECT
    Q_PROPERTY(QString Caption MEMBER FCaption)
    Q_PROPERTY(TTestControl* Button1 MEMBER Button1 STORED false)
public:
    using TComponent::TComponent;

    Q_INVOKABLE void Button1Click(TObject* Sender)
    {
        ++Clicks;
        LastSender = Sender;
    }
    Q_INVOKABLE void WrongShape(int value) { Clicks += value; }

    QString FCaption;
    TTestControl* Button1 = nullptr;
    int Clicks = 0;
    TObject* LastSender = nullptr;
    bool WasLoaded = false;

protected:
    void Loaded() override
    {
        TComponent::Loaded();
        WasLoaded = true;
        if (gLoadedOrder != nullptr)
            gLoadedOrder->push_back(Name());
    }
};

class TOtherForm : public TComponent {
    Q_OBJECT
public:
    using TComponent::TComponent;
};

const char* const kForm = R"(object MainForm: TTestForm
  Caption = 'Velmora  '#304'stanbul'
  object Panel1: TTestControl
    Left = 8
    Top = -1
    Bevel.BevelOuter = bvRaised
    object Button1: TTestControl
      Caption = 'Kayda Ba' +
        'şla'
      OnClick = Button1Click
      Buddy = Label1
    end
  end
  object Label1: TTestControl
    Caption = 'Dosya :'
    Scale = 1.5E2
    Ratio = 0.25
    Small = $FF
    Big = -9000000000
    Color = $FF
    Visible = false
    Align = ALCLIENT
    Anchors = [akLeft, akBottom]
    DeviceID = mapperid
    Lines = (
      'first'
      'it''s')
    Data = {
      0001FF
      7E}
    Blob = {CAFE}
  end
end
)";

class FormReaderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        RegisterClasses<TTestControl, TTestForm>();
        RegisterIntegerIdents<TFormColor>(
            { { 0x8000000F, "clBtnFace" }, { 0xFF, "clRed" }, { 0xFFFFFF, "clWhite" } });
        RegisterIntegerIdents<TFormDeviceId>({ { -1, "MapperId" }, { -2, "InvalidId" } });
    }

    void SetUp() override
    {
        FLiveBefore = gLiveControls;
        gLoadedOrder = &FLoadedOrder;
    }
    void TearDown() override { gLoadedOrder = nullptr; }

    void Read(TComponent* root, const QByteArray& text, const QString& fileName = QStringLiteral("test.dfm"))
    {
        tonvara::test::ReadFormText(text, root, fileName);
    }

    // Reads Text into a fresh form holding one earlier child; the read must
    // fail with Reason at Line and leave the form as it was.
    void ExpectFailure(const QByteArray& text, int line, const QString& reason)
    {
        SCOPED_TRACE(text.toStdString());
        TTestForm form(nullptr);
        auto* earlier = new TTestControl(&form);
        earlier->SetName(QStringLiteral("Earlier"));
        const int live = gLiveControls;
        try {
            Read(&form, text);
            FAIL() << "read succeeded";
        } catch (const EReadError& e) {
            EXPECT_EQ(e.FileName(), QString("test.dfm"));
            EXPECT_EQ(e.Line(), line) << e.Message().toStdString();
            EXPECT_TRUE(e.Reason().contains(reason)) << e.Reason().toStdString();
            EXPECT_TRUE(e.Message().startsWith(QStringLiteral("test.dfm:%1: ").arg(line)))
                << e.Message().toStdString();
        }
        EXPECT_EQ(gLiveControls, live) << "components of the failed read survive";
        ASSERT_EQ(form.ComponentCount(), 1);
        EXPECT_EQ(form.Components(0), earlier);
        EXPECT_FALSE(form.ComponentState() & (csLoading | csReading | csFixups));
        EXPECT_FALSE(earlier->ComponentState() & (csLoading | csReading));
        EXPECT_EQ(form.Button1, nullptr);
    }

    int FLiveBefore = 0;
    std::vector<QString> FLoadedOrder;
};

} // namespace

TEST_F(FormReaderTest, ReadsANestedFormIntoAnExistingRoot)
{
    TTestForm form(nullptr);
    Read(&form, kForm);

    EXPECT_EQ(form.Name(), QString("MainForm"));
    EXPECT_EQ(form.FCaption, QString("Velmora  İstanbul"));
    ASSERT_EQ(form.ComponentCount(), 3);
    auto* panel = form.FindComponent<TTestControl>("Panel1");
    auto* button = form.FindComponent<TTestControl>("Button1");
    auto* label = form.FindComponent<TTestControl>("Label1");
    ASSERT_TRUE(panel && button && label);
    EXPECT_EQ(button->Owner(), &form);
    EXPECT_EQ(panel->FParent, &form);
    EXPECT_EQ(button->FParent, panel);
    EXPECT_EQ(label->FParent, &form);
    EXPECT_EQ(form.Button1, button);

    EXPECT_EQ(panel->FLeft, 8);
    EXPECT_EQ(panel->FTop, -1);
    EXPECT_EQ(panel->FBevel.BevelOuter(), TTestBevel::bvRaised);
    EXPECT_EQ(button->Caption(), QString("Kayda Başla"));
    EXPECT_EQ(label->FScale, 150.0);
    EXPECT_EQ(label->FRatio, 0.25f);
    EXPECT_EQ(label->FSmall, 255);
    EXPECT_EQ(label->FBig, -9000000000LL);
    EXPECT_EQ(label->FColor, TFormColor(0xFF));
    EXPECT_FALSE(label->FVisible);
    EXPECT_EQ(label->FAlign, TTestControl::alClient);
    EXPECT_EQ(label->FAnchors, TTestControl::TAnchors(TTestControl::akLeft | TTestControl::akBottom));
    EXPECT_EQ(label->FDeviceID, TFormDeviceId(-1));
    EXPECT_EQ(label->FLines, QStringList({ "first", "it's" }));
    EXPECT_EQ(label->FData, QByteArray("\x00\x01\xff\x7e", 4));
    EXPECT_EQ(label->Blob, QByteArray("\xca\xfe", 2));
}

TEST_F(FormReaderTest, PropertiesAreSetWhileLoadingAndLoadedRunsRootFirst)
{
    TTestForm form(nullptr);
    Read(&form, kForm);
    auto* button = form.FindComponent<TTestControl>("Button1");
    EXPECT_TRUE(button->StateAtCaption & csLoading);
    EXPECT_TRUE(button->StateAtCaption & csReading);
    // The reference was set after all objects existed, still while loading.
    EXPECT_EQ(button->Buddy(), form.FindComponent("Label1"));
    EXPECT_TRUE(button->BuddySetWhileLoading);

    EXPECT_EQ(FLoadedOrder, (std::vector<QString> { "MainForm", "Panel1", "Button1", "Label1" }));
    for (int i = 0; i < form.ComponentCount(); ++i)
        EXPECT_FALSE(form.Components(i)->ComponentState() & (csLoading | csReading | csFixups));
    EXPECT_FALSE(form.ComponentState() & (csLoading | csReading));
}

TEST_F(FormReaderTest, EventsAreBoundToTheRootsMethodsAndFire)
{
    TTestForm form(nullptr);
    Read(&form, kForm);
    auto* button = form.FindComponent<TTestControl>("Button1");
    ASSERT_TRUE(button->FOnClick);
    button->FOnClick(button);
    EXPECT_EQ(form.Clicks, 1);
    EXPECT_EQ(form.LastSender, button);
    EXPECT_EQ(EventMethodName(button->FOnClick), QString("Button1Click"));
}

TEST_F(FormReaderTest, ReferencesReachComponentsOfOtherGlobalComponents)
{
    TOtherForm other(nullptr);
    other.SetName("Other");
    auto* remote = new TTestControl(&other);
    remote->SetName("Remote");
    const int finder = RegisterFindGlobalComponent(
        [&other](const QString& name) -> TComponent* { return SameText(name, "Other") ? &other : nullptr; });

    TTestForm form(nullptr);
    Read(&form, "object F: TTestForm\n object A: TTestControl\n  Buddy = other.remote\n end\nend\n");
    UnregisterFindGlobalComponent(finder);
    EXPECT_EQ(form.FindComponent<TTestControl>("A")->Buddy(), remote);
}

TEST_F(FormReaderTest, IdentifiersReadInAnyLetterCase)
{
    TTestForm form(nullptr);
    Read(&form,
        "OBJECT F: TTestForm\n object A: TTestControl\n  visible = TRUE\n  color = CLWHITE\n"
        "  DeviceID = INVALIDID\n  align = AlBottom\n  anchors = [AKRIGHT]\n  bevel.bevelouter = BVSPACE\n"
        " END\nend\n");
    auto* a = form.FindComponent<TTestControl>("a");
    ASSERT_NE(a, nullptr);
    EXPECT_TRUE(a->FVisible);
    EXPECT_EQ(a->FColor, TFormColor(0xFFFFFF));
    EXPECT_EQ(a->FDeviceID, TFormDeviceId(-2));
    EXPECT_EQ(a->FAlign, TTestControl::alBottom);
    EXPECT_EQ(a->FAnchors, TTestControl::TAnchors(TTestControl::akRight));
    EXPECT_EQ(a->FBevel.BevelOuter(), TTestBevel::bvSpace);
}

TEST_F(FormReaderTest, ThirtyTwoBitValuesMayUseAllBits)
{
    TTestForm form(nullptr);
    Read(&form,
        "object F: TTestForm\n object A: TTestControl\n  Left = $FFFFFFFF\n  Color = $80000005\n end\nend\n");
    auto* a = form.FindComponent<TTestControl>("A");
    EXPECT_EQ(a->FLeft, -1);
    EXPECT_EQ(static_cast<quint32>(a->FColor), 0x80000005u);
}

TEST_F(FormReaderTest, StandaloneObjectIsCreatedWithItsOwner)
{
    TTestForm owner(nullptr);
    TComponent* made = ReadComponentFromText("object Solo: TTestControl\n  Caption = 'x'\n"
                                             "  object Inner: TTestControl\n  end\nend\n",
        &owner);
    auto* solo = qobject_cast<TTestControl*>(made);
    ASSERT_NE(solo, nullptr);
    EXPECT_EQ(solo->Owner(), &owner);
    EXPECT_EQ(solo->Caption(), QString("x"));
    ASSERT_EQ(solo->ComponentCount(), 1);
    EXPECT_EQ(qobject_cast<TTestControl*>(solo->Components(0))->FParent, solo);
    EXPECT_TRUE(solo->WasLoaded);

    // A second one of the same name gets a unique one.
    TComponent* second = ReadComponentFromText("object Solo: TTestControl\nend\n", &owner);
    EXPECT_EQ(second->Name(), QString("Solo_1"));
}

TEST_F(FormReaderTest, FailedStandaloneReadLeavesNothing)
{
    TTestForm owner(nullptr);
    EXPECT_THROW(ReadComponentFromText(
                     "object Solo: TTestControl\n object In: TTestControl\n  Nope = 1\n end\nend\n", &owner),
        EReadError);
    EXPECT_EQ(owner.ComponentCount(), 0);
    EXPECT_EQ(gLiveControls, FLiveBefore);
}

TEST_F(FormReaderTest, ErrorsNameTheFileAndLineAndLeaveNothingBehind)
{
    struct TCase {
        const char* Text;
        int Line;
        const char* Reason;
    };
    const TCase cases[] = {
        { "object F: TTestForm\n object A: TNoSuchClass\n end\nend\n", 2, "Class TNoSuchClass not found" },
        { "object F: TTestForm\n object A: TTestControl\n  Left = 1\n  Nope = 2\n end\nend\n", 4,
            "Error reading A.Nope: Property Nope does not exist" },
        { "object F: TTestForm\n object A: TTestControl\n  Left = 'x'\n end\nend\n", 3,
            "Invalid property value" },
        { "object F: TTestForm\n object A: TTestControl\n  Caption = 12\n end\nend\n", 3,
            "Invalid property value" },
        { "object F: TTestForm\n object A: TTestControl\n  Visible = Maybe\n end\nend\n", 3,
            "Invalid property value" },
        { "object F: TTestForm\n object A: TTestControl\n  Align = alSideways\n end\nend\n", 3,
            "unknown identifier alSideways" },
        { "object F: TTestForm\n object A: TTestControl\n  Anchors = [akLeft, akNowhere]\n end\nend\n", 3,
            "unknown identifier akNowhere" },
        { "object F: TTestForm\n object A: TTestControl\n  Small = 256\n end\nend\n", 3,
            "Value out of range" },
        { "object F: TTestForm\n object A: TTestControl\n  Color = clPlaid\n end\nend\n", 3,
            "unknown identifier clPlaid" },
        { "object F: TTestForm\n object A: TTestControl\n  Left = 1\n", 4,
            "'end' expected but end of file found" },
        { "object F: TTestForm\n object A: TTestControl\n end\nend\nend\n", 5,
            "end of file expected but 'end' found" },
        { "object F: TTestForm\n object A: TTestControl\n  Buddy = Ghost\n end\nend\n", 3,
            "Error reading A.Buddy: Unresolved reference to Ghost" },
        { "object F: TTestForm\n object A: TTestControl\n  Left 5\n end\nend\n", 3,
            "'=' expected but '5' found" },
        { "object F: TTestForm\n object A: TTestControl\n  Caption = 'open\n end\nend\n", 3,
            "Unterminated string" },
        { "object F: TTestForm\n object A: TTestControl\n  Data = {\n   ABC}\n end\nend\n", 4,
            "odd number of digits" },
        { "object F: TTestForm\n object A: TTestControl\n  Data = {00 GG}\n end\nend\n", 3,
            "Invalid binary value" },
        { "object F: TTestForm\n object A: TTestControl\n  Caption = 'boom'\n end\nend\n", 3,
            "Error reading A.Caption: Caption may not explode" },
        { "object F: TTestForm\n object A: TTestControl\n end\n object a: TTestControl\n end\nend\n", 4,
            "A component named a already exists" },
        { "object F: TTestForm\n object A: TTestControl\n  Bevel.Nope = 1\n end\nend\n", 3,
            "Property Bevel.Nope does not exist" },
        { "object F: TTestForm\n object A: TTestControl\n  Caption.Part = 1\n end\nend\n", 3,
            "Property Caption is not an object" },
        { "object F: TTestForm\n object A: TTestControl\n  OnClick = NoHandler\n end\nend\n", 3,
            "Method NoHandler not found in TTestForm" },
        { "object F: TTestForm\n object A: TTestControl\n  OnClick = WrongShape\n end\nend\n", 3,
            "Method WrongShape of TTestForm does not fit the event" },
        { "object F: TTestForm\n object A: TTestControl\n  Blob = {626164}\n end\nend\n", 3,
            "Error reading A.Blob: Invalid Blob stream" },
        { "object F: TTestForm\n object A: TTestControl\n  Blob = 'text'\n end\nend\n", 3,
            "Invalid property value" },
        { "object F: TOtherForm\nend\n", 1, "Cannot read a TOtherForm into a TTestForm" },
        { "object F: TTestForm\n object A: TTestControl\n  Caption = #55296\n end\nend\n", 3,
            "Invalid character code" },
        { "object F: TTestForm\n object A: TTestControl\n  Big = 99999999999999999999\n end\nend\n", 3,
            "Integer out of range" },
        { "object F: TTestForm\n  Items = <\n  >\nend\n", 2, "Collections are not supported" },
        { "object F: TTestForm\n object A: TTestControl\n  Left = 1\n  % = 2\n end\nend\n", 4,
            "Unexpected character '%'" },
        { "", 1, "'object' expected but end of file found" },
    };
    for (const TCase& c : cases)
        ExpectFailure(c.Text, c.Line, QString::fromUtf8(c.Reason));
}

TEST_F(FormReaderTest, ReadingAFileNamesItInErrors)
{
    const QString dir = tonvara::test::MakeTempDir("formreader");
    const QString path = dir + "/Broken.dfm";
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("object F: TTestForm\n  Caption = \n");
    file.close();
    TTestForm form(nullptr);
    try {
        ReadComponentRes(path, &form);
        FAIL();
    } catch (const EReadError& e) {
        EXPECT_EQ(e.FileName(), path);
        EXPECT_EQ(e.Line(), 3);
        EXPECT_EQ(e.Message(), path + ":3: Property value expected but end of file found");
    }
    EXPECT_THROW(ReadComponentRes(dir + "/Missing.dfm", &form), EFOpenError);
}

// ---------------------------------------------------------------------------

TEST_F(FormReaderTest, WriterLeavesOutDefaultsAndUnstoredProperties)
{
    TTestForm form(nullptr);
    form.SetName("F");
    auto* a = new TTestControl(&form);
    a->SetName("A");
    a->FHidden = 7;
    const QString text = QString::fromUtf8(ComponentToText(&form));
    EXPECT_EQ(text,
        "object F: TTestForm\n"
        "  object A: TTestControl\n"
        "    Left = 0\n"
        "    Top = 0\n"
        "    Scale = 0\n"
        "    Ratio = 0\n"
        "    Small = 0\n"
        "    Big = 0\n"
        "    DeviceID = 0\n"
        "  end\n"
        "end\n");
}

TEST_F(FormReaderTest, WriterStoresEveryKindOfValue)
{
    TTestForm form(nullptr);
    form.SetName("F");
    form.FCaption = "Çık 'x'\r\n";
    auto* panel = new TTestControl(&form);
    panel->SetName("Panel1");
    auto* label = new TTestControl(&form);
    label->SetName("Label1");
    label->SetParentComponent(panel);
    label->SetCaption("Kayıt Süresi :");
    label->FVisible = false;
    label->FColor = TFormColor(static_cast<qint32>(0x8000000F));
    label->FDeviceID = TFormDeviceId(-1);
    label->FAnchors = TTestControl::TAnchors(TTestControl::akRight | TTestControl::akBottom);
    label->FAlign = TTestControl::alTop;
    label->FBevel.SetBevelOuter(TTestBevel::bvLowered);
    label->FLines = { "a", "b" };
    label->FData = QByteArray(40, '\x5a');
    label->Blob = "\x01\x02";
    label->FScale = 0.1;
    label->SetBuddy(panel);
    label->FOnClick = BindMethod<TNotifyEvent>(&form, "Button1Click");
    panel->FOnClick = [](TObject*) {};

    const QString text = QString::fromUtf8(ComponentToText(&form));
    EXPECT_TRUE(text.contains("  Caption = 'Çık ''x'''#13#10\n")) << text.toStdString();
    EXPECT_TRUE(text.contains("    object Label1: TTestControl\n")) << "nested in its parent";
    EXPECT_TRUE(text.contains("      Caption = 'Kayıt Süresi :'\n"));
    EXPECT_TRUE(text.contains("      Visible = False\n"));
    EXPECT_FALSE(text.contains("Color")) << "the declared default is left out";
    EXPECT_TRUE(text.contains("      DeviceID = MapperId\n"));
    EXPECT_TRUE(text.contains("      Anchors = [akRight, akBottom]\n"));
    EXPECT_TRUE(text.contains("      Align = alTop\n"));
    EXPECT_TRUE(text.contains("      Bevel.BevelOuter = bvLowered\n"));
    EXPECT_FALSE(text.contains("BevelWidth"));
    EXPECT_TRUE(text.contains("      Lines = (\n        'a'\n        'b')\n"));
    EXPECT_TRUE(text.contains("      Data = {\n        " + QString("5A").repeated(32) + "\n        "
        + QString("5A").repeated(8) + "}\n"));
    EXPECT_TRUE(text.contains("      Scale = 0.1\n"));
    EXPECT_TRUE(text.contains("      Buddy = Panel1\n"));
    EXPECT_TRUE(text.contains("      OnClick = Button1Click\n"));
    EXPECT_EQ(text.count("OnClick"), 1) << "events not bound by name are not stored";
    EXPECT_TRUE(text.contains("      Blob = {\n        0102}\n"));
}

TEST_F(FormReaderTest, WriteThenReadGivesEqualValues)
{
    TTestForm original(nullptr);
    original.SetName("MainForm");
    original.FCaption = "Velmora  \t'İ' ğüşıöç";
    auto* panel = new TTestControl(&original);
    panel->SetName("Panel1");
    panel->FLeft = -8;
    panel->FBevel.SetBevelOuter(TTestBevel::bvRaised);
    panel->FBevel.SetBevelWidth(3);
    auto* button = new TTestControl(&original);
    button->SetName("Button1");
    button->SetParentComponent(panel);
    button->FOnClick = BindMethod<TNotifyEvent>(&original, "Button1Click");
    button->FRatio = 1.0f / 3.0f;
    button->FScale = -1.25e-300;
    button->FBig = std::numeric_limits<qint64>::min();
    button->FSmall = 200;
    button->FColor = TFormColor(0x123456);
    button->FAnchors = {};
    button->Blob = QByteArray("\x00\xff\x10", 3);
    button->FLines = { "", "x" };
    auto* label = new TTestControl(&original);
    label->SetName("Label1");
    label->SetBuddy(button);
    label->FData = "data";
    label->FVisible = false;
    label->SetTag(42);

    const QByteArray text = ComponentToText(&original);
    TTestForm copy(nullptr);
    Read(&copy, text);

    ASSERT_EQ(copy.ComponentCount(), original.ComponentCount());
    EXPECT_EQ(copy.FCaption, original.FCaption);
    for (int i = 0; i < original.ComponentCount(); ++i) {
        TComponent* a = original.Components(i);
        TComponent* b = copy.FindComponent(a->Name());
        ASSERT_NE(b, nullptr) << a->Name().toStdString();
        const QMetaObject* mo = a->metaObject();
        for (int p = QObject::staticMetaObject.propertyCount(); p < mo->propertyCount(); ++p) {
            const QMetaProperty property = mo->property(p);
            if (!property.isStored() || (property.metaType().flags() & QMetaType::PointerToQObject)
                || FindEventTypeInfo(property.metaType()))
                continue;
            EXPECT_EQ(FormatPropertyValue(property, property.read(a)),
                FormatPropertyValue(property, property.read(b)))
                << a->Name().toStdString() << "." << property.name();
        }
    }
    auto* copyButton = copy.FindComponent<TTestControl>("Button1");
    auto* copyLabel = copy.FindComponent<TTestControl>("Label1");
    EXPECT_EQ(copyButton->FRatio, button->FRatio);
    EXPECT_EQ(copyButton->FScale, button->FScale);
    EXPECT_EQ(copyButton->FBig, button->FBig);
    EXPECT_EQ(copyButton->Blob, button->Blob);
    EXPECT_EQ(copyButton->FParent, copy.FindComponent("Panel1"));
    EXPECT_EQ(copy.FindComponent<TTestControl>("Panel1")->FBevel.BevelWidth(), 3);
    EXPECT_EQ(copyLabel->Buddy(), copyButton);
    EXPECT_EQ(copyLabel->Tag(), 42);
    copyButton->FOnClick(copyButton);
    EXPECT_EQ(copy.Clicks, 1);
    EXPECT_EQ(original.Clicks, 0);

    // Writing the copy again gives the same text.
    EXPECT_EQ(ComponentToText(&copy), text);
}

TEST_F(FormReaderTest, WriteComponentResReplacesTheFileWhole)
{
    const QString path = tonvara::test::MakeTempDir("formwriter") + "/Form.dfm";
    TTestForm form(nullptr);
    form.SetName("F");
    form.FCaption = "one";
    WriteComponentRes(path, &form);
    TTestForm back(nullptr);
    ReadComponentRes(path, &back);
    EXPECT_EQ(back.FCaption, QString("one"));
    EXPECT_THROW(WriteComponentRes("/nonexistent-dir/x.dfm", &form), EFCreateError);
}

TEST_F(FormReaderTest, ValueTextOfAPropertyDefault)
{
    const QMetaObject& mo = TTestControl::staticMetaObject;
    const QMetaProperty anchors = mo.property(mo.indexOfProperty("Anchors"));
    const QVariant value = ReadPropertyValueText(anchors, "[akTop, akRight]");
    EXPECT_EQ(VariantToInteger(value), TTestControl::akTop | TTestControl::akRight);
    EXPECT_EQ(FormatPropertyValue(anchors, value), QString("[akTop, akRight]"));
    EXPECT_THROW(ReadPropertyValueText(anchors, "akTop"), EReadError);
}

#include "FormReader_test.moc"
