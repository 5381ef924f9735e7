#include "TestSource.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace tonvara::test {

TTestSource::TTestSource(TComponent* owner)
    : TMMCustomSoundComponent(owner)
{
}

void TTestSource::Start()
{
    Opened();
    Started();
}

void TTestSource::Finish()
{
    Stopped();
    Closed();
}

void TTestSource::Deliver(const void* data, std::size_t size)
{
    const std::size_t capacity = std::max<std::size_t>(size, static_cast<std::size_t>(GetBufferSize()));
    std::vector<char> block(kBufferRecordSize + capacity);
    auto* record = reinterpret_cast<TMMBufferRecord*>(block.data());
    InitBufferRecord(record, static_cast<DWORD>(capacity));
    std::memcpy(record->Header.lpData, data, size);
    record->Header.dwBytesRecorded = static_cast<DWORD>(size);
    BufferReady(&record->Header);
}

TTestSink::TTestSink(TComponent* owner)
    : TMMDSPComponent(owner)
{
}

void TTestSink::BufferReady(PWaveHdr lpWaveHdr)
{
    ++Buffers;
    Bytes += lpWaveHdr->dwBytesRecorded;
    TMMDSPComponent::BufferReady(lpWaveHdr);
}

TDeliveryThread::TDeliveryThread(TMMCustomSoundComponent* owner, std::function<void()> work)
    : TMMDSPThread(owner)
    , FWork(std::move(work))
{
}

TDeliveryThread::~TDeliveryThread()
{
    Terminate();
    if (!Suspended())
        WaitFor();
}

} // namespace tonvara::test
