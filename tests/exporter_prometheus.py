#!/usr/bin/python3
# linkstat-exporter under a real Prometheus: three linkstatds, each with a station table of
# its own in a network namespace of its own, scraped through the exporter with exactly the
# scrape job README.md shows; their figures as Prometheus's query API gives them, a router
# stopped and started again, and promtool's checks of the exporter's output and of
# README.md's alert rules.
# usage: sim/netns tests/exporter_prometheus.py HOST_BUILD_DIR
import json
import os
import shutil
import subprocess
import sys
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from exporter_lab import (EXPORTER, ROOT, Router, check, http_get, readme_block,  # noqa: E402
                          start_exporter, station_table, wait_until)
import exporter_lab  # noqa: E402

build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, 'build/host'))
work = os.path.join(build, 'tests', 'exporter-prometheus')
shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
PROMETHEUS = '127.0.0.1:9090'

# Address, table, and what Prometheus must then hold: overall and path rssi, rates in bytes
# a second (a code of 500 kb/s is 62,500). The instance label is the target as the scrape job
# names it: the third with its port.
INSTANCES = {'192.0.2.11': '192.0.2.11', '192.0.2.12': '192.0.2.12',
             '192.0.2.13': '192.0.2.13:10000'}
routers_wanted = [
    ('192.0.2.11', station_table(40, (40, 35, 0, 0), 'MCS7 (72.2)', '54'),
     {'rssi': 40, 'a': 40, 'b': 35, 'c': 0, 'd': 0, 'tx': 145 * 62500, 'rx': 108 * 62500}),
    ('192.0.2.12', station_table(61, (61, 58, 12, 9), 'MCS15 (300)', '11'),
     {'rssi': 61, 'a': 61, 'b': 58, 'c': 12, 'd': 9, 'tx': 600 * 62500, 'rx': 22 * 62500}),
    ('192.0.2.13', station_table(17, (17, 20, 0, 0), '5', 'MCS0 (6.5)'),
     {'rssi': 17, 'a': 17, 'b': 20, 'c': 0, 'd': 0, 'tx': 11 * 62500, 'rx': 13 * 62500}),
]


def query(expr):
    """{instance: value} of an instant query."""
    answer = json.loads(http_get('http://%s/api/v1/query?query=%s' %
                                 (PROMETHEUS, urllib.parse.quote(expr))))
    return {r['metric'].get('instance'): float(r['value'][1]) for r in answer['data']['result']}


def holds(expr, wanted):
    """A wait's condition: the query gives wanted for every instance wanted names."""
    got = query(expr)
    return all(got.get(i) == v for i, v in wanted.items())


routers = []
prometheus = exporter = None
try:
    for i, (address, table, _) in enumerate(routers_wanted, 1):
        router = Router(work, build, i, address)
        router.table(table)
        router.start()
        routers.append(router)
    exporter = start_exporter(build, work)

    # The test's own global settings (a scrape a second, the rules), then README.md's jobs.
    rules = os.path.join(work, 'rules.yml')
    with open(rules, 'w') as f:
        f.write(readme_block('alert rules'))
    config = os.path.join(work, 'prometheus.yml')
    with open(config, 'w') as f:
        f.write('global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n'
                '  evaluation_interval: 1s\nrule_files: [%s]\n' % rules)
        f.write(readme_block('scrape config'))
    check('promtool accepts the configuration with README.md\'s scrape job',
          subprocess.run(['promtool', 'check', 'config', config]).returncode == 0)
    check('promtool accepts README.md\'s alert rules',
          subprocess.run(['promtool', 'check', 'rules', rules]).returncode == 0)
    prometheus = subprocess.Popen(
        ['prometheus', '--config.file=' + config, '--storage.tsdb.path=' + work + '/tsdb',
         '--web.listen-address=' + PROMETHEUS],
        stdout=open(work + '/prometheus.log', 'w'), stderr=subprocess.STDOUT)
    check('Prometheus is ready', wait_until(lambda: http_get('http://%s/-/ready' % PROMETHEUS)))

    for address, _, want in routers_wanted:
        figures = [('linkstat_rssi', want['rssi'])]
        figures += [('linkstat_path_rssi{path="%s"}' % p, want[p]) for p in 'abcd']
        figures += [('linkstat_transmit_rate_bytes_per_second', want['tx']),
                    ('linkstat_receive_rate_bytes_per_second', want['rx'])]
        check('%s: linkstat_up 1, every path\'s rssi and both rates as its table has them'
              % address,
              wait_until(lambda: holds('linkstat_up', {INSTANCES[address]: 1}) and all(
                  holds(name, {INSTANCES[address]: value}) for name, value in figures)))

    for name, path in (('a probe of a router', '/probe?target=192.0.2.11'),
                       ('the exporter\'s own metrics', '/metrics')):
        text = http_get('http://%s%s' % (EXPORTER, path))
        lint = subprocess.run(['promtool', 'check', 'metrics'], input=text, text=True,
                              capture_output=True)
        check('promtool check metrics accepts %s' % name,
              lint.returncode == 0 and lint.stdout + lint.stderr == '')
        if lint.returncode or lint.stdout or lint.stderr:
            print('# ' + (lint.stdout + lint.stderr).replace('\n', '\n# '))

    stopped = routers[1]
    stopped.stop()
    check('a stopped router shows linkstat_up 0, the others 1',
          wait_until(lambda: holds('linkstat_up', {'192.0.2.11': 1, '192.0.2.12': 0,
                                                   '192.0.2.13:10000': 1})))
    check('and no figures', wait_until(lambda: '192.0.2.12' not in query('linkstat_rssi')))
    stopped.table(station_table(44, (44, 41, 0, 0), 'MCS7 (72.2)', '54'))
    stopped.start()
    check('started again, it comes back with its new table',
          wait_until(lambda: holds('linkstat_up', {'192.0.2.12': 1}) and
                     holds('linkstat_path_rssi{path="b"}', {'192.0.2.12': 41})))
    check('the weakest path of each router, as README.md asks for it',
          wait_until(lambda: holds('min by (instance) (linkstat_path_rssi > 0)',
                                   {'192.0.2.11': 35, '192.0.2.12': 41,
                                    '192.0.2.13:10000': 17})))
    check('the exporter counted the stopped router\'s failures',
          wait_until(lambda: float(http_get('http://%s/metrics' % EXPORTER).split(
              '\nlinkstat_exporter_probe_failures_total{reason="refused"} ')[1].split()[0]) >= 1))
finally:
    for p in (prometheus, exporter):
        if p:
            p.terminate()
            p.wait(10)
    for router in routers:
        router.close()
    if exporter_lab.failures:
        for log in ('exporter.log', 'prometheus.log'):
            print('# %s:\n# ' % log + open(os.path.join(work, log)).read()[-3000:].replace(
                '\n', '\n# '))
sys.exit(1 if exporter_lab.failures else 0)
