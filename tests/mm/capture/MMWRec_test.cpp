// The recorder without a sound server: its stored form (the program's two
// recorders with their "WaveFormatEx"), the properties it forwards, its
// format handling and what it does while idle. Recording is in
// MMWRec_audio_test.cpp.
#include "mm/capture/MMACM.h"
#include "mm/capture/MMWRec.h"
#include "mm/capture/MMWaveIO.h"
#include "mm/format/MMWaveFormat.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/FormReader.h"
#include "platform/ui/FormWriter.h"
#include "support/RecorderForms.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace {

using tonvara::test::kMonoDosya;
using tonvara::test::kStereoDosya;

std::unique_ptr<TMMWaveRecorder> ReadRecorder(const QByteArray& text)
{
    std::unique_ptr<TComponent> read(ReadComponentFromText(text, nullptr));
    auto* recorder = qobject_cast<TMMWaveRecorder*>(read.get());
    if (recorder != nullptr)
        read.release();
    return std::unique_ptr<TMMWaveRecorder>(recorder);
}

class WaveRecorderTest : public testing::Test {
protected:
    // No sound server here: the devices are counted against an address
    // where nothing listens (and no server gets started on demand).
    void SetUp() override
    {
        const char* old = std::getenv("PULSE_SERVER");
        FOldServer = old != nullptr ? old : "";
        FHadServer = old != nullptr;
        const std::string missing
            = "unix:" + tonvara::test::MakeTempDir("noserver").toStdString() + "/native";
        setenv("PULSE_SERVER", missing.c_str(), 1);
        FPreviousDialogs = SetMessageDialogHandler([this](const TMessageDialogRequest& request) {
            Dialogs.push_back(request);
            return mrOk;
        });
    }
    void TearDown() override
    {
        SetMessageDialogHandler(FPreviousDialogs);
        if (FHadServer)
            setenv("PULSE_SERVER", FOldServer.c_str(), 1);
        else
            unsetenv("PULSE_SERVER");
    }

    std::vector<TMessageDialogRequest> Dialogs;

private:
    std::string FOldServer;
    bool FHadServer = false;
    TMessageDialogHandler FPreviousDialogs;
};

TEST_F(WaveRecorderTest, MonoDosyaReadsItsSettingsAndItsGsmFormat)
{
    auto mono = ReadRecorder(kMonoDosya);
    ASSERT_NE(mono, nullptr);
    EXPECT_EQ(mono->GetBufferSize(), 4096);
    EXPECT_EQ(mono->NumBuffers(), 20);
    EXPECT_EQ(mono->DeviceID(), MapperId);
    EXPECT_EQ(mono->TimeFormat(), tfMillisecond);
    EXPECT_EQ(mono->Wave()->TimeFormat(), tfMillisecond);
    EXPECT_FALSE(mono->Wave()->FileMustExist());
    EXPECT_EQ(mono->CallBackMode(), cmThread);
    EXPECT_EQ(mono->MaxRecordTime(), -1);
    EXPECT_EQ(mono->Mode(), mMono);
    EXPECT_EQ(mono->BitLength(), b8Bit);
    EXPECT_EQ(mono->SampleRate(), 8000);
    EXPECT_TRUE(mono->OverwriteExisting());

    // The stored compressed format wins over the PCM layout.
    const LPCWAVEFORMATEX format = mono->WaveIn()->GetPWaveFormat();
    ASSERT_NE(format, nullptr);
    ASSERT_EQ(WaveFormatSize(format), 20u);
    const auto* gsm = reinterpret_cast<const GSM610WAVEFORMAT*>(format);
    EXPECT_EQ(gsm->wfx.wFormatTag, WAVE_FORMAT_GSM610);
    EXPECT_EQ(gsm->wfx.nChannels, 1);
    EXPECT_EQ(gsm->wfx.nSamplesPerSec, 8000u);
    EXPECT_EQ(gsm->wfx.nAvgBytesPerSec, 1625u);
    EXPECT_EQ(gsm->wfx.nBlockAlign, 65);
    EXPECT_EQ(gsm->wfx.wBitsPerSample, 0);
    EXPECT_EQ(gsm->wSamplesPerBlock, 320);
    EXPECT_TRUE(WaveFormatsEqual(mono->PWaveFormat(), format))
        << "the format came back through the wave file";
    EXPECT_TRUE(WaveFormatsEqual(mono->WaveFile()->PWaveFormat(), format));

    QString name;
    QString description;
    ASSERT_TRUE(GetFormatNames(format, name, description));
    EXPECT_EQ(mono->InputFormat(), name + " " + description);
    EXPECT_TRUE(mono->InputFormat().startsWith("GSM 6.10 ")) << mono->InputFormat().toStdString();
}

TEST_F(WaveRecorderTest, StereoDosyaRecordsPcmAndStoresNoFormat)
{
    auto stereo = ReadRecorder(kStereoDosya);
    ASSERT_NE(stereo, nullptr);
    WAVEFORMATEX expected;
    BuildPCMFormat(&expected, 16, 2, 48000);
    EXPECT_TRUE(WaveFormatsEqual(stereo->WaveIn()->GetPWaveFormat(), &expected));
    EXPECT_TRUE(WaveFormatsEqual(stereo->PWaveFormat(), &expected));
    EXPECT_EQ(stereo->CallBackMode(), cmWindow);
    const QString written = QString::fromUtf8(ComponentToText(stereo.get()));
    EXPECT_FALSE(written.contains("WaveFormatEx")) << written.toStdString();
    EXPECT_FALSE(written.contains("InputFormat"));
    EXPECT_FALSE(written.contains("ProductName"));
    EXPECT_TRUE(written.contains("SampleRate = 48000"));
    EXPECT_TRUE(written.contains("MaxRecordTime = -1")) << "the recorder's properties have no stored default";
    EXPECT_TRUE(written.contains("Wave.TimeFormat = tfMillisecond"));
}

TEST_F(WaveRecorderTest, TheStoredFormatIsWrittenBackAndReadsTheSame)
{
    auto mono = ReadRecorder(kMonoDosya);
    ASSERT_NE(mono, nullptr);
    const QByteArray written = ComponentToText(mono.get());
    EXPECT_TRUE(QString::fromUtf8(written)
                    .remove(QRegularExpression("\\s"))
                    .contains("WaveFormatEx={31000100401F0000590600004100000002004001}"))
        << written.toStdString();
    auto again = ReadRecorder(written);
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(WaveFormatsEqual(again->WaveIn()->GetPWaveFormat(), mono->WaveIn()->GetPWaveFormat()));
    EXPECT_EQ(again->CallBackMode(), cmThread);
}

TEST_F(WaveRecorderTest, AStoredFormatShorterThanItsRecordIsRefused)
{
    QByteArray text = kMonoDosya;
    text.replace("31000100401F0000590600004100000002004001", "31000100401F00005906000041000000");
    EXPECT_THROW(ReadRecorder(text), EReadError) << "16 bytes are no format record";
    text = kMonoDosya;
    text.replace("31000100401F0000590600004100000002004001", "31000100401F0000590600004100000002");
    EXPECT_THROW(ReadRecorder(text), EReadError) << "announces 2 extra bytes it does not have";
}

TEST_F(WaveRecorderTest, AnExistingFileNeverReplacesTheRecordingFormat)
{
    // A PCM file of another format, made by the RIFF layer.
    const QString name = tonvara::test::MakeTempDir("recorder") + "/existing.wav";
    WAVEFORMATEX pcm;
    BuildPCMFormat(&pcm, 16, 1, 22050);
    PWaveIOCB block = nullptr;
    ASSERT_EQ(WaveIOFromFormat(&pcm, &block), kWaveIOOk);
    ASSERT_EQ(WaveIOCreate(block, name.toLocal8Bit().constData()), kWaveIOOk);
    const std::vector<char> silence(4410, 0);
    ASSERT_EQ(WaveIOWrite(block, silence.data(), static_cast<LONG>(silence.size())), 4410);
    WaveIOFree(block);

    auto mono = ReadRecorder(kMonoDosya);
    ASSERT_NE(mono, nullptr);
    int changes = 0;
    mono->SetOnChange([&](TObject*) { ++changes; });
    mono->Wave()->SetFileName(name);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(mono->Wave()->FormatTag(), WAVE_FORMAT_PCM) << "the file is attached";
    EXPECT_EQ(mono->WaveIn()->GetPWaveFormat()->wFormatTag, WAVE_FORMAT_GSM610);
    EXPECT_EQ(mono->PWaveFormat()->wFormatTag, WAVE_FORMAT_GSM610)
        << "the file's format did not reach the recorder";
    mono->Wave()->SetFileName(name + ".new");
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(mono->PWaveFormat()->wFormatTag, WAVE_FORMAT_GSM610);
}

TEST_F(WaveRecorderTest, PropertiesGoToTheWaveInputAndTheWave)
{
    TMMWaveRecorder recorder(nullptr);
    recorder.SetTimeFormat(tfSample);
    EXPECT_EQ(recorder.WaveIn()->TimeFormat(), tfSample);
    EXPECT_EQ(recorder.Wave()->TimeFormat(), tfSample);
    recorder.SetNumBuffers(800);
    EXPECT_EQ(recorder.WaveIn()->GetNumBuffers(), 500);
    recorder.SetBufferSize(10);
    EXPECT_EQ(recorder.WaveIn()->GetBufferSize(), 32);
    recorder.SetMaxRecordTime(1234);
    EXPECT_EQ(recorder.WaveIn()->MaxRecordTime(), 1234);
    recorder.SetSampleRate(22050);
    recorder.SetMode(mStereo);
    recorder.SetBitLength(b16Bit);
    WAVEFORMATEX expected;
    BuildPCMFormat(&expected, 16, 2, 22050);
    EXPECT_TRUE(WaveFormatsEqual(recorder.WaveIn()->GetPWaveFormat(), &expected));
    EXPECT_TRUE(WaveFormatsEqual(recorder.PWaveFormat(), &expected));
    recorder.SetOverwriteExisting(false);
    EXPECT_FALSE(recorder.WaveFile()->OverwriteExisting());
    recorder.SetProductName("other");
    EXPECT_EQ(recorder.ProductName(), recorder.WaveIn()->GetProductName());
    recorder.SetCallBackMode(cmThread);
    EXPECT_EQ(recorder.WaveIn()->GetCallBackMode(), cmThread);

    TMMWave other;
    other.SetTimeFormat(tfByte);
    recorder.SetWave(&other);
    EXPECT_EQ(recorder.Wave()->TimeFormat(), tfByte) << "the wave is copied, not replaced";
    EXPECT_NE(recorder.Wave(), &other);
}

TEST_F(WaveRecorderTest, InputFormatIsReadOnly)
{
    TMMWaveRecorder recorder(nullptr);
    const QString before = recorder.InputFormat();
    recorder.SetInputFormat("PCM");
    ASSERT_EQ(Dialogs.size(), 1u);
    EXPECT_EQ(Dialogs[0].Text, "This is a read-only property, please use SelectFormat.");
    EXPECT_EQ(Dialogs[0].Type, mtInformation);
    EXPECT_EQ(Dialogs[0].Buttons, std::vector<TModalResult> { mrOk });
    EXPECT_EQ(recorder.InputFormat(), before);
    recorder.WaveIn()->SetPWaveFormat(nullptr);
    EXPECT_EQ(recorder.InputFormat(), "Unknown");
}

TEST_F(WaveRecorderTest, WhileIdle)
{
    TMMWaveRecorder recorder(nullptr);
    EXPECT_EQ(recorder.Position(), 0);
    EXPECT_EQ(recorder.State(), TMMWaveInState(wsClosed));
    // Without a file name Start does nothing and reports nothing (and no
    // device is asked for).
    int starts = 0;
    recorder.SetOnStart([&](TObject*) { ++starts; });
    EXPECT_NO_THROW(recorder.Start());
    EXPECT_EQ(starts, 0);
    EXPECT_EQ(recorder.State(), TMMWaveInState(wsClosed));
    EXPECT_NO_THROW(recorder.Stop());

    recorder.SetOverwriteExisting(false);
    EXPECT_EQ(recorder.Position(), -1) << "the wave's position, and no file is attached";
    recorder.Wave()->SetFileName(tonvara::test::MakeTempDir("recorder") + "/new.wav");
    EXPECT_EQ(recorder.Position(), -1) << "a name alone is no file";
}

TEST_F(WaveRecorderTest, WithoutADeviceStartFailsAndLeavesNothingOpen)
{
    TMMWaveRecorder recorder(nullptr);
    recorder.SetDeviceID(MapperId);
    int errors = 0;
    recorder.WaveIn()->SetOnError([&](TObject*) { ++errors; });
    const QString file = tonvara::test::MakeTempDir("recorder") + "/never.wav";
    recorder.Wave()->SetFileName(file);
    try {
        recorder.Start();
        ADD_FAILURE() << "no device, yet Start went through";
    } catch (const EMMWaveInError& e) {
        EXPECT_EQ(e.Message(), "No wave audio recording device found");
        EXPECT_EQ(errors, 1);
    }
    EXPECT_EQ(recorder.State(), TMMWaveInState(wsClosed));
    EXPECT_FALSE(QFile::exists(file)) << "no file without a device";
}

} // namespace
