#pragma once
// The module's exported entries: their declarations are those of
// platform/mm/MSAcm.h (the callers' side); this unit defines them, checks
// every handle, header and flag, and hands the work to TAcmStream and the
// format tables.
//
// Handles: a HACMSTREAM is valid from acmStreamOpen to acmStreamClose; any
// other value gives MMSYSERR_INVALHANDLE, never a crash. Driver handles do
// not exist: a non-null HACMDRIVER or HACMOBJ is MMSYSERR_INVALHANDLE.
// All entries may be called from any thread; one stream converts one header
// at a time (a second thread waits).

// The module is built with hidden visibility, so that its helpers never meet
// a program's symbols of the same name; only the entries are exported.
#pragma GCC visibility push(default)
#include "platform/mm/MSAcm.h"
#pragma GCC visibility pop

/// What acmGetVersion reports: 4.00, build 0.
constexpr DWORD kAcmVersion = 0x04000000;
