#include "device.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef SIM_DIR
#error "SIM_DIR must name the sim/ directory"
#endif
#ifndef DEVICES_DIR
#error "DEVICES_DIR must name a directory for test devices"
#endif
#ifndef LIBFAKETIME
#error "LIBFAKETIME must name libfaketime.so.1"
#endif

// Where a movable clock's offset is read, in the device's /tmp.
constexpr char clock_offset_file[] = "/tmp/faketimerc";

std::string read_file(const std::string &path) {
    std::string text;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    fclose(f);
    return text;
}

void write_file(const std::string &path, const std::string &text) {
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

size_t count_of(const std::string &text, const std::string &part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

bool wait_for(const std::function<bool()> &cond, int timeout_ms) {
    for (int waited = 0;; waited += 20) {
        if (cond())
            return true;
        if (waited >= timeout_ms)
            return false;
        usleep(20 * 1000);
    }
}

std::string program_under_test(const char *env_name, const char *built_path) {
    const char *env = getenv(env_name);
    return env && *env ? env : built_path;
}

bool device_arch_is(const char *arch) {
    const char *env = getenv("DEVICE_ARCH");
    return env && strcmp(env, arch) == 0;
}

std::string libc_error_text(int err) {
    // musl's wording where it differs from glibc's, which the tests themselves run on.
    static constexpr struct {
        int err;
        const char *text;
    } musl[] = {
        {EADDRINUSE, "Address in use"},
        {EMFILE, "No file descriptors available"},
    };
    const char *libc = getenv("DEVICE_LIBC");
    if (libc && strcmp(libc, "musl") == 0)
        for (const auto &m : musl)
            if (m.err == err)
                return m.text;
    return strerror(err);
}

static void make_dirs(const std::string &path) {
    for (size_t i = 1; i <= path.size(); ++i)
        if (i == path.size() || path[i] == '/')
            mkdir(path.substr(0, i).c_str(), 0755);
}

Device::Device(const std::string &suffix) {
    const auto *info = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name() + suffix;
    for (char &c : name)
        if (c == '/')
            c = '_';
    // Runs of the suite side by side (other builds, another shell) keep apart.
    const char *run = getenv("DEVICE_RUN");
    dir = std::string(DEVICES_DIR) + "/" + (run && *run ? std::string(run) + "/" : "") + name;
    std::string rm = "rm -rf '" + dir + "'";
    EXPECT_EQ(system(rm.c_str()), 0);
    make_dirs(dir + "/proc");
    make_dirs(dir + "/tmp");
    make_dirs(dir + "/store");
    write_file(dir + "/calls.log", "");
}

Device::~Device() {
    stop();
    for (int fd : stalled_)
        if (fd >= 0)
            close(fd);
}

void Device::seed(const std::string &key, const std::string &get_text) const {
    write_file(dir + "/store/" + key, get_text);
}

std::string Device::store(const std::string &key) const {
    return read_file(dir + "/store/" + key);
}

bool Device::has_key(const std::string &key) const {
    return access((dir + "/store/" + key).c_str(), F_OK) == 0;
}

std::vector<std::string> Device::calls() const {
    return lines_of(read_file(dir + "/calls.log"));
}
std::string Device::out() const {
    return read_file(dir + "/stdout.txt");
}
std::string Device::err() const {
    return read_file(dir + "/stderr.txt");
}

void Device::write_proc(const std::string &name, const std::string &text) const {
    // Written beside and renamed, so a poll never sees half a file.
    std::string path = dir + "/proc/" + name;
    make_dirs(path.substr(0, path.rfind('/')));
    write_file(path + ".new", text);
    ASSERT_EQ(rename((path + ".new").c_str(), path.c_str()), 0);
}

void Device::remove_proc(const std::string &name) const {
    unlink((dir + "/proc/" + name).c_str());
}

std::string movable_clock_launcher(const std::string &file) {
    // No shared memory: nothing is left in /dev/shm by a program that is killed.
    return "env LD_PRELOAD=" LIBFAKETIME " FAKETIME_NO_CACHE=1 FAKETIME_DISABLE_SHM=1 "
           "FAKETIME_TIMESTAMP_FILE=" +
           file;
}

// The programs under test are built as the harness is.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool address_sanitized = true;
#elif defined(__has_feature)
constexpr bool address_sanitized = __has_feature(address_sanitizer);
#else
constexpr bool address_sanitized = false;
#endif

bool Device::clock_can_move() {
    // Not under an emulator, nor beside AddressSanitizer's runtime, which takes the clock's
    // calls before libfaketime is ready for them.
    const char *emu = getenv("DEVICE_EMULATOR");
    return !(emu && *emu) && !address_sanitized;
}

void Device::move_clock(int64_t seconds) {
    clock_offset_s_ += seconds;
    // Written beside and renamed, so that no call reads half a figure.
    std::string path = dir + clock_offset_file;
    write_file(path + ".new", (clock_offset_s_ < 0 ? "" : "+") + std::to_string(clock_offset_s_));
    ASSERT_EQ(rename((path + ".new").c_str(), path.c_str()), 0);
}

// Makes the children the test forks from now on start with their monotonic clock at ms, in
// a time namespace of their own; -1 when it cannot.
static int time_namespace_at(int64_t ms) {
    int own = open("/proc/self/ns/time_for_children", O_RDONLY | O_CLOEXEC);
    if (own < 0 || unshare(CLONE_NEWTIME) != 0)
        return -1;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t offset_ns = ms * 1000000 - (int64_t{now.tv_sec} * 1000000000 + now.tv_nsec);
    int64_t s = offset_ns / 1000000000, ns = offset_ns % 1000000000;
    if (ns < 0) {
        ns += 1000000000;
        --s;
    }
    std::string offsets = "monotonic " + std::to_string(s) + " " + std::to_string(ns) + "\n";
    int fd = open("/proc/self/timens_offsets", O_WRONLY | O_CLOEXEC);
    bool set = fd >= 0 && write(fd, offsets.data(), offsets.size()) == ssize_t(offsets.size());
    if (fd >= 0)
        close(fd);
    return set ? own : -1;
}

void Device::start(const std::string &program, bool boot_loop) {
    ASSERT_EQ(pid, -1) << "already running";
    std::vector<std::string> args = {std::string(SIM_DIR) + "/device"};
    std::string emulator = launcher;
    if (clock_movable) {
        ASSERT_TRUE(clock_can_move()) << "a host build's clock alone can be moved";
        ASSERT_EQ(access(LIBFAKETIME, R_OK), 0)
            << "no " LIBFAKETIME " (scripts/deps.sh installs it)";
        if (clock_start_ms >= 0)
            clock_offset_s_ = clock_start_ms / 1000 - time(nullptr);
        move_clock(0);
        emulator =
            movable_clock_launcher(clock_offset_file) + (launcher.empty() ? "" : " ") + launcher;
    }
    if (const char *emu = getenv("DEVICE_EMULATOR"); emu && *emu)
        emulator += (emulator.empty() ? "" : " ") + std::string(emu);
    if (!emulator.empty())
        args.insert(args.end(), {"-e", emulator});
    if (const char *sh = getenv("DEVICE_SHELL"); sh && *sh)
        args.insert(args.end(), {"-s", sh});
    if (boot_loop)
        args.push_back("-b");
    args.insert(args.end(), {dir, program});

    // The program's end of a stalled output blocks as a pipe does; the test's ends do not.
    int stalled_out = -1;
    if (stdout_stalled && stalled_[0] < 0) {
        int ends[2];
        ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
        ASSERT_EQ(fcntl(ends[1], F_SETPIPE_SZ, 4096), 4096);
        stalled_[0] = ends[0];
        fcntl(ends[0], F_SETFL, O_NONBLOCK);
        stalled_[1] = open(("/proc/self/fd/" + std::to_string(ends[1])).c_str(),
                           O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(stalled_[1], 0);
        stalled_out = ends[1];
        fill();
    }
    // The test itself stays in its own time namespace; the program and all it starts go
    // into the one made for them.
    int own_time = -1;
    if (clock_start_ms >= 0) {
        own_time = time_namespace_at(clock_start_ms);
        ASSERT_GE(own_time, 0) << "no time namespace: " << strerror(errno);
    }
    pid = fork();
    if (own_time >= 0 && pid != 0) {
        setns(own_time, CLONE_NEWTIME);
        close(own_time);
    }
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int out = open((dir + "/stdout.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        int err = open((dir + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        int in = open("/dev/null", O_RDONLY);
        int unread[2];
        if (stdout_unread && pipe(unread) == 0) {
            close(unread[0]);
            out = unread[1];
        }
        if (stalled_out >= 0)
            out = stalled_out;
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        // Nothing else of the test's, sockets least of all, may leak into the program.
        close_range(3, ~0U, 0);
        std::vector<char *> argv;
        argv.reserve(args.size() + 1);
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (stalled_out >= 0)
        close(stalled_out);
    status_ = -1;
}

bool Device::running() {
    if (pid == -1)
        return false;
    int st;
    if (waitpid(pid, &st, WNOHANG) == pid) {
        status_ = st;
        pid = -1;
        return false;
    }
    return true;
}

int Device::wait_exit(int timeout_ms) {
    wait_for([&] { return !running(); }, timeout_ms);
    return pid == -1 ? status_ : -1;
}

void Device::stop() {
    if (pid == -1)
        return;
    // TERM first: in a boot loop the runner passes it on to the program.
    kill(pid, SIGTERM);
    if (wait_exit(2000) != -1)
        return;
    kill(pid, SIGKILL);
    int st;
    if (waitpid(pid, &st, 0) == pid)
        status_ = st;
    pid = -1;
}

std::string Device::drain() {
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = read(stalled_[0], buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<size_t>(n));
    return text;
}

void Device::fill() const {
    const std::string filler(4096, '.');
    while (write(stalled_[1], filler.data(), filler.size()) > 0) {
    }
}
