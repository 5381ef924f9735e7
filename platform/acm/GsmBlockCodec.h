#pragma once
// GSM 6.10 full-rate speech coding in the WAV49 packing that WAV files use:
// one 65-byte block holds two 20 ms frames, 320 samples of 16-bit PCM.

#include <cstdint>

struct gsm_state;

/// One coding direction's state on libgsm. Successive blocks of one stream go
/// through the same object (the coder predicts from the previous frames);
/// Reset starts a new stream. Not shared between threads.
class TGsmBlockCodec {
public:
    static constexpr int kSamplesPerBlock = 320;
    static constexpr int kBytesPerBlock = 65;

    /// Throws std::bad_alloc when libgsm has no memory for its state.
    TGsmBlockCodec();
    ~TGsmBlockCodec();
    TGsmBlockCodec(const TGsmBlockCodec&) = delete;
    TGsmBlockCodec& operator=(const TGsmBlockCodec&) = delete;

    /// Forgets the previous frames, as at the start of a stream.
    void Reset();

    /// Codes kSamplesPerBlock samples into one block of kBytesPerBlock bytes.
    void EncodeBlock(const int16_t* samples, uint8_t* block);

    /// Decodes one block into kSamplesPerBlock samples.
    void DecodeBlock(const uint8_t* block, int16_t* samples);

private:
    static gsm_state* Create();

    gsm_state* FGsm;
};
