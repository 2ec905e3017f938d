// Preloaded (LD_PRELOAD) in front of the C library: while TAVIK_FAKE_CLOCK is
// set, the real-time clock reads "<seconds> <nanoseconds>" from it, or fails
// with EINVAL when it says anything else ("fail").  Every other read is the system's own.
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

extern "C" [[gnu::visibility("default")]] int clock_gettime(clockid_t clock, timespec* out) {
    const char* setting = std::getenv("TAVIK_FAKE_CLOCK");
    if (clock != CLOCK_REALTIME || setting == nullptr) return static_cast<int>(syscall(SYS_clock_gettime, clock, out));
    long long seconds = 0;
    long nanos = 0;
    if (std::sscanf(setting, "%lld %ld", &seconds, &nanos) != 2) {
        errno = EINVAL;
        return -1;
    }
    out->tv_sec = static_cast<time_t>(seconds);
    out->tv_nsec = nanos;
    return 0;
}
