// The Prometheus text exposition format: one probe's figures for /probe, the exporter's own
// for /metrics. Every family has its HELP and TYPE; names and units follow Prometheus's
// conventions (base units: seconds, bytes).
#pragma once

#include "prober.h"
#include "reading.h"

#include <cstdint>
#include <string>

// A probe that took seconds and gave r. A record without figures gives
// linkstat_station_present 0 and no signal or rate at all, never a signal of 0.
std::string probe_text(const reading &r, double seconds);

// What the HTTP side counts.
struct request_figures {
    uint64_t probes = 0;
    uint64_t failures[static_cast<int>(failure::count)] = {};
    uint64_t refused_targets = 0; // not a host and port, or not allowed
};
// The exporter's own figures, with the process's from /proc/self.
std::string exporter_text(const request_figures &requests, const prober_figures &probing);
