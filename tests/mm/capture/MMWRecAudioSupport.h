#pragma once
// What the wave input and recorder tests against a real PulseAudio server
// share: the signals they play into the null sink (a sine tone with sox, a
// counter signal with pacat), the check that a recording of the counter is a
// run of consecutive frames, a chain member that keeps what passes, a private
// server a test can kill, and bounded waits that keep the event loop running.
//
// The server is the one scripts/test starts (PULSE_SERVER set): a null sink
// whose monitor is the default source.

#include "mm/core/MMDSPObj.h"
#include "platform/mm/MMSystem.h"
#include "platform/mm/MSAcm.h"
#include "support/CounterSignal.h"
#include "support/PeerProcess.h"
#include "support/SoundServer.h"
#include "support/TestSupport.h"
#include "support/WaveFormats.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QString>
#include <QTimer>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace recorder_test {

// The mapper's GSM 6.10 comes from the compression manager module of this
// build tree.
inline const bool kAcmModuleFound = [] {
    setenv(kAcmModuleVariable, tonvara::test::AcmModulePath().toLocal8Bit().constData(), 0);
    return true;
}();

using tonvara::test::PcmFormat;
using tonvara::test::WaitUntil;

/// The last member of a chain: keeps the bytes of every buffer that passes
/// and the sizes of the buffers, in the buffer thread.
class TCollector : public TMMDSPComponent {
public:
    explicit TCollector(TComponent* owner = nullptr)
        : TMMDSPComponent(owner)
    {
        SetAcceptsInput(true);
    }

    void BufferReady(PWaveHdr header) override
    {
        {
            std::lock_guard lock(FLock);
            FData.insert(FData.end(), reinterpret_cast<const unsigned char*>(header->lpData),
                reinterpret_cast<const unsigned char*>(header->lpData) + header->dwBytesRecorded);
            FSizes.push_back(header->dwBytesRecorded);
        }
        TMMDSPComponent::BufferReady(header);
    }

    std::size_t Buffers()
    {
        std::lock_guard lock(FLock);
        return FSizes.size();
    }
    std::vector<unsigned char> Data()
    {
        std::lock_guard lock(FLock);
        return FData;
    }
    std::vector<DWORD> Sizes()
    {
        std::lock_guard lock(FLock);
        return FSizes;
    }
    /// Takes what was kept and starts empty.
    std::vector<unsigned char> TakeData()
    {
        std::lock_guard lock(FLock);
        FSizes.clear();
        return std::exchange(FData, {});
    }

private:
    std::mutex FLock;
    std::vector<unsigned char> FData;
    std::vector<DWORD> FSizes;
};

using tonvara::test::AnalyseCounter;
using tonvara::test::CounterSignal;
using tonvara::test::kCounterStart;
using tonvara::test::TCounterPlayer;
using tonvara::test::TCounterRun;
using tonvara::test::TTone;

/// The recording holds the whole counter signal of Frames frames, in order,
/// each once. The sound server may lose up to the first 100 ms at the very
/// start (the sink renders ahead of a stream that starts).
inline void ExpectWholeCounter(const TCounterRun& run, std::size_t frames)
{
    ASSERT_GT(run.Length, 0u) << "the counter signal did not reach the recording";
    EXPECT_EQ(run.Breaks, 0u) << run.FirstBreak;
    const std::size_t missingStart = run.FirstValue - kCounterStart;
    EXPECT_LT(missingStart, 4800u) << "more than the sink's render-ahead is missing at the start";
    EXPECT_EQ(missingStart + run.Length, frames) << "the signal does not reach its end";
    EXPECT_EQ(run.LastValue, kCounterStart + frames - 1);
}

/// The frequency of a tone in 16-bit samples at Rate, from its cycles (a
/// swing below -2000, then above +2000, so that codec noise near zero does
/// not count); 0 when there are fewer than two.
inline double ToneFrequency(const std::vector<int16_t>& samples, int rate)
{
    std::size_t cycles = 0, first = 0, last = 0;
    bool low = false;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (samples[i] < -2000) {
            low = true;
        } else if (low && samples[i] > 2000) {
            low = false;
            if (cycles++ == 0)
                first = i;
            last = i;
        }
    }
    return cycles < 2 ? 0 : double(cycles - 1) * rate / double(last - first);
}

using tonvara::test::MissingServer;
using tonvara::test::TPrivateServer;
using tonvara::test::TServerOverride;

} // namespace recorder_test
