# The exporter's lab for the Prometheus and browser tests: real linkstatds in simulated
# devices, each in a network namespace of its own reached over a veth link from this one
# (which the caller made with sim/netns), with the addresses the README's scrape job names;
# and the shipped exporter, as the README runs it. Each check prints one "ok - ..." or
# "not ok - ..." line, which scripts/test counts.
import os
import re
import signal
import subprocess
import time
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXPORTER = '127.0.0.1:9742'
# The exporter's README, whose scrape jobs and alert rules the tests run as they are.
README = 'tools/exporter/README.md'
# This namespace's end of every router's link.
HERE = '192.0.2.1'

failures = 0


def check(what, ok):
    global failures
    print(('ok - ' if ok else 'not ok - ') + what, flush=True)
    failures += 0 if ok else 1
    return ok


def wait_until(condition, seconds=30):
    """Runs condition every 0.2 s until it gives something true, for at most seconds."""
    end = time.monotonic() + seconds
    while True:
        try:
            got = condition()
        except OSError:
            got = None
        if got or time.monotonic() > end:
            return got
        time.sleep(0.2)


def http_get(url, timeout=10):
    with urllib.request.urlopen(url, timeout=timeout) as answer:
        return answer.read().decode()


def readme_block(name):
    """The fenced block of the exporter's README between <!-- NAME --> and <!-- end NAME -->."""
    with open(os.path.join(ROOT, README)) as f:
        text = f.read()
    part = re.search(r'<!-- %s -->\n```[a-z]*\n(.*?)```\n<!-- end %s -->' % (name, name), text,
                     re.S)
    if not part:
        raise SystemExit(README + ' has no block marked ' + name)
    return part.group(1)


def station_table(rssi, paths, tx, rx):
    return ('-- STA info table -- (active: 1)\n1: stat_info...\n    state: 1, AID: 1\n'
            '    rssi: %d (%d %d %d %d)\n    current_tx_rate: %s\n    current_rx_rate: %s\n'
            % ((rssi,) + tuple(paths) + (tx, rx)))


class Router:
    """A linkstatd in a simulated device under work/NAME, in a network namespace of its own
    at address, linked to this one."""

    def __init__(self, work, build, index, address):
        self.dir = os.path.join(work, 'router%d' % index)
        self.build = build
        self.address = address
        self.daemon = None
        os.makedirs(os.path.join(self.dir, 'proc', 'wlan0'), exist_ok=True)
        # The namespace lives as long as this process holds it.
        self.holder = subprocess.Popen(['unshare', '-n', 'sleep', 'infinity'])
        link = 'lk%d' % index
        ours = os.readlink('/proc/self/ns/net')
        if not wait_until(lambda: os.readlink('/proc/%d/ns/net' % self.holder.pid) != ours, 10):
            raise RuntimeError('unshare made no network namespace within 10 s')
        for command in (
                'ip link add %s type veth peer name eth0 netns %d' % (link, self.holder.pid),
                'ip addr add %s peer %s/32 dev %s' % (HERE, address, link),
                'ip link set %s up' % link):
            subprocess.run(command.split(), check=True)
        for command in ('ip link set lo up', 'ip addr add %s peer %s/32 dev eth0' % (address, HERE),
                        'ip link set eth0 up'):
            self.inside(command.split())

    def inside(self, argv, **kwargs):
        return subprocess.run(['nsenter', '-t', str(self.holder.pid), '-n'] + argv, check=True,
                              **kwargs)

    def table(self, text):
        path = os.path.join(self.dir, 'proc', 'wlan0', 'sta_info')
        with open(path + '.new', 'w') as f:
            f.write(text)
        os.rename(path + '.new', path)

    def start(self):
        log = open(os.path.join(self.dir, 'linkstatd.log'), 'a')
        self.daemon = subprocess.Popen(
            ['nsenter', '-t', str(self.holder.pid), '-n', os.path.join(ROOT, 'sim', 'device'),
             self.dir, os.path.join(self.build, 'statsd', 'linkstatd')], stdout=log, stderr=log)

    def stop(self):
        if self.daemon:
            self.daemon.send_signal(signal.SIGTERM)
            self.daemon.wait(10)
            self.daemon = None

    def close(self):
        self.stop()
        self.holder.kill()
        self.holder.wait()


def start_exporter(build, work, allow='192.0.2.0/24', listen=EXPORTER, log='exporter.log'):
    log = open(os.path.join(work, log), 'w')
    exporter = subprocess.Popen(
        [os.path.join(build, 'tools', 'exporter', 'linkstat-exporter'), '--listen', listen,
         '--allow', allow], stderr=log)
    wait_until(lambda: http_get('http://%s/-/healthy' % listen))
    return exporter


def start_prometheus(work, name, config, listen):
    """A Prometheus server with config, its data and log under work/name."""
    prometheus = subprocess.Popen(
        ['prometheus', '--config.file=' + config, '--storage.tsdb.path=%s/%s' % (work, name),
         '--web.listen-address=' + listen],
        stdout=open('%s/%s.log' % (work, name), 'w'), stderr=subprocess.STDOUT)
    check('Prometheus %s is ready' % name, wait_until(lambda: http_get('http://%s/-/ready' % listen)))
    return prometheus
