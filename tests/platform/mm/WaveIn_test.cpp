// The wave input's front: what it refuses before any device is touched, and
// its error texts. Recording itself is in WaveIn_audio_test.cpp.
#include "platform/mm/WaveIn.h"

#include <cstring>
#include <gtest/gtest.h>
#include <set>
#include <string>

namespace {

WAVEFORMATEX StereoPcm()
{
    WAVEFORMATEX f {};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = 2;
    f.nSamplesPerSec = 48000;
    f.wBitsPerSample = 16;
    f.nBlockAlign = 4;
    f.nAvgBytesPerSec = 192000;
    return f;
}

void IgnoreCallback(HWAVEIN, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR)
{
}

TEST(WaveInErrorText, EveryCodeTheEntriesReturnHasItsOwnText)
{
    const MMRESULT codes[] = { MMSYSERR_NOERROR, MMSYSERR_ERROR, MMSYSERR_BADDEVICEID, MMSYSERR_NOTENABLED,
        MMSYSERR_ALLOCATED, MMSYSERR_INVALHANDLE, MMSYSERR_NODRIVER, MMSYSERR_NOMEM, MMSYSERR_NOTSUPPORTED,
        MMSYSERR_BADERRNUM, MMSYSERR_INVALFLAG, MMSYSERR_INVALPARAM, MMSYSERR_HANDLEBUSY, MMSYSERR_READERROR,
        WAVERR_BADFORMAT, WAVERR_STILLPLAYING, WAVERR_UNPREPARED, WAVERR_SYNC };
    std::set<std::string> texts;
    for (MMRESULT code : codes) {
        char text[MAXERRORLENGTH];
        ASSERT_EQ(waveInGetErrorTextA(code, text, sizeof(text)), MMSYSERR_NOERROR) << code;
        EXPECT_GT(std::strlen(text), 10u) << code;
        texts.insert(text);
    }
    EXPECT_EQ(texts.size(), std::size(codes)) << "two codes share a text";
    char text[MAXERRORLENGTH];
    ASSERT_EQ(waveInGetErrorTextA(WAVERR_BADFORMAT, text, sizeof(text)), MMSYSERR_NOERROR);
    EXPECT_STREQ(text, "The sound device cannot record in this format.");
}

TEST(WaveInErrorText, UnknownCodesAndShortBuffers)
{
    char text[8] = "xxxxxxx";
    EXPECT_EQ(waveInGetErrorTextA(4711, text, sizeof(text)), MMSYSERR_BADERRNUM);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(waveInGetErrorTextA(WAVERR_BADFORMAT, text, sizeof(text)), MMSYSERR_NOERROR);
    EXPECT_STREQ(text, "The sou") << "cut to the buffer, terminated";
    EXPECT_EQ(waveInGetErrorTextA(WAVERR_BADFORMAT, nullptr, 10), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveInGetErrorTextA(WAVERR_BADFORMAT, text, 0), MMSYSERR_INVALPARAM);
}

TEST(WaveInFront, HandlesThatWereNeverOpenedAreRefused)
{
    const HWAVEIN handles[] = { nullptr, reinterpret_cast<HWAVEIN>(0x1234) };
    for (HWAVEIN handle : handles) {
        WAVEHDR header {};
        char data[64];
        header.lpData = data;
        header.dwBufferLength = sizeof(data);
        MMTIME time { TIME_SAMPLES, {} };
        UINT id = 0;
        TWaveInStatistics statistics {};
        statistics.Size = sizeof(statistics);
        EXPECT_EQ(waveInClose(handle), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveInPrepareHeader(handle, &header, sizeof(header)), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveInUnprepareHeader(handle, &header, sizeof(header)), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveInAddBuffer(handle, &header, sizeof(header)), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveInStart(handle), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveInStop(handle), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveInReset(handle), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveInGetPosition(handle, &time, sizeof(time)), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveInGetID(handle, &id), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(WaveInGetStatistics(handle, &statistics), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(WaveInSetLevelWatch(handle, 1), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(header.dwFlags, 0u) << "a refused call leaves the header alone";
    }
}

TEST(WaveInFront, OpenChecksItsArgumentsBeforeTheDevice)
{
    const WAVEFORMATEX format = StereoPcm();
    HWAVEIN handle = nullptr;
    const auto callback = reinterpret_cast<DWORD_PTR>(&IgnoreCallback);
    EXPECT_EQ(waveInOpen(&handle, WAVE_MAPPER, &format, callback, 0, CALLBACK_FUNCTION | 0x100),
        MMSYSERR_INVALFLAG);
    EXPECT_EQ(waveInOpen(&handle, WAVE_MAPPER, &format, callback, 0, CALLBACK_WINDOW), MMSYSERR_NOTSUPPORTED);
    EXPECT_EQ(waveInOpen(&handle, WAVE_MAPPER, &format, callback, 0, 0x00040000), MMSYSERR_INVALFLAG);
    EXPECT_EQ(waveInOpen(&handle, WAVE_MAPPER, &format, 0, 0, CALLBACK_FUNCTION), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveInOpen(&handle, WAVE_MAPPER, &format, 0, 0, CALLBACK_EVENT), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveInOpen(nullptr, WAVE_MAPPER, &format, callback, 0, CALLBACK_FUNCTION), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveInOpen(&handle, WAVE_MAPPER, nullptr, callback, 0, CALLBACK_FUNCTION), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveInOpen(&handle, 100000, &format, callback, 0, CALLBACK_FUNCTION), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(handle, nullptr);
}

TEST(WaveInFront, CapabilitiesNeedARecordAndAKnownDevice)
{
    WAVEINCAPSA caps {};
    EXPECT_EQ(waveInGetDevCapsA(0, nullptr, sizeof(caps)), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveInGetDevCapsA(waveInGetNumDevs(), &caps, sizeof(caps)), MMSYSERR_BADDEVICEID);
}

} // namespace
