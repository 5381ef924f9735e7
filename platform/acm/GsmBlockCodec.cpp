#include "platform/acm/GsmBlockCodec.h"

#include <gsm.h>
#include <new>

gsm_state* TGsmBlockCodec::Create()
{
    gsm state = gsm_create();
    if (state == nullptr)
        throw std::bad_alloc();
    int one = 1;
    gsm_option(state, GSM_OPT_WAV49, &one);
    return state;
}

TGsmBlockCodec::TGsmBlockCodec()
    : FGsm(Create())
{
}

TGsmBlockCodec::~TGsmBlockCodec()
{
    gsm_destroy(FGsm);
}

void TGsmBlockCodec::Reset()
{
    gsm fresh = Create();
    gsm_destroy(FGsm);
    FGsm = fresh;
}

// In WAV49 packing libgsm alternates between the two halves of a block on
// its own: the first frame is coded into 32 bytes and half of byte 33, the
// second into the rest. Decoding reads the first frame from all 33 bytes and
// the second from the 32 after them. Getting the offsets wrong still runs
// and sounds like noise.
void TGsmBlockCodec::EncodeBlock(const int16_t* samples, uint8_t* block)
{
    auto* pcm = const_cast<gsm_signal*>(reinterpret_cast<const gsm_signal*>(samples));
    gsm_encode(FGsm, pcm, block);
    gsm_encode(FGsm, pcm + 160, block + 32);
}

void TGsmBlockCodec::DecodeBlock(const uint8_t* block, int16_t* samples)
{
    auto* bytes = const_cast<gsm_byte*>(block);
    auto* pcm = reinterpret_cast<gsm_signal*>(samples);
    gsm_decode(FGsm, bytes, pcm);
    gsm_decode(FGsm, bytes + 33, pcm + 160);
}
