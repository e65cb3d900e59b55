#!/usr/bin/env python3
"""Checks cutfs's power-cut model on a real mount: records a run, then replays cuts of it."""
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cutfs  # noqa: E402

if os.geteuid() != 0:
    sys.exit('selfcheck: FAIL: needs root (it mounts FUSE file systems)')
try:
    cutfs.check_dev_fuse()
except RuntimeError as err:
    sys.exit(f'selfcheck: FAIL: {err}')
if os.environ.get('CUTFS_SELFCHECK_NS') != '1':  # a private mount namespace: no mount outlives us
    os.environ['CUTFS_SELFCHECK_NS'] = '1'
    os.execvp('unshare', ['unshare', '--mount', '--propagation', 'private', sys.executable, *sys.argv])


def put(path, data, sync=False, mode='wb'):
    with open(path, mode) as f:
        f.write(data)
        f.flush()
        if sync:
            os.fsync(f.fileno())


def show(data):
    if data is None:
        return 'absent'
    return f'{len(data)} zero bytes' if data and not data.strip(b'\0') else repr(data[:24])


A, B, E1, E2, T = b'alpha' * 1000, b'beta' * 100, b'first', b'second write', b'012\0\0\0'
tmp = tempfile.mkdtemp(prefix='cutfs-check-')
seed, mp, log1, log2 = (os.path.join(tmp, x) for x in ('seed', 'mnt', 'run1.log', 'run2.log'))
problems = []


def check(label, replays, want, log=None, during=None):
    """Replay, compare files with `want` (None: absent), run `during` on the mount, return its result."""
    before = len(problems)
    with cutfs.Mounted(mp, seed, log=log, replays=replays):
        for name, data in want.items():
            p = os.path.join(mp, name)
            got = open(p, 'rb').read() if os.path.lexists(p) else None
            if got != data:
                problems.append(f'{label}: {name} is {show(got)}, expected {show(data)}')
        if 'A2' in want:  # the hard link: same identity and link count as in the recorded run
            ids = [(os.stat(f'{mp}/{x}').st_ino, os.stat(f'{mp}/{x}').st_nlink) for x in ('A', 'A2')]
            if ids != [(ino_a, 2)] * 2:
                problems.append(f'{label}: A, A2 (st_ino, st_nlink) are {ids}, expected ({ino_a}, 2)')
        result = during() if during else None
    print(f'{"FAIL" if len(problems) > before else "ok  "} cut after {label}')
    return result


def second_run():  # a run on the recovered state, to be cut in turn
    put(f'{mp}/F', b'fresh', sync=True)
    put(f'{mp}/E', b'again', sync=True)
    return os.stat(f'{mp}/F').st_ino


try:
    os.mkdir(seed)
    os.mkdir(mp)
    put(f'{seed}/C', b'moved')
    put(f'{seed}/D', b'replaced')
    with cutfs.Mounted(mp, seed, log=log1):
        put(f'{mp}/A', A, sync=True)
        put(f'{mp}/B', B)
        os.rename(f'{mp}/C', f'{mp}/D')
        os.link(f'{mp}/A', f'{mp}/A2')
        put(f'{mp}/T', b'0123456789', sync=True)
        os.truncate(f'{mp}/T', 3)
        os.truncate(f'{mp}/T', 6)  # the cut-off bytes must come back as zeros, not as old data
        put(f'{mp}/E', E1, sync=True)
        put(f'{mp}/E', E2, mode='ab')
        ino_a = os.stat(f'{mp}/A').st_ino
    run1 = cutfs.read_log(log1)
    n_of = {(e['op'], e.get('path')): e['n'] for e in reversed(run1)}  # first entry of each kind
    whole = {'A': A, 'A2': A, 'B': bytes(len(B)), 'C': None, 'D': b'moved', 'T': T, 'E': bytes(len(E1 + E2))}
    cases = [  # (what the cut falls after, cut, expected files)
        ("A's write, before its fsync", n_of['write', 'A'],
         {'A': bytes(len(A)), 'B': None, 'C': b'moved', 'D': b'replaced'}),
        ("A's fsync", n_of['fsync', 'A'], {'A': A, 'B': None}),
        ("E's fsync", n_of['fsync', 'E'], {'E': E1, 'B': bytes(len(B)), 'C': None, 'D': b'moved', 'T': T}),
    ]
    for label, cut, want in cases:
        check(label, [(log1, cut)], want)
    ino_f = check('the whole run', [(log1, len(run1))], whole, log=log2, during=second_run)
    run2 = cutfs.read_log(log2)
    if check('a second run on the recovered state', [(log1, len(run1)), (log2, len(run2))],
             {**whole, 'F': b'fresh', 'E': b'again'}, during=lambda: os.stat(f'{mp}/F').st_ino) != ino_f:
        problems.append(f'second run: F lost its recorded st_ino {ino_f}')
finally:
    shutil.rmtree(tmp, ignore_errors=True)
if problems:
    sys.exit('selfcheck: FAIL:\n  ' + '\n  '.join(problems))
print(f'selfcheck: ok ({len(run1)} + {len(run2)} log entries, {len(cases) + 2} cuts replayed)')
