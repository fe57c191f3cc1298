#!/usr/bin/python3
"""The page of `sens -u` in headless Chromium against lnsim, judged by what it shows, what it
downloads and what reaches lnsim's modules. Prints "page bytes: N" and "first table: N ms".
usage: ui_browser.py SENS LNSIM OUTDIR   (leaves OUTDIR/ui-screenshot.png)"""
import contextlib, os, re, select, signal, subprocess, sys, tempfile, traceback, urllib.request
from pathlib import Path
from selenium.common.exceptions import NoSuchElementException, TimeoutException
from selenium.webdriver import Chrome, ChromeOptions, Keys
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.support.ui import WebDriverWait

WAIT, DEADLINE = 30, 400  # one condition on a busy 2-core machine; the whole run
ROWS = """return Object.fromEntries([...document.querySelectorAll('tr[data-address]')].map((tr) => {
  const cvs = (css) => [...tr.querySelectorAll(css)].map((i) => +i.dataset.cv);
  return [tr.dataset.address, { status: tr.dataset.status, changed: cvs('input.changed'),
    invalid: cvs('input.invalid[aria-invalid="true"]'),
    values: [...tr.querySelectorAll('input[data-cv]')].map((i) => +i.value) }]; }))"""
procs = []

class Failure(Exception):
    """A check that did not hold."""

def wait(cond, what, timeout=WAIT):
    try:
        return WebDriverWait(None, timeout, 0.05, (NoSuchElementException,)).until(lambda _: cond())
    except TimeoutException:
        raise Failure(f'{what}: not within {timeout} s') from None

def start(argv, err):
    """A program in a session of its own, and the first line it prints."""
    with open(err, 'wb') as e:
        p = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=e,
                             start_new_session=True, text=True)
    procs.append(p)
    line = select.select([p.stdout], [], [], WAIT)[0] and p.stdout.readline().strip()
    if not line:
        raise Failure(f'{argv[0]} printed no line (status {p.poll()})')
    return line

def serve(tmp, sens, lnsim, name, args, interface=True):
    """lnsim (`-v`, its modules kept in tmp/state) and `sens -u`: terminal, URL, lnsim's log."""
    pty = start([lnsim, '-v', '--state', f'{tmp}/state'] + args, f'{tmp}/{name}-lnsim.err')
    url = start([sens, '-u', '--no-browser'] + interface * ['locobuffer', pty], f'{tmp}/{name}.err')
    if not re.fullmatch(r'http://127\.0\.0\.1:\d+/#token=[0-9a-f]{32}', url):
        raise Failure(f'sens -u printed {url!r}, not a loopback URL with a token')
    return pty, url, f'{tmp}/{name}-lnsim.err'

def held(tmp, which):
    return {int(a): [int(v) for v in vals.split()] for a, vals in re.findall(
        r'^(\d+):([ \d]*)\r?$', Path(f'{tmp}/state').read_text(), re.M) if int(a) in which}

def entered(log, since=0):
    """Modules that entered programming mode after byte `since` of lnsim's log; those still in."""
    with open(log, errors='replace') as f:
        f.seek(since)
        events = re.findall(r'^= module (\d+) (enters|leaves) programming mode', f.read(), re.M)
    inside = {int(a): w == 'enters' for a, w in events}  # each module's last event
    return {int(a) for a, w in events if w == 'enters'}, {a for a, i in inside.items() if i}

def browser(tmp):
    opts = ChromeOptions()
    opts.binary_location = '/usr/bin/chromium'
    for arg in ('headless=new', 'no-sandbox', 'disable-gpu', 'disable-dev-shm-usage',
                'disable-background-networking', 'disable-component-update', 'disable-sync',
                'no-first-run', 'window-size=1280,800', f'user-data-dir={tmp}/profile'):
        opts.add_argument('--' + arg)
    opts.add_experimental_option('prefs', {'download.default_directory': f'{tmp}/downloads'})
    opts.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
    return Chrome(options=opts, service=Service('/usr/bin/chromedriver',
                                                popen_kw={'start_new_session': True}))

def run(d, tmp, sens, lnsim, outdir):
    q = lambda css: d.find_element('css selector', css)
    table = lambda: {int(a): r for a, r in d.execute_script(ROWS).items()}
    status = lambda: {a: r['status'] for a, r in table().items()}
    changed = lambda: [(a, cv) for a, r in table().items() for cv in r['changed']]
    done = lambda cond, what: wait(lambda: cond() and q('#read').is_enabled() and
                                   not q('#cancel').is_enabled(), what)
    put = lambda css, text: q(css).send_keys(Keys.CONTROL, 'a') or q(css).send_keys(text)
    lines = lambda: ''.join(f'{a}:' + ''.join(f' {v}' for v in want[a]) + '\r\n' for a in want)
    pty, url, log = serve(tmp, sens, lnsim, 'one', ['--modules', '1-4', '--silent', '4'])
    d.get(url)
    q('#discover').click()
    done(lambda: status() == {1: 'unknown', 2: 'unknown', 3: 'unknown'}, 'Find modules: rows 1-3')
    q('#addresses').send_keys('1-4', Keys.ENTER)
    want = {a: [(a * 16 + i) % 256 for i in range(16)] for a in (1, 2, 3)}  # lnsim's own values
    shown = {1: 'read', 2: 'read', 3: 'read', 4: 'no-response'}
    done(lambda: status() == shown and all(table()[a]['values'] == want[a] for a in want),
         f'Read 1-4: rows {shown}, showing the values lnsim holds')
    wait(lambda: 'No response from 4' in q('#log').text, 'the log line of module 4')
    d.save_screenshot(f'{outdir}/ui-screenshot.png')
    print('page bytes:', sum(len(urllib.request.urlopen(url.split('#')[0] + f, timeout=10).read())
                             for f in ('', 'app.js', 'app.css')))
    d.refresh()  # a page opened anew shows what the run has read so far
    wait(lambda: status() == shown, 'the rows after a reload')
    first = d.execute_script("return performance.getEntriesByName('first-rows')[0].startTime")
    print(f'first table: {round(first)} ms')
    put('tr[data-address="1"] input[data-cv="145"]', '300')
    put('tr[data-address="2"] input[data-cv="150"]', '77')
    wait(lambda: table()[1]['invalid'] == [145] and changed() == [(2, 150)],
         '300 refused in its cell, 77 marked changed')
    mark = os.path.getsize(log)
    q('#write').click()
    wait(lambda: 'module 1' in q('#notice').text, 'Write refused while a cell holds 300')
    put('tr[data-address="1"] input[data-cv="145"]', '16')
    q('#write').click()
    want[2][5] = 77
    done(lambda: status()[2] == 'written' and table()[2]['values'] == want[2] and not changed(),
         'Write: module 2 written, 77 shown unmarked')
    wait(lambda: held(tmp, want) == want, 'lnsim holding 77 in module 2 CV 150, nothing else')
    if entered(log, mark)[0] != {2}:
        raise Failure(f'Write selected modules {entered(log, mark)[0]}, not module 2 alone')
    saved = f'{tmp}/downloads/sens.txt'  # Chromium gives it this name once it is complete
    q('#save').click()
    wait(lambda: os.path.exists(saved) and Path(saved).read_bytes() == lines().encode(),
         f'Save: sens.txt holding {lines()!r}')
    Path(f'{tmp}/bad.txt').write_text('1: 1 2 3\n')
    q('#load').send_keys(f'{tmp}/bad.txt')
    wait(lambda: 'Premature end of input on line 1' in q('#notice').text, 'a bad Load')
    want[3][0] = 9
    Path(f'{tmp}/edited.txt').write_text(lines(), newline='')
    q('#load').send_keys(f'{tmp}/edited.txt')
    wait(lambda: changed() == [(3, 145)] and table()[3]['values'][0] == 9,
         'Load: module 3 CV 145 alone changed, to 9')
    q('#write').click()
    done(lambda: status()[3] == 'written', 'Write after Load: module 3 written')
    wait(lambda: held(tmp, want) == want, 'lnsim holding 9 in module 3 CV 145')
    wait(lambda: not entered(log)[1], 'every module released after the first run')
    stop_all()
    # The interface chosen on the page (its first kind, locobuffer); then a read at the bus's
    # speed (0.4 s a module) cancelled.
    pty, url, log = serve(tmp, sens, lnsim, 'two', ['--modules', '1-24', '--pace'], False)
    d.get(url)  # the same tab: the page takes the new token at once
    wait(lambda: q('#port').is_displayed(), 'the form for the interface')
    put('#port', pty)
    q('#open').click()
    wait(lambda: q('#addresses').is_displayed(), 'the main view once the interface is open')
    put('#addresses', '1-24')
    q('#read').click()
    wait(lambda: d.execute_script('return document.querySelector("#progress").value') >= 1,
         'progress past the first module')
    q('#cancel').click()
    # It stops after the module at hand: every module before it read, none after.
    done(lambda: (m := re.search(r'cancelled after (\d+) of 24', q('#job').text)) and
         0 < int(m[1]) < 24 and status() == {a: 'read' for a in range(1, int(m[1]) + 1)},
         'Cancel: the read ends early, its modules read')
    wait(lambda: not entered(log)[1], 'every module released after Cancel')
    faults = {e['message'] for e in d.get_log('browser') if re.search(
        'Content Security Policy|Uncaught', e['message'])}  # the policy forbids inline code
    if faults:
        raise Failure('the browser reported: ' + ' | '.join(faults))

def stop_all():
    for p in reversed(procs):  # sens before its bus; each leads a session of its own
        with contextlib.suppress(ProcessLookupError, subprocess.TimeoutExpired):
            os.killpg(p.pid, signal.SIGTERM)
            p.wait(10)
        with contextlib.suppress(ProcessLookupError):
            os.killpg(p.pid, signal.SIGKILL)  # whatever of the session is left
    procs.clear()

def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    def stopped(signum, _):
        raise Failure(f'{DEADLINE} s are up' if signum == signal.SIGALRM else f'signal {signum}')
    for sig in (signal.SIGALRM, signal.SIGTERM):  # the alarm bounds every WebDriver request too
        signal.signal(sig, stopped)
    signal.alarm(DEADLINE)
    with tempfile.TemporaryDirectory(prefix='ui-browser-') as tmp:
        d = None
        try:
            d = browser(tmp)
            run(d, tmp, *(os.path.abspath(a) for a in sys.argv[1:]))
        except Exception as e:  # whatever failed, told after what sens said
            traceback.print_exc()
            subprocess.run(f'tail -n 20 {tmp}/one.err {tmp}/two.err >&2 2>/dev/null', shell=True)
            sys.exit(f'ui_browser: FAILED: {e}')
        finally:
            procs.extend([d.service.process] if d else [])  # its session holds the browser too
            with contextlib.suppress(Exception):
                d and d.quit()
            stop_all()

if __name__ == '__main__':
    main()
