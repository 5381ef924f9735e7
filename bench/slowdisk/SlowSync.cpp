// A slow disk for benchmarks, loaded with LD_PRELOAD: fdatasync and fsync
// take TONVARA_SLOW_SYNC_MS milliseconds (500 by default) longer than they
// do, as on a busy or failing disk.
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <unistd.h>

namespace {

void Delay()
{
    const char* text = std::getenv("TONVARA_SLOW_SYNC_MS");
    const long ms = text ? std::atol(text) : 500;
    timespec left { ms / 1000, (ms % 1000) * 1000000 };
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) { }
}

template <class F> F Next(const char* name)
{
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" int fdatasync(int fd)
{
    static const auto next = Next<int (*)(int)>("fdatasync");
    Delay();
    return next(fd);
}

extern "C" int fsync(int fd)
{
    static const auto next = Next<int (*)(int)>("fsync");
    Delay();
    return next(fd);
}
