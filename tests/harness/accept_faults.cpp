// Preloaded into the exporter: its first accepts fail with the errors ACCEPT_FAULTS lists
// (errno numbers, comma-separated), each leaving the connection waiting, as a passing fault
// of the kernel's does. Every later accept is the C library's.
#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <sys/socket.h>

namespace {

// The next fault, or 0 once they are all spent.
int next_fault() {
    static const char *left = getenv("ACCEPT_FAULTS");
    if (!left || !*left)
        return 0;
    char *end = nullptr;
    int err = static_cast<int>(strtol(left, &end, 10));
    left = *end == ',' ? end + 1 : end;
    return err;
}

} // namespace

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): the C library's are reserved
extern "C" int accept4(int fd, sockaddr *address, socklen_t *length, int flags) {
    using real_accept4 = int (*)(int, sockaddr *, socklen_t *, int);
    static auto real = reinterpret_cast<real_accept4>(dlsym(RTLD_NEXT, "accept4"));
    if (int err = next_fault()) {
        errno = err;
        return -1;
    }
    return real(fd, address, length, flags);
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
extern "C" int accept(int fd, sockaddr *address, socklen_t *length) {
    return accept4(fd, address, length, 0);
}
