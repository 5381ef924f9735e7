#include "platform/kernel/Disk.h"

#include "platform/kernel/KernelObject.h"

#include <cerrno>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

namespace {

DWORD ErrorFromErrno(int error)
{
    switch (error) {
    case ENOENT:
        return ERROR_PATH_NOT_FOUND;
    case ENOTDIR:
        return ERROR_DIRECTORY;
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_NOT_READY;
    }
}

std::string CurrentDirectory()
{
    std::vector<char> buffer(4096);
    while (getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE)
            return "/";
        buffer.resize(buffer.size() * 2);
    }
    return buffer.data();
}

} // namespace

BOOL GetDiskFreeSpaceEx(LPCSTR directory, PULARGE_INTEGER freeBytesAvailableToCaller,
    PULARGE_INTEGER totalNumberOfBytes, PULARGE_INTEGER totalNumberOfFreeBytes)
{
    const char* path = directory == nullptr || *directory == '\0' ? "." : directory;
    struct stat status { };
    if (stat(path, &status) != 0) {
        SetLastError(ErrorFromErrno(errno));
        return FALSE;
    }
    if (!S_ISDIR(status.st_mode)) {
        SetLastError(ERROR_DIRECTORY);
        return FALSE;
    }
    struct statvfs volume { };
    if (statvfs(path, &volume) != 0) {
        SetLastError(ErrorFromErrno(errno));
        return FALSE;
    }
    const ULONGLONG unit = volume.f_frsize != 0 ? volume.f_frsize : volume.f_bsize;
    if (freeBytesAvailableToCaller != nullptr)
        freeBytesAvailableToCaller->QuadPart = static_cast<ULONGLONG>(volume.f_bavail) * unit;
    if (totalNumberOfBytes != nullptr)
        totalNumberOfBytes->QuadPart = static_cast<ULONGLONG>(volume.f_blocks) * unit;
    if (totalNumberOfFreeBytes != nullptr)
        totalNumberOfFreeBytes->QuadPart = static_cast<ULONGLONG>(volume.f_bfree) * unit;
    return TRUE;
}

LONGLONG GetFileSizeByName(const std::string& name)
{
    struct stat status { };
    if (name.empty() || stat(name.c_str(), &status) != 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return -1;
    }
    return S_ISREG(status.st_mode) ? static_cast<LONGLONG>(status.st_size) : 0;
}

std::string ExpandFileName(const std::string& name)
{
    if (name.empty())
        return name;
    const std::string full = name.front() == '/' ? name : CurrentDirectory() + "/" + name;
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= full.size()) {
        size_t end = full.find('/', start);
        if (end == std::string::npos)
            end = full.size();
        std::string part = full.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(std::move(part));
        }
        start = end + 1;
    }
    std::string result;
    for (const std::string& part : parts)
        result += "/" + part;
    return result.empty() ? "/" : result;
}
