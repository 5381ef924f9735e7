#pragma once
// The block compressor of compressed bitmap-list streams: an LZRW1 variant
// that packs one block of at most kLZRWBlockSize bytes on its own.
//
// A compressed block starts with a flag byte. 0x80 means the block is
// stored: the original bytes follow. Any other flag (the compressor writes
// 0x40) means items follow, grouped under 16-bit control words (high byte
// first) whose bits, from the top, say per item: 0 a literal byte, 1 a
// two-byte copy or a four-byte run. A copy is a 12-bit distance back into
// the output (1..4095) and a 4-bit length less 3; a distance of 0 marks a
// run instead: 12 bits of length less 16, then the byte to repeat.
//
// Both functions are pure and may run in any thread.

#include <QByteArray>
#include <cstddef>

/// The largest block the compressor takes and the decompressor produces.
inline constexpr std::size_t kLZRWBlockSize = 32781;

/// The largest compressed block: a stored block of kLZRWBlockSize bytes.
inline constexpr std::size_t kLZRWMaxCompressedSize = kLZRWBlockSize + 1;

/// Compresses data[0 .. size) into one block. When the items would not be
/// shorter than the input, the block is stored instead (0x80 and the bytes).
/// Raises EArgumentError when size exceeds kLZRWBlockSize, because distances
/// are kept as 16-bit positions.
QByteArray LZRWCompressBlock(const unsigned char* data, std::size_t size);
QByteArray LZRWCompressBlock(const QByteArray& data);

/// Decompresses the block data[0 .. size) and appends the result to Out.
/// Returns false, with a one-line reason in Error and Out as it was, when the
/// block is corrupt: empty, cut off inside an item or a control word, a copy
/// reaching before the start of the block's output, or output growing past
/// kLZRWBlockSize. Reads only data[0 .. size).
bool LZRWDecompressBlock(const unsigned char* data, std::size_t size, QByteArray& out, const char*& error);
