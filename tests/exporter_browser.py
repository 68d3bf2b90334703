#!/usr/bin/python3
# The live page in a real browser: headless chromium driven by selenium, on the page of a
# linkstatd in a network namespace of its own. Its figures, their change with the station
# table, the tone whose pitch follows the signal, the router gone and back, the exporter
# stalled (no figure shown as current, a break in the chart), a phone's width and a
# laptop's, and a console without errors.
# usage: sim/netns tests/exporter_browser.py HOST_BUILD_DIR
import os
import shutil
import signal
import sys
import tempfile

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "harness"))
from exporter_lab import (EXPORTER, ROOT, Router, check, start_exporter,  # noqa: E402
                          station_table, wait_until)
import exporter_lab  # noqa: E402

build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, 'build/host'))
work = os.path.join(build, 'tests', 'exporter-browser')
shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)

router = Router(work, build, 1, '192.0.2.11')
router.table(station_table(40, (40, 35, 0, 0), 'MCS7 (72.2)', '54'))
router.start()
exporter = start_exporter(build, work)
profile = tempfile.mkdtemp(prefix='chromium-', dir=work)
options = webdriver.ChromeOptions()
options.binary_location = '/usr/bin/chromium'
# As root, and without the background connections a closed network refuses.
for flag in ('--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
             '--disable-background-networking', '--disable-component-update', '--disable-sync',
             '--disable-dev-shm-usage', '--user-data-dir=' + profile, '--window-size=390,844',
             '--autoplay-policy=no-user-gesture-required'):
    options.add_argument(flag)
options.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
driver = webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)
# Every oscillator the page makes, through the Web Audio API, and whether it was stopped.
driver.execute_cdp_cmd('Page.addScriptToEvaluateOnNewDocument', {'source': """
window.tones = [];
const make = AudioContext.prototype.createOscillator;
AudioContext.prototype.createOscillator = function () {
  const node = make.call(this), tone = {node: node, stopped: false}, stop = node.stop;
  node.stop = function (...when) { tone.stopped = true; return stop.apply(node, when); };
  window.tones.push(tone);
  return node;
};
"""})
try:
    def text(selector):
        return driver.find_element(By.CSS_SELECTOR, selector).text

    def pixels(selector, css):
        return float(driver.find_element(By.CSS_SELECTOR, selector).value_of_css_property(
            css).replace('px', ''))

    def sounding():
        """The pitch of the tone sounding now, in Hz, or None."""
        return driver.execute_script(
            'const t = window.tones.filter(t => !t.stopped);'
            'return t.length === 1 ? t[0].node.frequency.value : null;')

    def shows(figures):
        """The page shows each selector's text as figures has it."""
        return all(text(s) == v for s, v in figures.items())

    driver.get('http://%s/live?target=192.0.2.11' % EXPORTER)
    check('the page shows the router\'s signal, each path and both rates',
          wait_until(lambda: shows({'#m-rssi .number': '40', '#m-a .number': '40',
                                    '#m-b .number': '35', '#m-c .number': '0',
                                    '#tx': '72.5', '#rx': '54.0'}), 20))
    check('it says the router answers', 'Answering' == text('#state'))
    check('no tone until it is switched on', sounding() is None)
    driver.find_element(By.ID, 'tone').click()
    low = wait_until(sounding, 5)
    check('switched on, a tone sounds', low)
    router.table(station_table(55, (55, 52, 0, 0), 'MCS15 (300)', '11'))
    check('the figures follow the station table',
          wait_until(lambda: shows({'#m-rssi .number': '55', '#m-b .number': '52',
                                    '#tx': '300.0', '#rx': '11.0'}), 10))
    check('the tone\'s pitch rises with the signal',
          wait_until(lambda: (sounding() or 0) > (low or 1e9), 5))
    router.table(station_table(30, (30, 28, 0, 0), 'MCS15 (300)', '11'))
    check('each bar holds its peak when the signal falls',
          wait_until(lambda: shows({'#m-rssi .number': '30', '#m-rssi .peakval span': '55'}), 10)
          and pixels('#m-rssi .peak', 'left') > pixels('#m-rssi .fill', 'width') + 10)
    driver.find_element(By.ID, 'reset').click()
    check('reset peaks starts them afresh',
          wait_until(lambda: text('#m-rssi .peakval span') == '30', 5))
    fits = 'document.documentElement.scrollWidth <= window.innerWidth'
    check('on a phone\'s width nothing runs off the side', driver.execute_script('return ' + fits))
    driver.save_screenshot(os.path.join(work, 'phone.png'))
    router.stop()
    check('the page says plainly when the router stops answering',
          wait_until(lambda: text('#state').startswith('Not answering since'), 10))
    check('and the tone stops', sounding() is None)
    router.start()
    check('and picks up by itself once it is back',
          wait_until(lambda: text('#state') == 'Answering' and text('#m-rssi .number') == '30',
                     20))
    check('the tone with it', wait_until(sounding, 5))
    driver.get('http://%s/' % EXPORTER)
    check('the index lists the router with its state and signal, linked to its live page',
          wait_until(lambda: [c.text for c in driver.find_elements(By.CSS_SELECTOR, 'tbody td')][
              :3] == ['192.0.2.11:10000', 'answering', '30']) and
          driver.find_element(By.LINK_TEXT, '192.0.2.11:10000').get_attribute('href').endswith(
              '/live?target=192.0.2.11:10000'))
    driver.back()
    driver.set_window_size(1280, 800)
    # The page comes back and lays itself out again at its own pace.
    check('on a laptop\'s width too',
          wait_until(lambda: driver.execute_script(
              'const c = document.getElementById("chart");'
              'return c !== null && c.clientWidth > 800 && ' + fits), 10))
    driver.save_screenshot(os.path.join(work, 'live.png'))

    # The exporter stalls (the laptop's Wi-Fi to the phone, say): the page's own asks hang.
    # The page came back anew: its tone is switched on again, and a few seconds of chart
    # drawn before the stall.
    driver.find_element(By.ID, 'tone').click()
    check('a tone sounds again', wait_until(sounding, 5))
    wait_until(lambda: False, 8)
    exporter.send_signal(signal.SIGSTOP)
    check('within about 3 s the page says since when it has had no answer',
          wait_until(lambda: text('#state').startswith('No answer since'), 5))
    check('the meters are greyed', all(
        'stale' in driver.find_element(By.ID, 'm-' + m).get_attribute('class')
        for m in ('rssi', 'a', 'b', 'c', 'd')))
    check('the tone is silent', sounding() is None)
    driver.save_screenshot(os.path.join(work, 'stale.png'))
    wait_until(lambda: False, 3)
    exporter.send_signal(signal.SIGCONT)
    check('and it is live again once answers come',
          wait_until(lambda: text('#state') == 'Answering' and sounding(), 10))
    wait_until(lambda: False, 3)  # a few readings after the stall
    # The signal's line on the chart breaks across the stall: along its row, the latest run
    # of pixels with nothing drawn, which ends a few seconds back from the line's end.
    gap = driver.execute_script("""
      const c = document.getElementById('chart'), g = c.getContext('2d');
      const y = Math.round(c.height - 4 - 0.30 * (c.height - 8));
      const row = g.getImageData(0, y, c.width, 1).data;
      const drawn = x => row[4 * x + 3] > 0;
      let x = c.width - 1;
      while (x >= 0 && !drawn(x)) --x;
      const end = x;
      while (x >= 0 && drawn(x)) --x;
      const right = x;
      while (x >= 0 && !drawn(x)) --x;
      return x >= 0 && end - right < 30 * window.devicePixelRatio ? right - x : 0;""")
    check('the chart breaks across the gap (%d pixels)' % gap, gap >= 8)
    errors = [e for e in driver.get_log('browser') if e['level'] == 'SEVERE']
    check('the console has no errors', not errors)
    for e in errors:
        print('# %s' % e['message'])
finally:
    driver.quit()
    exporter.terminate()
    exporter.wait(10)
    router.close()
sys.exit(1 if exporter_lab.failures else 0)
