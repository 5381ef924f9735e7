#include "mm/core/MMDSPObj.h"
#include "mm/core/MMUtils.h"
#include "mm/format/MMWaveFormat.h"
#include "platform/kernel/SyncObjs.h"
#include "platform/kernel/Threads.h"
#include "platform/ui/Application.h"
#include "platform/ui/FormReader.h"
#include "support/FormText.h"
#include "support/TestSource.h"
#include "support/WaveFormats.h"

#include <QMetaProperty>
#include <atomic>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using TLog = std::vector<std::string>;

// Every test component notes its notifications here, after the inherited
// handling has run: a device's entry therefore comes after the members it
// reached, which is the order in which components really open and close.
TLog gLog;

#define LOGGED_CHAIN_NOTIFICATIONS(Base)                                                                     \
    void Opened() override                                                                                   \
    {                                                                                                        \
        Base::Opened();                                                                                      \
        Note("Opened");                                                                                      \
    }                                                                                                        \
    void Closed() override                                                                                   \
    {                                                                                                        \
        Base::Closed();                                                                                      \
        Note("Closed");                                                                                      \
    }                                                                                                        \
    void Started() override                                                                                  \
    {                                                                                                        \
        Base::Started();                                                                                     \
        Note("Started");                                                                                     \
    }                                                                                                        \
    void Paused() override                                                                                   \
    {                                                                                                        \
        Base::Paused();                                                                                      \
        Note("Paused");                                                                                      \
    }                                                                                                        \
    void Restarted() override                                                                                \
    {                                                                                                        \
        Base::Restarted();                                                                                   \
        Note("Restarted");                                                                                   \
    }                                                                                                        \
    void Stopped() override                                                                                  \
    {                                                                                                        \
        Base::Stopped();                                                                                     \
        Note("Stopped");                                                                                     \
    }                                                                                                        \
    void Reset() override                                                                                    \
    {                                                                                                        \
        Base::Reset();                                                                                       \
        Note("Reset");                                                                                       \
    }                                                                                                        \
    void Looped() override                                                                                   \
    {                                                                                                        \
        Base::Looped();                                                                                      \
        Note("Looped");                                                                                      \
    }                                                                                                        \
    void Note(const char* what)                                                                              \
    {                                                                                                        \
        gLog.push_back(Name().toStdString() + ":" + what);                                                   \
    }

// A member that publishes both links, like the wave file and the connector.
// Its SampleRate property builds a 16-bit mono PCM format, so that a stored
// form can give it one.
class TTestMember : public TMMDSPComponent {
    Q_OBJECT
    Q_PROPERTY(TMMDSPComponent* Input READ GetInput WRITE SetInput)
    Q_PROPERTY(TMMDSPComponent* Output READ GetOutput WRITE SetOutput)
    Q_PROPERTY(int BufferSize READ GetBufferSize WRITE SetBufferSize)
    Q_PROPERTY(int SampleRate READ SampleRate WRITE SetSampleRate)
    Q_PROPERTY(TMMBufferEvent OnBufferReady READ OnBufferReady WRITE SetOnBufferReady)
    Q_PROPERTY(TMMBufferLoadEvent OnBufferLoad READ OnBufferLoad WRITE SetOnBufferLoad)
public:
    explicit TTestMember(TComponent* owner = nullptr, const char* name = nullptr)
        : TMMDSPComponent(owner)
    {
        if (name != nullptr)
            SetName(QString::fromLatin1(name));
    }

    int SampleRate() const { return GetPWaveFormat() != nullptr ? int(GetPWaveFormat()->nSamplesPerSec) : 0; }
    void SetSampleRate(int rate)
    {
        WAVEFORMATEX format;
        BuildPCMFormat(&format, 16, 1, DWORD(rate));
        SetPWaveFormat(&format);
    }

    /// Lets a test put the component into the loading state a stored form
    /// gives it, and end it.
    void BeginLoading() { IncludeState(csLoading); }
    void EndLoading() { Loaded(); }

    LOGGED_CHAIN_NOTIFICATIONS(TMMDSPComponent)
};

// Publishes only Output, like the recorder.
class TTestRecorder : public TMMDSPComponent {
    Q_OBJECT
    Q_PROPERTY(TMMDSPComponent* Output READ GetOutput WRITE SetOutput)
public:
    explicit TTestRecorder(TComponent* owner = nullptr, const char* name = nullptr)
        : TMMDSPComponent(owner)
    {
        if (name != nullptr)
            SetName(QString::fromLatin1(name));
    }

    LOGGED_CHAIN_NOTIFICATIONS(TMMDSPComponent)
};

using tonvara::test::TTestSink;

// A device publishing Output, like the wave input.
class TTestDevice : public TMMCustomSoundComponent {
    Q_OBJECT
    Q_PROPERTY(TMMDSPComponent* Output READ GetOutput WRITE SetOutput)
public:
    explicit TTestDevice(TComponent* owner = nullptr, const char* name = nullptr)
        : TMMCustomSoundComponent(owner)
    {
        if (name != nullptr)
            SetName(QString::fromLatin1(name));
    }

    void SetNumBuffers(int value) override { FNumBuffers = value; }
    int GetNumBuffers() const override { return FNumBuffers; }
    void SetDeviceID(TMMDeviceId value) override { FDeviceID = value; }
    TMMDeviceId GetDeviceID() const override { return FDeviceID; }
    void SetProductName(const QString&) override { }
    QString GetProductName() const override { return QStringLiteral("Test device"); }
    void SetCallBackMode(TMMCBMode value) override { FCallBackMode = value; }
    TMMCBMode GetCallBackMode() const override { return FCallBackMode; }

    LOGGED_CHAIN_NOTIFICATIONS(TMMCustomSoundComponent)

private:
    int FNumBuffers = 10;
    TMMDeviceId FDeviceID = MapperId;
    TMMCBMode FCallBackMode = cmWindow;
};

// A device in the middle of a chain (a processing device): both links.
class TTestInlineDevice : public TTestDevice {
    Q_OBJECT
    Q_PROPERTY(TMMDSPComponent* Input READ GetInput WRITE SetInput)
public:
    using TTestDevice::TTestDevice;
};

// A component that is no chain member at all.
class TPlainComponent : public TMMNonVisualComponent {
    Q_OBJECT
    Q_PROPERTY(TMMDSPComponent* Output READ Output WRITE SetOutput)
public:
    using TMMNonVisualComponent::TMMNonVisualComponent;
    TMMDSPComponent* Output() const { return nullptr; }
    void SetOutput(TMMDSPComponent*) { }
};

using tonvara::test::GsmFormat;

WAVEFORMATEX StereoPcmFormat()
{
    WAVEFORMATEX format;
    BuildPCMFormat(&format, 16, 2, 48000);
    return format;
}

WAVEFORMATEX FormatWithBlock(WORD blockAlign)
{
    WAVEFORMATEX format { WAVE_FORMAT_PCM, 1, 8000, 8000u * blockAlign, blockAlign, 8, 0 };
    return format;
}

bool SameFormatBytes(LPCWAVEFORMATEX a, LPCWAVEFORMATEX b)
{
    return a != nullptr && b != nullptr && WaveFormatSize(a) == WaveFormatSize(b)
        && std::memcmp(a, b, WaveFormatSize(a)) == 0;
}

class ChainTest : public ::testing::Test {
protected:
    void SetUp() override { gLog.clear(); }
};

// ---------------------------------------------------------------------------
// Buffer record

TEST(BufferRecord, HeaderFirstLibraryFieldsAfterItDataRightBehind)
{
    constexpr DWORD kDataBytes = 4095;
    void* block = GlobalAllocMem(kBufferRecordSize + kDataBytes);
    auto* record = static_cast<TMMBufferRecord*>(block);
    std::memset(block, 0xAB, kBufferRecordSize);
    InitBufferRecord(record, kDataBytes);

    EXPECT_EQ(kBufferRecordSize, 80u);
    EXPECT_EQ(record->Header.lpData, static_cast<char*>(block) + 80);
    EXPECT_EQ(BufferRecordData(record), record->Header.lpData);
    EXPECT_EQ(record->Header.dwBufferLength, kDataBytes);
    EXPECT_EQ(record->Header.dwBytesRecorded, 0u);
    EXPECT_EQ(record->Header.dwUser, 0u);
    EXPECT_EQ(record->Header.dwFlags, 0u);
    EXPECT_EQ(record->Header.dwLoops, 0u);
    EXPECT_EQ(record->Header.lpNext, nullptr);
    EXPECT_EQ(record->Spare, 0u);
    EXPECT_EQ(record->SavedBytesRecorded, 0u);
    EXPECT_EQ(record->companion, nullptr);
    EXPECT_EQ(record->Looping, 0);
    EXPECT_EQ(record->LoopCount, 0);
    EXPECT_EQ(record->LoopsLeft, 0);
    EXPECT_EQ(record->LoopState, 0);

    // The header handed along the chain leads back to its record, and the
    // whole data area is usable.
    PWaveHdr header = &record->Header;
    EXPECT_EQ(BufferRecordOf(header), record);
    std::memset(header->lpData, 0x5A, kDataBytes);
    EXPECT_EQ(static_cast<unsigned char>(static_cast<char*>(block)[80 + kDataBytes - 1]), 0x5A);
    GlobalFreeMem(block);
}

// ---------------------------------------------------------------------------
// Linking

TEST_F(ChainTest, LinkingSetsBothSidesAndTheBackPropertyNames)
{
    TTestMember a(nullptr, "A");
    TTestMember b(nullptr, "B");
    a.SetOutput(&b);
    EXPECT_EQ(a.GetOutput(), &b);
    EXPECT_EQ(b.GetInput(), &a);
    EXPECT_EQ(a.OutputPropName(), QString("Input"));
    EXPECT_EQ(b.InputPropName(), QString("Output"));

    // Through the published property, as a stored form links.
    TTestMember c(nullptr, "C");
    ASSERT_TRUE(c.setProperty("Input", QVariant::fromValue<TMMDSPComponent*>(&b)));
    EXPECT_EQ(b.GetOutput(), &c);
    EXPECT_EQ(c.property("Input").value<TMMDSPComponent*>(), &b);
}

TEST_F(ChainTest, StealingAnInputDetachesTheFormerOutputOnly)
{
    TTestMember a(nullptr, "A");
    TTestMember b(nullptr, "B");
    TTestMember c(nullptr, "C");
    const GSM610WAVEFORMAT gsm = GsmFormat();
    b.SetPWaveFormat(&gsm.wfx);
    c.SetInput(&b);
    ASSERT_EQ(b.GetOutput(), &c);
    ASSERT_TRUE(SameFormatBytes(c.GetPWaveFormat(), &gsm.wfx));
    c.Opened();
    c.Started();
    gLog.clear();

    a.SetInput(&b);

    EXPECT_EQ(c.GetInput(), nullptr);
    EXPECT_TRUE(c.InputPropName().isEmpty());
    EXPECT_EQ(b.GetOutput(), &a);
    EXPECT_EQ(a.GetInput(), &b);
    EXPECT_TRUE(SameFormatBytes(a.GetPWaveFormat(), &gsm.wfx));
    EXPECT_NE(a.GetPWaveFormat(), b.GetPWaveFormat()) << "each member owns its copy";
    // C only loses its reference: it is not stopped and keeps its format.
    EXPECT_TRUE(c.IsStarted());
    EXPECT_TRUE(SameFormatBytes(c.GetPWaveFormat(), &gsm.wfx));
    EXPECT_EQ(gLog, TLog({ "A:Stopped" })) << "linking stops the component linked, nothing else";
}

TEST_F(ChainTest, StealingAnOutputDetachesItsFormerInput)
{
    TTestMember a(nullptr, "A");
    TTestMember b(nullptr, "B");
    TTestMember c(nullptr, "C");
    a.SetOutput(&c);
    b.SetOutput(&c);
    EXPECT_EQ(a.GetOutput(), nullptr);
    EXPECT_EQ(c.GetInput(), &b);
    EXPECT_EQ(b.GetOutput(), &c);
}

TEST_F(ChainTest, ReplacingAnInputReleasesTheOldOne)
{
    TTestMember a(nullptr, "A");
    TTestMember b(nullptr, "B");
    TTestMember c(nullptr, "C");
    const WAVEFORMATEX stereo = StereoPcmFormat();
    b.SetPWaveFormat(&stereo);
    a.SetInput(&b);
    a.SetInput(&c);
    EXPECT_EQ(b.GetOutput(), nullptr) << "the old input lost its Output";
    EXPECT_TRUE(b.OutputPropName().isEmpty());
    EXPECT_EQ(c.GetOutput(), &a);
    EXPECT_EQ(a.GetPWaveFormat(), nullptr) << "C has no format, so A has none";

    a.SetInput(nullptr);
    EXPECT_EQ(c.GetOutput(), nullptr);
    EXPECT_EQ(a.GetInput(), nullptr);
}

TEST_F(ChainTest, UnlinkingAnOutputTakesItsFormat)
{
    TTestMember a(nullptr, "A");
    TTestMember b(nullptr, "B");
    TTestMember c(nullptr, "C");
    const WAVEFORMATEX stereo = StereoPcmFormat();
    a.SetPWaveFormat(&stereo);
    a.SetOutput(&b);
    b.SetOutput(&c);
    ASSERT_TRUE(SameFormatBytes(c.GetPWaveFormat(), &stereo));

    a.SetOutput(nullptr);
    EXPECT_EQ(b.GetInput(), nullptr);
    EXPECT_EQ(b.GetPWaveFormat(), nullptr);
    EXPECT_EQ(c.GetPWaveFormat(), nullptr) << "the loss travels down";
    EXPECT_EQ(b.GetOutput(), &c) << "further links stay";
    EXPECT_TRUE(SameFormatBytes(a.GetPWaveFormat(), &stereo));
}

TEST_F(ChainTest, SelfLinksAreIgnored)
{
    TTestMember a(nullptr, "A");
    a.SetOutput(&a);
    a.SetInput(&a);
    EXPECT_EQ(a.GetOutput(), nullptr);
    EXPECT_EQ(a.GetInput(), nullptr);
    EXPECT_FALSE(a.CanConnectInput(&a));
    EXPECT_FALSE(a.CanConnectOutput(&a));
    EXPECT_TRUE(gLog.empty()) << "a refused link does not even stop the component";
}

TEST_F(ChainTest, CyclesAreRefused)
{
    TTestMember a(nullptr, "A");
    TTestMember b(nullptr, "B");
    TTestMember c(nullptr, "C");
    a.SetOutput(&b);
    b.SetOutput(&c);
    gLog.clear();

    c.SetOutput(&a);
    a.SetInput(&c);
    a.SetInput(&b);
    c.setProperty("Output", QVariant::fromValue<TMMDSPComponent*>(&a));

    EXPECT_EQ(c.GetOutput(), nullptr);
    EXPECT_EQ(a.GetInput(), nullptr);
    EXPECT_EQ(a.GetOutput(), &b);
    EXPECT_EQ(b.GetOutput(), &c);
    EXPECT_EQ(c.GetInput(), &b);
    EXPECT_TRUE(gLog.empty());

    // Going further down is still allowed.
    TTestMember d(nullptr, "D");
    EXPECT_TRUE(a.CanConnectOutput(&d));
    c.SetOutput(&d);
    EXPECT_EQ(d.GetInput(), &c);
    EXPECT_FALSE(d.CanConnectOutput(&a));
    EXPECT_FALSE(a.CanConnectInput(&d));
}

TEST_F(ChainTest, RawLinksClosingALoopDoNotHangTheChecks)
{
    TTestMember a(nullptr, "A");
    TTestMember b(nullptr, "B");
    TTestMember x(nullptr, "X");
    a.SetOutput(&b);
    b.SetOutputLink(&a, QStringLiteral("Input"));
    a.SetInputLink(&b, QStringLiteral("Output"));

    EXPECT_FALSE(a.CanConnectInput(&x));
    EXPECT_FALSE(a.CanConnectOutput(&x));
    b.SetOutputLink(nullptr, QString());
    a.SetInputLink(nullptr, QString());
}

TEST_F(ChainTest, APartnerMustPublishTheBackLinkUnlessItsFlagSaysSo)
{
    TTestMember member(nullptr, "M");
    TTestRecorder recorder(nullptr, "R");
    TTestSink sink;

    // No published Input: not linkable as an Output.
    member.SetOutput(&recorder);
    EXPECT_EQ(member.GetOutput(), nullptr);
    EXPECT_EQ(recorder.GetInput(), nullptr);
    recorder.SetAcceptsInput(true);
    member.SetOutput(&recorder);
    recorder.SetAcceptsInput(false);
    EXPECT_EQ(member.GetOutput(), &recorder);
    EXPECT_EQ(recorder.GetInput(), &member);

    // No published Output: not linkable as an Input.
    TTestMember other(nullptr, "O");
    other.SetInput(&sink);
    EXPECT_EQ(other.GetInput(), nullptr);
    sink.SetProvidesOutput(true);
    other.SetInput(&sink);
    EXPECT_EQ(other.GetInput(), &sink);
    EXPECT_EQ(sink.GetOutput(), &other);
}

TEST_F(ChainTest, OnlyChainMembersCanBeLinked)
{
    TTestMember member(nullptr, "M");
    TPlainComponent plain(nullptr);
    EXPECT_FALSE(member.CanConnectInput(&plain)) << "publishes Output but is no chain member";
    EXPECT_FALSE(member.CanConnectOutput(&plain));
    EXPECT_FALSE(member.CanConnectInput(nullptr));
}

TEST_F(ChainTest, UnlinkingAComponentWithoutThePublishedBackLinkClearsItsPartner)
{
    TTestMember member(nullptr, "M");
    TTestRecorder recorder(nullptr, "R");
    recorder.SetAcceptsInput(true);
    member.SetOutput(&recorder);
    recorder.SetAcceptsInput(false);

    recorder.SetInput(nullptr);
    EXPECT_EQ(recorder.GetInput(), nullptr);
    EXPECT_EQ(member.GetOutput(), nullptr) << "no one-sided link is left behind";
}

TEST_F(ChainTest, BackPropertyNamesAreCutToTwentyCharacters)
{
    TTestMember a(nullptr, "A");
    TTestMember b(nullptr, "B");
    a.SetOutputLink(&b, QStringLiteral("AVeryLongPropertyNameIndeed"));
    EXPECT_EQ(a.OutputPropName(), QString("AVeryLongPropertyNam"));
    a.SetOutputLink(nullptr, QString());
}

// ---------------------------------------------------------------------------
// Format propagation

TEST_F(ChainTest, AFormatSetAtTheHeadFlowsToTheTail)
{
    TTestDevice device(nullptr, "In");
    TTestMember file(nullptr, "File");
    TTestMember connector(nullptr, "Conn");
    device.SetOutput(&file);
    file.SetOutput(&connector);

    const GSM610WAVEFORMAT gsm = GsmFormat();
    device.SetPWaveFormat(&gsm.wfx);
    for (TMMDSPComponent* member : { static_cast<TMMDSPComponent*>(&device),
             static_cast<TMMDSPComponent*>(&file), static_cast<TMMDSPComponent*>(&connector) }) {
        SCOPED_TRACE(member->Name().toStdString());
        ASSERT_NE(member->GetPWaveFormat(), nullptr);
        EXPECT_NE(member->GetPWaveFormat(), &gsm.wfx);
        EXPECT_EQ(WaveFormatSize(member->GetPWaveFormat()), 20u);
        EXPECT_TRUE(SameFormatBytes(member->GetPWaveFormat(), &gsm.wfx))
            << "the extra word 320 is copied too";
    }

    // A PCM format is copied as its 18 bytes with cbSize 0.
    WAVEFORMATEX pcm = StereoPcmFormat();
    pcm.cbSize = 22;
    device.SetPWaveFormat(&pcm);
    ASSERT_NE(connector.GetPWaveFormat(), nullptr);
    EXPECT_EQ(connector.GetPWaveFormat()->cbSize, 0);
    EXPECT_EQ(connector.GetPWaveFormat()->nSamplesPerSec, 48000u);
    EXPECT_EQ(connector.GetPWaveFormat()->nBlockAlign, 4);

    device.SetPWaveFormat(nullptr);
    EXPECT_EQ(file.GetPWaveFormat(), nullptr);
    EXPECT_EQ(connector.GetPWaveFormat(), nullptr);
}

TEST_F(ChainTest, LinkingHandsTheUpstreamFormatDown)
{
    TTestMember head(nullptr, "Head");
    TTestMember middle(nullptr, "Middle");
    TTestMember tail(nullptr, "Tail");
    const WAVEFORMATEX stereo = StereoPcmFormat();
    head.SetPWaveFormat(&stereo);
    middle.SetOutput(&tail);

    // Setting the Input pulls the format; setting an Output pushes it.
    middle.SetInput(&head);
    EXPECT_TRUE(SameFormatBytes(tail.GetPWaveFormat(), &stereo));

    TTestMember extra(nullptr, "Extra");
    tail.SetOutput(&extra);
    EXPECT_TRUE(SameFormatBytes(extra.GetPWaveFormat(), &stereo));

    // A member without Input pushes its own format to its new Output.
    TTestMember lone(nullptr, "Lone");
    TTestMember next(nullptr, "Next");
    const GSM610WAVEFORMAT gsm = GsmFormat();
    lone.SetPWaveFormat(&gsm.wfx);
    lone.SetOutput(&next);
    EXPECT_TRUE(SameFormatBytes(next.GetPWaveFormat(), &gsm.wfx));
}

TEST_F(ChainTest, ChangingTheFormatStopsAStartedMemberFirst)
{
    TTestMember member(nullptr, "M");
    const WAVEFORMATEX stereo = StereoPcmFormat();
    member.SetPWaveFormat(&stereo);
    member.Opened();
    member.Started();
    gLog.clear();

    member.SetPWaveFormat(member.GetPWaveFormat());
    EXPECT_TRUE(member.IsStarted()) << "its own format again changes nothing";
    EXPECT_TRUE(gLog.empty());

    const GSM610WAVEFORMAT gsm = GsmFormat();
    member.SetPWaveFormat(&gsm.wfx);
    EXPECT_FALSE(member.IsStarted());
    EXPECT_EQ(gLog, TLog({ "M:Stopped" }));
}

TEST_F(ChainTest, FormatsAreHeldBackWhileLoadingAndSentWhenLoaded)
{
    TTestMember head(nullptr, "Head");
    TTestMember tail(nullptr, "Tail");
    head.SetOutput(&tail);
    head.BeginLoading();
    tail.BeginLoading();

    const WAVEFORMATEX stereo = StereoPcmFormat();
    head.SetPWaveFormat(&stereo);
    EXPECT_EQ(tail.GetPWaveFormat(), nullptr);
    head.UpdateFormat();
    EXPECT_EQ(tail.GetPWaveFormat(), nullptr);

    head.EndLoading();
    EXPECT_TRUE(SameFormatBytes(tail.GetPWaveFormat(), &stereo));
    tail.EndLoading();
}

// ---------------------------------------------------------------------------
// Buffer size

struct TBufferSizeCase {
    int BufferSize;
    WORD BlockAlign;
    int RealBufferSize;
};

class BufferSizeAtOpen : public ::testing::TestWithParam<TBufferSizeCase> { };

TEST_P(BufferSizeAtOpen, IsWholeBlocksAndAtLeastOneBlock)
{
    const TBufferSizeCase c = GetParam();
    TTestMember member(nullptr, "M");
    const WAVEFORMATEX format = FormatWithBlock(c.BlockAlign);
    member.SetPWaveFormat(&format);
    member.SetBufferSize(c.BufferSize);

    EXPECT_EQ(member.GetBufferSize(), c.BufferSize) << "before Opened";
    member.Opened();
    EXPECT_TRUE(member.IsOpen());
    EXPECT_EQ(member.RealBufferSize(), c.RealBufferSize);
    EXPECT_EQ(member.GetBufferSize(), c.RealBufferSize);
    EXPECT_EQ(member.BufferSize(), c.BufferSize);
    member.Closed();
    EXPECT_FALSE(member.IsOpen());
    EXPECT_EQ(member.GetBufferSize(), c.BufferSize) << "after Closed";
}

INSTANTIATE_TEST_SUITE_P(Chain, BufferSizeAtOpen,
    ::testing::Values(TBufferSizeCase { 4096, 65, 4095 }, // GSM 6.10: 63 blocks
        TBufferSizeCase { 4096, 4, 4096 }, // 16-bit stereo
        TBufferSizeCase { 4096, 1, 4096 }, TBufferSizeCase { 50, 65, 65 }, // less than a block
        TBufferSizeCase { 0, 4, 4 }, TBufferSizeCase { 130, 65, 130 }, TBufferSizeCase { 129, 65, 65 },
        TBufferSizeCase { 4096, 0, 4096 })); // no blocks: no rounding

TEST_F(ChainTest, BufferSizeWithoutFormatIsKept)
{
    TTestMember member(nullptr, "M");
    member.SetBufferSize(4097);
    member.Opened();
    EXPECT_EQ(member.GetBufferSize(), 4097);
}

TEST_F(ChainTest, OpenedOnAnOpenMemberKeepsTheSizeFixedBefore)
{
    TTestMember member(nullptr, "M");
    const GSM610WAVEFORMAT gsm = GsmFormat();
    member.SetPWaveFormat(&gsm.wfx);
    member.SetBufferSize(4096);
    member.Opened();
    member.SetBufferSize(8192);
    member.Opened();
    EXPECT_EQ(member.GetBufferSize(), 4095);
    EXPECT_EQ(member.BufferSize(), 8192);
}

TEST_F(ChainTest, NewBufferSizeStopsAStartedMember)
{
    TTestMember member(nullptr, "M");
    member.Opened();
    member.Started();
    gLog.clear();
    member.SetBufferSize(2048);
    EXPECT_TRUE(member.IsStarted()) << "the same size changes nothing";
    member.SetBufferSize(1024);
    EXPECT_FALSE(member.IsStarted());
    EXPECT_EQ(gLog, TLog({ "M:Stopped" }));
}

TEST_F(ChainTest, StartedOnlyWhileOpenAndClosedLeavesStarted)
{
    TTestMember member(nullptr, "M");
    member.Started();
    EXPECT_FALSE(member.IsStarted());
    member.Opened();
    member.Started();
    EXPECT_TRUE(member.IsStarted());
    member.Closed();
    EXPECT_FALSE(member.IsOpen());
    EXPECT_TRUE(member.IsStarted());
    member.Stopped();
    EXPECT_FALSE(member.IsStarted());
}

// ---------------------------------------------------------------------------
// Notifications along a device chain

// The recorder's chain: wave input -> wave file -> recorder -> connector.
class RecorderChain : public ChainTest {
protected:
    void SetUp() override
    {
        ChainTest::SetUp();
        device.SetOutput(&file);
        recorder.SetAcceptsInput(true);
        file.SetOutput(&recorder);
        recorder.SetAcceptsInput(false);
        connector.SetInput(&recorder);
        device.SetBufferSize(4096);
        gsm = GsmFormat();
        device.SetPWaveFormat(&gsm.wfx);
        gLog.clear();
    }

    TTestDevice device { nullptr, "In" };
    TTestMember file { nullptr, "File" };
    TTestRecorder recorder { nullptr, "Rec" };
    TTestMember connector { nullptr, "Conn" };
    GSM610WAVEFORMAT gsm {};
};

TEST_F(RecorderChain, IsLinkedAsTheRecorderLinksIt)
{
    EXPECT_EQ(device.GetOutput(), &file);
    EXPECT_EQ(file.GetInput(), &device);
    EXPECT_EQ(file.GetOutput(), &recorder);
    EXPECT_EQ(recorder.GetInput(), &file);
    EXPECT_EQ(recorder.GetOutput(), &connector);
    EXPECT_EQ(connector.GetInput(), &recorder);
    EXPECT_TRUE(SameFormatBytes(connector.GetPWaveFormat(), &gsm.wfx));
}

TEST_F(RecorderChain, OpeningTheDeviceOpensTheMembersFirstWithItsBufferSize)
{
    device.Opened();
    EXPECT_EQ(gLog, TLog({ "File:Opened", "Rec:Opened", "Conn:Opened", "In:Opened" }));
    for (TMMDSPComponent* member :
        std::initializer_list<TMMDSPComponent*> { &device, &file, &recorder, &connector }) {
        SCOPED_TRACE(member->Name().toStdString());
        EXPECT_TRUE(member->IsOpen());
        EXPECT_EQ(member->BufferSize(), 4096);
        EXPECT_EQ(member->GetBufferSize(), 4095);
    }
    EXPECT_FALSE(device.HasUpstreamDevice());
}

TEST_F(RecorderChain, EveryNotificationReachesTheMembersBeforeTheDevice)
{
    device.Opened();
    gLog.clear();
    device.Started();
    device.Paused();
    device.Restarted();
    device.Reset();
    device.Looped();
    EXPECT_EQ(gLog,
        TLog({ "File:Started", "Rec:Started", "Conn:Started", "In:Started", //
            "File:Paused", "Rec:Paused", "Conn:Paused", "In:Paused", //
            "File:Restarted", "Rec:Restarted", "Conn:Restarted", "In:Restarted", //
            "File:Reset", "Rec:Reset", "Conn:Reset", "In:Reset", //
            "File:Looped", "Rec:Looped", "Conn:Looped", "In:Looped" }));
    EXPECT_TRUE(connector.IsStarted());
    gLog.clear();

    device.Stopped();
    device.Closed();
    EXPECT_EQ(gLog,
        TLog({ "File:Stopped", "Rec:Stopped", "Conn:Stopped", "In:Stopped", //
            "File:Closed", "Rec:Closed", "Conn:Closed", "In:Closed" }));
    for (TMMDSPComponent* member :
        std::initializer_list<TMMDSPComponent*> { &device, &file, &recorder, &connector }) {
        SCOPED_TRACE(member->Name().toStdString());
        EXPECT_FALSE(member->IsOpen());
        EXPECT_FALSE(member->IsStarted());
    }
}

TEST_F(RecorderChain, TheConnectorsOpenStateFollowsTheDevice)
{
    EXPECT_FALSE(connector.IsOpen());
    device.Opened();
    EXPECT_TRUE(connector.IsOpen());
    device.Stopped();
    device.Closed();
    EXPECT_FALSE(connector.IsOpen());
}

// Head -> D1 -> M1 -> D2 -> M2: each device drives its own part.
class TwoDeviceChain : public ChainTest {
protected:
    void SetUp() override
    {
        ChainTest::SetUp();
        head.SetOutput(&first);
        first.SetOutput(&m1);
        m1.SetOutput(&second);
        second.SetOutput(&m2);
        first.SetBufferSize(1000);
        gLog.clear();
    }

    TTestMember head { nullptr, "Head" };
    TTestInlineDevice first { nullptr, "D1" };
    TTestMember m1 { nullptr, "M1" };
    TTestInlineDevice second { nullptr, "D2" };
    TTestMember m2 { nullptr, "M2" };
};

TEST_F(TwoDeviceChain, OpenedReachesTheHeadAndCarriesOnThroughTheNextDevice)
{
    first.Opened();
    EXPECT_EQ(gLog, TLog({ "Head:Opened", "M1:Opened", "M2:Opened", "D2:Opened", "D1:Opened" }));
    EXPECT_FALSE(first.HasUpstreamDevice());
    EXPECT_TRUE(second.HasUpstreamDevice());
    for (TMMDSPComponent* member : std::initializer_list<TMMDSPComponent*> { &head, &m1, &second, &m2 }) {
        SCOPED_TRACE(member->Name().toStdString());
        EXPECT_EQ(member->BufferSize(), 1000);
        EXPECT_TRUE(member->IsOpen());
    }
}

TEST_F(TwoDeviceChain, ClosedReachesTheNextDeviceFirst)
{
    first.Opened();
    gLog.clear();
    first.Closed();
    EXPECT_EQ(gLog, TLog({ "M2:Closed", "D2:Closed", "Head:Closed", "M1:Closed", "D1:Closed" }));
    gLog.clear();
    first.Stopped();
    EXPECT_EQ(gLog, TLog({ "M2:Stopped", "D2:Stopped", "Head:Stopped", "M1:Stopped", "D1:Stopped" }));
}

TEST_F(TwoDeviceChain, ADeviceWithAnUpstreamDeviceDrivesOnlyItsOwnPart)
{
    second.Opened();
    EXPECT_EQ(gLog, TLog({ "M2:Opened", "D2:Opened" }));
    EXPECT_TRUE(second.HasUpstreamDevice());
    EXPECT_FALSE(m1.IsOpen());
    EXPECT_FALSE(head.IsOpen());
    gLog.clear();
    second.Started();
    second.Closed();
    EXPECT_EQ(gLog, TLog({ "M2:Started", "D2:Started", "M2:Closed", "D2:Closed" }));
}

// ---------------------------------------------------------------------------
// Buffers

TEST_F(ChainTest, BufferReadyPassesTheSameRecordDownAndChangesTravelWithIt)
{
    TTestDevice device(nullptr, "In");
    TTestMember file(nullptr, "File");
    TTestMember connector(nullptr, "Conn");
    device.SetOutput(&file);
    file.SetOutput(&connector);

    std::vector<std::pair<TObject*, PWaveHdr>> seen;
    char firstByteAtConnector = 0;
    device.SetOnBufferReady([&](TObject* sender, PWaveHdr header) { seen.emplace_back(sender, header); });
    file.SetOnBufferReady([&](TObject* sender, PWaveHdr header) {
        seen.emplace_back(sender, header);
        header->lpData[0] = 'x';
    });
    connector.SetOnBufferReady([&](TObject* sender, PWaveHdr header) {
        seen.emplace_back(sender, header);
        firstByteAtConnector = header->lpData[0];
    });

    std::vector<char> block(kBufferRecordSize + 16);
    auto* record = reinterpret_cast<TMMBufferRecord*>(block.data());
    InitBufferRecord(record, 16);
    record->Header.dwBytesRecorded = 16;
    device.BufferReady(&record->Header);

    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].first, static_cast<TObject*>(&device));
    EXPECT_EQ(seen[1].first, static_cast<TObject*>(&file));
    EXPECT_EQ(seen[2].first, static_cast<TObject*>(&connector));
    for (const auto& entry : seen)
        EXPECT_EQ(entry.second, &record->Header);
    EXPECT_EQ(firstByteAtConnector, 'x');
}

TEST_F(ChainTest, BufferLoadTravelsUpToTheSource)
{
    TTestMember source(nullptr, "Source");
    TTestMember middle(nullptr, "Middle");
    TTestMember player(nullptr, "Player");
    source.SetOutput(&middle);
    middle.SetOutput(&player);

    std::vector<std::string> order;
    source.SetOnBufferLoad([&](TObject*, PWaveHdr header, bool& more) {
        order.push_back("Source");
        std::memcpy(header->lpData, "data", 4);
        header->dwBytesRecorded = 4;
        more = false;
    });
    middle.SetOnBufferLoad([&](TObject*, PWaveHdr, bool&) { order.push_back("Middle"); });
    player.SetOnBufferLoad([&](TObject*, PWaveHdr, bool&) { order.push_back("Player"); });

    std::vector<char> block(kBufferRecordSize + 8);
    auto* record = reinterpret_cast<TMMBufferRecord*>(block.data());
    InitBufferRecord(record, 8);
    bool moreBuffers = true;
    player.BufferLoad(&record->Header, moreBuffers);

    EXPECT_EQ(order, (std::vector<std::string> { "Player", "Middle", "Source" }));
    EXPECT_FALSE(moreBuffers) << "the source's answer reaches the consumer";
    EXPECT_EQ(record->Header.dwBytesRecorded, 4u);
    EXPECT_EQ(std::string(record->Header.lpData, 4), "data");
}

// ---------------------------------------------------------------------------
// Removal and destruction

TEST_F(ChainTest, DeletingAMiddleMemberClearsItsNeighbours)
{
    TTestMember head(nullptr, "Head");
    auto* middle = new TTestMember(nullptr, "Middle");
    TTestMember tail(nullptr, "Tail");
    const WAVEFORMATEX stereo = StereoPcmFormat();
    head.SetPWaveFormat(&stereo);
    head.SetOutput(middle);
    middle->SetOutput(&tail);
    ASSERT_TRUE(SameFormatBytes(tail.GetPWaveFormat(), &stereo));
    const auto registered = TMMDSPComponent::ChainRegistry();
    ASSERT_NE(std::find(registered.begin(), registered.end(), middle), registered.end());

    delete middle;

    EXPECT_EQ(head.GetOutput(), nullptr);
    EXPECT_TRUE(head.OutputPropName().isEmpty());
    EXPECT_EQ(tail.GetInput(), nullptr);
    EXPECT_EQ(tail.GetPWaveFormat(), nullptr) << "the tail lost its format with its input";
    const auto after = TMMDSPComponent::ChainRegistry();
    EXPECT_EQ(std::find(after.begin(), after.end(), static_cast<TMMDSPComponent*>(middle)), after.end());

    // Both survivors work on: no dangling partner is reached.
    head.SetOutput(&tail);
    EXPECT_TRUE(SameFormatBytes(tail.GetPWaveFormat(), &stereo));
    std::vector<char> block(kBufferRecordSize);
    auto* record = reinterpret_cast<TMMBufferRecord*>(block.data());
    InitBufferRecord(record, 0);
    head.BufferReady(&record->Header);
}

TEST_F(ChainTest, DeletingAnOwnedMemberClearsItsNeighboursInTheOwnersTree)
{
    TTestMember owner(nullptr, "Owner");
    auto* head = new TTestMember(&owner, "Head");
    auto* middle = new TTestMember(&owner, "Middle");
    auto* tail = new TTestMember(&owner, "Tail");
    head->SetOutput(middle);
    middle->SetOutput(tail);

    delete middle;
    EXPECT_EQ(head->GetOutput(), nullptr);
    EXPECT_EQ(tail->GetInput(), nullptr);
    EXPECT_EQ(owner.ComponentCount(), 2);
}

TEST_F(ChainTest, DestroyingAnOwnerWithALinkedChainLeavesNoDanglingLinks)
{
    auto* owner = new TTestMember(nullptr, "Owner");
    TTestMember outside(nullptr, "Outside");
    auto* device = new TTestDevice(owner, "In");
    auto* file = new TTestMember(owner, "File");
    device->SetOutput(file);
    file->SetOutput(&outside);

    delete owner;
    EXPECT_EQ(outside.GetInput(), nullptr);
    const auto registered = TMMDSPComponent::ChainRegistry();
    EXPECT_EQ(std::find(registered.begin(), registered.end(), static_cast<TMMDSPComponent*>(file)),
        registered.end());
}

TEST_F(ChainTest, RemovingAMemberFromItsOwnerUnlinksIt)
{
    TTestMember owner(nullptr, "Owner");
    auto* head = new TTestMember(&owner, "Head");
    auto* middle = new TTestMember(&owner, "Middle");
    auto* tail = new TTestMember(&owner, "Tail");
    head->SetOutput(middle);
    middle->SetOutput(tail);

    owner.RemoveComponent(middle);
    std::unique_ptr<TTestMember> removed(middle);
    EXPECT_EQ(head->GetOutput(), nullptr);
    EXPECT_EQ(tail->GetInput(), nullptr);
    EXPECT_EQ(middle->GetInput(), nullptr);
    EXPECT_EQ(middle->GetOutput(), nullptr);
}

TEST_F(ChainTest, DeletingAComponentClearsEvenOneSidedRawLinksToIt)
{
    TTestMember keeper(nullptr, "Keeper");
    auto* gone = new TTestMember(nullptr, "Gone");
    keeper.SetInputLink(gone, QStringLiteral("Output"));
    keeper.SetOutputLink(gone, QStringLiteral("Input"));
    delete gone;
    EXPECT_EQ(keeper.GetInput(), nullptr);
    EXPECT_EQ(keeper.GetOutput(), nullptr);
}

TEST_F(ChainTest, TheChainRegistryKeepsCreationOrder)
{
    TTestMember first(nullptr, "First");
    TTestDevice second(nullptr, "Second");
    TTestMember third(nullptr, "Third");
    const auto registered = TMMDSPComponent::ChainRegistry();
    auto position = [&](TMMDSPComponent* member) {
        return std::find(registered.begin(), registered.end(), member) - registered.begin();
    };
    EXPECT_LT(position(&first), position(&second));
    EXPECT_LT(position(&second), position(&third));
    EXPECT_EQ(position(&third), static_cast<long>(registered.size()) - 1);
}

// ---------------------------------------------------------------------------
// Events and stored forms

class TChainForm : public TComponent {
    Q_OBJECT
public:
    using TComponent::TComponent;

    Q_INVOKABLE void HeadData(TObject* Sender, PWaveHdr lpWaveHdr)
    {
        DataSender = Sender;
        DataHeader = lpWaveHdr;
    }
    Q_INVOKABLE void TailLoad(TObject* Sender, PWaveHdr lpWaveHdr, bool& MoreBuffers)
    {
        LoadSender = Sender;
        LoadHeader = lpWaveHdr;
        MoreBuffers = false;
    }

    TObject* DataSender = nullptr;
    PWaveHdr DataHeader = nullptr;
    TObject* LoadSender = nullptr;
    PWaveHdr LoadHeader = nullptr;
};

TEST_F(ChainTest, AStoredFormLinksTheChainBindsItsEventsAndSendsTheFormatWhenLoaded)
{
    RegisterClasses<TChainForm, TTestMember>();
    const QByteArray text = R"(object Form1: TChainForm
  object Head: TTestMember
    SampleRate = 8000
    Output = Tail
    OnBufferReady = HeadData
  end
  object Tail: TTestMember
    OnBufferLoad = TailLoad
  end
end
)";
    TChainForm form(nullptr);
    tonvara::test::ReadFormText(text, &form, QStringLiteral("chain.dfm"));

    auto* head = form.FindComponent<TTestMember>(QStringLiteral("Head"));
    auto* tail = form.FindComponent<TTestMember>(QStringLiteral("Tail"));
    ASSERT_TRUE(head != nullptr && tail != nullptr);
    EXPECT_EQ(head->GetOutput(), tail);
    EXPECT_EQ(tail->GetInput(), head);
    ASSERT_NE(tail->GetPWaveFormat(), nullptr) << "Loaded forwards the format held back while reading";
    EXPECT_EQ(tail->GetPWaveFormat()->nSamplesPerSec, 8000u);

    std::vector<char> block(kBufferRecordSize);
    auto* record = reinterpret_cast<TMMBufferRecord*>(block.data());
    InitBufferRecord(record, 0);
    head->BufferReady(&record->Header);
    EXPECT_EQ(form.DataSender, static_cast<TObject*>(head));
    EXPECT_EQ(form.DataHeader, &record->Header);

    bool moreBuffers = true;
    tail->BufferLoad(&record->Header, moreBuffers);
    EXPECT_EQ(form.LoadSender, static_cast<TObject*>(tail));
    EXPECT_EQ(form.LoadHeader, &record->Header);
    EXPECT_FALSE(moreBuffers) << "the handler's answer reaches the caller through the reference";

    EXPECT_EQ(EventMethodName(head->OnBufferReady()), QString("HeadData"));
    EXPECT_EQ(EventMethodName(tail->OnBufferLoad()), QString("TailLoad"));
}

TEST(ChainEvents, BothEventTypesAreKnownToStoredForms)
{
    TTestMember member(nullptr);
    EXPECT_NE(FindEventTypeInfo(QMetaType::fromType<TMMBufferEvent>()), nullptr);
    EXPECT_NE(FindEventTypeInfo(QMetaType::fromType<TMMBufferLoadEvent>()), nullptr);
}

// ---------------------------------------------------------------------------
// Device threads and SyncCall

using tonvara::test::TDeliveryThread;

TEST(DeviceThreads, AreRegisteredFromCreationToDestruction)
{
    TTestDevice device(nullptr, "In");
    const int before = TMMDSPThread::DeviceThreadCount();
    auto thread = std::make_unique<TDeliveryThread>(&device, [] {});
    EXPECT_TRUE(thread->Suspended()) << "created suspended";
    EXPECT_EQ(thread->Owner(), &device);
    EXPECT_EQ(TMMDSPThread::DeviceThreadCount(), before + 1);
    EXPECT_TRUE(TMMDSPThread::IsDeviceThread(thread->ThreadID()));
    EXPECT_FALSE(TMMDSPThread::IsDeviceThread(GetCurrentThreadId()));
    const DWORD id = thread->ThreadID();
    thread.reset();
    EXPECT_EQ(TMMDSPThread::DeviceThreadCount(), before);
    EXPECT_FALSE(TMMDSPThread::IsDeviceThread(id));
}

TEST(SyncCallTest, RunsDirectlyInTheMainThreadAndInThreadsThatAreNoDeviceThreads)
{
    DWORD ranIn = 0;
    SyncCall([&] { ranIn = GetCurrentThreadId(); });
    EXPECT_EQ(ranIn, MainThreadID());

    std::atomic<DWORD> otherRanIn { 0 };
    std::atomic<DWORD> otherId { 0 };
    std::thread other([&] {
        otherId = GetCurrentThreadId();
        SyncCall([&] { otherRanIn = GetCurrentThreadId(); });
    });
    other.join();
    EXPECT_EQ(otherRanIn.load(), otherId.load());
    EXPECT_NE(otherRanIn.load(), MainThreadID());
}

TEST(SyncCallTest, FromADeviceThreadRunsInTheMainThreadWhileItWaitsInAMessageDelay)
{
    TTestDevice device(nullptr, "In");
    std::atomic<DWORD> ranIn { 0 };
    std::atomic<bool> ranInMain { false };
    std::atomic<bool> errorCameBack { false };
    TEvent done(true, false);
    TDeliveryThread thread(&device, [&] {
        SyncCall([&] {
            ranIn = GetCurrentThreadId();
            ranInMain = IsMainThread();
        });
        try {
            SyncCall([] { throw EAbort(QStringLiteral("raised in the main thread")); });
        } catch (const EAbort& e) {
            errorCameBack = e.Message() == QStringLiteral("raised in the main thread");
        }
        done.SetEvent();
    });
    thread.Resume();

    // The main thread waits the way a device waits for its worker: in
    // delays that process messages, which is where the calls are served.
    for (int round = 0; round < 1000 && done.WaitFor(0) != wrSignaled; ++round)
        Delay(10, true);
    ASSERT_EQ(done.WaitFor(0), wrSignaled) << "the device thread's calls were not served";
    thread.WaitFor();
    EXPECT_EQ(ranIn.load(), MainThreadID());
    EXPECT_TRUE(ranInMain.load());
    EXPECT_TRUE(errorCameBack.load()) << "what the method raises reaches the device thread";
}

TEST(SyncCallTest, AThreadThatIsNoDeviceThreadRunsTheMethodItself)
{
    // A worker of the same kinds, but not registered: a plain TMMThreadEx.
    class TWorker : public TMMThreadEx {
    public:
        TWorker()
            : TMMThreadEx(true)
        {
        }
        ~TWorker() override
        {
            Terminate();
            if (!Suspended())
                WaitFor();
        }
        std::atomic<DWORD> RanIn { 0 };
        std::atomic<DWORD> Own { 0 };

    protected:
        void Execute() override
        {
            Own = GetCurrentThreadId();
            SyncCall([this] { RanIn = GetCurrentThreadId(); });
        }
    };
    TWorker worker;
    worker.Resume();
    worker.WaitFor();
    EXPECT_EQ(worker.RanIn.load(), worker.Own.load());
    EXPECT_NE(worker.RanIn.load(), MainThreadID());
}

struct TCounter {
    void Bump() { ++Count; }
    int Count = 0;
};

TEST(SyncCallTest, CallsAMethodOfAnObject)
{
    TCounter counter;
    SyncCall(&counter, &TCounter::Bump);
    EXPECT_EQ(counter.Count, 1);
    SyncCall(std::function<void()>());
}

} // namespace

#include "MMDSPObj_test.moc"
