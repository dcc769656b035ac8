#!/usr/bin/python3
"""The alarms of corvactl serve against real parts, on the drop-in simulator
driven through its control file (unplug, plug in, silence bars, add log records).
  alarm_check.py api|snmp|alertmanager|page CORVACTL SIM_LIB GRATICULES SOURCE BUILD
api: the JSON API, the metrics and the log through an unplug, silence and log
records; snmp: a real snmpd (AgentX master on a socket in the work folder) and
snmptrapd on loopback; alertmanager: a real Prometheus evaluating the shipped
rules and a real Alertmanager routing to a webhook of ours; page: the banner in
headless Chromium. Exit 0 when every check passes, 1 when one fails, 77 when a
tool is missing. Timings are printed as figures, never asserted beyond the
alarms' own set and clear times."""
import http.server, json, os, re, select, shutil, socket, subprocess, sys, tempfile, threading, time
import urllib.parse, urllib.request
from harness import check, cleanups, opener, run, stop_group, wait

part, CORVACTL, SIM_LIB, GRATICULES, SOURCE, BUILD = sys.argv[1:7]
SOURCE = os.path.abspath(SOURCE)   # Prometheus reads rule files beside its own config
MIB = '.1.3.6.1.4.1.32473.7'
# Audio displays only, two of them, so that the mode changes now and then.
MODES = ','.join(['11'] * 60 + ['13'] * 60)


def figure(name, seconds):
    print('figure %s: %.2f s' % (name, seconds), flush=True)


def free_port(kind=socket.SOCK_STREAM):
    with socket.socket(socket.AF_INET, kind) as so:
        so.bind(('127.0.0.1', 0))
        return so.getsockname()[1]


def start(args, work, name, env=None):
    log = open(os.path.join(work, name + '.log'), 'w')
    p = subprocess.Popen(args, stdout=log, stderr=subprocess.STDOUT, env=env, start_new_session=True)
    cleanups.append(lambda: stop_group(p))
    return p


def iso_seconds(t):
    return time.mktime(time.strptime(t[:19], '%Y-%m-%dT%H:%M:%S')) - time.timezone + float('0' + t[19:23])


class Server:
    def __init__(self, work, *extra):
        self.control = os.path.join(work, 'control')
        self.err = os.path.join(work, 'server.err')
        self.set_control('')
        view_file = os.path.join(work, 'view-token')
        env = dict(os.environ, LD_LIBRARY_PATH=SIM_LIB, CORVASIM_CONTROL=self.control, CORVASIM_MODES=MODES,
                   QT_QPA_PLATFORM='offscreen')
        env.pop('JOURNAL_STREAM', None)
        self.proc = subprocess.Popen(
            [CORVACTL, 'serve', '--listen', '127.0.0.1:0', '--graticules', GRATICULES, '--continuous',
             '--token-file', os.path.join(work, 'token'), '--view-token-file', view_file, *extra],
            env=env, stdout=subprocess.PIPE, stderr=open(self.err, 'w'), text=True, start_new_session=True)
        cleanups.append(lambda: stop_group(self.proc))
        line = self.proc.stdout.readline() if select.select([self.proc.stdout], [], [], 15)[0] else ''
        m = re.fullmatch(r'(http://127\.0\.0\.1:(\d+)/)#token=(\w+)\n', line)
        if not m:
            raise RuntimeError('server start: first line %r; stderr: %s' % (line, open(self.err).read()))
        self.base, self.port, self.token = m.group(1), int(m.group(2)), m.group(3)
        self.view_file = view_file
        self.view_token = open(view_file).read().strip()

    def set_control(self, text):
        # Whole or not at all: the simulator may read it at any moment.
        with open(self.control + '.new', 'w') as f:
            f.write(text + '\n')
        os.replace(self.control + '.new', self.control)

    def get(self, path):
        req = urllib.request.Request(self.base + path.lstrip('/'), headers={'Authorization': 'Bearer ' + self.view_token})
        return opener.open(req, timeout=10).read().decode()

    def alarms(self):
        return json.loads(self.get('/api/v1/alarms'))

    def active(self):
        return {(a['name'], a.get('bar')) for a in self.alarms()['active']}

    def metric(self, name, **labels):
        want = ','.join('%s="%s"' % kv for kv in labels.items())
        m = re.search(r'^%s%s (\S+)$' % (re.escape(name), re.escape('{%s}' % want) if want else ''),
                      self.get('/metrics'), re.M)
        return float(m.group(1)) if m else None

    def frames(self):
        return self.metric('corvameter_frames_total') or 0

    def log(self):
        with open(self.err) as f:
            return f.read()


LOST = ('instrument_lost', None)


# ---- api: the API, the metrics and the log ----

def api(work):
    s = Server(work, '--log-every', '0.05')
    check('frames come', wait(lambda: s.frames() > 3, 20), s.frames())
    # The levels a frame draws are the ones the frame before brought: a
    # change shows up to two frames late, and a log read (every 3 s here)
    # holds the frames back for a second or two and voids the next frame's
    # levels. The exact timing is tst_alarms' table; here: never early.
    n, t = s.frames(), time.monotonic()
    time.sleep(3)
    late = 3 * 3 / max(1, s.frames() - n) + 5
    check('nothing active on a healthy instrument', s.active() == set(), s.active())
    check('metrics: every alarm 0, the transitions counted',
          s.metric('corvameter_alarm', alarm='audio_silence', bar='3') == 0
          and s.metric('corvameter_alarm', alarm='instrument_lost') == 0
          and s.metric('corvameter_alarm_transitions_total') == 0, s.get('/metrics'))

    # Silence that comes and goes every second: nothing.
    for i in range(14):
        s.set_control('silence 1 2 3 4' if i % 2 == 0 else '')
        time.sleep(1)
    check('silence coming and going every second sets nothing', not s.alarms()['recent'], s.alarms()['recent'])

    # Silence on all four bars: each set within its 10 s, cleared 3 s after
    # sound. Sound first, long enough to be seen.
    time.sleep(late)
    s.set_control('silence 1 2 3 4')
    t0 = time.time()
    bars = {('audio_silence', b) for b in (1, 2, 3, 4)}
    check('silence on four bars: audio_silence set for each', wait(lambda: bars <= s.active(), 20), s.active())
    since = [iso_seconds(a['since']) - t0 for a in s.alarms()['active'] if a['name'] == 'audio_silence']
    check('... each 10 s after the silence (a frame or two more for the levels)',
          len(since) == 4 and all(9.9 <= d <= 10 + late for d in since), since)
    check('... and 1 in the metrics for each bar',
          all(s.metric('corvameter_alarm', alarm='audio_silence', bar=str(b)) == 1 for b in (1, 2, 3, 4)))
    s.set_control('')
    t1 = time.time()
    check('sound again: cleared', wait(lambda: not (bars & s.active()), 10), s.active())
    cleared = [iso_seconds(r['cleared']) - t1 for r in s.alarms()['recent'] if r['name'] == 'audio_silence']
    check('... 3 s after the sound came back', len(cleared) == 4 and all(2.9 <= d <= 3 + late for d in cleared), (cleared, late))

    # Unplug and plug in again.
    s.set_control('unplugged')
    t0 = time.monotonic()
    check('unplug: instrument_lost set', wait(lambda: LOST in s.active(), 15), s.active())
    figure('unplug to instrument_lost in the API', time.monotonic() - t0)
    check('... the metrics agree', s.metric('corvameter_alarm', alarm='instrument_lost') == 1
          and s.metric('corvameter_up') == 0, (s.metric('corvameter_alarm', alarm='instrument_lost'),
                                               s.metric('corvameter_up')))
    s.set_control('')
    check('plugged in: instrument_lost cleared', wait(lambda: LOST not in s.active(), 15), s.active())
    n = s.frames()
    check('... and frames come again', wait(lambda: s.frames() > n + 3, 15), (n, s.frames()))
    rec = [r for r in s.alarms()['recent'] if r['name'] == 'instrument_lost']
    check('recent: the unplug with its set and clear times, no bar',
          len(rec) == 1 and rec[0]['cleared'] and 'bar' not in rec[0]
          and iso_seconds(rec[0]['cleared']) - iso_seconds(rec[0]['set']) >= 5, rec)

    # Log records gained between two reads (every 3 s, between frames).
    s.set_control('log-records 27')
    entries = lambda: [e for e in s.alarms()['events'] if e['name'] == 'log_entry']
    check('three new log records: three log_entry events', wait(lambda: len(entries()) == 3, 15), entries())
    check('... with their text', all(re.match(r'\d+: ', e['text']) for e in entries()), entries())
    n = s.frames()
    check('... and the continuous download goes on around the log reads', wait(lambda: s.frames() > n + 3, 10))
    check('display mode changes are events', wait(lambda: any(
        e['name'] == 'display_mode' for e in s.alarms()['events']), 40), s.alarms()['events'][:3])

    log = s.log()
    recent = s.alarms()['recent']
    check('the log: a line per set and clear', log.count('alarm set: ') == len(recent)
          and log.count('alarm cleared: ') == sum(1 for r in recent if r['cleared']), log)
    check('the log: without the tokens', s.token not in log and s.view_token not in log)


# ---- snmp: a real snmpd and snmptrapd ----

def snmp(work):
    env = dict(os.environ, SNMP_PERSISTENT_DIR=os.path.join(work, 'persist'), MIBS='')
    agentx = os.path.join(work, 'agentx.sock')
    agent_port, trap_port = free_port(socket.SOCK_DGRAM), free_port(socket.SOCK_DGRAM)
    with open(os.path.join(work, 'snmpd.conf'), 'w') as f:
        f.write('master agentx\nagentXSocket %s\nagentXPerms 0600 0700\nrocommunity public 127.0.0.1\n'
                'trap2sink 127.0.0.1:%d public\n' % (agentx, trap_port))
    with open(os.path.join(work, 'snmptrapd.conf'), 'w') as f:
        f.write('disableAuthorization yes\n')
    traps = os.path.join(work, 'traps.txt')
    start(['snmptrapd', '-f', '-C', '-c', os.path.join(work, 'snmptrapd.conf'), '-On', '-Lf', traps,
           'udp:127.0.0.1:%d' % trap_port], work, 'snmptrapd', env)

    def snmpd():
        return start(['snmpd', '-f', '-C', '-c', os.path.join(work, 'snmpd.conf'), '-Lf',
                      os.path.join(work, 'snmpd.txt'), 'udp:127.0.0.1:%d' % agent_port], work, 'snmpd', env)

    def walk(oid=MIB):
        r = subprocess.run(['snmpwalk', '-v2c', '-c', 'public', '-On', '-t', '1', '-r', '1',
                            '127.0.0.1:%d' % agent_port, oid], capture_output=True, text=True, env=env)
        # An empty table walks to one line that says so.
        return {k: v for k, v in re.findall(r'^(\S+) = (.*)$', r.stdout, re.M) if not v.startswith('No Such ')}

    def trap_lines():
        try:
            with open(traps) as f:
                return [l for l in f.read().split('\n') if MIB + '.0.' in l]
        except OSError:
            return []

    # The master comes after the subagent: it is looked for again.
    s = Server(work, '--snmp-agentx', agentx)
    check('no master yet: said once, serving on', wait(lambda: 'no AgentX master' in s.log(), 5), s.log())
    master = snmpd()
    row = lambda: walk(MIB + '.1.1')
    check('snmpwalk: the instrument\'s row', wait(lambda: row().get(MIB + '.1.1.1.2.1') == 'STRING: "CVM00001"', 15),
          row())
    r = row()
    check('... attached, display mode, frames, the four levels',
          r.get(MIB + '.1.1.1.3.1') == 'INTEGER: 1' and r.get(MIB + '.1.1.1.4.1') in ('INTEGER: 11', 'INTEGER: 13')
          and r.get(MIB + '.1.1.1.5.1', '').startswith('Counter32: ')
          and all(re.fullmatch(r'INTEGER: \d+', r.get(MIB + '.1.1.1.%d.1' % c, '')) for c in (6, 7, 8, 9)), r)
    check('no alarm rows on a healthy instrument', not walk(MIB + '.1.2'), walk(MIB + '.1.2'))

    s.set_control('unplugged')
    t0 = time.monotonic()
    got = wait(lambda: [l for l in trap_lines() if MIB + '.0.1' in l], 20, 0.02)
    figure('unplug to the SNMP set notification at snmptrapd', time.monotonic() - t0)
    check('unplug: snmptrapd receives corvAlarmSet', got, trap_lines())
    if got:
        check('... naming instrument_lost, no bar, and the serial',
              'STRING: "instrument_lost"' in got[0] and MIB + '.1.2.1.3.1 = INTEGER: 0' in got[0]
              and 'STRING: "CVM00001"' in got[0], got[0])
    alarm_rows = walk(MIB + '.1.2')
    check('the API, the metrics and snmpwalk agree on the active alarm',
          alarm_rows.get(MIB + '.1.2.1.2.1') == 'STRING: "instrument_lost"' and LOST in s.active()
          and s.metric('corvameter_alarm', alarm='instrument_lost') == 1, (alarm_rows, s.active()))
    s.set_control('')
    got = wait(lambda: [l for l in trap_lines() if MIB + '.0.2' in l], 20, 0.02)
    check('plugged in: snmptrapd receives corvAlarmCleared', got, trap_lines())
    if got:
        check('... with the set and the clear time', MIB + '.1.2.1.4.1 = Hex-STRING' in got[0]
              and MIB + '.1.2.1.5.1 = Hex-STRING' in got[0], got[0])
    check('the row has left the table', wait(lambda: not walk(MIB + '.1.2'), 5), walk(MIB + '.1.2'))

    # The master restarts: the subagent says so once and is back in its tree.
    stop_group(master)
    check('the master gone: said', wait(lambda: 'went away' in s.log(), 10), s.log())
    snmpd()
    check('the master back: the row is served again',
          wait(lambda: row().get(MIB + '.1.1.1.2.1') == 'STRING: "CVM00001"', 15), row())
    check('each change of the master said once', s.log().count('went away') == 1
          and s.log().count('no AgentX master') == 1, s.log())


# ---- alertmanager: Prometheus with the shipped rules, Alertmanager, a webhook ----

class Hook(http.server.BaseHTTPRequestHandler):
    got = []   # (monotonic time, body)

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get('Content-Length', 0)))
        Hook.got.append((time.monotonic(), json.loads(body)))
        self.send_response(200)
        self.end_headers()

    def log_message(self, *a):
        pass


def alertmanager(work):
    s = Server(work)
    hook = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Hook)
    threading.Thread(target=hook.serve_forever, daemon=True).start()
    cleanups.append(hook.shutdown)
    am_port, prom_port = free_port(), free_port()
    am_config = os.path.join(work, 'alertmanager.yml')
    with open(am_config, 'w') as f:   # JSON is YAML
        json.dump({'route': {'receiver': 'test', 'group_by': ['alertname', 'serial'], 'group_wait': '0s',
                             'group_interval': '1s', 'repeat_interval': '1h'},
                   'receivers': [{'name': 'test', 'webhook_configs': [
                       {'url': 'http://127.0.0.1:%d/hook' % hook.server_address[1], 'send_resolved': True}]}]}, f)
    start(['prometheus-alertmanager', '--config.file=' + am_config, '--storage.path=' + os.path.join(work, 'am'),
           '--web.listen-address=127.0.0.1:%d' % am_port, '--cluster.listen-address='], work, 'alertmanager')
    config = os.path.join(work, 'prometheus.yml')
    with open(config, 'w') as f:
        json.dump({'global': {'scrape_interval': '1s', 'evaluation_interval': '1s'},
                   'rule_files': [os.path.join(SOURCE, 'dist', 'corvameter-alerts.yml')],
                   'alerting': {'alertmanagers': [{'static_configs': [{'targets': ['127.0.0.1:%d' % am_port]}]}]},
                   'scrape_configs': [{'job_name': 'corvameter', 'scrape_timeout': '1s',
                                       'authorization': {'credentials_file': s.view_file},
                                       'static_configs': [{'targets': ['127.0.0.1:%d' % s.port]}]}]}, f)
    start(['prometheus', '--config.file=' + config, '--web.listen-address=127.0.0.1:%d' % prom_port,
           '--storage.tsdb.path=' + os.path.join(work, 'tsdb')], work, 'prometheus')

    def query(q):
        try:
            r = json.load(opener.open('http://127.0.0.1:%d/api/v1/query?query=%s' % (prom_port, urllib.parse.quote(q)),
                                    timeout=5))['data']['result']
            return float(r[0]['value'][1]) if r else None
        except OSError:
            return None
    check('Prometheus scrapes the alarms', wait(lambda: query('corvameter_alarm{alarm="instrument_lost"}') == 0, 30),
          query('corvameter_alarm{alarm="instrument_lost"}'))
    check('Alertmanager is up', wait(lambda: opener.open('http://127.0.0.1:%d/-/ready' % am_port, timeout=2).status
                                     == 200 if query('up') is not None else False, 20))

    def alerts(status):
        return [(t, a) for t, body in Hook.got for a in body.get('alerts', [])
                if a['labels'].get('alertname') == 'CorvameterAlarm' and a['labels'].get('alarm') == 'instrument_lost'
                and a['status'] == status]
    s.set_control('unplugged')
    t0 = time.monotonic()
    firing = wait(lambda: alerts('firing'), 40, 0.05)
    if check('unplug: the webhook receives CorvameterAlarm firing for instrument_lost', firing,
             ([b for _, b in Hook.got], query('ALERTS{alertname="CorvameterAlarm"}'),
              query('corvameter_alarm{alarm="instrument_lost"}'))):
        figure('unplug to the firing alert at the webhook', firing[0][0] - t0)
        check('... with the instrument\'s serial', firing[0][1]['labels'].get('serial') == 'CVM00001',
              firing[0][1]['labels'])
    s.set_control('')
    t1 = time.monotonic()
    resolved = wait(lambda: alerts('resolved'), 60, 0.05)
    if check('plugged in: the webhook receives it resolved', resolved, [b for _, b in Hook.got]):
        figure('plug-in to the resolved alert at the webhook', resolved[0][0] - t1)


# ---- page: the banner in a browser ----

def page(work):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    s = Server(work)
    o = webdriver.ChromeOptions()
    o.binary_location = shutil.which('chromium')
    for flag in ('--headless', '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
                 '--user-data-dir=' + tempfile.mkdtemp(dir=work)):
        o.add_argument(flag)
    d = webdriver.Chrome(service=Service(shutil.which('chromedriver')), options=o)
    cleanups.append(d.quit)
    d.get(s.base + '#token=' + s.view_token)
    js = d.execute_script

    def banner():
        return js('const b = document.getElementById("alarmBanner"); return b ? [b.hidden, b.textContent] : null')

    def position():
        r = js('return document.getElementById("display").getBoundingClientRect().toJSON()')
        return (round(r['x']), round(r['y']))
    check('the banner is there and hidden while all is well', wait(lambda: banner() and banner()[0], 15), banner())
    # Measured once the first state has filled the readouts and the title.
    wait(lambda: js('return document.getElementById("frames").textContent') not in ('', '0'), 15)
    before, title = position(), d.title
    s.set_control('unplugged')
    check('unplug: the banner names instrument_lost with its start time',
          wait(lambda: not banner()[0] and 'instrument_lost' in banner()[1]
               and re.search(r'\d\d:\d\d:\d\d', banner()[1]), 20), banner())
    check('... the tab\'s title is marked', d.title != title and 'instrument_lost' in d.title, d.title)
    check('... and nothing moved', position() == before, (before, position()))
    os.makedirs(os.path.join(BUILD, 'web-shots'), exist_ok=True)
    d.save_screenshot(os.path.join(BUILD, 'web-shots', 'alarm-banner.png'))
    s.set_control('')
    check('plugged in: the banner goes, the title as before', wait(lambda: banner()[0] and d.title == title, 20),
          (banner(), d.title))
    check('... and the last transitions stay listed', 'instrument_lost' in js(
        'return document.getElementById("alarmRecent").textContent'))


run(part, {'api': api, 'snmp': snmp, 'alertmanager': alertmanager, 'page': page},
    {'api': [], 'snmp': ['snmpd', 'snmptrapd', 'snmpwalk'], 'alertmanager': ['prometheus', 'prometheus-alertmanager'],
     'page': ['chromium', 'chromedriver']}[part], browser=part == 'page')
