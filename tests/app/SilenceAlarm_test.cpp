// The silence detector on made-up PCM, fed in the buffers of the two
// recordings: when the alarm comes, when it ends and how long the silence
// was, for the inputs an unattended machine meets.
#include "app/SilenceAlarm.h"

#include <cmath>
#include <gtest/gtest.h>
#include <vector>

namespace {

struct TSegment {
    double Seconds;
    double Dbfs; // a 997 Hz tone's peak; below -120: digital silence
};

struct TCase {
    const char* Name;
    std::vector<TSegment> Input;
    // Expected changes: seconds into the input (within a buffer) and the
    // silence seconds reported.
    std::vector<std::pair<double, int>> Silent;
    std::vector<std::pair<double, int>> Sound;
};

const TCase kCases[] = {
    { "dead input", { { 5, -200 } }, { { 3, 3 } }, {} },
    { "a tone at -40 dBFS", { { 10, -40 } }, {}, {} },
    { "speech-like bursts with pauses under the set time",
        { { 1, -20 }, { 2.9, -200 }, { 0.2, -30 }, { 2.9, -200 }, { 1, -20 } }, {}, {} },
    { "hum under the level counts as silence", { { 4, -55 } }, { { 3, 3 } }, {} },
    { "silence, then sound", { { 4.5, -200 }, { 1, -20 }, { 3.5, -200 } }, { { 3, 3 }, { 8.5, 3 } },
        { { 4.5, 4 } } },
};

struct TRecording {
    const char* Name;
    int Rate;
    int Channels;
    std::size_t BufferFrames;
};

const TRecording kRecordings[] = { { "stereo", 48000, 2, 1024 }, { "mono", 8000, 1, 20160 } };

} // namespace

TEST(SilenceDetector, FollowsTheInputBufferByBuffer)
{
    for (const TRecording& recording : kRecordings) {
        for (const TCase& c : kCases) {
            SCOPED_TRACE(std::string(recording.Name) + ": " + c.Name);
            std::vector<std::int16_t> pcm;
            for (const TSegment& segment : c.Input) {
                const double amplitude = 32768.0 * std::pow(10.0, segment.Dbfs / 20.0);
                for (int n = 0; n < std::lround(segment.Seconds * recording.Rate); ++n)
                    pcm.insert(pcm.end(), recording.Channels,
                        static_cast<std::int16_t>(amplitude * std::sin(2 * M_PI * 997 * n / recording.Rate)));
            }
            WAVEFORMATEX format { WAVE_FORMAT_PCM, static_cast<WORD>(recording.Channels),
                static_cast<DWORD>(recording.Rate), 0, static_cast<WORD>(2 * recording.Channels), 16, 0 };
            TSilenceDetector detector(3, -50);
            std::vector<std::pair<double, int>> silent, sound;
            const std::size_t step = recording.BufferFrames * recording.Channels;
            for (std::size_t at = 0; at < pcm.size(); at += step) {
                const std::size_t samples = std::min(step, pcm.size() - at);
                const double end = double(at + samples) / recording.Channels / recording.Rate;
                detector.Measure(format, &pcm[at], samples * 2, [&](TSilenceChange change, int seconds) {
                    (change == TSilenceChange::Silent ? silent : sound).emplace_back(end, seconds);
                });
            }
            // A change is seen at the end of the buffer it happens in.
            const double buffer = double(recording.BufferFrames) / recording.Rate;
            for (auto [seen, expected] :
                { std::pair { &silent, &c.Silent }, std::pair { &sound, &c.Sound } }) {
                ASSERT_EQ(seen->size(), expected->size());
                for (std::size_t i = 0; i < seen->size(); ++i) {
                    EXPECT_GE((*seen)[i].first, (*expected)[i].first);
                    EXPECT_LT((*seen)[i].first, (*expected)[i].first + buffer);
                    EXPECT_GE((*seen)[i].second, (*expected)[i].second);
                    EXPECT_LE((*seen)[i].second, (*expected)[i].second + int(buffer));
                }
            }
        }
    }
}
