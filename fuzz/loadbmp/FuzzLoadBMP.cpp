// The about window's texture file is read back from the current directory,
// where anything may have replaced it. Whatever its headers say, LoadBMP
// reads within its buffer (the sanitizers watch) and either refuses with a
// box or hands out exactly the rows the headers describe.
#include "app/BMP.h"
#include "platform/ui/Dialogs.h"

#include <QBuffer>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool silenced = [] {
        SetMessageDialogHandler([](const TMessageDialogRequest&) { return mrOk; });
        return true;
    }();
    (void)silenced;
    QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QBuffer file(&bytes);
    file.open(QIODevice::ReadOnly);
    int width = -1;
    int height = -1;
    std::vector<std::uint8_t> pixels;
    LoadBMP(file, width, height, pixels);
    if (pixels.empty())
        return 0;
    const std::size_t stride = (static_cast<std::size_t>(width) * 3 + 3) & ~std::size_t(3);
    if (width <= 0 || height <= 0 || width > kBMPMaxSide || height > kBMPMaxSide
        || pixels.size() != stride * static_cast<std::size_t>(height) || pixels.size() > size)
        std::abort();
    return 0;
}
