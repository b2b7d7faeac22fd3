#!/usr/bin/env python3
"""Which production lines each test case runs, and which it alone runs.

Runs every test case of a clang coverage build by itself (its own profile, including the
programs it starts), keeps the covered production lines per case, and prints the cases by the
number of lines no other case covers: a case with none is where to look first when the tests
are cut, though it may still be the only one to assert what those lines do (read it, and plant
the fault its assertions catch, before removing it). Pair it with mutant-attribution.py.

usage (from the project's root):
  CC=clang CXX=clang++ cmake -S . -B build/cov -G Ninja -DCMAKE_BUILD_TYPE=Debug \\
      -DLUME_WERROR=OFF -DLUME_SANITIZE= \\
      -DCMAKE_CXX_FLAGS="-fprofile-instr-generate -fcoverage-mapping" \\
      -DCMAKE_C_FLAGS="-fprofile-instr-generate -fcoverage-mapping" \\
      -DCMAKE_EXE_LINKER_FLAGS="-fprofile-instr-generate"
  ninja -C build/cov
  scripts/case-coverage.py [--build build/cov] [--cache DIR] [--filter SUBSTR]
The per-case line sets are kept in --cache (default build/cov/case-coverage) so that a second
call only prints; delete it after changing the code.
"""
import argparse, collections, glob, json, os, shutil, subprocess, sys, tempfile

PROGRAMS = ['launcher/cli/lume-cli', 'launcher/upgrade/lume-upgrade', 'launcher/qt/lume-launcher',
            'tools/pak/lume-pak', 'tools/serve/lume-serve', 'tools/publish/lume-publish']
IGNORE = r'(tests|_deps|build|/usr)/'


def cases(exe):
    out = subprocess.run([exe, '--gtest_list_tests'], capture_output=True, text=True).stdout
    suite = None
    for line in out.splitlines():
        if not line.startswith(' '):
            suite = line.split()[0]
        elif suite:
            yield suite + line.split()[0]


def covered(build, exe, case, objects):
    """The production lines the case runs, as 'file:line' strings."""
    prof = tempfile.mkdtemp(prefix='casecov.')
    try:
        env = dict(os.environ, LLVM_PROFILE_FILE=os.path.join(prof, '%p-%m.profraw'),
                   QT_QPA_PLATFORM='offscreen')
        subprocess.run([exe, '--gtest_filter=' + case], cwd=build, env=env, timeout=900,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        raws = glob.glob(os.path.join(prof, '*.profraw'))
        if not raws:
            return None
        data = os.path.join(prof, 'all.profdata')
        subprocess.run(['llvm-profdata', 'merge', '-sparse', '-o', data] + raws, check=True)
        lcov = subprocess.run(['llvm-cov', 'export', '-format=lcov', '-skip-expansions',
                               '-skip-functions', '-instr-profile', data, exe] +
                              [a for o in objects for a in ('-object', o)] +
                              ['-ignore-filename-regex=' + IGNORE],
                              capture_output=True, text=True, check=True).stdout
        lines, source = [], None
        for l in lcov.splitlines():
            if l.startswith('SF:'):
                source = os.path.relpath(l[3:], os.getcwd())
            elif l.startswith('DA:'):
                number, count = l[3:].split(',')[:2]
                if int(count) > 0:
                    lines.append('%s:%s' % (source, number))
        return lines
    finally:
        shutil.rmtree(prof, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--build', default='build/cov')
    ap.add_argument('--cache')
    ap.add_argument('--filter', help='print only the cases whose name contains this')
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    cache = args.cache or os.path.join(build, 'case-coverage')
    os.makedirs(cache, exist_ok=True)
    objects = [os.path.join(build, p) for p in PROGRAMS if os.path.exists(os.path.join(build, p))]
    per_case = {}
    for exe in sorted(glob.glob(os.path.join(build, 'tests', 'test_*'))):
        if not os.access(exe, os.X_OK) or '.' in os.path.basename(exe):
            continue
        for case in cases(exe):
            name = os.path.basename(exe) + ':' + case
            path = os.path.join(cache, name.replace('/', '_') + '.json')
            if not os.path.exists(path):
                lines = covered(build, exe, case, objects)
                if lines is None:
                    print('no profile from %s' % name, file=sys.stderr)
                    continue
                with open(path, 'w') as f:
                    json.dump(lines, f)
                print('ran %s' % name, file=sys.stderr)
            with open(path) as f:
                per_case[name] = set(json.load(f))
    times = collections.Counter(l for lines in per_case.values() for l in lines)
    print('%d cases, %d production lines covered' % (len(per_case), len(times)))
    print('alone  covered  case  (files of the lines it alone covers)')
    rows = sorted((sum(times[l] == 1 for l in lines), len(lines), name)
                  for name, lines in per_case.items())
    for alone, total, name in rows:
        if args.filter and args.filter not in name:
            continue
        files = collections.Counter(l.rsplit(':', 1)[0] for l in per_case[name] if times[l] == 1)
        print('%5d  %7d  %s  %s' % (alone, total, name,
              ' '.join('%s:%d' % (os.path.basename(f), n) for f, n in files.most_common(3))))


if __name__ == '__main__':
    main()
