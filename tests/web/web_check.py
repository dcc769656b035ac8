#!/usr/bin/python3
"""corvactl serve on the drop-in simulator, in headless Chromium or under Prometheus.
  web_check.py page|metrics CORVACTL VM_CHECK SIM_LIB GRATICULES BUILD
Pictures and log texts are checked by vm_check against the simulator's trace;
screenshots go to BUILD/web-shots. Exit 0 when every check passes, 1 when one
fails, 77 when a tool is missing."""
import base64, json, os, re, select, shutil, socket, subprocess, sys, tempfile, time
import urllib.parse, urllib.request
from harness import check, cleanups, opener, run, stop_group, wait

part, CORVACTL, VM_CHECK, SIM_LIB, GRATICULES, BUILD = sys.argv[1:7]
SHOTS = os.path.join(BUILD, 'web-shots')


def vm_check(*args):
    r = subprocess.run([VM_CHECK, *args], capture_output=True, text=True)
    return r.returncode == 0, r.stderr.strip()


class Server:
    def __init__(self, work, *extra):
        self.trace, self.view_file, err = (os.path.join(work, n) for n in ('trace.txt', 'view-token', 'server.err'))
        env = dict(os.environ, LD_LIBRARY_PATH=SIM_LIB, CORVASIM_TRACE=self.trace, QT_QPA_PLATFORM='offscreen')
        self.proc = subprocess.Popen(
            [CORVACTL, 'serve', '--listen', '127.0.0.1:0', '--graticules', GRATICULES,
             '--token-file', os.path.join(work, 'token'), '--view-token-file', self.view_file, *extra],
            env=env, stdout=subprocess.PIPE, stderr=open(err, 'w'), text=True, start_new_session=True)
        cleanups.append(lambda: stop_group(self.proc))
        line = self.proc.stdout.readline() if select.select([self.proc.stdout], [], [], 15)[0] else ''
        m = re.fullmatch(r'(http://127\.0\.0\.1:(\d+)/)#token=(\w+)\n', line)
        if not m:
            raise RuntimeError('server start: first line %r; stderr: %s' % (line, open(err).read()))
        self.base, self.port, self.token = m.group(1), int(m.group(2)), m.group(3)
        self.view_token = open(self.view_file).read().strip()

    def get(self, path):
        req = urllib.request.Request(self.base + path.lstrip('/'), headers={'Authorization': 'Bearer ' + self.token})
        return opener.open(req, timeout=10).read().decode()

    def trace_text(self):
        with open(self.trace, encoding='latin-1') as f:
            return f.read()


# ---- page: three browsers on one server ----

def viewport(d, width, height, scale=1, mobile=False):
    # The page's own size, whatever the window around it takes.
    d.execute_cdp_cmd('Emulation.setDeviceMetricsOverride',
                      {'width': width, 'height': height, 'deviceScaleFactor': scale, 'mobile': mobile})


def browser(url, work):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    o = webdriver.ChromeOptions()
    o.binary_location = shutil.which('chromium')
    for flag in ('--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
                 '--disable-background-networking', '--disable-component-update', '--disable-sync',
                 '--user-data-dir=' + tempfile.mkdtemp(dir=work)):
        o.add_argument(flag)
    o.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
    d = webdriver.Chrome(service=Service(shutil.which('chromedriver')), options=o)
    cleanups.append(d.quit)
    viewport(d, 1280, 900)
    d.get(url)
    return d


def js(d, script, *args):
    return d.execute_script(script, *args)


def text(d, id):
    return js(d, 'return document.getElementById(arguments[0]).textContent', id)


def frames(d):
    return int(js(d, 'return document.getElementById("display").dataset.frames'))


def click(d, id):
    d.find_element('id', id).click()


def pictures_match(name, drivers, server, work):
    # The canvas as drawn, read back losslessly.
    for i, d in enumerate(drivers, 1):
        path = os.path.join(work, '%s-%d.png' % (name.replace(' ', '-'), i))
        png = js(d, 'return document.getElementById("display").toDataURL("image/png")').split(',', 1)[1]
        with open(path, 'wb') as f:
            f.write(base64.b64decode(png))
        ok, why = vm_check('picture', path, server.trace, '0')
        check('%s: browser %d shows the display after every frame of the trace' % (name, i), ok, why)


def page(work):
    os.makedirs(SHOTS, exist_ok=True)
    s = Server(work)
    a, b = browser(s.base + '#token=' + s.token, work), browser(s.base + '#token=' + s.token, work)
    both = (a, b)
    check('two browsers: each shows 2 viewers', wait(lambda: all(text(d, 'viewers') == '2' for d in both)),
          [text(d, 'viewers') for d in both])

    click(a, 'cmdDownLoad')
    check('1 Frame: both draw it', wait(lambda: all(frames(d) == 1 for d in both)), [frames(d) for d in both])
    check('1 Frame: the status as the window shows it',
          wait(lambda: all(text(d, 'status') == 'Downloaded 1 Frame\r\n' for d in both)), repr(text(a, 'status')))
    pictures_match('1 Frame', both, s, work)
    a.save_screenshot(os.path.join(SHOTS, 'page.png'))

    click(a, 'cmdContinuous')
    check('Continuous: the status as the window shows it',
          wait(lambda: all(text(d, 'status') == 'Continuous Download:\r\nPress Stop to end' for d in both)),
          repr(text(b, 'status')))
    start = [frames(d) for d in both]
    check('Continuous: both keep drawing new frames',
          wait(lambda: all(frames(d) >= n + 5 for d, n in zip(both, start)), 30), [start, [frames(d) for d in both]])
    click(b, 'cmdStop')   # the other browser stops what one started

    def settled():
        if any(text(d, 'busy') or js(d, 'return document.getElementById("cmdContinuous").classList.contains("on")')
               for d in both):
            return False
        before = [frames(d) for d in both]
        time.sleep(0.6)   # longer than the pause between frames
        return before == [frames(d) for d in both]
    check('Stop: continuous off, no more frames', wait(settled), [text(d, 'busy') for d in both])
    pictures_match('Stop', both, s, work)   # so both show the same

    click(a, 'cmdGetLog')
    wait(lambda: all(text(d, box).endswith('End of Log --------') for d in both for box in ('log', 'status')), 20)
    for i, d in enumerate(both, 1):
        for box in ('log', 'status'):
            path = os.path.join(work, 'log-%d-%s.txt' % (i, box))
            with open(path, 'w', encoding='latin-1', newline='') as f:
                f.write(text(d, box))
            check('Get Log: browser %d #%s: the instrument\'s log and its end line' % (i, box), *vm_check('log', path))

    def erases():
        return s.trace_text().count('Write FC F0')

    def dialog_open():
        return js(a, 'return document.getElementById("eraseDialog").open')
    click(a, 'cmdEraseLog')
    check('Erase Log: asks first', wait(dialog_open, 5))
    click(a, 'eraseCancel')
    time.sleep(1)
    check('Erase Log, Cancel: closed, nothing sent', not dialog_open() and erases() == 0, erases())
    click(a, 'cmdEraseLog')
    wait(dialog_open, 5)
    click(a, 'eraseConfirm')
    erased = 'Connecting to Corvameter\r\nErase command sent\r\n'
    check('Erase Log, Erase: the status as the window shows it',
          wait(lambda: all(text(d, 'status') == erased for d in both)), repr(text(a, 'status')))
    check('Erase Log, Erase: one erase command on the line', erases() == 1, erases())

    v = browser(s.base + '#token=' + s.view_token, work)
    check('view token: connected as a third viewer', wait(lambda: text(v, 'viewers') == '3'), text(v, 'viewers'))
    check('view token: every instrument button disabled, "view only" shown',
          js(v, 'return [...document.querySelectorAll("button.inst")].every(b => b.disabled)')
          and v.find_element('id', 'viewOnly').is_displayed())
    check('view token: the latest picture at once', wait(lambda: frames(v) >= 1), frames(v))
    seen = frames(v)
    click(a, 'cmdDownLoad')
    check('view token: the display gets the new frame', wait(lambda: frames(v) > seen), frames(v))
    pictures_match('view token', (v,), s, work)

    viewport(b, 390, 844, 3, True)
    # clientWidth: innerWidth grows with what sticks out.
    width = 'return [document.documentElement.scrollWidth, document.documentElement.clientWidth]'
    wait(lambda: js(b, width)[1] == 390, 5)
    check('phone size: nothing wider than the screen', js(b, width) == [390, 390], js(b, width))
    b.save_screenshot(os.path.join(SHOTS, 'phone.png'))

    for name, d in (('first', a), ('second', b), ('view-only', v)):
        bad = [e['message'] for e in d.get_log('browser')
               if e['level'] == 'SEVERE' or 'Content Security Policy' in e['message']]
        check('%s browser: no errors or CSP violations in the console' % name, not bad, bad)
        check('%s browser: no error notice on the page' % name,
              not js(d, 'return document.getElementById("notice").classList.contains("error")'), text(d, 'notice'))


# ---- metrics: the server scraped by Prometheus ----

def metrics(work):
    s = Server(work, '--continuous')
    with socket.socket() as so:
        so.bind(('127.0.0.1', 0))
        port = so.getsockname()[1]
    config = os.path.join(work, 'prometheus.yml')
    with open(config, 'w') as f:   # JSON is YAML
        json.dump({'scrape_configs': [{
            'job_name': 'corvameter', 'scrape_interval': '1s', 'scrape_timeout': '1s', 'metrics_path': '/metrics',
            # The view token: watching is all a scraper needs.
            'authorization': {'credentials_file': s.view_file},
            'static_configs': [{'targets': ['127.0.0.1:%d' % s.port]}]}]}, f)
    log = open(os.path.join(work, 'prometheus.log'), 'w')
    prom = subprocess.Popen(['prometheus', '--config.file=' + config, '--web.listen-address=127.0.0.1:%d' % port,
                             '--storage.tsdb.path=' + os.path.join(work, 'tsdb')],
                            stdout=log, stderr=log, start_new_session=True)
    cleanups.append(lambda: stop_group(prom))
    api = 'http://127.0.0.1:%d/api/v1/' % port

    def ask(path):
        try:
            return json.load(opener.open(api + path, timeout=5))['data']
        except OSError as e:
            return e   # not up yet

    def query(q):
        r = ask('query?query=' + urllib.parse.quote(q))
        return float(r['result'][0]['value'][1]) if isinstance(r, dict) and r['result'] else None

    def targets():
        r = ask('targets')
        return [(t['health'], t['lastError']) for t in r['activeTargets']] if isinstance(r, dict) else r
    scraping = wait(lambda: (query('corvameter_frames_total') or 0) > 0, 30, 0.5)
    if check('Prometheus: scraped frames', scraping, targets()):
        scraped = query('corvameter_frames_total')
        own = re.search(r'^corvameter_frames_total (\d+)$', s.get('/metrics'), re.M)   # after: it only grows
        check('Prometheus: no more frames than the server counts', own and scraped <= int(own.group(1)),
              (scraped, own and own.group(1)))
    check('Prometheus: corvameter_up is 1', query('corvameter_up') == 1, query('corvameter_up'))
    r = subprocess.run(['promtool', 'check', 'metrics'], input=s.get('/metrics'), capture_output=True, text=True)
    check('promtool check metrics', r.returncode == 0, (r.stdout + r.stderr).strip())


run(part, {'page': page, 'metrics': metrics},
    {'page': ['chromium', 'chromedriver'], 'metrics': ['prometheus', 'promtool']}[part], browser=part == 'page')
