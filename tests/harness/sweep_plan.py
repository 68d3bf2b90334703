"""The sweep's plan and report: the steps, the kinds of fault, the cases of a run (every call
with --full, a sample otherwise), one case run, and the table and lines it prints."""
import os
import shutil
import sys
import time

from store_model import MODES, NAMES
from sweep_device import (CASE_LIMIT_S, FACTOR, HANG_LIMIT_S, LASTING_FACTOR, PROGRAMS, RESTARTS,
                          TOP, Case, fill_run, flash_calls, plant)
from sweep_lasting import WEEK_LINES, WEEK_WRITES

# A step: its name, the position it starts in, the switch it finds, and whether the switch
# goes back to the start's position as soon as the change writes.
STEPS = [("start", 2, 2, False)] + [
    (f"{NAMES[a]}-to-{NAMES[b]}", a, b, False) for a in (1, 2, 3) for b in (1, 2, 3) if a != b
] + [("router-to-wisp-and-back", 3, 2, True)]
# How a call fails, and which calls each fault applies to.
KINDS = {"refuse": "getset", "lose": "getset", "empty": "get", "garble": "get",
         "differ": "getset", "kill": "getset", "hang": "getset"}
# Without --full every STRIDE-th call of a change is failed (twice that of the change with a
# move back), the kinds taken in turn: each case runs the shell a hundred times or more, at a
# few milliseconds of CPU each, and the full sweep has thousands of cases.
STRIDE = 8
# Cases every run has, beside the sampled ones: a fault at a call of a part of a change where
# it was once seen to lose a network (STEP, the call, which of its kind, KIND).
NAMED = [
    # An empty or garbled number copied as 0: the home network back on the root unencrypted.
    ("wisp-to-ap", "flash get WLAN0_VAP4_ENCRYPT", 1, "empty"),
    ("wisp-to-ap", "flash get WLAN0_VAP4_ENCRYPT", 2, "garble"),
    # A number misread by the read that copies it, copied unless the second read is compared.
    ("wisp-to-ap", "flash get WLAN0_VAP4_ENCRYPT", 1, "differ"),
    # A misread source copied, once the read that copies it, once the read that confirms it.
    ("router-to-wisp", "flash get WLAN0_WPA_PSK", 1, "differ"),
    ("wisp-to-ap", "flash get WLAN0_SSID", 2, "differ"),
    # A copy lost or changed on its way into the store, seen by its read-back alone.
    ("router-to-wisp", "flash set WLAN0_VAP4_WPA_PSK", 1, "lose"),
    ("wisp-to-ap", "flash set WLAN0_WPA_PSK", 1, "differ"),
    ("wisp-to-ap", "flash get WLAN0_VAP2_WPA_PSK", 1, "differ"),
    # Killed as the overwrite begins, and as OP_MODE is written.
    ("router-to-wisp", "flash set WLAN0_SSID", 1, "kill"),
    ("wisp-to-ap", "flash set OP_MODE", 1, "kill"),
]
# A change held by a refusal of this key for 20 minutes, and the device restarted at each of
# them.
HELD = ("wisp-to-ap", "set:WLAN0_WSC_PSK refuse", 20)


def reference(args, step, program):
    """The flash calls of the step with a healthy store."""
    case = Case(args, step, "reference", program=program)
    case.prepare()
    try:
        why = case.run()
        if why:
            sys.exit(f"sweep: the step {step[0]} does not settle with a healthy store "
                     f"({program})")
        return flash_calls(case.calls())
    finally:
        case.stop()


def unrecorded(calls, op_modes):
    """The calls after which a restart leaves OP_MODE written and the change's last setting not
    yet read back, which a leverwatch without a key for its record cannot finish."""
    spans, begun = set(), None
    for i, call in enumerate(calls, 1):
        if call in op_modes:
            begun = i
        elif begun and call.startswith("flash set "):
            last = i + 1
        elif begun and call == "reboot":
            spans.update(range(begun, last + 1))
            begun = None
    return spans


def run_case(args, step, call, kind, program="keyed", refs=None):
    """One case: (step, kind, call, program, None) when it passed, or the reason."""
    label = f"{call}.{kind}"
    op_modes = {f"flash set OP_MODE {m[0]}" for m in MODES.values()}
    lenient = program == "keyless" and (
        kind == "held" or (kind in RESTARTS and call in unrecorded(refs[step[0], program],
                                                                   op_modes)))
    # A held case's minutes pass as the lasting faults' hours do.
    case = Case(args, step, label, LASTING_FACTOR if kind == "held" else FACTOR, program, lenient)
    before = None
    fired = None
    if kind.startswith("plant"):
        case.prepare()
        before = lambda: plant(case)  # noqa: E731
    elif kind == "full":
        case.prepare()
        before = lambda: fill_run(case)  # noqa: E731
        fired = lambda _: "No space left on device" in case.out()  # noqa: E731
    elif kind == "held":
        # Restarted at the call-th minute of a change held by a refusal.
        case.prepare(HELD[1])
        restarted = []

        def fired(_):
            if not restarted and (case.slept() or 0) >= 60 * call:
                case.restart(RESTARTS[call % 2])
                restarted.append(True)
            return bool(restarted) and case.restarts() > 0
    else:
        case.prepare(f"{call} {kind}")
        # A hung call is over once leverwatch has ended it; a restart once the device has
        # restarted.
        fired = lambda flashes: (len(flashes) >= call and  # noqa: E731
                                 (kind != "hang" or "no answer within" in case.out()) and
                                 (kind not in RESTARTS or case.restarts() > 0))
    limit = HANG_LIMIT_S if kind == "hang" else CASE_LIMIT_S
    began = time.monotonic()
    try:
        why = case.run(fired, limit, before) or case.check()
    except Exception as e:  # a broken case is a failed one, with its reason
        why = f"{type(e).__name__}: {e}"
    finally:
        case.stop()
    if not why and not args.keep:
        shutil.rmtree(case.dir, ignore_errors=True)
    if os.environ.get("SWEEP_TIMES"):
        print(f"time {time.monotonic() - began:.1f} {step[0]} {call} {kind} {program}", flush=True)
    return step[0], kind, call, program, why


def plan_cases(args, refs):
    """(step, call, kind, program) of every case of the run."""
    cases = []
    for s, step in enumerate(STEPS):
        if args.step and step[0] != args.step:
            continue
        calls = refs[step[0], "keyed"]
        firsts = {next(i for i, c in enumerate(calls) if c.startswith(p)) + 1
                  for p in ("flash get ", "flash set ") if any(c.startswith(p) for c in calls)}
        for name, text, nth, kind in NAMED:
            if name == step[0]:
                at = [i for i, c in enumerate(calls, 1) if c == text or c.startswith(text + " ")]
                cases.append((step, at[nth - 1], kind, "keyed"))
        stride = STRIDE * (2 if step[3] else 1)
        for i, call in enumerate(calls, 1):
            verb = call.split()[1]
            kinds = [k for k, applies in KINDS.items() if verb in applies and k != "hang"]
            # The start, short and the most dangerous to get wrong, meets every kind.
            if args.full or step[0] == "start":
                cases += [(step, i, k, "keyed") for k in kinds]
            elif (i + s) % stride == 0 or i == len(calls):
                cases.append((step, i, kinds[(i // stride + s) % len(kinds)], "keyed"))
            if args.full or i in firsts:
                cases.append((step, i, "hang", "keyed"))
        # Restarts after every call of each program's own run of the step, or every eighth.
        for program in PROGRAMS:
            for i in range(1, len(refs[step[0], program]) + 1):
                if args.full or step[0] == "start" or (i + s) % STRIDE == STRIDE // 2:
                    cases += [(step, i, k, program)
                              for k in (RESTARTS if args.full else [RESTARTS[i // STRIDE % 2]])]
        if args.full or step[0] == "wisp-to-ap":
            cases.append((step, 0, "plant", "keyed"))
        if args.full or step[0] in ("start", "router-to-wisp"):
            cases.append((step, 0, "full", "keyed"))
        if step[0] == HELD[0]:
            cases += [(step, m, "held", program)
                      for m in range(1, HELD[2] + 1) for program in PROGRAMS]
    return cases


def report(args, results, figures, seconds):
    kinds = list(KINDS) + [f"{k}-{p}" for k in RESTARTS + ["held"] for p in PROGRAMS] + \
        ["plant", "full"]
    cell = {}
    for step, kind, call, program, why in results:
        k = f"{kind}-{program}" if kind in RESTARTS + ["held"] else kind
        c = cell.setdefault((step, k), [0, 0, None])
        c[0] += 1
        if why:
            if not c[2]:
                c[2] = f"call {call}: {why} (replay: tests/sweep --case " \
                       f"{step}:{call}:{kind}:{program} {os.path.relpath(args.build, TOP)})"
        else:
            c[1] += 1
    steps = [s[0] for s in STEPS if any(k[0] == s[0] for k in cell)]
    width = max(len(s) for s in steps)
    kinds = [k for k in kinds if any(c[1] == k for c in cell)]
    print(f"\n{'step':<{width}}  " + "  ".join(f"{k:>12}" for k in kinds))
    for s in steps:
        row = []
        for k in kinds:
            n, ok, _ = cell.get((s, k), [0, 0, None])
            row.append(f"{f'{ok}/{n}' if n else '-':>12}")
        print(f"{s:<{width}}  " + "  ".join(row))
    failed = 0
    print()
    for (s, k), (n, ok, first) in cell.items():
        if first:
            failed += 1
            print(f"not ok - sweep {s} {k}: {n - ok} of {n} failed; first: {first}")
        else:
            print(f"ok - sweep {s} {k}: {n} cases")
    if figures:
        print("\nwhile a fault lasts (flash writes / log lines / OP_MODE reads in each of the "
              "first three hours, and a week at the third hour's rate):")
    for label, per_hour, why in figures:
        if why:
            failed += 1
            print(f"not ok - sweep lasting {label}: once mended, {why}")
        if per_hour is None:
            failed += 1
            print(f"not ok - sweep lasting {label}: three hours did not pass")
            continue
        week_w = per_hour[0][0] + per_hour[1][0] + 166 * per_hour[2][0]
        week_l = per_hour[0][1] + per_hour[1][1] + 166 * per_hour[2][1]
        hours = ", ".join(f"{w}/{l}/{r}" for w, l, r in per_hour)
        bad = week_w >= WEEK_WRITES or week_l >= WEEK_LINES
        failed += bad
        print(f"{'not ok' if bad else 'ok'} - sweep lasting {label}: hours {hours}; "
              f"a week {week_w} writes, {week_l} lines (bounds {WEEK_WRITES}, {WEEK_LINES})")
    print(f"\n{len(results)} cases in {seconds:.0f} s, {failed} failing cells or bounds")
    return 1 if failed else 0
