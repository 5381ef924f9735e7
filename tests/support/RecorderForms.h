#pragma once
// MonoDosya and StereoDosya as the main window stores them (without the
// Output link to its connector): what the recorder, connector and benchmark
// programs record with.
#include <QByteArray>

namespace tonvara::test {

inline const QByteArray kMonoDosya = "object MonoDosya: TMMWaveRecorder\n"
                                     "  Wave.TimeFormat = tfMillisecond\n"
                                     "  Wave.FileMustExist = False\n"
                                     "  BufferSize = 4096\n"
                                     "  NumBuffers = 20\n"
                                     "  DeviceID = MapperId\n"
                                     "  TimeFormat = tfMillisecond\n"
                                     "  CallBackMode = cmThread\n"
                                     "  MaxRecordTime = -1\n"
                                     "  Mode = mMono\n"
                                     "  BitLength = b8Bit\n"
                                     "  SampleRate = 8000\n"
                                     "  OverwriteExisting = True\n"
                                     "  WaveFormatEx = {\n"
                                     "    31000100401F0000590600004100000002004001}\n"
                                     "end\n";

inline const QByteArray kStereoDosya = "object StereoDosya: TMMWaveRecorder\n"
                                       "  Wave.TimeFormat = tfMillisecond\n"
                                       "  Wave.FileMustExist = False\n"
                                       "  BufferSize = 4096\n"
                                       "  NumBuffers = 20\n"
                                       "  DeviceID = MapperId\n"
                                       "  TimeFormat = tfMillisecond\n"
                                       "  CallBackMode = cmWindow\n"
                                       "  MaxRecordTime = -1\n"
                                       "  Mode = mStereo\n"
                                       "  BitLength = b16Bit\n"
                                       "  SampleRate = 48000\n"
                                       "  OverwriteExisting = True\n"
                                       "end\n";

} // namespace tonvara::test
