#include "exposition.h"

#include "exporter.h"

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

struct family {
    const char *name, *type, *help;
};

void header(std::string &out, const family &f) {
    out.append("# HELP ").append(f.name).append(" ").append(f.help).append("\n");
    out.append("# TYPE ").append(f.name).append(" ").append(f.type).append("\n");
}

void sample(std::string &out, const char *name, const std::string &labels, double value) {
    char number[32];
    snprintf(number, sizeof number, "%.15g", value);
    out.append(name).append(labels).append(" ").append(number).append("\n");
}

void single(std::string &out, const family &f, double value) {
    header(out, f);
    sample(out, f.name, "", value);
}

constexpr family up_family = {"linkstat_up", "gauge",
                              "1 when the router sent a whole, well-formed record in time."};
constexpr family duration_family = {"linkstat_probe_duration_seconds", "gauge",
                                    "How long the probe took."};
constexpr family present_family = {
    "linkstat_station_present", "gauge",
    "1 when the record held the station's figures, 0 when the router could not read its "
    "station table (then no signal or rate is given)."};

// The figures of a record, each given only when the router filled its entry.
struct figure_row {
    family f;
    const char *path; // the receive path, or nullptr for the overall figure
    stat_id id;
    bool rate; // a rate code, given in bytes per second
};
constexpr family rssi_family = {"linkstat_rssi", "gauge",
                                "The station's received signal strength, as the driver gives it."};
constexpr family path_family = {
    "linkstat_path_rssi", "gauge",
    "The received signal strength of one receive path, as the driver gives it."};
constexpr family tx_family = {"linkstat_transmit_rate_bytes_per_second", "gauge",
                              "The current transmit rate to the station."};
constexpr family rx_family = {"linkstat_receive_rate_bytes_per_second", "gauge",
                              "The current receive rate from the station."};
constexpr figure_row figures[] = {
    {rssi_family, nullptr, rssi, false},         {path_family, "a", rssi_path_a, false},
    {path_family, "b", rssi_path_b, false},      {path_family, "c", rssi_path_c, false},
    {path_family, "d", rssi_path_d, false},      {tx_family, nullptr, current_tx_rate, true},
    {rx_family, nullptr, current_rx_rate, true},
};

// The process's CPU seconds, start time since boot in seconds, and memory, from its stat.
struct process_stat {
    double cpu_s = 0, start_s = 0, virtual_bytes = 0, resident_bytes = 0;
};

bool read_process_stat(process_stat &p) {
    FILE *f = fopen("/proc/self/stat", "r");
    if (!f)
        return false;
    char text[1024];
    size_t n = fread(text, 1, sizeof text - 1, f);
    fclose(f);
    text[n] = '\0';
    // The fields after the command name, which may hold anything, from its closing ')'.
    const char *after = strrchr(text, ')');
    unsigned long utime, stime, vsize;
    unsigned long long start;
    long rss;
    if (!after || sscanf(after + 2,
                         "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu %*d %*d %*d %*d "
                         "%*d %*d %llu %lu %ld",
                         &utime, &stime, &start, &vsize, &rss) != 5)
        return false;
    double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    p.cpu_s = static_cast<double>(utime + stime) / tick;
    p.start_s = static_cast<double>(start) / tick;
    p.virtual_bytes = static_cast<double>(vsize);
    p.resident_bytes = static_cast<double>(rss) * static_cast<double>(sysconf(_SC_PAGESIZE));
    return true;
}

double boot_time_s() {
    FILE *f = fopen("/proc/stat", "r");
    double boot = 0;
    if (!f)
        return boot;
    char line[256];
    while (fgets(line, sizeof line, f))
        if (sscanf(line, "btime %lf", &boot) == 1)
            break;
    fclose(f);
    return boot;
}

double open_fds() {
    DIR *d = opendir("/proc/self/fd");
    if (!d)
        return 0;
    double n = 0;
    while (dirent *e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n - 1; // the directory's own descriptor
}

void process_text(std::string &out) {
    process_stat p;
    if (!read_process_stat(p))
        return;
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    single(out, {"process_cpu_seconds_total", "counter", "User and system CPU time spent."},
           p.cpu_s);
    single(out, {"process_resident_memory_bytes", "gauge", "Resident memory size."},
           p.resident_bytes);
    single(out, {"process_virtual_memory_bytes", "gauge", "Virtual memory size."}, p.virtual_bytes);
    single(out, {"process_open_fds", "gauge", "Open file descriptors."}, open_fds());
    single(out, {"process_max_fds", "gauge", "The limit on open file descriptors."},
           static_cast<double>(files.rlim_cur));
    single(out, {"process_start_time_seconds", "gauge", "Start time since the Unix epoch."},
           boot_time_s() + p.start_s);
}

} // namespace

std::string probe_text(const reading &r, double seconds) {
    std::string out;
    single(out, up_family, r.up ? 1 : 0);
    single(out, duration_family, seconds);
    if (!r.up)
        return out;
    single(out, present_family, r.present() ? 1 : 0);
    const char *last_family = nullptr;
    for (const figure_row &row : figures) {
        if (!r.filled[row.id])
            continue;
        if (last_family != row.f.name)
            header(out, row.f);
        last_family = row.f.name;
        std::string labels = row.path ? std::string("{path=\"") + row.path + "\"}" : "";
        double value = static_cast<double>(r.value[row.id]);
        sample(out, row.f.name, labels,
               row.rate ? value * static_cast<double>(bytes_per_second_per_code) : value);
    }
    return out;
}

std::string exporter_text(const request_figures &requests, const prober_figures &probing) {
    std::string out;
    single(out, {"linkstat_exporter_probes_total", "counter", "Probes asked for on /probe."},
           static_cast<double>(requests.probes));
    header(out, {"linkstat_exporter_probe_failures_total", "counter",
                 "Probes that gave linkstat_up 0, by reason."});
    for (int i = 1; i < static_cast<int>(failure::count); ++i)
        sample(out, "linkstat_exporter_probe_failures_total",
               std::string("{reason=\"") + failure_name(static_cast<failure>(i)) + "\"}",
               static_cast<double>(requests.failures[i]));
    single(out,
           {"linkstat_exporter_refused_targets_total", "counter",
            "Requests refused for a target that is not a host and port or not allowed."},
           static_cast<double>(requests.refused_targets));
    single(out, {"linkstat_exporter_asks_total", "counter", "Asks sent to routers."},
           static_cast<double>(probing.asks));
    single(out,
           {"linkstat_exporter_router_connections_opened_total", "counter",
            "Connections opened to routers."},
           static_cast<double>(probing.connections));
    single(out,
           {"linkstat_exporter_router_connections", "gauge", "Connections to routers held open."},
           static_cast<double>(probing.open));
    single(out, {"linkstat_exporter_routers", "gauge", "Routers asked about recently."},
           static_cast<double>(probing.routers));
    process_text(out);
    return out;
}
