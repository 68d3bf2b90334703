"""The sweep's device: one run of a leverwatch of the build in the simulated device (sim/device
-b), its sleeps hastened by libtimewarp, its store seeded with both networks, what the sweep
does to it (a fault file, a restart, another user's files, a full /var/run) and the invariants
it is held to once it settles."""
import os
import re
import shutil
import signal
import subprocess
import time

from store_model import MODES, TEXT_FIELDS, expected, printed, profile, store_for

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DEVICE = os.path.join(TOP, "sim", "device")
# Sleeps pass this many times faster for the cases, and for the lasting faults, whose hours
# are mostly back-off.
FACTOR = 50
LASTING_FACTOR = 1000
# Settled: no call for this long, while leverwatch itself slept through QUIET_OWN_S of its own
# time (more than a change's first retry): a leverwatch slow to start is not a quiet one.
QUIET_S = 1.5
QUIET_OWN_S = 60
CASE_LIMIT_S = 120
HANG_LIMIT_S = 200
# The shipped leverwatch, which records a change owed in a store key, and the one built
# without a key, which records it in /var/run, which a restart empties.
PROGRAMS = {"keyed": "leverwatch", "keyless": "leverwatch-keyless"}
# The restarts of the device after a call: by a power cut, or as its shutdown stops
# leverwatch (TERM, KILL 90 s later).
RESTARTS = ["cut", "stop"]
# What another user may leave in /tmp, where leverwatch once kept its files.
TMP_PATHS = ["leverwatch.lock", "leverwatch_tmp.txt", "leverwatch.restart"]

# The home network (WPA2, its name and key with characters the store prints escaped) and the
# upstream one (WPA), as flash set receives them.
HOME = {"ssid": 'Home "Net"', "encrypt": "4", "auth": "2", "wpa": "0", "wpa2": "2",
        "format": "0", "psk": 'pa$$ "word" `x`', "wsc_auth": "32", "wsc_enc": "8"}
UPSTREAM = {"ssid": "Upstream", "encrypt": "2", "auth": "2", "wpa": "1", "wpa2": "0",
            "format": "0", "psk": "uplink-key", "wsc_auth": "2", "wsc_enc": "4"}
# Keys no change moves: WPS's name for the home network stays its name in every mode.
FIXED = {"WLAN0_WSC_DISABLE": "0", "WLAN0_WSC_CONFIGURED": "1",
         "WLAN0_WSC_SSID": printed("ssid", HOME["ssid"])}


def read_text(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def flash_calls(calls):
    return [c for c in calls if c.startswith("flash ")]


class Case:
    """One run of a leverwatch of BUILD_DIR (program: a key of PROGRAMS) in a device of its own.
    A lenient case may be left by a restart with OP_MODE written over the settings of the mode
    it replaces, which a leverwatch without a key for its record cannot finish: it holds the
    switch off, and each network need only be whole where it was or where it goes."""

    def __init__(self, args, step, label, factor=FACTOR, program="keyed", lenient=False):
        self.args = args
        self.step = step
        name, self.start_pos, self.target, self.back = step
        self.final = self.start_pos if self.back else self.target
        self.program = program
        self.lenient = lenient
        self.dir = os.path.join(args.out, f"{name}.{label}.{program}")
        self.factor = factor
        self.proc = None
        self.mounted = False
        self.reboots_allowed = 2 if self.back else (0 if self.target == self.start_pos else 1)

    # --- the device

    def prepare(self, fault=None):
        shutil.rmtree(self.dir, ignore_errors=True)
        for sub in ("store", "proc", "tmp"):
            os.makedirs(os.path.join(self.dir, sub))
        self.seeded = {**store_for(self.start_pos, HOME, UPSTREAM), **FIXED}
        for key, value in self.seeded.items():
            self.write(f"store/{key}", f"{key}={value}\n")
        self.write("proc/slide_sw", f"{self.target}\n")
        if fault:
            self.write("fault", fault + "\n")
            self.write("fault.count", "0\n")

    def write(self, rel, text):
        with open(os.path.join(self.dir, rel), "w") as f:
            f.write(text)

    def start(self):
        env = dict(os.environ, TIMEWARP_FACTOR=str(self.factor),
                   TIMEWARP_STATE=os.path.join(self.dir, "timewarp"))
        # Loaded into leverwatch alone, in front of which the device runs this.
        warp = "env LD_PRELOAD=" + os.path.join(self.args.build, "tests", "libtimewarp.so")
        out = open(os.path.join(self.dir, "stdout.txt"), "a")
        program = os.path.join(self.args.build, "controller", PROGRAMS[self.program])
        self.proc = subprocess.Popen([DEVICE, "-e", warp, "-b", self.dir, program],
                                     env=env,
                                     stdout=out, stderr=subprocess.STDOUT,
                                     stdin=subprocess.DEVNULL, start_new_session=True)
        out.close()

    def stop(self):
        if self.proc and self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        self.proc = None
        if self.mounted:
            subprocess.run(["umount", "-l", os.path.join(self.dir, "run")])
            self.mounted = False

    def mend(self):
        for name in ("fault", "fault.count"):
            try:
                os.remove(os.path.join(self.dir, name))
            except FileNotFoundError:
                pass
        try:
            os.remove(os.path.join(self.dir, "run", "filler"))
        except FileNotFoundError:
            pass

    def calls(self):
        return read_text(os.path.join(self.dir, "calls.log")).splitlines()

    def out(self):
        return read_text(os.path.join(self.dir, "stdout.txt"))

    def store(self):
        d = os.path.join(self.dir, "store")
        return {k: read_text(os.path.join(d, k)) for k in os.listdir(d)}

    # --- waiting

    def settled(self):
        """OP_MODE names the final mode, and leverwatch has called nothing for a while: longer
        than a retry a single fault can cause waits. A lenient case may instead be held: the
        switch ignored since this boot's leverwatch found OP_MODE contradicted."""
        want = f"OP_MODE={MODES[self.final][0]}\n"
        if self.lenient and self.held():
            return True
        return (self.store().get("OP_MODE") == want and "flash get OP_MODE" in self.calls() and
                self.quiet_since(len(self.calls())))

    def held(self):
        """This boot's leverwatch holds the switch off, its settings contradicting OP_MODE, and
        has slept through two minutes of its own time since it started."""
        boot = self.out().split("--- device restarted ---\n")[-1]
        return ("switch ignored until the store agrees" in boot and
                (self.slept() or 0) >= 2 * QUIET_OWN_S)

    def restart(self, kind):
        """Restarts the device as a power cut does, or as its shutdown stops leverwatch."""
        self.write("restart", kind + "\n")
        pid = int(read_text(os.path.join(self.dir, "program.pid")) or 0)
        if pid:
            os.kill(pid, signal.SIGKILL if kind == "cut" else signal.SIGTERM)

    def restarts(self):
        return self.out().count("--- device restarted ---")

    def slept(self):
        """Seconds of its own time leverwatch has gained by sleeping since it started."""
        try:
            return int(read_text(os.path.join(self.dir, "timewarp"))) / 1e9
        except ValueError:
            return None

    def quiet_since(self, n):
        began = time.monotonic()
        first = self.slept()
        while time.monotonic() < began + CASE_LIMIT_S:
            if len(self.calls()) != n or (self.proc and self.proc.poll() is not None):
                return False
            now = self.slept()
            if first is None or (now is not None and now < first):
                first = now  # a new leverwatch: its sleeps count from here
            elif (now is not None and now - first >= QUIET_OWN_S and
                  time.monotonic() - began >= QUIET_S):
                return True
            time.sleep(0.05)
        return False

    def run(self, fired=None, limit=CASE_LIMIT_S, before_start=None):
        """Starts the device, lets the fault happen (fired tells when it has), mends the store,
        starts leverwatch again if the fault killed it, and waits for it to settle: None when it
        did, else why not."""
        deadline = time.monotonic() + limit
        if before_start:
            before_start()
        self.start()
        moved_back = not self.back
        mended = fired is None
        while time.monotonic() < deadline:
            calls = self.calls()
            flashes = flash_calls(calls)
            if not moved_back and any(c.startswith("flash set ") for c in calls):
                self.write("proc/slide_sw.new", f"{self.start_pos}\n")
                os.rename(os.path.join(self.dir, "proc/slide_sw.new"),
                          os.path.join(self.dir, "proc/slide_sw"))
                moved_back = True
            if not mended and fired(flashes):
                self.mend()
                mended = True
            if self.proc.poll() is not None:
                # Killed: the same boot goes on with a new leverwatch and a mended store.
                self.mend()
                mended = True
                self.start()
            elif mended and moved_back and self.settled():
                return None
            time.sleep(0.05)
        return "did not settle" if mended else "its fault never fired"

    # --- the invariants

    def check(self):
        """Every invariant, once settled: the first one violated, or None."""
        store = self.store()
        calls = self.calls()
        _, home, upstream, _ = MODES[self.final]
        if self.lenient:
            # Each network whole where the change found it or where it puts it; the mode's
            # settings need not all be written.
            _, was_home, was_upstream, _ = MODES[self.start_pos]
            for name, network, places in (("home", HOME, (was_home, home)),
                                          ("upstream", UPSTREAM, (was_upstream, upstream))):
                if not any(all(store.get(k) == f"{k}={v}\n"
                               for k, v in profile(network, where).items())
                           for where in places):
                    return f"the {name} network is whole in neither {' nor '.join(places)}"
        else:
            want = {**expected(self.final, HOME, UPSTREAM), **FIXED}
            for key, value in want.items():
                if store.get(key) != f"{key}={value}\n":
                    return f"{key} holds {store.get(key, 'nothing')!r}, not {value!r}"
        # Every text written is one the store held: never a misread or garbled one.
        texts = {n[f] for n in (HOME, UPSTREAM) for f in TEXT_FIELDS}
        for call in calls:
            m = re.match(r"flash set (\w+) (.*)$", call)
            if m and ("SSID" in m[1] or m[1].endswith("PSK")) and m[2] not in texts:
                return f"wrote {m[2]!r} to {m[1]}, a value the store never held"
        reboots = calls.count("reboot")
        if reboots > self.reboots_allowed:
            return f"{reboots} restarts for {self.reboots_allowed} change(s)"
        if self.target == self.start_pos and any(c.startswith("flash set") for c in calls):
            return "a write while the switch asked for no change"
        return None


def plant(case):
    """Another user's directory (holding a file), FIFO and file at the names in /tmp where
    leverwatch once kept its files: none of it holds leverwatch off."""
    for path, what in zip(TMP_PATHS, ("dir", "fifo", "file")):
        p = os.path.join(case.dir, "tmp", path)
        if what == "dir":
            os.mkdir(p, 0o700)
            case.write(f"tmp/{path}/kept", "")
            os.chown(os.path.join(p, "kept"), 65534, 65534)
        elif what == "fifo":
            os.mkfifo(p, 0o666)
        else:
            case.write(f"tmp/{path}", "x 0 0\n")
        os.lchown(p, 65534, 65534)


def fill_run(case):
    """/var/run full from the start, until leverwatch has said so."""
    run = os.path.join(case.dir, "run")
    os.makedirs(run, exist_ok=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k,mode=755", "sweep", run], check=True)
    case.mounted = True
    subprocess.run(["dd", "if=/dev/zero", f"of={run}/filler", "bs=4k"],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
