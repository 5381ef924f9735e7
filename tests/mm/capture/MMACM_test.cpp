// The compression manager's binding: with the real module, without any, and
// with a manager too old to be used. Each case binds anew for the module it
// names in $TONVARA_ACM_MODULE.
#include "mm/capture/MMACM.h"
#include "mm/format/MMWaveFormat.h"
#include "support/TestSupport.h"
#include "support/WaveFormats.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

namespace {

using tonvara::test::GsmFormat;

class MMACM : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const char* saved = std::getenv(kAcmModuleVariable)) {
            FHadModule = true;
            FSavedModule = saved;
        }
    }
    void TearDown() override
    {
        if (FHadModule)
            setenv(kAcmModuleVariable, FSavedModule.c_str(), 1);
        else
            unsetenv(kAcmModuleVariable);
        ReinitializeACM();
    }

    void BindModule(const std::string& path)
    {
        setenv(kAcmModuleVariable, path.c_str(), 1);
        ReinitializeACM();
    }
    void BindRealModule() { BindModule(tonvara::test::AcmModulePath().toStdString()); }

private:
    bool FHadModule = false;
    std::string FSavedModule;
};

TEST_F(MMACM, WithTheModuleGsmIsNamedByTheManager)
{
    BindRealModule();
    ASSERT_TRUE(ACMPresent()) << "the module in the build tree";
    EXPECT_GE(ACMVersion() >> 16, kACMVersion2);
    EXPECT_TRUE(ACMUsable());
    const TACMEntries& entries = ACMEntries();
    EXPECT_NE(entries.acmGetVersion, nullptr);
    EXPECT_NE(entries.acmFormatTagDetailsA, nullptr);
    EXPECT_NE(entries.acmFormatDetailsA, nullptr);
    EXPECT_NE(entries.acmStreamOpen, nullptr);
    EXPECT_NE(entries.acmStreamConvert, nullptr);
    EXPECT_NE(entries.acmStreamUnprepareHeader, nullptr);
    EXPECT_EQ(entries.acmDriverEnum, nullptr) << "not exported by the module: stays null";
    EXPECT_EQ(entries.acmFilterChooseA, nullptr);

    const GSM610WAVEFORMAT gsm = GsmFormat();
    ACMFORMATDETAILSA details {};
    details.cbStruct = sizeof details;
    details.dwFormatTag = WAVE_FORMAT_GSM610;
    details.pwfx = const_cast<LPWAVEFORMATEX>(&gsm.wfx);
    details.cbwfx = sizeof gsm;
    ASSERT_EQ(entries.acmFormatDetailsA(nullptr, &details, ACM_FORMATDETAILSF_FORMAT), MMSYSERR_NOERROR);

    QString name;
    QString description;
    EXPECT_TRUE(GetFormatNames(&gsm.wfx, name, description));
    EXPECT_EQ(name, QStringLiteral("GSM 6.10"));
    EXPECT_EQ(description, QString::fromLatin1(details.szFormat));
    EXPECT_TRUE(description.endsWith(QStringLiteral(" kHz, Mono"))) << description.toStdString();
    EXPECT_NE(description.toStdString(), FormatDescription(&gsm.wfx)) << "not the table's text";

    std::string hookName;
    std::string hookDescription;
    EXPECT_TRUE(GetWaveFormatNames(&gsm.wfx, hookName, hookDescription));
    EXPECT_EQ(QString::fromStdString(hookName), name) << "the naming hook is the manager";
    EXPECT_EQ(QString::fromStdString(hookDescription), description);

    WAVEFORMATEX pcm {};
    BuildPCMFormat(&pcm, 16, 2, 48000);
    EXPECT_TRUE(GetFormatNames(&pcm, name, description));
    EXPECT_EQ(name, QStringLiteral("PCM"));
    EXPECT_TRUE(description.contains(QStringLiteral("16 Bit, Stereo"))) << description.toStdString();
}

TEST_F(MMACM, TheBoundStreamEntriesConvert)
{
    BindRealModule();
    const TACMEntries& acm = ACMEntries();
    ASSERT_TRUE(ACMUsable());
    GSM610WAVEFORMAT gsm = GsmFormat();
    WAVEFORMATEX pcm {};
    BuildPCMFormat(&pcm, 16, 1, 8000);
    HACMSTREAM stream = nullptr;
    ASSERT_EQ(acm.acmStreamOpen(&stream, nullptr, &gsm.wfx, &pcm, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME),
        MMSYSERR_NOERROR);
    DWORD bytes = 0;
    EXPECT_EQ(acm.acmStreamSize(stream, 65 * 4, &bytes, ACM_STREAMSIZEF_SOURCE), MMSYSERR_NOERROR);
    EXPECT_EQ(bytes, 320u * 4 * 2);
    EXPECT_EQ(acm.acmStreamClose(stream, 0), MMSYSERR_NOERROR);
}

TEST_F(MMACM, WithoutTheModuleNothingIsBoundAndNamesComeFromTheTables)
{
    BindModule("/nonexistent/libtonvara_acm.so");
    EXPECT_FALSE(ACMPresent());
    EXPECT_FALSE(ACMUsable());
    EXPECT_EQ(ACMVersion(), 0u);
    const TACMEntries& entries = ACMEntries();
    EXPECT_EQ(entries.acmGetVersion, nullptr);
    EXPECT_EQ(entries.acmFormatTagDetailsA, nullptr);
    EXPECT_EQ(entries.acmStreamOpen, nullptr);

    const GSM610WAVEFORMAT gsm = GsmFormat();
    QString name;
    QString description;
    EXPECT_TRUE(GetFormatNames(&gsm.wfx, name, description));
    EXPECT_EQ(name + QLatin1Char(' ') + description,
        QStringLiteral("GSM 6.10 ") + QString::fromStdString(FormatDescription(&gsm.wfx)));

    std::string hookName;
    std::string hookDescription;
    EXPECT_TRUE(GetWaveFormatNames(&gsm.wfx, hookName, hookDescription));
    EXPECT_EQ(hookName, "GSM 6.10") << "the naming hook is gone with the module";
    EXPECT_EQ(hookDescription, FormatDescription(&gsm.wfx));
}

TEST_F(MMACM, AnEmptyModuleVariableMeansNoManager)
{
    BindModule("");
    EXPECT_FALSE(ACMPresent());
}

TEST_F(MMACM, AManagerBelowVersion2IsPresentButOnlyItsVersionIsBound)
{
    BindModule((tonvara::test::BinaryDir() + "/tests/mm/capture/libtonvara_test_acm_v1.so").toStdString());
    ASSERT_TRUE(ACMPresent());
    EXPECT_EQ(ACMVersion(), 0x01000000u);
    EXPECT_FALSE(ACMUsable());
    const TACMEntries& entries = ACMEntries();
    EXPECT_NE(entries.acmGetVersion, nullptr);
    EXPECT_EQ(entries.acmFormatTagDetailsA, nullptr) << "exported, but not bound at version 1";
    EXPECT_EQ(entries.acmFormatDetailsA, nullptr);

    const GSM610WAVEFORMAT gsm = GsmFormat();
    QString name;
    QString description;
    EXPECT_TRUE(GetFormatNames(&gsm.wfx, name, description));
    EXPECT_EQ(name, QStringLiteral("GSM 6.10"));
    EXPECT_EQ(description.toStdString(), FormatDescription(&gsm.wfx));
}

TEST_F(MMACM, ANullFormatHasNoNames)
{
    BindRealModule();
    QString name = QStringLiteral("x");
    QString description = QStringLiteral("y");
    EXPECT_FALSE(GetFormatNames(nullptr, name, description));
    EXPECT_TRUE(name.isEmpty());
    EXPECT_TRUE(description.isEmpty());
}

} // namespace
