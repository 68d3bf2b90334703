#include "profile_transfer.h"

#include "log.h"
#include "platform.h"
#include "store_bridge.h"

#include <cstdio>
#include <cstring>

namespace {

// When a row runs, by the security code e and the WEP key selector w read earlier.
enum when : unsigned char { always, wep, wep64, wep128, wpa };
enum action : unsigned char {
    copy_number, // read a number, write it to dst (and dst2)
    copy_text,   // read a text, write it to dst (and dst2)
    read_only,   // read a number, write nothing
    ciphers,     // the cipher-suite set of e, no read
    wsc,         // the WSC authentication (dst) and encryption (dst2) of e, no read
    configure,   // read; write 1 to dst when it and the WSC-disabled flag read 0
};
// The WPS flags are read only to decide whether to mark WPS configured: one that cannot be read
// leaves that write out, with a line, rather than holding the change (a model without WPS lacks
// them).
constexpr bool decides_only(action a) {
    return a == read_only || a == configure;
}
// Which working value a read sets.
enum slot : unsigned char { none, code, auth_type, wep_key, wsc_disabled, wsc_configured, slots };
// SSID placeholders of the client stash.
enum name_rule : unsigned char { plain, save_name, restore_name };

// The keys a cipher-suite set writes, by profile.
enum suite_key : unsigned char { wpa_suite, wpa2_suite, wpa_auth, suite_keys };
struct cipher_keys {
    const char *name[suite_keys];
};
constexpr cipher_keys repeater_ciphers{
    {"WLAN0_VAP4_WPA_CIPHER_SUITE", "WLAN0_VAP4_WPA2_CIPHER_SUITE", "WLAN0_VAP4_WPA_AUTH"}};
constexpr cipher_keys root_ciphers{{"WPA_CIPHER_SUITE", "WPA2_CIPHER_SUITE", "WLAN0_WPA_AUTH"}};

// The cipher-suite writes of each WPA security code, in the order they are issued: suites
// 1 TKIP, 2 AES, 0 none; WPA_AUTH 2 is the pre-shared key. Other codes write none.
struct cipher_suites {
    int code;
    struct {
        suite_key key;
        int value;
    } writes[suite_keys];
};
constexpr cipher_suites cipher_suite_sets[] = {
    {2, {{wpa_suite, 1}, {wpa2_suite, 0}, {wpa_auth, 2}}},
    {4, {{wpa_auth, 2}, {wpa_suite, 0}, {wpa2_suite, 2}}},
    {6, {{wpa_auth, 2}, {wpa_suite, 1}, {wpa2_suite, 2}}},
};

struct row {
    const char *src;
    const char *dst;
    const char *dst2;
    const cipher_keys *suites;
    when cond;
    action act;
    slot keep;
    name_rule rule;
};

constexpr row number(when c, const char *src, slot keep, const char *dst) {
    return {src, dst, nullptr, nullptr, c, copy_number, keep, plain};
}
constexpr row text(when c, const char *src, const char *dst, const char *dst2 = nullptr) {
    return {src, dst, dst2, nullptr, c, copy_text, none, plain};
}
constexpr row ssid(const char *src, const char *dst, name_rule rule) {
    return {src, dst, nullptr, nullptr, always, copy_text, none, rule};
}
constexpr row cipher_set(const cipher_keys &keys) {
    return {nullptr, nullptr, nullptr, &keys, wpa, ciphers, none, plain};
}
constexpr row wsc_values(const char *auth, const char *enc) {
    return {nullptr, auth, enc, nullptr, always, wsc, none, plain};
}

constexpr row ssid_to_repeater[] = {
    text(always, "WLAN0_SSID", "WLAN0_VAP4_SSID", "REPEATER_SSID1"),
};
constexpr row ssid_to_root[] = {
    text(always, "WLAN0_VAP4_SSID", "WLAN0_SSID", "WLAN0_WSC_SSID"),
};

constexpr row security_to_repeater[] = {
    number(always, "WLAN0_ENCRYPT", code, "WLAN0_VAP4_ENCRYPT"),
    number(wep, "WLAN0_AUTH_TYPE", auth_type, "WLAN0_VAP4_AUTH_TYPE"),
    number(wep, "WLAN0_WEP", wep_key, "WLAN0_VAP4_WEP"),
    number(wep, "WLAN0_WEP_KEY_TYPE", none, "WLAN0_VAP4_WEP_KEY_TYPE"),
    text(wep64, "WLAN0_WEP64_KEY1", "WLAN0_VAP4_WEP64_KEY1"),
    text(wep128, "WLAN0_WEP128_KEY1", "WLAN0_VAP4_WEP128_KEY1"),
    cipher_set(repeater_ciphers),
    number(wpa, "WLAN0_PSK_FORMAT", none, "WLAN0_VAP4_PSK_FORMAT"),
    text(wpa, "WLAN0_WPA_PSK", "WLAN0_VAP4_WPA_PSK", "WLAN0_VAP4_WSC_PSK"),
    wsc_values("WLAN0_VAP4_WSC_AUTH", "WLAN0_VAP4_WSC_ENC"),
};
constexpr row security_to_root[] = {
    number(always, "WLAN0_VAP4_ENCRYPT", code, "WLAN0_ENCRYPT"),
    number(wep, "WLAN0_VAP4_AUTH_TYPE", auth_type, "WLAN0_AUTH_TYPE"),
    number(wep, "WLAN0_VAP4_WEP", wep_key, "WLAN0_WEP"),
    number(wep, "WLAN0_VAP4_WEP_KEY_TYPE", none, "WLAN0_WEP_KEY_TYPE"),
    text(wep64, "WLAN0_VAP4_WEP64_KEY1", "WLAN0_WEP64_KEY1"),
    text(wep128, "WLAN0_VAP4_WEP128_KEY1", "WLAN0_WEP128_KEY1"),
    cipher_set(root_ciphers),
    number(wpa, "WLAN0_VAP4_PSK_FORMAT", none, "WLAN0_PSK_FORMAT"),
    text(wpa, "WLAN0_VAP4_WPA_PSK", "WLAN0_WPA_PSK", "WLAN0_WSC_PSK"),
    wsc_values("WLAN0_WSC_AUTH", "WLAN0_WSC_ENC"),
    {"WLAN0_WSC_DISABLE", nullptr, nullptr, nullptr, always, read_only, wsc_disabled, plain},
    {"WLAN0_WSC_CONFIGURED", "WLAN0_WSC_CONFIGURED", nullptr, nullptr, always, configure,
     wsc_configured, plain},
};

// Saving: the root profile (the upstream client settings in WISP mode) into the stash.
constexpr row root_to_stash[] = {
    ssid("WLAN0_SSID", "WLAN0_VAP2_SSID", save_name),
    number(always, "WLAN0_ENCRYPT", code, "WLAN0_VAP2_ENCRYPT"),
    number(wep, "WLAN0_AUTH_TYPE", auth_type, "WLAN0_VAP2_AUTH_TYPE"),
    number(wep, "WLAN0_WEP", wep_key, "WLAN0_VAP2_WEP"),
    number(wep, "WLAN0_WEP_KEY_TYPE", none, "WLAN0_VAP2_WEP_KEY_TYPE"),
    text(wep64, "WLAN0_WEP64_KEY1", "WLAN0_VAP2_WEP64_KEY1"),
    text(wep128, "WLAN0_WEP128_KEY1", "WLAN0_VAP2_WEP128_KEY1"),
    number(wpa, "WLAN0_PSK_FORMAT", none, "WLAN0_VAP2_PSK_FORMAT"),
    text(wpa, "WLAN0_WPA_PSK", "WLAN0_VAP2_WPA_PSK"),
};
// Restoring: the stash back into the root profile, with the settings derived from it.
constexpr row stash_to_root[] = {
    ssid("WLAN0_VAP2_SSID", "WLAN0_SSID", restore_name),
    number(always, "WLAN0_VAP2_ENCRYPT", code, "WLAN0_ENCRYPT"),
    number(wep, "WLAN0_VAP2_AUTH_TYPE", auth_type, "WLAN0_AUTH_TYPE"),
    number(wep, "WLAN0_VAP2_WEP", wep_key, "WLAN0_WEP"),
    number(wep, "WLAN0_VAP2_WEP_KEY_TYPE", none, "WLAN0_WEP_KEY_TYPE"),
    text(wep64, "WLAN0_VAP2_WEP64_KEY1", "WLAN0_WEP64_KEY1"),
    text(wep128, "WLAN0_VAP2_WEP128_KEY1", "WLAN0_WEP128_KEY1"),
    cipher_set(root_ciphers),
    number(wpa, "WLAN0_VAP2_PSK_FORMAT", none, "WLAN0_PSK_FORMAT"),
    text(wpa, "WLAN0_VAP2_WPA_PSK", "WLAN0_WPA_PSK", "WLAN0_WSC_PSK"),
    wsc_values("WLAN0_WSC_AUTH", "WLAN0_WSC_ENC"),
};

// Wi-Fi Simple Configuration authentication and encryption flags by security code.
struct wsc_flags {
    int code, auth, enc;
};
constexpr wsc_flags wsc_table[] = {{0, 1, 1}, {1, 1, 2}, {2, 2, 4}, {4, 32, 8}};
constexpr wsc_flags wsc_other{-1, 34, 12};
constexpr int wsc_shared_key_auth = 4; // code 1 with authentication type 1 (shared key)

// Working values of one run, and whether the read that sets each succeeded.
struct run_state {
    int value[slots];
    bool known[slots];
    bool ok;
};

void fail(run_state &s) {
    s.ok = false;
}

// The WPA codes are the ones with a cipher-suite set.
const cipher_suites *cipher_suites_of(int e) {
    for (const auto &set : cipher_suite_sets)
        if (set.code == e)
            return &set;
    return nullptr;
}

bool applies(when c, const run_state &s) {
    int e = s.value[code];
    switch (c) {
    case always:
        return true;
    case wep:
        return e == 1;
    case wep64:
        return e == 1 && s.value[wep_key] == 1;
    case wep128:
        return e == 1 && s.value[wep_key] != 1;
    case wpa:
        return cipher_suites_of(e) != nullptr;
    }
    return false;
}

// A row's writes, too, stop at the first that fails.
void write_number(run_state &s, const char *key, int value) {
    if (s.ok && key && !::write_number(key, value))
        fail(s);
}

void write_ciphers(run_state &s, const cipher_keys &keys) {
    if (const cipher_suites *set = cipher_suites_of(s.value[code]))
        for (const auto &w : set->writes)
            write_number(s, keys.name[w.key], w.value);
}

void write_wsc(run_state &s, const row &r) {
    // Derived from a code (or a shared-key flag) that could not be read, they would be
    // guesses next to a security setting that stays as it was.
    if (!s.known[code] || (s.value[code] == 1 && !s.known[auth_type]))
        return;
    wsc_flags f = wsc_other;
    for (const auto &w : wsc_table)
        if (w.code == s.value[code])
            f = w;
    if (f.code == 1 && s.value[auth_type] == 1)
        f.auth = wsc_shared_key_auth;
    write_number(s, r.dst, f.auth);
    write_number(s, r.dst2, f.enc);
}

// The stash keeps an SSID of one space as an empty text, and gives it back as one space.
const char *placeholder(name_rule rule, const char *ssid) {
    size_t len = strlen(ssid);
    if (rule == save_name && len == 5 && strncmp(ssid, "\"\\ \"", 4) == 0)
        return "\"\"";
    if (rule == restore_name && len == 3 && strncmp(ssid, "\"\"", 2) == 0)
        return "\" \"";
    return nullptr;
}

void copy_text_row(run_state &s, const row &r) {
    char value[line_size] = {};
    if (!read_text(r.src, value))
        return fail(s);
    const char *word = placeholder(r.rule, value);
    for (const char *dst : {r.dst, r.dst2}) {
        if (s.ok && dst && !(word ? write_word(dst, word) : write_text(dst, value)))
            fail(s);
    }
}

void run_row(run_state &s, const row &r) {
    switch (r.act) {
    case ciphers:
        return write_ciphers(s, *r.suites);
    case wsc:
        return write_wsc(s, r);
    case copy_text:
        return copy_text_row(s, r);
    case copy_number:
    case read_only:
    case configure:
        break;
    }
    int v = 0;
    if (!read_number(r.src, v)) {
        if (!decides_only(r.act))
            return fail(s);
        // No failure is noted before it: an attempt ends at its first.
        log_repeating("%s could not be read; WLAN0_WSC_CONFIGURED left as it is\n", r.src);
        return forget_failure();
    }
    if (r.keep != none) {
        s.value[r.keep] = v;
        s.known[r.keep] = true;
    }
    if (r.act == copy_number) {
        write_number(s, r.dst, v);
        write_number(s, r.dst2, v);
    } else if (r.act == configure && v == 0 && s.known[wsc_disabled] &&
               s.value[wsc_disabled] == 0) {
        write_number(s, r.dst, 1);
    }
}

// Runs the rows up to the first that fails: the rest would only spend writes (each an erase
// of the configuration block) that the next attempt makes anyway.
int run_rows(const row *rows, size_t count) {
    run_state s{};
    s.ok = true;
    for (size_t i = 0; i < count && s.ok; ++i)
        if (applies(rows[i].cond, s))
            run_row(s, rows[i]);
    return s.ok ? 1 : 0;
}

template <size_t E, size_t L>
int transfer(int dir, const row (&entering)[E], const row (&leaving)[L]) {
    if (dir == entering_wisp)
        return run_rows(entering, E);
    if (dir == leaving_wisp)
        return run_rows(leaving, L);
    return 0;
}

} // namespace

int set_wlan_ssid(int dir) {
    return transfer(dir, ssid_to_repeater, ssid_to_root);
}

int set_wlan_security(int dir) {
    return transfer(dir, security_to_repeater, security_to_root);
}

int restore_wisp_primary_wireless_info(int dir) {
    return transfer(dir, stash_to_root, root_to_stash);
}
