#include "platform/mm/MSAcm.h"

#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <string>
#include <system_error>

void* AcmLoadModule()
{
    // RTLD_LOCAL: the module's libgsm symbols stay its own business.
    constexpr int kFlags = RTLD_NOW | RTLD_LOCAL;
    if (const char* path = std::getenv(kAcmModuleVariable))
        return *path != '\0' ? dlopen(path, kFlags) : nullptr;

    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        const std::filesystem::path origin = executable.parent_path();
        for (const auto& candidate :
            { origin / "lib" / kAcmModuleName, origin / ".." / "lib" / kAcmModuleName }) {
            if (std::filesystem::exists(candidate, error)) {
                if (void* module = dlopen(candidate.c_str(), kFlags))
                    return module;
            }
        }
    }
    return dlopen(kAcmModuleName, kFlags);
}
