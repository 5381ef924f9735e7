#pragma once
// The head of a chain, standing in for the wave input where a test or a
// benchmark drives a chain itself: notifications, then one buffer record a
// delivered buffer, in whatever thread calls it (TDeliveryThread gives a
// device thread of its own); and an end that counts what reaches it.

#include "mm/core/MMDSPObj.h"

#include <atomic>
#include <cstddef>
#include <functional>

namespace tonvara::test {

/// A device publishing Output; GetCallBackMode says cmThread.
class TTestSource : public TMMCustomSoundComponent {
    Q_OBJECT
    Q_PROPERTY(TMMDSPComponent* Output READ GetOutput WRITE SetOutput)
public:
    explicit TTestSource(TComponent* owner = nullptr);

    void SetNumBuffers(int) override { }
    int GetNumBuffers() const override { return 1; }
    void SetDeviceID(TMMDeviceId) override { }
    TMMDeviceId GetDeviceID() const override { return MapperId; }
    void SetProductName(const QString&) override { }
    QString GetProductName() const override { return QStringLiteral("Test source"); }
    void SetCallBackMode(TMMCBMode) override { }
    TMMCBMode GetCallBackMode() const override { return cmThread; }

    /// Opened, then Started.
    void Start();
    /// Stopped, then Closed.
    void Finish();
    /// Passes Size bytes of Data down in one buffer record of the buffer
    /// size (larger when Size is).
    void Deliver(const void* data, std::size_t size);
    /// The same for a string or vector of bytes.
    template <class TBytes> void Deliver(const TBytes& bytes) { Deliver(bytes.data(), bytes.size()); }
};

/// The end of a chain, publishing only Input (as a display does): counts
/// the buffers and bytes that reach it, in the thread that delivers them.
class TTestSink : public TMMDSPComponent {
    Q_OBJECT
    Q_PROPERTY(TMMDSPComponent* Input READ GetInput WRITE SetInput)
public:
    explicit TTestSink(TComponent* owner = nullptr);

    void BufferReady(PWaveHdr lpWaveHdr) override;

    std::atomic<int> Buffers { 0 };
    std::atomic<long> Bytes { 0 };
};

/// A device thread of Owner running Work, as the wave input's thread
/// delivers its buffers; created suspended, ended and waited for on
/// destruction.
class TDeliveryThread : public TMMDSPThread {
public:
    TDeliveryThread(TMMCustomSoundComponent* owner, std::function<void()> work);
    ~TDeliveryThread() override;

protected:
    void Execute() override { FWork(); }

private:
    std::function<void()> FWork;
};

} // namespace tonvara::test
