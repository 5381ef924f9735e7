#include "platform/kernel/FormatSettings.h"

#include <atomic>
#include <langinfo.h>

namespace {

std::atomic<char> ProgramSeparator { '\0' };

} // namespace

char DecimalSeparator()
{
    if (const char own = ProgramSeparator.load(std::memory_order_relaxed))
        return own;
    const char* radix = ::nl_langinfo(RADIXCHAR);
    if (radix && radix[0] && radix[1] == '\0' && static_cast<unsigned char>(radix[0]) < 0x80)
        return radix[0];
    return '.';
}

void SetDecimalSeparator(char value)
{
    ProgramSeparator.store(value, std::memory_order_relaxed);
}
