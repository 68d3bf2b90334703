// A simulated device for end-to-end tests: a fresh directory run through sim/device, with
// the real shipped binary inside. See sim/device for the directory layout.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &text);
std::vector<std::string> lines_of(const std::string &text);
// How many times text holds part, overlapping ones too.
size_t count_of(const std::string &text, const std::string &part);

// Polls cond every 20 ms until it holds or timeout_ms have passed; returns whether it held.
bool wait_for(const std::function<bool()> &cond, int timeout_ms = 5000);

// The leading words of a command line ("env NAME=VALUE ...") that preload libfaketime into
// a dynamically linked host program and whatever it starts, so that its clocks read the
// offset in file ("+SECONDS", read at every call: write it beside and rename it) ahead of
// the wall clock, the monotonic clock too.
std::string movable_clock_launcher(const std::string &file);

// Environment of the run, so the same suite can test other builds of the programs:
//   <NAME>_BIN       the binary under test (default: the one built beside the tests)
//   DEVICE_EMULATOR  user-mode emulator command line for a foreign-architecture binary
//   DEVICE_SHELL     shell bound over /bin/sh inside the device
//   DEVICE_ARCH      "mips" when the binaries are the device's, for target-specific figures
//   DEVICE_LIBC      "musl" when the binaries carry musl rather than glibc
//   DEVICE_RUN       a directory of its own for the devices of this run
std::string program_under_test(const char *env_name, const char *built_path);
bool device_arch_is(const char *arch);
// The program's C library's text for err, as perror ends a message with it.
std::string libc_error_text(int err);

struct Device {
    std::string dir; // proc/, tmp/, store/, calls.log, stdout.txt, stderr.txt
    pid_t pid = -1;
    // How the program is launched: a command line in front of it (such as
    // "env --ignore-signal=CHLD"), and a standard output that is a pipe nobody reads.
    std::string launcher;
    bool stdout_unread = false;
    // A standard output that is a pipe of 4 KiB, full before the program starts, whose reader
    // (the test) reads only when told to: a log reader that has hung.
    bool stdout_stalled = false;

    // The program's monotonic clock, for weeks of uptime and the wraps of 32-bit figures.
    // At 0 or more it starts at that many milliseconds, in a time namespace of its own that
    // whatever it starts shares: every build, the emulated ones too.
    int64_t clock_start_ms = -1;
    // A clock that move_clock sets forward while the program runs: libfaketime, preloaded
    // into the program and whatever it starts, reads the offset from the device's
    // /tmp/faketimerc at every call. Only a dynamically linked host build without
    // AddressSanitizer takes it (clock_can_move); its monotonic clock then reads as the wall
    // clock plus the offset, starting at clock_start_ms (to the second) when that is set too.
    bool clock_movable = false;
    static bool clock_can_move();
    void move_clock(int64_t seconds);

    // A fresh, empty device directory named after the running test (and suffix, so one
    // test can run several devices).
    explicit Device(const std::string &suffix = "");
    ~Device();
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    // Seeds the exact text that "flash get KEY" prints (normally "KEY=value\n").
    void seed(const std::string &key, const std::string &get_text) const;
    // The exact text stored for KEY, empty when there is none.
    std::string store(const std::string &key) const;
    bool has_key(const std::string &key) const;
    // Every flash and reboot call so far, in order.
    std::vector<std::string> calls() const;
    // What the program has printed on standard output / standard error so far.
    std::string out() const;
    std::string err() const;
    // Writes (or with remove_proc removes) a file under the device's /proc.
    void write_proc(const std::string &name, const std::string &text) const;
    void remove_proc(const std::string &name) const;

    // Starts program in the device (with DEVICE_EMULATOR and DEVICE_SHELL applied).
    void start(const std::string &program, bool boot_loop = false);
    // Whether the program is still running (reaps it once it has ended).
    bool running();
    // Waits up to timeout_ms for the program to end; its wait status, or -1 if it did not.
    int wait_exit(int timeout_ms);
    // Ends the program (TERM, then KILL) and reaps it.
    void stop();
    // A stalled output: what the program has written into it so far, read out; and the pipe
    // filled up again.
    std::string drain();
    void fill() const;

  private:
    int status_ = -1;
    int64_t clock_offset_s_ = 0;
    int stalled_[2] = {-1, -1};
};
