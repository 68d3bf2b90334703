#!/usr/bin/python3
# linkstat-exporter under a real Prometheus: three linkstatds, each with a station table of
# its own in a network namespace of its own, scraped through the exporter with exactly the
# scrape job tools/exporter/README.md shows; their figures as Prometheus's query API gives
# them, a router stopped and started again, promtool's checks of the exporter's output and
# of the README's
# alert rules, those rules firing (a router down, a target outside --allow, the exporter
# stopped), and the fleet split over two exporters and two Prometheus servers by the README's
# sharded scrape job.
# usage: sim/netns tests/exporter_prometheus.py HOST_BUILD_DIR
import json
import os
import re
import shutil
import subprocess
import sys
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "harness"))
from exporter_lab import (EXPORTER, ROOT, Router, check, http_get, readme_block,  # noqa: E402
                          start_exporter, start_prometheus, station_table, wait_until)
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


# A target outside the exporter's --allow, added to the README's scrape job.
REFUSED = '198.51.100.7'


def query(expr, server=PROMETHEUS):
    """{instance: value} of an instant query."""
    answer = json.loads(http_get('http://%s/api/v1/query?query=%s' %
                                 (server, urllib.parse.quote(expr))))
    return {r['metric'].get('instance'): float(r['value'][1]) for r in answer['data']['result']}


def firing(alert):
    """The instances (or jobs) alert fires for."""
    answer = json.loads(http_get('http://%s/api/v1/alerts' % PROMETHEUS))
    return {a['labels'].get('instance') for a in answer['data']['alerts']
            if a['labels']['alertname'] == alert and a['state'] == 'firing'}


def write_config(path, rules, jobs):
    """The test's own global settings (a scrape a second, the rules), then jobs."""
    with open(path, 'w') as f:
        f.write('global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n'
                '  evaluation_interval: 1s\nrule_files: [%s]\n' % rules)
        f.write(jobs)


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

    # The README's rules, each firing as soon as it holds.
    rules = os.path.join(work, 'rules.yml')
    with open(rules, 'w') as f:
        f.write(re.sub(r'for: \d+m', 'for: 0s', readme_block('alert rules')))
    readme_rules = os.path.join(work, 'readme-rules.yml')
    with open(readme_rules, 'w') as f:
        f.write(readme_block('alert rules'))
    config = os.path.join(work, 'prometheus.yml')
    jobs = readme_block('scrape config')
    write_config(config, rules, jobs.replace(
        '          - 192.0.2.13:10000   # the same, with the port given\n',
        '          - 192.0.2.13:10000   # the same, with the port given\n'
        '          - %s\n' % REFUSED))
    check('promtool accepts the configuration with the README\'s scrape job',
          subprocess.run(['promtool', 'check', 'config', config]).returncode == 0)
    check('promtool accepts the README\'s alert rules',
          subprocess.run(['promtool', 'check', 'rules', readme_rules]).returncode == 0)
    prometheus = start_prometheus(work, 'prometheus', config, PROMETHEUS)

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
    check('the README\'s RouterNotAnswering fires for it alone',
          wait_until(lambda: firing('RouterNotAnswering') == {'192.0.2.12'}))
    check('the README\'s RouterNotProbed fires for the target outside --allow alone',
          wait_until(lambda: firing('RouterNotProbed') == {REFUSED}))
    stopped.table(station_table(44, (44, 41, 0, 0), 'MCS7 (72.2)', '54'))
    stopped.start()
    check('started again, it comes back with its new table',
          wait_until(lambda: holds('linkstat_up', {'192.0.2.12': 1}) and
                     holds('linkstat_path_rssi{path="b"}', {'192.0.2.12': 41})))
    check('the weakest path of each router, as the README asks for it',
          wait_until(lambda: holds('min by (instance) (linkstat_path_rssi > 0)',
                                   {'192.0.2.11': 35, '192.0.2.12': 41,
                                    '192.0.2.13:10000': 17})))
    check('the exporter counted the stopped router\'s failures',
          wait_until(lambda: float(http_get('http://%s/metrics' % EXPORTER).split(
              '\nlinkstat_exporter_probe_failures_total{reason="refused"} ')[1].split()[0]) >= 1))

    exporter.terminate()
    exporter.wait(10)
    check('with the exporter stopped, the README\'s LinkstatExporterDown fires',
          wait_until(lambda: firing('LinkstatExporterDown') == {EXPORTER}))
    check('and RouterNotProbed for every router',
          wait_until(lambda: firing('RouterNotProbed') >= {'192.0.2.11', '192.0.2.12',
                                                             '192.0.2.13:10000'}))
    prometheus.terminate()
    prometheus.wait(10)
    prometheus = exporter = None

    # the README's sharded job on two Prometheus servers, each with an exporter of its own.
    shards = []
    for shard in (0, 1):
        address = '127.0.0.1:%d' % (9742 + shard)
        config = os.path.join(work, 'shard%d.yml' % shard)
        write_config(config, rules, readme_block('sharded scrape config').replace(
            'regex: 0 ', 'regex: %d ' % shard).replace('127.0.0.1:9742', address))
        check('promtool accepts the README\'s sharded job for shard %d' % shard,
              subprocess.run(['promtool', 'check', 'config', config]).returncode == 0)
        shards.append((address, start_exporter(build, work, listen=address,
                                               log='exporter%d.log' % shard),
                       '127.0.0.1:%d' % (9090 + shard)))
        shards[-1] += (start_prometheus(work, 'shard%d' % shard, config, shards[-1][2]),)
    everyone = {'192.0.2.11', '192.0.2.12', '192.0.2.13:10000'}

    def split():
        """Each shard's routers with linkstat_up 1, once every router is in one."""
        got = [set(i for i, v in query('linkstat_up', server).items() if v == 1)
               for _, _, server, _ in shards]
        return got if set().union(*got) == everyone else None
    got = wait_until(split)
    check('the two shards together probe every router', got)
    check('each router in one shard only, and each shard some',
          got and not (got[0] & got[1]) and got[0] and got[1])
    for address, _, _, _ in shards:
        text = http_get('http://%s/metrics' % address)
        check('exporter %s probed its shard' % address,
              float(text.split('\nlinkstat_exporter_probes_total ')[1].split()[0]) >= 1)
finally:
    for p in [prometheus, exporter] + [p for shard in locals().get('shards', [])
                                       for p in shard[1::2]]:
        if p:
            p.terminate()
            p.wait(10)
    for router in routers:
        router.close()
    if exporter_lab.failures:
        for log in ('exporter.log', 'prometheus.log', 'exporter0.log', 'exporter1.log'):
            if os.path.exists(os.path.join(work, log)):
                print('# %s:\n# ' % log + open(os.path.join(work, log)).read()[-3000:].replace(
                    '\n', '\n# '))
sys.exit(1 if exporter_lab.failures else 0)
