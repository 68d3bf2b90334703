"""The sweep's lasting faults: each runs for three hours of leverwatch's time, and the writes
and lines it costs are held to a week's bounds."""
import os
import re
import shutil
import time

from sweep_device import CASE_LIMIT_S, LASTING_FACTOR, Case

# A week of a lasting fault may cost no more than this.
WEEK_WRITES = 2000
WEEK_LINES = 1000
# Faults that last, for the figures: (label, step, WHEN KIND as the fault file takes it, or
# None for a switch reading ever-different invalid values; the fewest OP_MODE reads in the
# third hour, where the store is read again while it lasts).
LASTING = [
    ("saving write refused", "router-to-wisp", "set:WLAN0_VAP4_WPA_PSK refuse", 0),
    ("overwrite write refused", "wisp-to-ap", "set:WLAN0_WSC_PSK refuse", 0),
    ("overwrite write lost", "router-to-wisp", "set:WLAN0_WPA_PSK lose", 0),
    ("OP_MODE write lost", "ap-to-router", "set:OP_MODE lose", 0),
    ("no write taken at all", "router-to-wisp", "set:* refuse", 0),
    ("every repeater key refused", "router-to-wisp", "set:WLAN0_VAP4_* refuse", 0),
    ("every root key refused", "router-to-wisp", "set:WLAN0_[!V]* refuse", 0),
    ("source read garbled", "router-to-wisp", "get:WLAN0_WPA_PSK garble", 0),
    # Read again once a minute, no less often.
    ("OP_MODE read empty", "start", "get:OP_MODE empty", 50),
    ("OP_MODE read naming no mode", "start", "get:OP_MODE differ", 50),
    ("switch reading ever-different invalid values", "start", None, 0),
]

def lasting(args, label, step, fault, min_reads):
    """A fault that lasts, run for three hours of leverwatch's time: writes, lines and OP_MODE
    reads in each hour; then the store is mended and the invariants checked as after any case.
    Without a fault, the switch reads ever-different invalid values meanwhile."""
    case = Case(args, step, "lasting." + re.sub(r"\W+", "-", label), LASTING_FACTOR)
    case.prepare(fault)
    hours = []
    began = time.monotonic()
    case.start()
    why = None
    switch = os.path.join(case.dir, "proc", "slide_sw")
    reading = 4
    try:
        while len(hours) < 3 and time.monotonic() - began < 300:
            gained = case.slept() or 0
            if time.monotonic() - began + gained >= 3600 * (len(hours) + 1):
                calls = case.calls()
                writes = sum(c.startswith("flash set ") for c in calls)
                reads = calls.count("flash get OP_MODE")
                lines = len(case.out().splitlines())
                hours.append((writes, lines, reads))
            if fault is None:
                case.write("proc/slide_sw.new", f"{reading}\n")
                os.rename(switch + ".new", switch)
                reading += 1
            time.sleep(0.005 if fault is None else 0.02)
        if fault is None:
            case.write("proc/slide_sw", f"{case.target}\n")
        case.mend()
        deadline = time.monotonic() + CASE_LIMIT_S
        while not case.settled():
            if time.monotonic() > deadline:
                why = "did not settle once mended"
                break
        why = why or case.check()
    finally:
        case.stop()
    if not why and not args.keep:
        shutil.rmtree(case.dir, ignore_errors=True)
    if len(hours) < 3:
        return label, None, why
    per_hour = [tuple(a - b for a, b in zip(h, prev))
                for h, prev in zip(hours, [(0, 0, 0)] + hours[:-1])]
    if per_hour[2][2] < min_reads:
        why = why or f"OP_MODE read {per_hour[2][2]} times in the third hour, not {min_reads}"
    return label, per_hour, why
