"""The store of a device as leverwatch keeps it, for the tests that judge it (the sweep, the
soak): where each network's keys stand in each mode, each mode's settings, and values as the
flash tool prints them."""
import re

# A network's keys in each profile: FIELD, root, repeater, stash (None where it keeps none).
PROFILE_KEYS = [
    ("ssid", "WLAN0_SSID", "WLAN0_VAP4_SSID", "WLAN0_VAP2_SSID"),
    ("ssid", None, "REPEATER_SSID1", None),
    ("encrypt", "WLAN0_ENCRYPT", "WLAN0_VAP4_ENCRYPT", "WLAN0_VAP2_ENCRYPT"),
    ("auth", "WLAN0_WPA_AUTH", "WLAN0_VAP4_WPA_AUTH", None),
    ("wpa", "WPA_CIPHER_SUITE", "WLAN0_VAP4_WPA_CIPHER_SUITE", None),
    ("wpa2", "WPA2_CIPHER_SUITE", "WLAN0_VAP4_WPA2_CIPHER_SUITE", None),
    ("format", "WLAN0_PSK_FORMAT", "WLAN0_VAP4_PSK_FORMAT", "WLAN0_VAP2_PSK_FORMAT"),
    ("psk", "WLAN0_WPA_PSK", "WLAN0_VAP4_WPA_PSK", "WLAN0_VAP2_WPA_PSK"),
    ("psk", "WLAN0_WSC_PSK", "WLAN0_VAP4_WSC_PSK", None),
    ("wsc_auth", "WLAN0_WSC_AUTH", "WLAN0_VAP4_WSC_AUTH", None),
    ("wsc_enc", "WLAN0_WSC_ENC", "WLAN0_VAP4_WSC_ENC", None),
]
COLUMN = {"root": 1, "repeater": 2, "stash": 3}
TEXT_FIELDS = ("ssid", "psk")
# Switch position: OP_MODE, where the home and the upstream network are kept, the settings.
MODES = {
    1: ("1", "root", "stash", {"DHCP": "0", "WLAN0_MODE": "0", "REPEATER_ENABLED1": "0",
                                 "WLAN0_VAP4_WLAN_DISABLED": "1"}),
    2: ("2", "repeater", "root", {"DHCP": "2", "WLAN0_MODE": "1", "REPEATER_ENABLED1": "1",
                                    "WLAN0_VAP4_WLAN_DISABLED": "0", "WAN_DHCP": "1",
                                    "DNS_MODE": "0"}),
    3: ("0", "root", "stash", {"DHCP": "2", "WLAN0_MODE": "0", "WAN_DHCP": "1",
                                 "REPEATER_ENABLED1": "0", "WLAN0_VAP4_WLAN_DISABLED": "1"}),
}
NAMES = {1: "ap", 2: "wisp", 3: "router"}
# The key leverwatch records a change owed in; the store holds it from the start.
CHANGE_KEY = "LEVERWATCH_CHANGE"
WSC_FLAGS = {"WLAN0_WSC_DISABLE": "0", "WLAN0_WSC_CONFIGURED": "1"}


def printed(field, value):
    """A setting as the store prints it: texts in double quotes, \\ " $ and ` escaped."""
    if field not in TEXT_FIELDS:
        return str(value)
    return '"' + re.sub(r'([\\"$`])', r"\\\1", value) + '"'


def profile(network, where):
    """{KEY: value as the store prints it} of a network (a dict of fields) kept in a profile."""
    col = COLUMN[where]
    return {row[col]: printed(row[0], network[row[0]]) for row in PROFILE_KEYS if row[col]}


def store_for(position, home, upstream):
    """The store of a device in the mode of position, both networks where it keeps them."""
    op_mode, home_at, upstream_at, settings = MODES[position]
    values = {"OP_MODE": op_mode, CHANGE_KEY: "none", **WSC_FLAGS, **settings}
    values.update(profile(home, home_at))
    values.update(profile(upstream, upstream_at))
    # In WISP mode the stash still holds the upstream network it was restored from.
    values.update(profile(upstream, "stash"))
    return values


def expected(position, home, upstream):
    """What the store must hold of a device settled in the mode of position: OP_MODE, the
    mode's settings and both networks where it keeps them."""
    op_mode, home_at, upstream_at, settings = MODES[position]
    return {"OP_MODE": op_mode, **settings, **profile(home, home_at),
            **profile(upstream, upstream_at)}
