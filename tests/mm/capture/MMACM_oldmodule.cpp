// A compression manager of version 1.00 for the binding's tests: it answers
// the naming queries, which the binding must not use at that version.
#include "platform/mm/MSAcm.h"

#include <cstring>

extern "C" {

__attribute__((visibility("default"))) DWORD acmGetVersion()
{
    return 0x01000000;
}

__attribute__((visibility("default"))) MMRESULT acmFormatTagDetailsA(
    HACMDRIVER, LPACMFORMATTAGDETAILSA paftd, DWORD)
{
    std::strcpy(paftd->szFormatTag, "Version 1 name");
    return MMSYSERR_NOERROR;
}

__attribute__((visibility("default"))) MMRESULT acmFormatDetailsA(HACMDRIVER, LPACMFORMATDETAILSA pafd, DWORD)
{
    std::strcpy(pafd->szFormat, "Version 1 description");
    return MMSYSERR_NOERROR;
}
}
