#include "app/BMP.h"

#include "platform/ui/Dialogs.h"

#include <QFile>
#include <QIODevice>
#include <QtEndian>
#include <cstddef>
#include <utility>

namespace {

const char* const kCaption = "BMP Unit";
constexpr int kFileHeaderSize = 14;
constexpr int kInfoHeaderSize = 40;
// A 24-bit picture has no use for a colour table; a file may still carry
// one, but never more entries than an 8-bit picture could index.
constexpr std::uint32_t kMaxColours = 256;

void Complain(const QString& text)
{
    ShowMessageBox(text, QString::fromLatin1(kCaption), MB_OK);
}

bool ReadFully(QIODevice& file, void* to, qint64 size)
{
    auto* bytes = static_cast<char*>(to);
    while (size > 0) {
        const qint64 got = file.read(bytes, size);
        if (got <= 0)
            return false;
        bytes += got;
        size -= got;
    }
    return true;
}

} // namespace

void LoadBMP(const QString& fileName, int& width, int& height, std::vector<std::uint8_t>& data)
{
    data.clear();
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        Complain(QStringLiteral("Error opening \"") + fileName);
        return;
    }
    LoadBMP(file, width, height, data);
}

void LoadBMP(QIODevice& file, int& width, int& height, std::vector<std::uint8_t>& data)
{
    data.clear();
    unsigned char headers[kFileHeaderSize + kInfoHeaderSize];
    if (!ReadFully(file, headers, sizeof headers)) {
        Complain(QStringLiteral("Error reading bitmap data"));
        return;
    }
    const unsigned char* info = headers + kFileHeaderSize;
    const auto infoSize = qFromLittleEndian<std::uint32_t>(info);
    const auto fileWidth = qFromLittleEndian<std::int32_t>(info + 4);
    const auto fileHeight = qFromLittleEndian<std::int32_t>(info + 8);
    const auto planes = qFromLittleEndian<std::uint16_t>(info + 12);
    const auto bitCount = qFromLittleEndian<std::uint16_t>(info + 14);
    const auto compression = qFromLittleEndian<std::uint32_t>(info + 16);
    const auto sizeImage = qFromLittleEndian<std::uint32_t>(info + 20);
    const auto coloursUsed = qFromLittleEndian<std::uint32_t>(info + 32);
    width = fileWidth;
    height = fileHeight;

    // Everything below sizes a buffer or a loop from these fields: a file
    // that says otherwise is refused rather than trusted.
    if (headers[0] != 'B' || headers[1] != 'M' || infoSize != kInfoHeaderSize || planes != 1 || bitCount != 24
        || compression != 0 || fileWidth <= 0 || fileHeight <= 0 || fileWidth > kBMPMaxSide
        || fileHeight > kBMPMaxSide || coloursUsed > kMaxColours) {
        Complain(QStringLiteral("Unsupported bitmap format"));
        return;
    }
    const std::size_t stride = (static_cast<std::size_t>(fileWidth) * 3 + 3) & ~std::size_t(3);
    const std::size_t size = stride * static_cast<std::size_t>(fileHeight);
    if (sizeImage != 0 && sizeImage < size) {
        Complain(QStringLiteral("Unsupported bitmap format"));
        return;
    }

    if (coloursUsed > 0) {
        unsigned char palette[kMaxColours * 4];
        if (!ReadFully(file, palette, static_cast<qint64>(coloursUsed) * 4)) {
            Complain(QStringLiteral("Error reading palette"));
            return;
        }
    }

    std::vector<std::uint8_t> pixels(size);
    if (!ReadFully(file, pixels.data(), static_cast<qint64>(size))) {
        Complain(QStringLiteral("Error reading bitmap data"));
        return;
    }
    for (std::size_t row = 0; row < static_cast<std::size_t>(fileHeight); ++row) {
        std::uint8_t* pixel = pixels.data() + row * stride;
        for (int x = 0; x < fileWidth; ++x, pixel += 3)
            std::swap(pixel[0], pixel[2]);
    }
    data = std::move(pixels);
}
