#include "mm/capture/MMACM.h"

#include "mm/format/MMWaveFormat.h"

#include <cstring>
#include <dlfcn.h>
#include <mutex>
#include <string>

namespace {

struct TBinding {
    void* Module = nullptr;
    bool Present = false;
    DWORD Version = 0;
    TACMEntries Entries;
};

TBinding gBinding;
std::once_flag gBindOnce;

template <class T> void BindEntry(void* module, T& entry, const char* name)
{
    entry = reinterpret_cast<T>(dlsym(module, name));
}

bool Usable(const TBinding& binding)
{
    return binding.Present && (binding.Version >> 16) >= kACMVersion2;
}

bool ManagerTagName(LPCWAVEFORMATEX format, std::string& name)
{
    if (format == nullptr || !Usable(gBinding) || gBinding.Entries.acmFormatTagDetailsA == nullptr)
        return false;
    ACMFORMATTAGDETAILSA details {};
    details.cbStruct = sizeof details;
    details.dwFormatTag = format->wFormatTag;
    if (gBinding.Entries.acmFormatTagDetailsA(nullptr, &details, ACM_FORMATTAGDETAILSF_FORMATTAG)
        != MMSYSERR_NOERROR)
        return false;
    // The module fills a fixed field; never read past it.
    name.assign(details.szFormatTag, strnlen(details.szFormatTag, sizeof details.szFormatTag));
    return true;
}

bool ManagerDescription(LPCWAVEFORMATEX format, std::string& description)
{
    if (format == nullptr || !Usable(gBinding) || gBinding.Entries.acmFormatDetailsA == nullptr)
        return false;
    ACMFORMATDETAILSA details {};
    details.cbStruct = sizeof details;
    details.dwFormatTag = format->wFormatTag;
    details.pwfx = const_cast<LPWAVEFORMATEX>(format);
    details.cbwfx = WaveFormatSize(format);
    if (gBinding.Entries.acmFormatDetailsA(nullptr, &details, ACM_FORMATDETAILSF_FORMAT) != MMSYSERR_NOERROR)
        return false;
    description.assign(details.szFormat, strnlen(details.szFormat, sizeof details.szFormat));
    return true;
}

void Bind()
{
    TBinding binding;
    binding.Module = AcmLoadModule();
    if (binding.Module != nullptr) {
        BindEntry(binding.Module, binding.Entries.acmGetVersion, "acmGetVersion");
        if (binding.Entries.acmGetVersion == nullptr) {
            dlclose(binding.Module);
            binding.Module = nullptr;
        }
    }
    if (binding.Module != nullptr) {
        binding.Present = true;
        binding.Version = binding.Entries.acmGetVersion();
        if (Usable(binding)) {
            void* m = binding.Module;
            TACMEntries& e = binding.Entries;
            BindEntry(m, e.acmMetrics, "acmMetrics");
            BindEntry(m, e.acmDriverEnum, "acmDriverEnum");
            BindEntry(m, e.acmDriverDetailsA, "acmDriverDetailsA");
            BindEntry(m, e.acmDriverAddA, "acmDriverAddA");
            BindEntry(m, e.acmDriverRemove, "acmDriverRemove");
            BindEntry(m, e.acmDriverOpen, "acmDriverOpen");
            BindEntry(m, e.acmDriverClose, "acmDriverClose");
            BindEntry(m, e.acmDriverMessage, "acmDriverMessage");
            BindEntry(m, e.acmDriverID, "acmDriverID");
            BindEntry(m, e.acmDriverPriority, "acmDriverPriority");
            BindEntry(m, e.acmFormatTagDetailsA, "acmFormatTagDetailsA");
            BindEntry(m, e.acmFormatTagEnumA, "acmFormatTagEnumA");
            BindEntry(m, e.acmFormatChooseA, "acmFormatChooseA");
            BindEntry(m, e.acmFormatDetailsA, "acmFormatDetailsA");
            BindEntry(m, e.acmFormatEnumA, "acmFormatEnumA");
            BindEntry(m, e.acmFormatSuggest, "acmFormatSuggest");
            BindEntry(m, e.acmFilterTagDetailsA, "acmFilterTagDetailsA");
            BindEntry(m, e.acmFilterTagEnumA, "acmFilterTagEnumA");
            BindEntry(m, e.acmFilterChooseA, "acmFilterChooseA");
            BindEntry(m, e.acmFilterDetailsA, "acmFilterDetailsA");
            BindEntry(m, e.acmFilterEnumA, "acmFilterEnumA");
            BindEntry(m, e.acmStreamOpen, "acmStreamOpen");
            BindEntry(m, e.acmStreamClose, "acmStreamClose");
            BindEntry(m, e.acmStreamSize, "acmStreamSize");
            BindEntry(m, e.acmStreamConvert, "acmStreamConvert");
            BindEntry(m, e.acmStreamReset, "acmStreamReset");
            BindEntry(m, e.acmStreamPrepareHeader, "acmStreamPrepareHeader");
            BindEntry(m, e.acmStreamUnprepareHeader, "acmStreamUnprepareHeader");
        }
    }
    gBinding = binding;
    if (Usable(gBinding))
        SetWaveFormatNamer({ &ManagerTagName, &ManagerDescription });
}

void Unbind()
{
    if (Usable(gBinding))
        SetWaveFormatNamer({});
    void* module = gBinding.Module;
    gBinding = TBinding();
    if (module != nullptr)
        dlclose(module);
}

const TBinding& Bound()
{
    std::call_once(gBindOnce, &Bind);
    return gBinding;
}

[[maybe_unused]] const bool kBoundAtStart = (Bound(), true);

} // namespace

const TACMEntries& ACMEntries()
{
    return Bound().Entries;
}

bool ACMPresent()
{
    return Bound().Present;
}

DWORD ACMVersion()
{
    return Bound().Version;
}

bool ACMUsable()
{
    return Usable(Bound());
}

bool GetFormatNames(LPCWAVEFORMATEX format, QString& name, QString& description)
{
    name.clear();
    description.clear();
    if (format == nullptr)
        return false;
    Bound();
    std::string text;
    name = QString::fromStdString(ManagerTagName(format, text) ? text : FormatTagName(format));
    text.clear();
    description = QString::fromStdString(ManagerDescription(format, text) ? text : FormatDescription(format));
    return true;
}

void ReinitializeACM()
{
    Bound();
    Unbind();
    Bind();
}
