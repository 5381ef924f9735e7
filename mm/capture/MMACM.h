#pragma once
// The run-time binding of the compression manager and the format names built
// on it.
//
// The manager is a module of its own (libtonvara_acm.so, found as
// AcmLoadModule describes), bound by name when the program starts: a program
// without it still starts and records, every entry stays null, ACMPresent is
// false and format names come from the library's tables. The connector's
// display conversion uses the stream entries; the recorder's InputFormat the
// names.
//
// While the manager is bound, the format-naming hook of mm/format is
// installed, so GetWaveFormatNames gives the manager's names everywhere.
//
// Threads: the binding is made once, before main or at the first call of
// any function here, and then only read: any thread may call the entries and
// GetFormatNames. ReinitializeACM is for tests and must run while no other
// thread uses the binding.

#include "platform/kernel/WinTypes.h"
#include "platform/mm/MSAcm.h"

#include <QString>

// Records of the entries the module does not offer (driver details, the
// choose dialogs, filters). They are never filled here; the pointer types
// need their names only.
struct ACMDRIVERDETAILSA;
struct ACMFORMATCHOOSEA;
struct ACMFILTERTAGDETAILSA;
struct ACMFILTERDETAILSA;
struct ACMFILTERCHOOSEA;
using LPACMDRIVERDETAILSA = ACMDRIVERDETAILSA*;
using LPACMFORMATCHOOSEA = ACMFORMATCHOOSEA*;
using LPACMFILTERTAGDETAILSA = ACMFILTERTAGDETAILSA*;
using LPACMFILTERDETAILSA = ACMFILTERDETAILSA*;
using LPACMFILTERCHOOSEA = ACMFILTERCHOOSEA*;
using LPHACMDRIVERID = HACMDRIVERID*;
using LPHACMDRIVER = HACMDRIVER*;

using ACMDRIVERENUMCB = BOOL (*)(HACMDRIVERID hadid, DWORD_PTR dwInstance, DWORD fdwSupport);
using ACMFILTERTAGENUMCBA
    = BOOL (*)(HACMDRIVERID hadid, LPACMFILTERTAGDETAILSA paftd, DWORD_PTR dwInstance, DWORD fdwSupport);
using ACMFILTERENUMCBA
    = BOOL (*)(HACMDRIVERID hadid, LPACMFILTERDETAILSA pafd, DWORD_PTR dwInstance, DWORD fdwSupport);

// The entries the module does not declare, with the manager's published
// signatures.
using TAcmDriverEnum = MMRESULT (*)(ACMDRIVERENUMCB fnCallback, DWORD_PTR dwInstance, DWORD fdwEnum);
using TAcmDriverDetailsA = MMRESULT (*)(HACMDRIVERID hadid, LPACMDRIVERDETAILSA padd, DWORD fdwDetails);
using TAcmDriverAddA
    = MMRESULT (*)(LPHACMDRIVERID phadid, void* hinstModule, LPARAM lParam, DWORD dwPriority, DWORD fdwAdd);
using TAcmDriverRemove = MMRESULT (*)(HACMDRIVERID hadid, DWORD fdwRemove);
using TAcmDriverOpen = MMRESULT (*)(LPHACMDRIVER phad, HACMDRIVERID hadid, DWORD fdwOpen);
using TAcmDriverClose = MMRESULT (*)(HACMDRIVER had, DWORD fdwClose);
using TAcmDriverMessage = LRESULT (*)(HACMDRIVER had, UINT uMsg, LPARAM lParam1, LPARAM lParam2);
using TAcmDriverID = MMRESULT (*)(HACMOBJ hao, LPHACMDRIVERID phadid, DWORD fdwDriverID);
using TAcmDriverPriority = MMRESULT (*)(HACMDRIVERID hadid, DWORD dwPriority, DWORD fdwPriority);
using TAcmFormatChooseA = MMRESULT (*)(LPACMFORMATCHOOSEA pafmtc);
using TAcmFilterTagDetailsA = MMRESULT (*)(HACMDRIVER had, LPACMFILTERTAGDETAILSA paftd, DWORD fdwDetails);
using TAcmFilterTagEnumA = MMRESULT (*)(HACMDRIVER had, LPACMFILTERTAGDETAILSA paftd,
    ACMFILTERTAGENUMCBA fnCallback, DWORD_PTR dwInstance, DWORD fdwEnum);
using TAcmFilterChooseA = MMRESULT (*)(LPACMFILTERCHOOSEA pafltrc);
using TAcmFilterDetailsA = MMRESULT (*)(HACMDRIVER had, LPACMFILTERDETAILSA pafd, DWORD fdwDetails);
using TAcmFilterEnumA = MMRESULT (*)(HACMDRIVER had, LPACMFILTERDETAILSA pafd, ACMFILTERENUMCBA fnCallback,
    DWORD_PTR dwInstance, DWORD fdwEnum);

/// The least manager version whose entries are used (2.00, in the high word
/// of acmGetVersion's result).
constexpr DWORD kACMVersion2 = 0x0200;

/// One entry per manager function, by exported name; null while unbound or
/// when the module does not export it. Call an entry only after checking
/// it (and ACMUsable()).
struct TACMEntries {
    TAcmGetVersion acmGetVersion = nullptr;
    TAcmMetrics acmMetrics = nullptr;
    TAcmDriverEnum acmDriverEnum = nullptr;
    TAcmDriverDetailsA acmDriverDetailsA = nullptr;
    TAcmDriverAddA acmDriverAddA = nullptr;
    TAcmDriverRemove acmDriverRemove = nullptr;
    TAcmDriverOpen acmDriverOpen = nullptr;
    TAcmDriverClose acmDriverClose = nullptr;
    TAcmDriverMessage acmDriverMessage = nullptr;
    TAcmDriverID acmDriverID = nullptr;
    TAcmDriverPriority acmDriverPriority = nullptr;
    TAcmFormatTagDetailsA acmFormatTagDetailsA = nullptr;
    TAcmFormatTagEnumA acmFormatTagEnumA = nullptr;
    TAcmFormatChooseA acmFormatChooseA = nullptr;
    TAcmFormatDetailsA acmFormatDetailsA = nullptr;
    TAcmFormatEnumA acmFormatEnumA = nullptr;
    TAcmFormatSuggest acmFormatSuggest = nullptr;
    TAcmFilterTagDetailsA acmFilterTagDetailsA = nullptr;
    TAcmFilterTagEnumA acmFilterTagEnumA = nullptr;
    TAcmFilterChooseA acmFilterChooseA = nullptr;
    TAcmFilterDetailsA acmFilterDetailsA = nullptr;
    TAcmFilterEnumA acmFilterEnumA = nullptr;
    TAcmStreamOpen acmStreamOpen = nullptr;
    TAcmStreamClose acmStreamClose = nullptr;
    TAcmStreamSize acmStreamSize = nullptr;
    TAcmStreamConvert acmStreamConvert = nullptr;
    TAcmStreamReset acmStreamReset = nullptr;
    TAcmStreamPrepareHeader acmStreamPrepareHeader = nullptr;
    TAcmStreamUnprepareHeader acmStreamUnprepareHeader = nullptr;
};

/// The bound entries. Binding, once: load the module; without it, or
/// without its acmGetVersion, nothing is bound. Otherwise ACMPresent
/// becomes true; with a version below 2.00 only acmGetVersion is bound,
/// else every entry the module exports.
const TACMEntries& ACMEntries();

/// Whether the manager was found (it exports acmGetVersion).
bool ACMPresent();

/// acmGetVersion's result, 0 without the manager.
DWORD ACMVersion();

/// ACMPresent and a version of at least 2.00: what a caller that needs the
/// manager checks.
bool ACMUsable();

/// The format's tag name and its description: from the manager when it is
/// usable and can name the format (acmFormatTagDetailsA by tag,
/// acmFormatDetailsA by format), each otherwise from the library's tables
/// (FormatTagName, FormatDescription). False, with both texts empty, for a
/// null format.
bool GetFormatNames(LPCWAVEFORMATEX format, QString& name, QString& description);

/// Drops the binding (the module is released, the naming hook removed) and
/// binds again, looking for the module anew (tests point $TONVARA_ACM_MODULE
/// elsewhere first). No other thread may use the binding meanwhile.
void ReinitializeACM();
