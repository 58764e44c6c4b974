#!/usr/bin/python3
"""The web page in headless Chromium, driven by Selenium: log in, see both machines, watch a
send's progress bar move, upload a program with the file picker, download and view a received
program; screenshots at 1280 and 360 pixels width. The test beside it plays the machines and
starts the send when this script prints SEND."""
import argparse
import os
import shutil
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

parser = argparse.ArgumentParser()
for name in ('url', 'user', 'password', 'upload', 'expect_download', 'shots'):
    parser.add_argument('--' + name.replace('_', '-'), required=True)
args = parser.parse_args()
os.makedirs(args.shots, exist_ok=True)
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
wait = WebDriverWait(driver, 30, poll_frequency=0.05)


def css(selector):
    return driver.find_element(By.CSS_SELECTOR, selector)


def shot(name, width):
    driver.set_window_size(width, 900)
    time.sleep(0.3)  # the layout settles after the resize
    # The whole page, not only the window.
    height = driver.execute_script('return document.documentElement.scrollHeight')
    driver.set_window_size(width, min(max(height, 600), 4000))
    driver.save_screenshot(os.path.join(args.shots, name))


def text(selector):
    # Read in the page: a tile's parts are made anew at each update.
    return driver.execute_script(
        'const e = document.querySelector(arguments[0]); return e ? e.textContent : ""', selector)


def progress(name):
    return driver.execute_script(
        'const e = document.querySelector(arguments[0]); return e ? e.value : null',
        '#tiles .tile[data-name="%s"] progress' % name)


try:
    driver.get(args.url)
    wait.until(lambda d: not driver.execute_script('return document.querySelector("#login").hidden'))
    css('#login-user').send_keys(args.user)
    css('#login-password').send_keys(args.password)
    css('#login-form button').click()
    wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, '.tile[data-name]')) == 2)
    names = [t.get_attribute('data-name') for t in driver.find_elements(By.CSS_SELECTOR, '#tiles .tile')]
    assert names == ['drehbank2', 'fraese1'], names
    assert 'bereit' in text('#tiles .tile[data-name="fraese1"] .state')

    print('SEND', flush=True)
    wait.until(lambda d: progress('fraese1') is not None)
    first = progress('fraese1')
    wait.until(lambda d: (progress('fraese1') or 0) > first)
    assert 'sendet' in text('#tiles .tile[data-name="fraese1"] .state')
    assert 'noch' in text('#tiles .tile[data-name="fraese1"] .send')
    shot('overview-1280.png', 1280)
    shot('overview-360.png', 360)
    print('SEEN', flush=True)

    driver.get(args.url + '#/m/drehbank2')
    wait.until(lambda d: 'P4711.CNC' in text('#received tbody'))
    shot('machine-360.png', 360)
    shot('machine-1280.png', 1280)

    picker = css('#upload-input')
    driver.execute_script('arguments[0].hidden = false', picker)
    picker.send_keys(args.upload)
    upload_name = os.path.basename(args.upload)
    wait.until(lambda d: 'hochgeladen' in text('#upload-msg'))
    wait.until(lambda d: upload_name in text('#programs tbody'))

    row = [r for r in driver.find_elements(By.CSS_SELECTOR, '#received tbody tr') if 'P4711.CNC' in r.text][0]
    row.find_element(By.LINK_TEXT, 'Herunterladen').click()
    target = os.path.join(downloads, 'P4711.CNC')
    wait.until(lambda d: os.path.exists(target) and not any(f.endswith('.crdownload') for f in os.listdir(downloads)))
    with open(target, 'rb') as got, open(args.expect_download, 'rb') as want:
        assert got.read() == want.read(), 'download differs'

    row.find_element(By.XPATH, './/button[text()="Ansehen"]').click()
    wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, '#viewer-body .l')) > 2)
    assert css('#viewer-body .l .n').text == '1'
    shot('viewer-1280.png', 1280)
    print('DONE', flush=True)
except Exception as error:  # noqa: BLE001 - any failure ends the test with a picture
    driver.save_screenshot(os.path.join(args.shots, 'failure.png'))
    print('page test failed: %r' % (error,), file=sys.stderr)
    sys.exit(1)
finally:
    driver.quit()
    shutil.rmtree(profile, ignore_errors=True)
    shutil.rmtree(downloads, ignore_errors=True)
