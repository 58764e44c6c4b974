#!/usr/bin/python3
"""The web page in headless Chromium, driven by Selenium. The test beside it plays the
machines and reads this script's standard output for its cues.

overview: the user's event streams taken by another client, the page shows the machines by
  asking and says "Verbindung unterbrochen", then goes live again; a send's progress (SEND),
  the machine taking nothing (STALL), tiles without a broken word at 390 and 1280 pixels, and
  "Abbruch Senden" that asks first.
programs: numeric order and search, upload and replace, the versions with the difference
  to the current one and a restore, download and view of a received program and taking it
  over as a program.
remote: a machine of another site (--machine SITE/NAME) beside this PC's: its site on the
  tile, its page with the programs and the log its bridge sends; once its bridge is killed
  (KILL) "unbekannt" with the time it was seen last. Screenshots go to --shots."""
import argparse
import http.client
import json
import os
import shutil
import socket
import sys
import tempfile
import time
from urllib.parse import urlparse

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

parser = argparse.ArgumentParser()
parser.add_argument('--scenario', choices=('overview', 'programs', 'remote'), required=True)
for name in ('url', 'user', 'password', 'shots'):
    parser.add_argument('--' + name, required=True)
for name in ('upload', 'replace', 'expect_download', 'machine', 'program'):
    parser.add_argument('--' + name.replace('_', '-'))
args = parser.parse_args()
os.makedirs(args.shots, exist_ok=True)
server = urlparse(args.url)
profile = tempfile.mkdtemp(prefix='dnc-chromium-')
downloads = tempfile.mkdtemp(prefix='dnc-downloads-')

options = Options()
options.binary_location = '/usr/bin/chromium'
for flag in ('--headless=new', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
             '--disable-background-networking', '--disable-component-update', '--disable-sync',
             '--disable-dev-shm-usage', '--user-data-dir=' + profile, '--window-size=1280,900'):
    options.add_argument(flag)
options.add_experimental_option('prefs', {'download.default_directory': downloads,
                                          'download.prompt_for_download': False})
driver = webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)
driver.execute_cdp_cmd('Page.setDownloadBehavior', {'behavior': 'allow', 'downloadPath': downloads})
wait = WebDriverWait(driver, 60, poll_frequency=0.05)


def say(cue):
    print(cue, flush=True)


def css(selector):
    return driver.find_element(By.CSS_SELECTOR, selector)


def js(script, *values):
    return driver.execute_script(script, *values)


def text(selector):
    # Read in the page: a tile's parts are made anew at each update.
    return js('const e = document.querySelector(arguments[0]); return e ? e.textContent : ""', selector)


def shown(selector):
    return js('const e = document.querySelector(arguments[0]); return !!e && e.getClientRects().length > 0',
              selector)


def column(table):
    return js('return [...document.querySelectorAll(arguments[0] + " tbody tr td:first-child")]'
              '.map((td) => td.textContent)', table)


def width(pixels):
    driver.set_window_size(pixels, 900)
    wait.until(lambda d: js('return window.innerWidth') <= pixels)


def shot(name, pixels):
    width(pixels)
    # The whole page, not only the window.
    height = js('return document.documentElement.scrollHeight')
    driver.set_window_size(pixels, min(max(height, 600), 4000))
    driver.save_screenshot(os.path.join(args.shots, name))


def tile(machine_id):
    return '#tiles .tile[data-id="%s"]' % machine_id


# Words of the tiles that the layout broke over two lines, and parts that stick out.
BROKEN = '''
const found = [];
for (const tile of document.querySelectorAll(arguments[0])) {
  const box = tile.getBoundingClientRect();
  const walker = document.createTreeWalker(tile, NodeFilter.SHOW_TEXT);
  for (let n = walker.nextNode(); n; n = walker.nextNode()) {
    const words = /\\S+/g;
    let m;
    while ((m = words.exec(n.data))) {
      const range = document.createRange();
      range.setStart(n, m.index);
      range.setEnd(n, m.index + m[0].length);
      const rects = [...range.getClientRects()];
      if (new Set(rects.map((r) => Math.round(r.top))).size > 1) found.push('broken: ' + m[0]);
      if (rects.some((r) => r.right > box.right + 0.5)) found.push('cut: ' + m[0]);
    }
  }
}
return found;'''


def unbroken(pixels):
    width(pixels)
    found = js(BROKEN, '.tile')
    assert not found, '%d px: %r' % (pixels, found)


def progress(name):
    return js('const e = document.querySelector(arguments[0]); return e ? e.value : null',
              tile(name) + ' progress')


def login_in_page():
    driver.get(args.url)
    wait.until(lambda d: not js('return document.querySelector("#login").hidden'))
    css('#login-user').send_keys(args.user)
    css('#login-password').send_keys(args.password)
    css('#login-form button').click()


def login_from_here():
    """A session of the same user, as another client logs in: its cookie."""
    c = http.client.HTTPConnection(server.hostname, server.port, timeout=30)
    body = json.dumps({'user': args.user, 'password': args.password})
    c.request('POST', '/api/login', body, {'Origin': '%s://%s' % (server.scheme, server.netloc),
                                           'Content-Type': 'application/json'})
    r = c.getresponse()
    assert r.status == 200, r.status
    return r.getheader('Set-Cookie').split(';')[0]


def open_stream(cookie):
    """An event stream on a raw socket: the socket and the status of its answer."""
    s = socket.create_connection((server.hostname, server.port), timeout=30)
    s.sendall(('GET /api/events HTTP/1.1\r\nHost: %s\r\nCookie: %s\r\n\r\n' % (server.netloc, cookie)).encode())
    head = b''
    while b'\r\n' not in head:
        head += s.recv(4096)
    return s, int(head.split(b' ')[1])


def overview():
    # Another client holds every stream this user may have: the page gets none.
    held = []
    for _ in range(2):
        cookie = login_from_here()
        for _ in range(6):
            s, status = open_stream(cookie)
            held.append(s)
            if status != 200:
                break
    assert sum(1 for s in held) >= 8, len(held)
    login_in_page()
    wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, '#tiles .tile[data-id]')) == 2)
    wait.until(lambda d: shown('#connection'))
    assert 'Verbindung unterbrochen' in text('#connection')
    assert not shown('#no-machines')
    names = [t.get_attribute('data-id') for t in driver.find_elements(By.CSS_SELECTOR, '#tiles .tile')]
    assert names == ['Bearbeitungszentrum-DMU65', 'fraese1'], names
    assert 'bereit' in text(tile('fraese1') + ' .state')
    shot('fallback-1280.png', 1280)
    # Once the streams are free again, the page goes live by itself.
    for s in held:
        s.close()
    wait.until(lambda d: not shown('#connection'))

    say('SEND')
    wait.until(lambda d: progress('fraese1') is not None)
    first = progress('fraese1')
    wait.until(lambda d: (progress('fraese1') or 0) > first)
    assert 'noch' in text(tile('fraese1') + ' .send')
    assert 'Zuletzt' not in text(tile('fraese1'))
    for pixels in (1280, 390):
        unbroken(pixels)
        shot('overview-%d.png' % pixels, pixels)
    say('STALL')
    wait.until(lambda d: text(tile('fraese1') + ' .state') == 'wartet')
    for pixels in (1280, 390):
        unbroken(pixels)
        shot('overview-wartet-%d.png' % pixels, pixels)

    # "Abbruch Senden" asks first: "Nein" leaves the send alone.
    width(1280)
    driver.get(args.url + '#/m/fraese1')
    wait.until(lambda d: shown('#m-abort'))
    css('#m-abort').click()
    wait.until(lambda d: js('return document.querySelector("#confirm").open'))
    assert 'abbrechen' in text('#confirm-text'), text('#confirm-text')
    shot('abort-question-1280.png', 1280)
    css('#confirm-no').click()
    wait.until(lambda d: not js('return document.querySelector("#confirm").open'))
    assert text('#m-abort-msg') == ''
    assert text('#m-tile .state') in ('wartet', 'sendet')
    css('#m-abort').click()
    wait.until(lambda d: js('return document.querySelector("#confirm").open'))
    css('#confirm-yes').click()
    wait.until(lambda d: text('#m-tile .state') == 'bereit')
    wait.until(lambda d: '(Web: ' + args.user + ')' in text('#log'))
    assert 'abgebrochen' in text('#m-tile .last'), text('#m-tile .last')
    shot('machine-aborted-1280.png', 1280)


def row(table, name):
    return [r for r in driver.find_elements(By.CSS_SELECTOR, table + ' tbody tr') if r.text.startswith(name)][0]


def programs():
    login_in_page()
    wait.until(lambda d: shown('#overview'))
    driver.get(args.url + '#/m/drehbank2')
    wait.until(lambda d: 'P4711.CNC' in text('#received tbody'))
    wait.until(lambda d: len(column('#programs')) == 3)
    assert column('#programs') == ['9.CNC', '10.CNC', '100.CNC'], column('#programs')

    # Upload, then the same name again: replaced, the first one kept.
    picker = css('#upload-input')
    js('arguments[0].hidden = false', picker)
    name = os.path.basename(args.upload)
    picker.send_keys(args.upload)
    wait.until(lambda d: 'hochgeladen' in text('#files-msg'))
    picker.send_keys(args.replace)
    wait.until(lambda d: 'ersetzt' in text('#files-msg'))
    js('arguments[0].hidden = true', picker)
    css('#search').send_keys('55')
    wait.until(lambda d: column('#programs') == [name])
    css('#search').clear()
    css('#search').send_keys(' ')  # input event: the list is whole again
    wait.until(lambda d: len(column('#programs')) == 4)

    # Its versions: the difference to the current one side by side, then a restore.
    row('#programs', name).find_element(By.XPATH, './/button[text()="Fassungen"]').click()
    wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, '#version-list tbody tr[data-id]')) == 1)
    css('#version-list tbody tr[data-id] button').click()
    wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, '#diff tr.changed')) > 0)
    with open(args.upload, encoding='latin-1') as f:
        old = f.read().splitlines()
    with open(args.replace, encoding='latin-1') as f:
        new = f.read().splitlines()
    changed = js('return [...document.querySelectorAll("#diff tr.changed")].map((r) => '
                 '[...r.querySelectorAll("td.t")].map((td) => td.textContent))')
    assert [[a, b] for a, b in zip(old, new) if a != b] == changed, changed
    shot('versions-1280.png', 1280)
    shot('versions-390.png', 390)
    assert shown('#version-list tbody tr[data-id] button:nth-of-type(2)'), 'no restore at 390 px'
    width(1280)
    css('#version-list tbody tr[data-id] button:nth-of-type(2)').click()
    wait.until(lambda d: 'wiederhergestellt' in text('#versions-msg'))
    wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, '#version-list tbody tr[data-id]')) == 2)
    css('#versions-close').click()

    # A received program: downloaded and viewed as it is, then taken over as a program.
    received = row('#received', 'P4711.CNC')
    received.find_element(By.LINK_TEXT, 'Herunterladen').click()
    target = os.path.join(downloads, 'P4711.CNC')
    wait.until(lambda d: os.path.exists(target) and not any(f.endswith('.crdownload') for f in os.listdir(downloads)))
    with open(target, 'rb') as got, open(args.expect_download, 'rb') as want:
        assert got.read() == want.read(), 'download differs'
    received.find_element(By.XPATH, './/button[text()="Ansehen"]').click()
    wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, '#viewer-body .l')) > 2)
    assert css('#viewer-body .l .n').text == '1'
    shot('viewer-1280.png', 1280)
    css('#viewer-close').click()
    row('#received', 'P4711.CNC').find_element(By.XPATH, './/button[text()="Übernehmen"]').click()
    wait.until(lambda d: js('return document.querySelector("#accept").open'))
    css('#accept-as').clear()
    css('#accept-as').send_keys('4711.CNC')
    css('#accept-yes').click()
    wait.until(lambda d: 'übernommen' in text('#files-msg'))
    wait.until(lambda d: '4711.CNC' in column('#programs'))

    shot('machine-390.png', 390)
    shot('machine-1280.png', 1280)


def remote():
    local = tile('halle1/fraese1')
    far = tile(args.machine)
    login_in_page()
    wait.until(lambda d: text(far + ' .state') == 'bereit' and text(local + ' .state') == 'bereit')
    ids = [t.get_attribute('data-id') for t in driver.find_elements(By.CSS_SELECTOR, '#tiles .tile')]
    assert ids == ['halle1/fraese1', args.machine], ids
    assert text(far + ' .site') == args.machine.split('/')[0], text(far + ' .site')
    assert text(far + ' .name') == args.machine.split('/')[1], text(far + ' .name')
    for pixels in (1280, 390):
        unbroken(pixels)
        shot('sites-%d.png' % pixels, pixels)

    # Its page: the programs, the received ones and the log, each from its bridge.
    width(1280)
    css(far).click()
    wait.until(lambda d: args.program in column('#programs'))
    wait.until(lambda d: 'P4711.CNC' in column('#received'))
    wait.until(lambda d: 'P4711.CNC PRG Nr' in text('#log'))
    assert text('#m-name') == args.machine.split('/')[1], text('#m-name')
    shot('remote-machine-1280.png', 1280)

    # Its bridge dies: the tile says so, and since when the site is not seen.
    driver.get(args.url + '#/')
    wait.until(lambda d: shown('#overview'))
    say('KILL')
    wait.until(lambda d: text(far + ' .state') == 'unbekannt')
    assert 'zuletzt gesehen' in text(far + ' .reason'), text(far + ' .reason')
    assert text(local + ' .state') == 'bereit'
    assert progress(args.machine) is None
    unbroken(390)
    shot('sites-unbekannt-390.png', 390)
    shot('sites-unbekannt-1280.png', 1280)


try:
    {'overview': overview, 'programs': programs, 'remote': remote}[args.scenario]()
    say('DONE')
except Exception as error:  # noqa: BLE001 - any failure ends the test with a picture
    driver.save_screenshot(os.path.join(args.shots, 'failure-%s.png' % args.scenario))
    print('page test failed: %r' % (error,), file=sys.stderr)
    sys.exit(1)
finally:
    driver.quit()
    shutil.rmtree(profile, ignore_errors=True)
    shutil.rmtree(downloads, ignore_errors=True)
