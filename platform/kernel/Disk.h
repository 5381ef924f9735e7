#pragma once
// Disk and path queries: free space of the volume holding a directory, the
// size of a file, and qualifying a path against the current directory.

#include "platform/kernel/WinTypes.h"

#include <string>

/// Space on the file system holding Directory (nullptr or "" is the current
/// directory), through statvfs: FreeBytesAvailableToCaller (blocks an
/// unprivileged user may still fill), TotalNumberOfBytes (the file system's
/// size) and TotalNumberOfFreeBytes (all free blocks). Each out pointer may be
/// nullptr. FALSE, with the out values untouched, when Directory cannot be
/// queried (ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED, or ERROR_DIRECTORY
/// when it names something other than a directory).
BOOL GetDiskFreeSpaceEx(LPCSTR directory, PULARGE_INTEGER freeBytesAvailableToCaller,
    PULARGE_INTEGER totalNumberOfBytes, PULARGE_INTEGER totalNumberOfFreeBytes);
inline BOOL GetDiskFreeSpaceExA(LPCSTR directory, PULARGE_INTEGER freeBytesAvailableToCaller,
    PULARGE_INTEGER totalNumberOfBytes, PULARGE_INTEGER totalNumberOfFreeBytes)
{
    return GetDiskFreeSpaceEx(
        directory, freeBytesAvailableToCaller, totalNumberOfBytes, totalNumberOfFreeBytes);
}

/// Size in bytes of whatever Name names (following symbolic links): a
/// file's length, 0 for a directory or another non-regular entry, -1 when
/// nothing of that name exists or it cannot be looked at. A relative Name is
/// taken from the current directory.
LONGLONG GetFileSizeByName(const std::string& name);

/// Name made absolute against the current directory and normalised: "."
/// parts and repeated or trailing slashes dropped, ".." taking away the part
/// before it (at the root it stays at the root). Purely textual: symbolic
/// links are not resolved and nothing need exist. "" stays "".
std::string ExpandFileName(const std::string& name);
