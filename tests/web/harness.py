"""What the web stage's scripts share: checks counted, waits, processes
stopped, the run and its closing line."""
import os, shutil, signal, subprocess, sys, tempfile, time, traceback, urllib.request

results = {'passed': 0, 'failed': 0}
cleanups = []   # run last to first, also on failure
# Loopback only: no proxy from the environment, for us or for Selenium.
os.environ['NO_PROXY'] = os.environ['no_proxy'] = '127.0.0.1,localhost'
opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))


def check(name, ok, detail=''):
    results['passed' if ok else 'failed'] += 1
    why = '' if ok or detail == '' else '\n       %s' % (detail,)
    print(('ok     ' if ok else 'FAILED ') + name + why, flush=True)
    return ok


def wait(what, timeout=15, step=0.05):
    """what() until it is true; its last value either way."""
    end = time.monotonic() + timeout
    while not (v := what()) and time.monotonic() < end:
        time.sleep(step)
    return v


def stop_group(proc):
    if proc.poll() is None:
        os.killpg(proc.pid, signal.SIGTERM)
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()


def run(part, parts, tools, browser=False):
    """Runs parts[part] in a work folder of its own; exits 0 when every check
    passed, 1 when one failed, 77 when one of `tools` (or Selenium, for a
    browser part) is missing."""
    gone = [t for t in tools if not shutil.which(t)]
    if browser:
        try:
            import selenium  # noqa: F401
        except ImportError:
            gone.append('python3-selenium')
    if gone:
        print('skipped: not installed: ' + ', '.join(gone))
        sys.exit(77)
    work = tempfile.mkdtemp(prefix='%s-' % os.path.basename(sys.argv[0]).split('.')[0].replace('_', '-'))
    try:
        parts[part](work)
    except Exception as e:   # a broken step counts as a failure, with its cause
        traceback.print_exc()
        check('%s ran to the end' % part, False, e)
    finally:
        for c in reversed(cleanups):
            try:
                c()
            except Exception as e:
                print('cleanup: %s' % e)
    print('%(passed)d passed, %(failed)d failed' % results)
    ok = results['failed'] == 0 and results['passed'] > 0
    if ok:
        shutil.rmtree(work, ignore_errors=True)
    else:
        print('kept for a look: ' + work)
    sys.exit(0 if ok else 1)
