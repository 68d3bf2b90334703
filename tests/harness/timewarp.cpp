// A clock for driving the shipped leverwatch through hours in seconds, loaded with LD_PRELOAD:
// every sleep() lasts a TIMEWARP_FACTOR-th of its length while the monotonic clock moves by the
// whole of it, so polls, retries and their back-off keep their proportions. Nothing else is
// touched: a flash command's time limit still runs in real time, so a slow command never looks
// hung. With TIMEWARP_STATE set, the time gained so far (ns) is written there after each sleep.
// It is the program's own clock: the commands it starts run without it.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr long long ns_per_s = 1000000000LL;
long long gained_ns;
long long factor = 1;
const char *state_path;
using gettime_fn = int (*)(clockid_t, timespec *);
gettime_fn real_gettime;

__attribute__((constructor)) void set_up() {
    real_gettime = reinterpret_cast<gettime_fn>(dlsym(RTLD_NEXT, "clock_gettime"));
    const char *f = getenv("TIMEWARP_FACTOR");
    factor = f && atoll(f) > 1 ? atoll(f) : 1;
    state_path = getenv("TIMEWARP_STATE");
    unsetenv("LD_PRELOAD");
}

long long real_ns() {
    timespec t{};
    real_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * ns_per_s + t.tv_nsec;
}

void note_gained() {
    const char *path = state_path;
    if (!path)
        return;
    char text[32];
    int n = snprintf(text, sizeof text, "%lld\n", gained_ns);
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        if (write(fd, text, static_cast<size_t>(n)) != n)
            unlink(path);
        close(fd);
    }
}

} // namespace

// The C library's header names these parameters in its own reserved words.
// NOLINTBEGIN(readability-inconsistent-declaration-parameter-name)
extern "C" int clock_gettime(clockid_t clock, timespec *t) {
    int r = real_gettime(clock, t);
    if (r == 0 && (clock == CLOCK_MONOTONIC || clock == CLOCK_BOOTTIME)) {
        long long ns = t->tv_sec * ns_per_s + t->tv_nsec + gained_ns;
        t->tv_sec = ns / ns_per_s;
        t->tv_nsec = ns % ns_per_s;
    }
    return r;
}
// NOLINTEND(readability-inconsistent-declaration-parameter-name)

// As sleep does: cut short by a signal's handler, it says how many seconds were left.
extern "C" unsigned sleep(unsigned seconds) {
    int saved = errno;
    const long long wanted = seconds * ns_per_s, began = real_ns();
    long long real = wanted / factor;
    timespec left{real / ns_per_s, real % ns_per_s};
    nanosleep(&left, &left);
    long long elapsed = real_ns() - began;
    long long passed = elapsed * factor < wanted ? elapsed * factor : wanted;
    gained_ns += passed - elapsed;
    note_gained();
    errno = saved;
    return static_cast<unsigned>((wanted - passed + ns_per_s - 1) / ns_per_s);
}
