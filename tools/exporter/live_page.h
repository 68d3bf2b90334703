// What a browser gets: the index of routers probed recently, the live page for aligning an
// antenna (the files under page/, built into the exporter: nothing comes from the internet),
// and the reading the live page asks for every second, as JSON.
#pragma once

#include "prober.h"
#include "reading.h"

#include <string>
#include <vector>

// The files of page/, as they are.
extern const char index_html[];
extern const char live_html[];
extern const char live_js[];
extern const char live_css[];

std::string index_page(const std::vector<router_summary> &routers);
// One reading of target; a failed one says why.
std::string reading_json(const std::string &target, const reading &r);
// Text made safe inside HTML and inside a JSON string.
std::string html_escaped(const std::string &text);
std::string json_string(const std::string &text);
