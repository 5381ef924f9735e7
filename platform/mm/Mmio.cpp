#include "platform/mm/Mmio.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <new>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

struct HMMIO__ {
    DWORD OpenFlags = 0;
    bool Memory = false;
    int Fd = -1;
    bool KeepFd = false;

    // The I/O buffer of a file, or the whole image of a memory file.
    char* Buffer = nullptr;
    LONG Size = 0;
    bool OwnsBuffer = false;

    // Buffered file: Buffer[0..Valid) mirrors the file from BufOffset on (or
    // holds bytes not yet written out when Dirty); Next is the current
    // position inside it. Memory files and unbuffered files keep the position
    // in Position instead.
    int64_t BufOffset = 0;
    LONG Valid = 0;
    LONG Next = 0;
    bool Dirty = false;
    int64_t Position = 0;

    LONG Grow = 0;
};

namespace {

constexpr int64_t kMaxOffset = std::numeric_limits<LONG>::max();

HMMIO PathSuccess()
{
    // Path requests answer with a non-null value that is no handle.
    return reinterpret_cast<HMMIO>(static_cast<uintptr_t>(1));
}

bool CanRead(const HMMIO__* h)
{
    return (h->OpenFlags & MMIO_RWMODE) != MMIO_WRITE;
}

bool CanWrite(const HMMIO__* h)
{
    return (h->OpenFlags & MMIO_RWMODE) != MMIO_READ;
}

bool Buffered(const HMMIO__* h)
{
    return !h->Memory && h->Buffer != nullptr;
}

int64_t Tell(const HMMIO__* h)
{
    return Buffered(h) ? h->BufOffset + h->Next : h->Position;
}

MMRESULT OpenErrorFromErrno(int err)
{
    switch (err) {
    case ENOENT:
        return MMIOERR_FILENOTFOUND;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
        return MMIOERR_PATHNOTFOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        return MMIOERR_ACCESSDENIED;
    case EMFILE:
    case ENFILE:
        return MMIOERR_TOOMANYOPENFILES;
    case ENOMEM:
        return MMIOERR_OUTOFMEMORY;
    case EWOULDBLOCK:
        return MMIOERR_SHARINGVIOLATION;
    default:
        return MMIOERR_CANNOTOPEN;
    }
}

bool WriteAllAt(int fd, const char* data, size_t count, int64_t offset)
{
    while (count > 0) {
        const ssize_t n = ::pwrite(fd, data, count, offset);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            return false;
        data += n;
        count -= static_cast<size_t>(n);
        offset += n;
    }
    return true;
}

// Reads until count bytes or the end of the file; -1 on error.
int64_t ReadAt(int fd, char* data, size_t count, int64_t offset)
{
    size_t done = 0;
    while (done < count) {
        const ssize_t n = ::pread(fd, data + done, count - done, offset + static_cast<int64_t>(done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

MMRESULT FlushBuffer(HMMIO__* h)
{
    if (!Buffered(h) || !h->Dirty)
        return MMSYSERR_NOERROR;
    if (!WriteAllAt(h->Fd, h->Buffer, static_cast<size_t>(h->Valid), h->BufOffset))
        return MMIOERR_CANNOTWRITE;
    h->Dirty = false;
    return MMSYSERR_NOERROR;
}

// Moves an (already flushed) buffer so that it starts at offset, empty.
void Reposition(HMMIO__* h, int64_t offset)
{
    h->BufOffset = offset;
    h->Next = 0;
    h->Valid = 0;
}

// Brings more file bytes into the buffer after Next == Valid. Returns the count
// now available at Next (0 at the end of the file) or -1.
LONG Refill(HMMIO__* h)
{
    if (h->Next == h->Size) {
        if (FlushBuffer(h) != MMSYSERR_NOERROR)
            return -1;
        Reposition(h, h->BufOffset + h->Next);
    }
    const int64_t n = ReadAt(
        h->Fd, h->Buffer + h->Valid, static_cast<size_t>(h->Size - h->Valid), h->BufOffset + h->Valid);
    if (n < 0)
        return -1;
    h->Valid += static_cast<LONG>(n);
    return h->Valid - h->Next;
}

int64_t FileEnd(const HMMIO__* h)
{
    if (h->Memory)
        return h->Size;
    struct stat st { };
    if (::fstat(h->Fd, &st) != 0)
        return -1;
    int64_t end = st.st_size;
    if (Buffered(h) && h->Dirty)
        end = std::max<int64_t>(end, h->BufOffset + h->Valid);
    return end;
}

// Makes a growable memory image at least need bytes long.
bool GrowMemory(HMMIO__* h, int64_t need)
{
    if (need <= h->Size)
        return true;
    if (h->Grow <= 0 || need > kMaxOffset)
        return false;
    const int64_t step = h->Grow;
    int64_t newSize = h->Size + ((need - h->Size + step - 1) / step) * step;
    newSize = std::min<int64_t>(newSize, kMaxOffset);
    char* grown = static_cast<char*>(std::realloc(h->Buffer, static_cast<size_t>(newSize)));
    if (!grown)
        return false;
    std::memset(grown + h->Size, 0, static_cast<size_t>(newSize - h->Size));
    h->Buffer = grown;
    h->Size = static_cast<LONG>(newSize);
    return true;
}

std::string QualifyPath(const char* name)
{
    std::string path(name);
    if (path.empty() || path[0] != '/') {
        std::vector<char> cwd(MMIO_MAXPATH);
        if (!::getcwd(cwd.data(), cwd.size()))
            return {};
        path = std::string(cwd.data()) + "/" + path;
    }
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string part = path.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string result;
    for (const std::string& part : parts)
        result += "/" + part;
    return result.empty() ? "/" : result;
}

bool ParentExists(const char* name)
{
    std::string dir(name);
    const size_t slash = dir.rfind('/');
    if (slash == std::string::npos)
        return true;
    dir.resize(slash == 0 ? 1 : slash);
    struct stat st { };
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

HMMIO Fail(LPMMIOINFO info, MMRESULT code)
{
    if (info)
        info->wErrorRet = code;
    return nullptr;
}

HMMIO OpenPathRequest(LPSTR name, LPMMIOINFO info, DWORD flags)
{
    if (!name || !*name)
        return Fail(info, MMIOERR_FILENOTFOUND);
    if (flags & MMIO_DELETE) {
        if (::unlink(name) != 0)
            return Fail(info, OpenErrorFromErrno(errno));
        return PathSuccess();
    }
    const std::string full = QualifyPath(name);
    if (full.empty() || full.size() + 1 > static_cast<size_t>(MMIO_MAXPATH))
        return Fail(info, MMIOERR_PATHNOTFOUND);
    if (flags & MMIO_EXIST) {
        struct stat st { };
        if (::stat(full.c_str(), &st) != 0)
            return Fail(info, OpenErrorFromErrno(errno));
        if (S_ISDIR(st.st_mode))
            return Fail(info, MMIOERR_FILENOTFOUND);
    }
    std::memcpy(name, full.c_str(), full.size() + 1);
    return PathSuccess();
}

HMMIO OpenMemory(LPMMIOINFO info, DWORD flags)
{
    if (info->cchBuffer < 0)
        return Fail(info, MMSYSERR_INVALPARAM);
    auto* h = new (std::nothrow) HMMIO__;
    if (!h)
        return Fail(info, MMIOERR_OUTOFMEMORY);
    h->Memory = true;
    h->OpenFlags = flags & (MMIO_RWMODE | MMIO_SHAREMODE | MMIO_CREATE | MMIO_ALLOCBUF);
    h->Grow = static_cast<LONG>(std::min<DWORD>(info->adwInfo[0], static_cast<DWORD>(kMaxOffset)));
    h->Size = info->cchBuffer;
    if (info->pchBuffer) {
        h->Buffer = info->pchBuffer;
    } else {
        h->Buffer = static_cast<char*>(std::calloc(static_cast<size_t>(std::max<LONG>(h->Size, 1)), 1));
        if (!h->Buffer) {
            delete h;
            return Fail(info, MMIOERR_OUTOFMEMORY);
        }
        h->OwnsBuffer = true;
    }
    info->wErrorRet = MMSYSERR_NOERROR;
    return h;
}

HMMIO OpenFile(LPSTR name, LPMMIOINFO info, DWORD flags)
{
    if (!name || !*name)
        return Fail(info, MMIOERR_FILENOTFOUND);
    int mode = 0;
    switch (flags & MMIO_RWMODE) {
    case MMIO_READ:
        mode = O_RDONLY;
        break;
    case MMIO_WRITE:
        mode = O_WRONLY;
        break;
    case MMIO_READWRITE:
        mode = O_RDWR;
        break;
    default:
        return Fail(info, MMSYSERR_INVALFLAG);
    }
    if (flags & MMIO_CREATE) {
        if ((flags & MMIO_RWMODE) == MMIO_READ)
            mode = O_RDWR;
        mode |= O_CREAT;
    }
    const int fd = ::open(name, mode | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int err = errno;
        if (err == ENOENT && !ParentExists(name))
            return Fail(info, MMIOERR_PATHNOTFOUND);
        return Fail(info, OpenErrorFromErrno(err));
    }
    struct stat st { };
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return Fail(info, MMIOERR_ACCESSDENIED);
    }
    const DWORD share = flags & MMIO_SHAREMODE;
    const int lock = (share == MMIO_EXCLUSIVE || share == MMIO_DENYREAD) ? LOCK_EX : LOCK_SH;
    // Lock before truncating, so that creating a file another handle holds
    // exclusively fails without destroying its contents.
    if (::flock(fd, lock | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        return Fail(info, OpenErrorFromErrno(err));
    }
    if ((flags & MMIO_CREATE) && ::ftruncate(fd, 0) != 0) {
        const int err = errno;
        ::close(fd);
        return Fail(info, OpenErrorFromErrno(err));
    }

    auto* h = new (std::nothrow) HMMIO__;
    if (!h) {
        ::close(fd);
        return Fail(info, MMIOERR_OUTOFMEMORY);
    }
    h->Fd = fd;
    h->OpenFlags = flags & (MMIO_RWMODE | MMIO_SHAREMODE | MMIO_CREATE | MMIO_ALLOCBUF);
    if (info && info->pchBuffer && info->cchBuffer > 0) {
        h->Buffer = info->pchBuffer;
        h->Size = info->cchBuffer;
    } else if (flags & MMIO_ALLOCBUF) {
        h->Size = (info && info->cchBuffer > 0) ? info->cchBuffer : MMIO_DEFAULTBUFFER;
        h->Buffer = static_cast<char*>(std::calloc(static_cast<size_t>(h->Size), 1));
        if (!h->Buffer) {
            ::close(fd);
            delete h;
            return Fail(info, MMIOERR_OUTOFMEMORY);
        }
        h->OwnsBuffer = true;
    }
    if (info)
        info->wErrorRet = MMSYSERR_NOERROR;
    return h;
}

// Sets the position of any kind of handle; target is already range-checked.
MMRESULT SeekTo(HMMIO__* h, int64_t target)
{
    if (!Buffered(h)) {
        h->Position = target;
        return MMSYSERR_NOERROR;
    }
    if (target >= h->BufOffset && target <= h->BufOffset + h->Valid) {
        h->Next = static_cast<LONG>(target - h->BufOffset);
        return MMSYSERR_NOERROR;
    }
    if (FlushBuffer(h) != MMSYSERR_NOERROR)
        return MMIOERR_CANNOTWRITE;
    Reposition(h, target);
    return MMSYSERR_NOERROR;
}

void PutDword(char* to, DWORD value)
{
    for (int i = 0; i < 4; ++i)
        to[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

DWORD GetDword(const char* from)
{
    DWORD value = 0;
    for (int i = 0; i < 4; ++i)
        value |= static_cast<DWORD>(static_cast<BYTE>(from[i])) << (8 * i);
    return value;
}

} // namespace

HMMIO mmioOpen(LPSTR szFilename, LPMMIOINFO lpmmioinfo, DWORD dwOpenFlags)
{
    if (lpmmioinfo && lpmmioinfo->pIOProc)
        return Fail(lpmmioinfo, MMSYSERR_NOTSUPPORTED);
    if (dwOpenFlags & MMIO_GETTEMP)
        return Fail(lpmmioinfo, MMSYSERR_NOTSUPPORTED);
    if (dwOpenFlags & (MMIO_PARSE | MMIO_EXIST | MMIO_DELETE))
        return OpenPathRequest(szFilename, lpmmioinfo, dwOpenFlags);
    if (lpmmioinfo && lpmmioinfo->fccIOProc == FOURCC_MEM)
        return OpenMemory(lpmmioinfo, dwOpenFlags);
    if (lpmmioinfo && lpmmioinfo->fccIOProc != 0 && lpmmioinfo->fccIOProc != FOURCC_DOS)
        return Fail(lpmmioinfo, MMIOERR_INVALIDFILE);
    return OpenFile(szFilename, lpmmioinfo, dwOpenFlags);
}

MMRESULT mmioClose(HMMIO hmmio, UINT wFlags)
{
    if (!hmmio)
        return MMSYSERR_INVALHANDLE;
    MMRESULT result = FlushBuffer(hmmio);
    if (hmmio->OwnsBuffer)
        std::free(hmmio->Buffer);
    if (hmmio->Fd >= 0 && !(wFlags & MMIO_FHOPEN)) {
        ::flock(hmmio->Fd, LOCK_UN);
        if (::close(hmmio->Fd) != 0 && result == MMSYSERR_NOERROR)
            result = MMIOERR_CANNOTCLOSE;
    }
    delete hmmio;
    return result;
}

LONG mmioRead(HMMIO hmmio, HPSTR pch, LONG cch)
{
    if (!hmmio || cch < 0 || (cch > 0 && !pch) || !CanRead(hmmio))
        return -1;
    HMMIO__* h = hmmio;
    if (h->Memory) {
        if (h->Position >= h->Size)
            return 0;
        const LONG count = static_cast<LONG>(std::min<int64_t>(cch, h->Size - h->Position));
        std::memcpy(pch, h->Buffer + h->Position, static_cast<size_t>(count));
        h->Position += count;
        return count;
    }
    if (!Buffered(h)) {
        const int64_t n = ReadAt(h->Fd, pch, static_cast<size_t>(cch), h->Position);
        if (n < 0)
            return -1;
        h->Position += n;
        return static_cast<LONG>(n);
    }
    LONG done = 0;
    while (done < cch) {
        LONG avail = h->Valid - h->Next;
        if (avail == 0 && cch - done >= h->Size) {
            // Large reads bypass the buffer rather than pass through it.
            if (FlushBuffer(h) != MMSYSERR_NOERROR)
                return -1;
            const int64_t at = h->BufOffset + h->Next;
            const int64_t n = ReadAt(h->Fd, pch + done, static_cast<size_t>(cch - done), at);
            if (n < 0)
                return -1;
            done += static_cast<LONG>(n);
            Reposition(h, at + n);
            break;
        }
        if (avail == 0) {
            avail = Refill(h);
            if (avail < 0)
                return -1;
            if (avail == 0)
                break;
        }
        const LONG count = std::min(avail, cch - done);
        std::memcpy(pch + done, h->Buffer + h->Next, static_cast<size_t>(count));
        h->Next += count;
        done += count;
    }
    return done;
}

LONG mmioWrite(HMMIO hmmio, const char* pch, LONG cch)
{
    if (!hmmio || cch < 0 || (cch > 0 && !pch) || !CanWrite(hmmio))
        return -1;
    HMMIO__* h = hmmio;
    const int64_t start = Tell(h);
    if (start + cch > kMaxOffset)
        return -1;
    if (h->Memory) {
        if (!GrowMemory(h, start + cch))
            return -1;
        std::memcpy(h->Buffer + start, pch, static_cast<size_t>(cch));
        h->Position += cch;
        return cch;
    }
    if (!Buffered(h)) {
        if (!WriteAllAt(h->Fd, pch, static_cast<size_t>(cch), h->Position))
            return -1;
        h->Position += cch;
        return cch;
    }
    LONG done = 0;
    while (done < cch) {
        if (h->Next == h->Size) {
            if (FlushBuffer(h) != MMSYSERR_NOERROR)
                return -1;
            Reposition(h, h->BufOffset + h->Next);
        }
        if (h->Next == 0 && h->Valid == 0 && cch - done >= h->Size) {
            // Whole buffers' worth go straight to the file.
            const LONG direct = (cch - done) - (cch - done) % h->Size;
            if (!WriteAllAt(h->Fd, pch + done, static_cast<size_t>(direct), h->BufOffset))
                return -1;
            done += direct;
            Reposition(h, h->BufOffset + direct);
            continue;
        }
        const LONG count = std::min(h->Size - h->Next, cch - done);
        std::memcpy(h->Buffer + h->Next, pch + done, static_cast<size_t>(count));
        h->Next += count;
        h->Valid = std::max(h->Valid, h->Next);
        h->Dirty = true;
        done += count;
    }
    return done;
}

LONG mmioSeek(HMMIO hmmio, LONG lOffset, int iOrigin)
{
    if (!hmmio)
        return -1;
    int64_t base = 0;
    switch (iOrigin) {
    case SEEK_SET:
        base = 0;
        break;
    case SEEK_CUR:
        base = Tell(hmmio);
        break;
    case SEEK_END:
        base = FileEnd(hmmio);
        if (base < 0)
            return -1;
        break;
    default:
        return -1;
    }
    const int64_t target = base + lOffset;
    if (target < 0 || target > kMaxOffset)
        return -1;
    if (SeekTo(hmmio, target) != MMSYSERR_NOERROR)
        return -1;
    return static_cast<LONG>(target);
}

MMRESULT mmioDescend(HMMIO hmmio, LPMMCKINFO lpck, LPCMMCKINFO lpckParent, UINT wFlags)
{
    if (!hmmio || !lpck)
        return MMSYSERR_INVALPARAM;
    const int64_t parentEnd = lpckParent
        ? static_cast<int64_t>(lpckParent->dwDataOffset) + static_cast<int64_t>(lpckParent->cksize)
        : INT64_MAX;
    for (;;) {
        const int64_t pos = Tell(hmmio);
        if (pos + 8 > parentEnd)
            return MMIOERR_CHUNKNOTFOUND;
        char header[12];
        const LONG got = mmioRead(hmmio, header, 8);
        if (got < 0)
            return MMIOERR_CANNOTREAD;
        if (got < 8)
            return MMIOERR_CHUNKNOTFOUND;
        MMCKINFO ck {};
        ck.ckid = GetDword(header);
        ck.cksize = GetDword(header + 4);
        ck.dwDataOffset = static_cast<DWORD>(pos + 8);
        const bool container = ck.ckid == FOURCC_RIFF || ck.ckid == FOURCC_LIST;
        if (container) {
            const LONG typeGot = mmioRead(hmmio, header + 8, 4);
            if (typeGot < 0)
                return MMIOERR_CANNOTREAD;
            if (typeGot < 4)
                return MMIOERR_CHUNKNOTFOUND;
            ck.fccType = GetDword(header + 8);
        }
        bool match = true;
        if (wFlags & MMIO_FINDCHUNK)
            match = ck.ckid == lpck->ckid;
        else if (wFlags & MMIO_FINDRIFF)
            match = ck.ckid == FOURCC_RIFF && ck.fccType == lpck->fccType;
        else if (wFlags & MMIO_FINDLIST)
            match = ck.ckid == FOURCC_LIST && ck.fccType == lpck->fccType;
        if (match) {
            *lpck = ck;
            return MMSYSERR_NOERROR;
        }
        const int64_t end = pos + 8 + static_cast<int64_t>(ck.cksize) + (ck.cksize & 1);
        if (end > kMaxOffset || SeekTo(hmmio, end) != MMSYSERR_NOERROR)
            return MMIOERR_CHUNKNOTFOUND;
    }
}

MMRESULT mmioAscend(HMMIO hmmio, LPMMCKINFO lpck, UINT wFlags)
{
    if (!hmmio || !lpck)
        return MMSYSERR_INVALPARAM;
    if (lpck->dwFlags & MMIO_DIRTY) {
        const int64_t pos = Tell(hmmio);
        const int64_t size = pos - static_cast<int64_t>(lpck->dwDataOffset);
        if (size < 0 || lpck->dwDataOffset < 4)
            return MMIOERR_CANNOTSEEK;
        if (static_cast<DWORD>(size) != lpck->cksize) {
            char field[4];
            PutDword(field, static_cast<DWORD>(size));
            if (mmioSeek(hmmio, static_cast<LONG>(lpck->dwDataOffset - 4), SEEK_SET) < 0)
                return MMIOERR_CANNOTSEEK;
            if (mmioWrite(hmmio, field, 4) != 4)
                return MMIOERR_CANNOTWRITE;
            if (mmioSeek(hmmio, static_cast<LONG>(pos), SEEK_SET) < 0)
                return MMIOERR_CANNOTSEEK;
            lpck->cksize = static_cast<DWORD>(size);
        }
        if (size & 1) {
            const char pad = 0;
            if (mmioWrite(hmmio, &pad, 1) != 1)
                return MMIOERR_CANNOTWRITE;
        }
        lpck->dwFlags &= ~MMIO_DIRTY;
        return MMSYSERR_NOERROR;
    }
    const int64_t end
        = static_cast<int64_t>(lpck->dwDataOffset) + static_cast<int64_t>(lpck->cksize) + (lpck->cksize & 1);
    if (end > kMaxOffset || mmioSeek(hmmio, static_cast<LONG>(end), SEEK_SET) < 0)
        return MMIOERR_CANNOTSEEK;
    return MMSYSERR_NOERROR;
}

MMRESULT mmioCreateChunk(HMMIO hmmio, LPMMCKINFO lpck, UINT wFlags)
{
    if (!hmmio || !lpck)
        return MMSYSERR_INVALPARAM;
    if (wFlags & MMIO_CREATERIFF)
        lpck->ckid = FOURCC_RIFF;
    else if (wFlags & MMIO_CREATELIST)
        lpck->ckid = FOURCC_LIST;
    const bool container = (wFlags & (MMIO_CREATERIFF | MMIO_CREATELIST)) != 0;
    const int64_t pos = Tell(hmmio);
    char header[12];
    PutDword(header, lpck->ckid);
    PutDword(header + 4, lpck->cksize);
    PutDword(header + 8, lpck->fccType);
    const LONG length = container ? 12 : 8;
    if (pos + length > kMaxOffset)
        return MMIOERR_CANNOTSEEK;
    if (mmioWrite(hmmio, header, length) != length)
        return MMIOERR_CANNOTWRITE;
    lpck->dwDataOffset = static_cast<DWORD>(pos + 8);
    lpck->dwFlags = MMIO_DIRTY;
    return MMSYSERR_NOERROR;
}

MMRESULT mmioGetInfo(HMMIO hmmio, LPMMIOINFO lpmmioinfo, UINT wFlags)
{
    if (!hmmio || !lpmmioinfo)
        return MMSYSERR_INVALPARAM;
    const HMMIO__* h = hmmio;
    MMIOINFO info {};
    info.dwFlags = h->OpenFlags | ((Buffered(h) && h->Dirty) ? MMIO_DIRTY : 0);
    info.fccIOProc = h->Memory ? FOURCC_MEM : FOURCC_DOS;
    info.cchBuffer = h->Buffer ? h->Size : 0;
    info.pchBuffer = h->Buffer;
    info.hmmio = hmmio;
    if (h->Memory) {
        info.pchNext = h->Buffer + std::min<int64_t>(h->Position, h->Size);
        info.pchEndRead = h->Buffer + h->Size;
        info.pchEndWrite = h->Buffer + h->Size;
        info.lBufOffset = 0;
        info.lDiskOffset = h->Size;
        info.adwInfo[0] = static_cast<DWORD>(h->Grow);
    } else if (Buffered(h)) {
        info.pchNext = h->Buffer + h->Next;
        info.pchEndRead = h->Buffer + h->Valid;
        info.pchEndWrite = h->Buffer + h->Size;
        info.lBufOffset = static_cast<LONG>(h->BufOffset);
        info.lDiskOffset = static_cast<LONG>(h->BufOffset + h->Valid);
        info.adwInfo[0] = static_cast<DWORD>(h->Fd);
    } else {
        info.lBufOffset = static_cast<LONG>(h->Position);
        info.lDiskOffset = static_cast<LONG>(h->Position);
        info.adwInfo[0] = static_cast<DWORD>(h->Fd);
    }
    *lpmmioinfo = info;
    return MMSYSERR_NOERROR;
}

MMRESULT mmioSetInfo(HMMIO hmmio, LPCMMIOINFO lpmmioinfo, UINT wFlags)
{
    if (!hmmio || !lpmmioinfo)
        return MMSYSERR_INVALPARAM;
    HMMIO__* h = hmmio;
    if (!h->Buffer)
        return MMSYSERR_NOERROR;
    if (lpmmioinfo->pchNext < h->Buffer || lpmmioinfo->pchNext > h->Buffer + h->Size)
        return MMSYSERR_INVALPARAM;
    const LONG next = static_cast<LONG>(lpmmioinfo->pchNext - h->Buffer);
    if (h->Memory) {
        h->Position = next;
        return MMSYSERR_NOERROR;
    }
    if (lpmmioinfo->dwFlags & MMIO_DIRTY) {
        // Bytes the caller wrote between the old valid end and pchNext are
        // now file contents too.
        h->Valid = std::max(h->Valid, next);
        h->Dirty = true;
    } else if (next > h->Valid) {
        return MMSYSERR_INVALPARAM;
    }
    h->Next = next;
    return MMSYSERR_NOERROR;
}

MMRESULT mmioAdvance(HMMIO hmmio, LPMMIOINFO lpmmioinfo, UINT wFlags)
{
    if (!hmmio)
        return MMSYSERR_INVALPARAM;
    HMMIO__* h = hmmio;
    if (!h->Buffer)
        return MMIOERR_UNBUFFERED;
    if (lpmmioinfo) {
        const MMRESULT taken = mmioSetInfo(hmmio, lpmmioinfo, 0);
        if (taken != MMSYSERR_NOERROR)
            return taken;
    }
    MMRESULT result = MMSYSERR_NOERROR;
    if (h->Memory) {
        if ((wFlags & MMIO_WRITE) && h->Position >= h->Size) {
            if (!CanWrite(h) || !GrowMemory(h, h->Size + std::max<LONG>(h->Grow, 1)))
                result = MMIOERR_CANNOTEXPAND;
        }
    } else {
        if (FlushBuffer(h) != MMSYSERR_NOERROR)
            return MMIOERR_CANNOTWRITE;
        Reposition(h, h->BufOffset + h->Next);
        if (wFlags & MMIO_WRITE) {
            // The caller fills the buffer itself.
        } else if (CanRead(h)) {
            if (Refill(h) < 0)
                result = MMIOERR_CANNOTREAD;
        }
    }
    if (lpmmioinfo)
        mmioGetInfo(hmmio, lpmmioinfo, 0);
    return result;
}

MMRESULT mmioFlush(HMMIO hmmio, UINT wFlags)
{
    if (!hmmio)
        return MMSYSERR_INVALHANDLE;
    HMMIO__* h = hmmio;
    if (FlushBuffer(h) != MMSYSERR_NOERROR)
        return MMIOERR_CANNOTWRITE;
    if (Buffered(h) && (wFlags & MMIO_EMPTYBUF))
        Reposition(h, h->BufOffset + h->Next);
    return MMSYSERR_NOERROR;
}

MMRESULT mmioSetBuffer(HMMIO hmmio, LPSTR pchBuffer, LONG cchBuffer, UINT wFlags)
{
    if (!hmmio)
        return MMSYSERR_INVALHANDLE;
    HMMIO__* h = hmmio;
    if (h->Memory || cchBuffer < 0)
        return MMSYSERR_INVALPARAM;
    if (FlushBuffer(h) != MMSYSERR_NOERROR)
        return MMIOERR_CANNOTWRITE;
    const int64_t pos = Tell(h);
    char* buffer = nullptr;
    bool owns = false;
    if (cchBuffer > 0) {
        if (pchBuffer) {
            buffer = pchBuffer;
        } else {
            buffer = static_cast<char*>(std::calloc(static_cast<size_t>(cchBuffer), 1));
            if (!buffer)
                return MMIOERR_OUTOFMEMORY;
            owns = true;
        }
    }
    if (h->OwnsBuffer)
        std::free(h->Buffer);
    h->Buffer = buffer;
    h->Size = buffer ? cchBuffer : 0;
    h->OwnsBuffer = owns;
    h->Dirty = false;
    h->Position = pos;
    Reposition(h, pos);
    return MMSYSERR_NOERROR;
}

FOURCC mmioStringToFOURCC(LPCSTR sz, UINT wFlags)
{
    char c[4] = { ' ', ' ', ' ', ' ' };
    for (int i = 0; sz && i < 4 && sz[i]; ++i) {
        char ch = sz[i];
        if ((wFlags & MMIO_TOUPPER) && ch >= 'a' && ch <= 'z')
            ch = static_cast<char>(ch - 'a' + 'A');
        c[i] = ch;
    }
    return mmioFOURCC(c[0], c[1], c[2], c[3]);
}
