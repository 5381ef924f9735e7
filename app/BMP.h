#pragma once

// LoadBMP: reads the pixels of an uncompressed 24-bit bitmap file, the kind
// the about window writes as its particle texture. Failures are shown in a
// message box captioned "BMP Unit" and leave Data empty; nothing is raised.
// GUI thread (the boxes are modal), or any thread under a message-dialog
// handler (Dialogs.h).

#include <QString>
#include <cstdint>
#include <vector>

class QIODevice;

/// Largest width and height LoadBMP accepts: far beyond any texture, and
/// small enough that a row and the whole picture stay within reason.
inline constexpr int kBMPMaxSide = 8192;

/// Reads FileName (see the stream overload). When the file cannot be opened:
/// the box "Error opening \"<FileName>" (no closing quote) and Data empty.
void LoadBMP(const QString& fileName, int& width, int& height, std::vector<std::uint8_t>& data);

/// Reads a bitmap file image from File: the 14-byte file header, the 40-byte
/// information header, the colour table it announces, then the pixel rows
/// directly after it. Only 24 bits per pixel, uncompressed, one plane,
/// positive sizes up to kBMPMaxSide are taken; anything else shows
/// "Unsupported bitmap format". A short colour table shows "Error reading
/// palette", short pixel data "Error reading bitmap data"; each leaves Data
/// empty. On success Data holds Height rows of Width pixels in red-green-
/// blue order, bottom row first, each row padded to a multiple of 4 bytes as
/// in the file (OpenGL's default unpack alignment). Width and Height are set
/// once the information header has been read.
void LoadBMP(QIODevice& file, int& width, int& height, std::vector<std::uint8_t>& data);
