#!/usr/bin/env python3
"""Which test cases catch which planted faults.

Takes the same sample of mutants as ../shared/tools/mutants.py (same seed and same production
code give the same mutants), but runs every test binary of a mutant whole and records the test
cases that fail, so that a cut of the tests can be checked case by case: a case that alone
catches a sampled fault must keep the assertion that catches it.

usage (from the project's root, with a clean work tree; build/mutants as mutants.py makes it):
  scripts/mutant-attribution.py --count 100 --seed 7 --out base.jsonl platform engine ...
  scripts/mutant-attribution.py ... --only base.jsonl --out after.jsonl ...   (after a cut:
      only the mutants base.jsonl has as killed, each binary stopping at its first failure; the
      cases that caught a mutant before run first, alone, and the binaries whole only when
      those no longer catch it)
  scripts/mutant-attribution.py --report base.jsonl   (per test case: faults caught, alone)
Options: --skip FILE (mutants already in FILE are not run again: a resumed run),
--lines FILE (only mutants on the lines FILE lists as 'path:line', for instance the lines a set
of cases runs, from case-coverage.py's cache: what those cases alone catch is what cutting them
would lose),
--test-timeout SECONDS (default 300), --build DIR (default build/mutants).
"""
import argparse, collections, importlib.util, json, os, random, re, subprocess, sys, time

_tool = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'shared', 'tools',
                     'mutants.py')
_spec = importlib.util.spec_from_file_location('mutants', os.environ.get('MUTANTS_PY', _tool))
m = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(m)
# The shared tool runs only test_launcher_core for the launcher's folders; the window and the
# upgrade program have test binaries of their own. (The sample is the same: only which binaries
# run a mutant changes.)
m.COVERS[0:0] = [('launcher/qt/', ['test_qt']), ('launcher/upgrade/', ['test_upgrade'])]
os.environ.setdefault('QT_QPA_PLATFORM', 'offscreen')


def run_all(cmd, timeout, cwd):
    try:
        r = subprocess.run(cmd, cwd=cwd, capture_output=True, text=True, errors='replace', timeout=timeout)
        return r.returncode, r.stdout + r.stderr
    except subprocess.TimeoutExpired as e:
        out = (e.stdout or b'')
        out = out.decode('utf-8', 'replace') if isinstance(out, bytes) else out
        return 'timeout', out

def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('paths', nargs='*')
    ap.add_argument('--build', default='build/mutants')
    ap.add_argument('--count', type=int, default=40)
    ap.add_argument('--seed', type=int, default=1)
    ap.add_argument('--out', required=True)
    ap.add_argument('--only', help='jsonl of an earlier run: run only its killed mutants, fail fast')
    ap.add_argument('--test-timeout', type=int, default=300)
    ap.add_argument('--skip', help='jsonl of an earlier run: skip the mutants it has')
    ap.add_argument('--lines', help="only mutants on these lines ('path:line', one a line)")
    ap.add_argument('--report', help='print who catches what in a jsonl of this script')
    if '--report' in sys.argv:
        report(sys.argv[sys.argv.index('--report') + 1])
        return
    args = ap.parse_args()
    files = []
    for p in args.paths:
        if os.path.isdir(p):
            for root, _, names in os.walk(p):
                files += [os.path.join(root, n) for n in sorted(names) if n.endswith('.cpp')]
        elif p.endswith('.cpp'):
            files.append(p)
    files = sorted(set(os.path.normpath(f) for f in files if m.binaries_for(os.path.normpath(f))))
    targets = sorted({b for f in files for b in m.binaries_for(f)} | {'lume-cli'})
    build(args)
    rc, out = m.run(['ninja', '-C', args.build, '-j', '2'] + targets, 3600)
    if rc != 0:
        sys.exit('unmutated build fails:\n' + out)
    rng = random.Random(args.seed)
    lines = set(open(args.lines).read().split()) if args.lines else None
    pool = []
    for f in files:
        text = open(f, encoding='utf-8').read()
        for c in m.candidates(f, text):
            if lines is None or '%s:%d' % (f, c[0] + 1) in lines:
                pool.append((f, c))
    rng.shuffle(pool)
    sample = pool[:args.count]
    sample.sort(key=lambda x: (x[0], x[1][0]))
    only = None
    if args.only:
        only = {}  # each killed mutant -> the cases that caught it ('binary:Case')
        for l in open(args.only):
            r = json.loads(l)
            if r['outcome'] == 'killed':
                only[(r['file'], r['line'], r['operator'], r['after'])] = (
                    r['killers'] + [':'.join(c.split(':')[:2]) for c in r.get('crashed', [])])
    skip = set()
    if args.skip:
        for l in open(args.skip):
            r = json.loads(l)
            skip.add((r['file'], r['line'], r['operator'], r['after']))
    killed = survived = broken = 0
    with open(args.out, 'w') as log:
        for n, (f, cand) in enumerate(sample, 1):
            original = open(f, encoding='utf-8').read()
            mutated, before, after = m.apply(original, cand)
            if only is not None and (f, cand[0] + 1, cand[1], after.strip()) not in only:
                continue
            if (f, cand[0] + 1, cand[1], after.strip()) in skip:
                continue
            bins = m.binaries_for(f)
            # An earlier catch is tried first, filtered to the cases that made it: seconds instead
            # of whole binaries. Only when they no longer catch it do the binaries run whole.
            tries = collections.defaultdict(list)
            for k in (only or {}).get((f, cand[0] + 1, cand[1], after.strip()), []):
                b, case = k.split(':', 1)
                if case != '?':
                    tries[b].append(case)
            tries = [(b, ':'.join(cases)) for b, cases in tries.items()] + [(b, None) for b in bins]
            t0 = time.time()
            killers, crashed = [], []
            try:
                with open(f, 'w', encoding='utf-8') as w:
                    w.write(mutated)
                need = sorted({b for b, _ in tries})
                rc, _ = m.run(['ninja', '-C', args.build, '-j', '2'] + need +
                              (['lume-cli'] if 'test_e2e' in need else []), 1800)
                if rc != 0:
                    outcome = 'does not build'
                else:
                    outcome = 'survived'
                    for b, cases in tries:
                        exe = m.find_binary(os.path.abspath(args.build), b)
                        cmd = [exe] + (['--gtest_fail_fast'] if only is not None else [])
                        cmd += ['--gtest_filter=' + cases] if cases else []
                        erc, out = run_all(cmd, args.test_timeout, os.path.abspath(args.build))
                        if erc != 0:
                            outcome = 'killed'
                            fails = sorted(set(re.findall(r'^\[  FAILED  \] (\S+\.\S+?)(?:,| \(|$)', out, re.M)))
                            killers += [b + ':' + t for t in fails]
                            if not fails or erc == 'timeout' or erc == -9 or (isinstance(erc, int) and erc < 0):
                                runs = re.findall(r'^\[ RUN      \] (\S+)', out, re.M)
                                crashed.append(b + ':' + (runs[-1] if runs else '?') + ':' + str(erc))
                            if only is not None:
                                break
            finally:
                with open(f, 'w', encoding='utf-8') as w:
                    w.write(original)
            if outcome == 'killed': killed += 1
            elif outcome == 'survived': survived += 1
            else: broken += 1
            rec = dict(file=f, line=cand[0] + 1, operator=cand[1], before=before.strip(),
                       after=after.strip(), outcome=outcome, killers=killers, crashed=crashed,
                       seconds=round(time.time() - t0, 1))
            log.write(json.dumps(rec, ensure_ascii=False) + '\n'); log.flush()
            print('%3d/%d %-14s %s:%d %s %s' % (n, len(sample), outcome, f, cand[0] + 1, cand[1],
                  ' '.join(killers[:4]) + (' +%d' % (len(killers) - 4) if len(killers) > 4 else '')), flush=True)
    m.run(['ninja', '-C', args.build, '-j', '2'] + targets, 3600)
    scored = killed + survived
    print('mutants: %d killed, %d survived, %d did not build; score %.0f %%' % (killed, survived, broken, 100.0 * killed / max(scored, 1)))


def build(args):
    if not os.path.exists(os.path.join(args.build, 'build.ninja')):
        subprocess.run(['cmake', '-S', '.', '-B', args.build, '-G', 'Ninja',
                        '-DCMAKE_BUILD_TYPE=Debug', '-DLUME_WERROR=OFF', '-DLUME_SANITIZE='],
                       check=True, stdout=subprocess.DEVNULL)


def report(path):
    recs = [json.loads(l) for l in open(path)]
    kills = collections.defaultdict(list)
    for r in recs:
        for k in r['killers']:
            kills[k].append(r)
    count = collections.Counter(r['outcome'] for r in recs)
    print('%d mutants: %d killed, %d survived, %d did not build' % (
        len(recs), count['killed'], count['survived'], count['does not build']))
    for t in sorted(kills, key=lambda t: (-sum(len(r['killers']) == 1 for r in kills[t]), t)):
        alone = [r for r in kills[t] if len(r['killers']) == 1]
        print('%-95s catches %3d, alone %2d' % (t, len(kills[t]), len(alone)))
        for r in alone:
            print('      %s:%d %s   %s' % (r['file'], r['line'], r['operator'], r['before'][:70]))
    for r in recs:
        if r['outcome'] == 'survived':
            print('survived %s:%d %s   %s' % (r['file'], r['line'], r['operator'], r['before'][:70]))


if __name__ == '__main__':
    main()
