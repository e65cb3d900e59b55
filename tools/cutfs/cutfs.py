#!/usr/bin/env python3
"""cutfs: an in-memory FUSE file system that logs every change and can come back up on the state a
power cut after change N would leave behind.

    cutfs.py MOUNTPOINT --seed DIR [--log LOG] [--replay OLDLOG --cut N]...

What survives a cut: every metadata change (create, mkdir, mknod, symlink, link, unlink, rmdir,
rename, setattr, setxattr, removexattr, and the size a write gave a file) survives whole and in order.
File data survives only through fsync: a file written since its last fsync comes back as zeros at
its logged size; otherwise it holds the data of its last fsync, cut or zero-extended to its logged
size. Inode numbers, link counts, owners, modes, times and xattrs come back exactly as recorded.

Log: one JSON object a line, numbered from 1 ("n"), written before the reply. Replay works on inode
numbers and names; "path"/"new_path" are only for the reader.

Importable (read_log, Mounted) from any Python 3; the daemon itself needs Debian's python3-pyfuse3
and re-runs itself under /usr/bin/python3 when the current interpreter lacks it.
"""
import argparse
import base64
import contextlib
import errno
import importlib
import json
import os
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
import traceback

ROOT_INO = 1
RENAME_NOREPLACE = 1
RENAME_EXCHANGE = 2
ENOATTR = errno.ENODATA
TIMEOUT = 1.0  # kernel entry/attr cache; every change goes through the kernel, so it stays coherent
SYSTEM_PYTHON = '/usr/bin/python3'


class FsError(Exception):
    def __init__(self, err):
        super().__init__(os.strerror(err))
        self.errno = err


def _name(x):
    return os.fsencode(x) if isinstance(x, str) else x


def _blob(x):
    return base64.b64decode(x) if isinstance(x, str) else x


def read_log(path):
    """Entries of a log as dicts, in order (data and xattr values stay base64)."""
    with open(path, encoding='utf-8') as f:
        return [json.loads(line) for line in f if line.strip()]


# ---------------------------------------------------------------- model

class Node:
    __slots__ = ('ino', 'mode', 'uid', 'gid', 'rdev', 'atime', 'mtime', 'ctime', 'xattrs', 'links',
                 'entries', 'target', 'data', 'durable', 'dirty', 'lookups', 'opens')

    def __init__(self, ino, mode, uid, gid, t, rdev=0):
        self.ino, self.mode, self.uid, self.gid, self.rdev = ino, mode, uid, gid, rdev
        self.atime = self.mtime = self.ctime = t
        self.xattrs = {}
        self.links = set()  # (parent ino, name)
        self.entries = {} if stat.S_ISDIR(mode) else None
        self.target = None
        self.data = bytearray()
        self.durable = b''  # file data as of the last fsync, cut to later size changes
        self.dirty = False  # written since the last fsync
        self.lookups = self.opens = 0

    @property
    def is_dir(self):
        return stat.S_ISDIR(self.mode)


class Tree:
    """The file system state. Every change goes through apply(entry), live and in replay alike;
    apply checks everything before it changes anything, so a refused entry leaves no trace."""

    def __init__(self):
        self.nodes = {}
        self.next_ino = ROOT_INO
        self.live = False  # live: drop an inode once nothing (name, kernel, handle) refers to it

    # -- seed
    def load_seed(self, top):
        seen = {}

        def add(path, parent, name):
            st = os.lstat(path)
            key = (st.st_dev, st.st_ino)
            if key in seen and not stat.S_ISDIR(st.st_mode):
                node = self.nodes[seen[key]]
            else:
                node = Node(self.next_ino, st.st_mode, st.st_uid, st.st_gid, st.st_mtime_ns, st.st_rdev)
                self.next_ino += 1
                node.atime, node.ctime = st.st_atime_ns, st.st_ctime_ns
                seen[key] = node.ino
                self.nodes[node.ino] = node
                with contextlib.suppress(OSError):
                    for x in sorted(os.listxattr(path, follow_symlinks=False)):
                        node.xattrs[os.fsencode(x)] = os.getxattr(path, x, follow_symlinks=False)
                if stat.S_ISREG(st.st_mode):
                    with open(path, 'rb') as f:
                        node.data = bytearray(f.read())
                    node.durable = bytes(node.data)
                elif stat.S_ISLNK(st.st_mode):
                    node.target = os.fsencode(os.readlink(path))
                elif stat.S_ISDIR(st.st_mode):
                    for child in sorted(os.listdir(os.fsencode(path))):
                        add(os.path.join(os.fsencode(path), child), node.ino, child)
            if parent is not None:
                self.nodes[parent].entries[name] = node.ino
                node.links.add((parent, name))

        if not os.path.isdir(top):
            raise SystemExit(f'cutfs: seed {top} is not a folder')
        add(os.fsencode(top), None, None)

    # -- lookups
    def node(self, ino):
        n = self.nodes.get(ino)
        if n is None:
            raise FsError(errno.ENOENT)
        return n

    def dir(self, ino):
        d = self.node(ino)
        if not d.is_dir:
            raise FsError(errno.ENOTDIR)
        return d

    def child(self, parent, name):
        ino = self.dir(parent).entries.get(_name(name))
        if ino is None:
            raise FsError(errno.ENOENT)
        return self.nodes[ino]

    def parent_of(self, node):
        if node.ino == ROOT_INO:
            return node
        return self.nodes[next(iter(node.links))[0]] if node.links else None

    def nlink(self, node):
        if node.is_dir:
            if node.ino != ROOT_INO and not node.links:
                return 0
            return 2 + sum(1 for c in node.entries.values() if self.nodes[c].is_dir)
        return len(node.links)

    def path_of(self, ino):
        """One path of the inode relative to the root, or None when it has no name left."""
        parts = []
        node = self.nodes.get(ino)
        while node is not None and node.ino != ROOT_INO:
            if not node.links:
                return None
            parent, name = min(node.links)
            parts.append(os.fsdecode(name))
            node = self.nodes.get(parent)
        if node is None:
            return None
        return '/'.join(reversed(parts)) or '.'

    def join(self, parent, name):
        p = self.path_of(parent)
        if p is None:
            return None
        name = os.fsdecode(_name(name))
        return name if p == '.' else p + '/' + name

    def is_below(self, ino, top):
        """True when directory `ino` is `top` or inside it."""
        node = self.nodes.get(ino)
        while node is not None:
            if node.ino == top:
                return True
            if node.ino == ROOT_INO:
                return False
            node = self.parent_of(node)
        return False

    def maybe_free(self, node):
        if self.live and node.ino != ROOT_INO and not node.links and not node.lookups and not node.opens:
            del self.nodes[node.ino]

    # -- changes
    def apply(self, e):
        getattr(self, '_' + e['op'])(e)

    def _new_name(self, parent, name):
        d = self.dir(parent)
        name = _name(name)
        if d.ino != ROOT_INO and not d.links:
            raise FsError(errno.ENOENT)  # directory already removed
        if len(name) > 255:
            raise FsError(errno.ENAMETOOLONG)
        if name in d.entries or name in (b'.', b'..'):
            raise FsError(errno.EEXIST)
        return d, name

    def _touch_dir(self, d, t):
        d.mtime = d.ctime = t

    def _make(self, e, mode):
        d, name = self._new_name(e['parent'], e['name'])
        ino = e['ino']
        if ino in self.nodes:
            raise FsError(errno.EIO)  # a log that does not fit this seed
        node = Node(ino, mode, e['uid'], e['gid'], e['t'], e.get('rdev', 0))
        if 'target' in e:
            node.target = _name(e['target'])
        self.nodes[ino] = node
        self.next_ino = max(self.next_ino, ino + 1)
        d.entries[name] = ino
        node.links.add((d.ino, name))
        self._touch_dir(d, e['t'])

    def _create(self, e):
        self._make(e, e['mode'])

    _mknod = _create

    def _mkdir(self, e):
        self._make(e, stat.S_IFDIR | stat.S_IMODE(e['mode']))

    def _symlink(self, e):
        self._make(e, stat.S_IFLNK | 0o777)

    def _link(self, e):
        node = self.node(e['ino'])
        if node.is_dir:
            raise FsError(errno.EPERM)
        if not node.links:
            raise FsError(errno.ENOENT)
        d, name = self._new_name(e['new_parent'], e['new_name'])
        d.entries[name] = node.ino
        node.links.add((d.ino, name))
        node.ctime = e['t']
        self._touch_dir(d, e['t'])

    def _unlink(self, e, want_dir=False):
        d = self.dir(e['parent'])
        node = self.child(e['parent'], e['name'])
        if want_dir:
            if not node.is_dir:
                raise FsError(errno.ENOTDIR)
            if node.entries:
                raise FsError(errno.ENOTEMPTY)
        elif node.is_dir:
            raise FsError(errno.EISDIR)
        name = _name(e['name'])
        del d.entries[name]
        node.links.discard((d.ino, name))
        node.ctime = e['t']
        self._touch_dir(d, e['t'])
        e['ino'] = node.ino
        self.maybe_free(node)

    def _rmdir(self, e):
        self._unlink(e, want_dir=True)

    def _rename(self, e):
        flags = e.get('flags', 0)
        if flags & ~(RENAME_NOREPLACE | RENAME_EXCHANGE) or flags == RENAME_NOREPLACE | RENAME_EXCHANGE:
            raise FsError(errno.EINVAL)
        sp, dp = self.dir(e['parent']), self.dir(e['new_parent'])
        src = self.child(sp.ino, e['name'])
        name = _name(e['name'])
        dst_ino = dp.entries.get(_name(e['new_name']))
        dst = self.nodes[dst_ino] if dst_ino is not None else None
        if dst is None:
            if flags & RENAME_EXCHANGE:
                raise FsError(errno.ENOENT)
            _, new = self._new_name(dp.ino, e['new_name'])
        else:
            new = _name(e['new_name'])
            if flags & RENAME_NOREPLACE:
                raise FsError(errno.EEXIST)
            if dst is src:
                e['ino'] = src.ino
                return  # two names of one file: nothing to do
            if not flags & RENAME_EXCHANGE:
                if src.is_dir and not dst.is_dir:
                    raise FsError(errno.ENOTDIR)
                if dst.is_dir and not src.is_dir:
                    raise FsError(errno.EISDIR)
                if dst.is_dir and dst.entries:
                    raise FsError(errno.ENOTEMPTY)
            elif dst.is_dir and self.is_below(sp.ino, dst.ino):
                raise FsError(errno.EINVAL)
        if src.is_dir and self.is_below(dp.ino, src.ino):
            raise FsError(errno.EINVAL)
        t = e['t']
        src.links.discard((sp.ino, name))
        del sp.entries[name]
        if dst is not None:
            dst.links.discard((dp.ino, new))
            dst.ctime = t
            e['replaced'] = dst.ino
            if flags & RENAME_EXCHANGE:
                sp.entries[name] = dst.ino
                dst.links.add((sp.ino, name))
        dp.entries[new] = src.ino
        src.links.add((dp.ino, new))
        src.ctime = t
        self._touch_dir(sp, t)
        self._touch_dir(dp, t)
        e['ino'] = src.ino
        if dst is not None:
            self.maybe_free(dst)

    def _setattr(self, e):
        node = self.node(e['ino'])
        f = e['fields']
        if 'size' in f:
            if node.is_dir:
                raise FsError(errno.EISDIR)
            if not stat.S_ISREG(node.mode):
                raise FsError(errno.EINVAL)
            size = f['size']
            if size < 0:
                raise FsError(errno.EINVAL)
            if size < len(node.data):
                del node.data[size:]
            else:
                node.data.extend(bytes(size - len(node.data)))
            node.durable = node.durable[:size]  # what was cut off is gone for good
        if 'mode' in f:
            node.mode = stat.S_IFMT(node.mode) | stat.S_IMODE(f['mode'])
        for k in ('uid', 'gid', 'atime', 'mtime', 'ctime'):
            if k in f:
                setattr(node, k, f[k])

    def _write(self, e):
        node = self.node(e['ino'])
        data, off = _blob(e['data']), e['offset']
        if len(node.data) < off:
            node.data.extend(bytes(off - len(node.data)))
        node.data[off:off + len(data)] = data
        node.dirty = True
        node.mtime = node.ctime = e['t']
        e['size'] = len(node.data)

    def _fsync(self, e):
        node = self.node(e['ino'])
        node.durable = bytes(node.data)
        node.dirty = False

    def _setxattr(self, e):
        node = self.node(e['ino'])
        node.xattrs[_name(e['name'])] = _blob(e['value'])
        node.ctime = e['t']

    def _removexattr(self, e):
        node = self.node(e['ino'])
        if node.xattrs.pop(_name(e['name']), None) is None:
            raise FsError(ENOATTR)
        node.ctime = e['t']

    # -- the cut
    def cut(self):
        """Turn the state into what the disk holds after a power cut, all of it durable."""
        for ino in [i for i, n in self.nodes.items() if i != ROOT_INO and not n.links]:
            del self.nodes[ino]
        for node in self.nodes.values():
            node.lookups = node.opens = 0
            if stat.S_ISREG(node.mode):
                size = len(node.data)
                if node.dirty:
                    node.data = bytearray(size)
                else:
                    node.data = bytearray(node.durable[:size])
                    node.data.extend(bytes(size - len(node.data)))
                node.durable, node.dirty = bytes(node.data), False

    def replay(self, entries, upto):
        if upto > len(entries):
            raise SystemExit(f'cutfs: --cut {upto} but the log has {len(entries)} entries')
        for e in entries[:upto]:
            try:
                self.apply(dict(e))
            except FsError as err:
                raise SystemExit(f'cutfs: entry {e.get("n")} ({e.get("op")}) does not replay: {err}; '
                                 'is the seed the one it was recorded on?')
        self.cut()


# ---------------------------------------------------------------- daemon

class Log:
    def __init__(self, path):
        self.f = open(path, 'w', encoding='utf-8') if path else None  # each run is a log of its own
        self.n = 0

    def write(self, e, paths):
        if self.f is None:
            return
        self.n += 1
        out = {'n': self.n, 'op': e['op'], **paths}
        for k, v in e.items():
            if k == 'op':
                continue
            if isinstance(v, (bytes, bytearray)):
                v = base64.b64encode(v).decode() if k in ('data', 'value') else os.fsdecode(v)
            out[k] = v
        self.f.write(json.dumps(out) + '\n')
        self.f.flush()


def make_ops(tree, log):
    import pyfuse3

    def guarded(fn):
        async def wrapper(self, *args, **kwargs):
            try:
                return await fn(self, *args, **kwargs)
            except pyfuse3.FUSEError:
                raise
            except FsError as err:
                raise pyfuse3.FUSEError(err.errno)
            except Exception:
                print(f'cutfs: unexpected error in {fn.__name__}{repr(args)[:200]}', file=sys.stderr)
                traceback.print_exc()
                raise pyfuse3.FUSEError(errno.EIO)
        wrapper.__name__ = fn.__name__
        return wrapper

    class Handle:
        __slots__ = ('ino', 'listing')

        def __init__(self, ino):
            self.ino, self.listing = ino, None

    class Ops(pyfuse3.Operations):
        supports_dot_lookup = True
        enable_writeback_cache = False  # writes must reach us one by one and in order

        def __init__(self):
            super().__init__()
            self.handles = {}
            self.next_fh = 1

        # -- helpers
        def attrs(self, node):
            a = pyfuse3.EntryAttributes()
            a.st_ino = node.ino
            a.generation = 0
            a.entry_timeout = a.attr_timeout = TIMEOUT
            a.st_mode, a.st_uid, a.st_gid, a.st_rdev = node.mode, node.uid, node.gid, node.rdev
            a.st_nlink = tree.nlink(node)
            if stat.S_ISREG(node.mode):
                a.st_size = len(node.data)
            elif stat.S_ISLNK(node.mode):
                a.st_size = len(node.target)
            elif node.is_dir:
                a.st_size = 4096
            a.st_blksize = 4096
            a.st_blocks = (a.st_size + 511) // 512
            a.st_atime_ns, a.st_mtime_ns, a.st_ctime_ns = node.atime, node.mtime, node.ctime
            return a

        def entry(self, node):
            node.lookups += 1
            return self.attrs(node)

        def commit(self, e):
            """Apply a change, then log it: a refused change is not logged."""
            if 'parent' in e:
                paths = {'path': tree.join(e['parent'], e['name'])}
            else:
                paths = {'path': tree.path_of(e['ino'])}
            if 'new_parent' in e:
                paths['new_path'] = tree.join(e['new_parent'], e['new_name'])
            tree.apply(e)
            log.write(e, paths)

        def new_fh(self, ino):
            fh = self.next_fh
            self.next_fh += 1
            self.handles[fh] = Handle(ino)
            return fh

        def handle_node(self, fh):
            h = self.handles.get(fh)
            if h is None:
                raise FsError(errno.EBADF)
            return tree.node(h.ino)

        # -- lookups and attributes
        @guarded
        async def lookup(self, parent_inode, name, ctx):
            d = tree.dir(parent_inode)
            if name == b'.':
                return self.entry(d)
            if name == b'..':
                return self.entry(tree.parent_of(d) or d)
            return self.entry(tree.child(parent_inode, name))

        async def forget(self, inode_list):
            for ino, n in inode_list:
                node = tree.nodes.get(ino)
                if node is not None:
                    node.lookups = max(0, node.lookups - n)
                    tree.maybe_free(node)

        @guarded
        async def getattr(self, inode, ctx):
            return self.attrs(tree.node(inode))

        @guarded
        async def setattr(self, inode, attr, fields, fh, ctx):
            node = tree.node(inode)
            t = time.time_ns()
            f = {key: getattr(attr, field) for key, flag, field in (
                ('size', 'update_size', 'st_size'), ('mode', 'update_mode', 'st_mode'), ('uid', 'update_uid', 'st_uid'),
                ('gid', 'update_gid', 'st_gid'), ('atime', 'update_atime', 'st_atime_ns'),
                ('mtime', 'update_mtime', 'st_mtime_ns')) if getattr(fields, flag)}
            if 'size' in f and 'mtime' not in f:
                f['mtime'] = t
            f['ctime'] = attr.st_ctime_ns if fields.update_ctime else t
            self.commit({'op': 'setattr', 'ino': node.ino, 'fields': f, 't': t})
            return self.attrs(node)

        @guarded
        async def readlink(self, inode, ctx):
            node = tree.node(inode)
            if not stat.S_ISLNK(node.mode):
                raise FsError(errno.EINVAL)
            return node.target

        @guarded
        async def statfs(self, ctx):
            s = pyfuse3.StatvfsData()
            used = sum((len(n.data) + 4095) // 4096 for n in tree.nodes.values())
            s.f_bsize = s.f_frsize = 4096
            s.f_blocks = 1 << 24  # 64 GiB
            s.f_bfree = s.f_bavail = max(0, s.f_blocks - used)
            s.f_files = 1 << 20
            s.f_ffree = s.f_favail = max(0, s.f_files - len(tree.nodes))
            s.f_namemax = 255
            return s

        @guarded
        async def access(self, inode, mode, ctx):
            tree.node(inode)
            return True

        # -- names
        def _make(self, op, parent_inode, name, mode, ctx, **extra):
            e = {'op': op, 'parent': parent_inode, 'name': name, 'ino': tree.next_ino, 'mode': mode,
                 'uid': ctx.uid, 'gid': ctx.gid, 't': time.time_ns(), **extra}
            self.commit(e)
            return tree.nodes[e['ino']]

        @guarded
        async def mknod(self, parent_inode, name, mode, rdev, ctx):
            return self.entry(self._make('mknod', parent_inode, name, mode, ctx, rdev=rdev))

        @guarded
        async def mkdir(self, parent_inode, name, mode, ctx):
            return self.entry(self._make('mkdir', parent_inode, name, mode, ctx))

        @guarded
        async def symlink(self, parent_inode, name, target, ctx):
            return self.entry(self._make('symlink', parent_inode, name, stat.S_IFLNK | 0o777, ctx,
                                         target=target))

        @guarded
        async def create(self, parent_inode, name, mode, flags, ctx):
            if not stat.S_ISREG(mode):
                mode = stat.S_IFREG | stat.S_IMODE(mode)
            node = self._make('create', parent_inode, name, mode, ctx)
            node.opens += 1
            return pyfuse3.FileInfo(fh=self.new_fh(node.ino), keep_cache=False), self.entry(node)

        @guarded
        async def link(self, inode, new_parent_inode, new_name, ctx):
            self.commit({'op': 'link', 'ino': inode, 'new_parent': new_parent_inode, 'new_name': new_name,
                         't': time.time_ns()})
            return self.entry(tree.node(inode))

        @guarded
        async def unlink(self, parent_inode, name, ctx):
            self.commit({'op': 'unlink', 'parent': parent_inode, 'name': name, 't': time.time_ns()})

        @guarded
        async def rmdir(self, parent_inode, name, ctx):
            self.commit({'op': 'rmdir', 'parent': parent_inode, 'name': name, 't': time.time_ns()})

        @guarded
        async def rename(self, parent_inode_old, name_old, parent_inode_new, name_new, flags, ctx):
            self.commit({'op': 'rename', 'parent': parent_inode_old, 'name': name_old,
                         'new_parent': parent_inode_new, 'new_name': name_new, 'flags': flags,
                         't': time.time_ns()})

        # -- files
        @guarded
        async def open(self, inode, flags, ctx):
            node = tree.node(inode)
            if node.is_dir and flags & os.O_ACCMODE != os.O_RDONLY:
                raise FsError(errno.EISDIR)
            if flags & os.O_TRUNC and flags & os.O_ACCMODE != os.O_RDONLY and stat.S_ISREG(node.mode):
                # The kernel leaves O_TRUNC to us (atomic_o_trunc): it is a size change like any other.
                t = time.time_ns()
                self.commit({'op': 'setattr', 'ino': inode, 'fields': {'size': 0, 'mtime': t, 'ctime': t},
                             't': t})
            node.opens += 1
            return pyfuse3.FileInfo(fh=self.new_fh(inode), keep_cache=False)

        @guarded
        async def read(self, fh, off, size):
            return bytes(self.handle_node(fh).data[off:off + size])

        @guarded
        async def write(self, fh, off, buf):
            node = self.handle_node(fh)
            if not stat.S_ISREG(node.mode):
                raise FsError(errno.EINVAL)
            self.commit({'op': 'write', 'ino': node.ino, 'offset': off, 'data': bytes(buf),
                         't': time.time_ns()})
            return len(buf)

        @guarded
        async def flush(self, fh):
            pass  # close() is not a flush to disk

        @guarded
        async def fsync(self, fh, datasync):
            node = self.handle_node(fh)
            if stat.S_ISREG(node.mode):
                self.commit({'op': 'fsync', 'ino': node.ino})

        @guarded
        async def release(self, fh):
            h = self.handles.pop(fh, None)
            node = tree.nodes.get(h.ino) if h else None
            if node is not None:
                node.opens -= 1
                tree.maybe_free(node)

        # -- directories
        @guarded
        async def opendir(self, inode, ctx):
            tree.dir(inode).opens += 1
            return self.new_fh(inode)

        @guarded
        async def readdir(self, fh, start_id, token):
            h = self.handles[fh]
            d = tree.node(h.ino)
            if start_id == 0 or h.listing is None:
                # A listing is taken once per pass, so changes during it neither skip nor repeat names.
                parent = tree.parent_of(d) or d
                h.listing = [(b'.', d.ino), (b'..', parent.ino)] + sorted(d.entries.items())
            for i in range(start_id, len(h.listing)):
                name, ino = h.listing[i]
                node = tree.nodes.get(ino)
                if node is None or (i >= 2 and d.entries.get(name) != ino):
                    continue  # gone since the listing was taken
                if not pyfuse3.readdir_reply(token, name, self.attrs(node), i + 1):
                    return
                if i >= 2:
                    node.lookups += 1  # the kernel counts readdirplus names, but not . and ..

        @guarded
        async def releasedir(self, fh):
            await self.release(fh)

        @guarded
        async def fsyncdir(self, fh, datasync):
            pass  # names are durable as soon as they are made

        # -- extended attributes
        @guarded
        async def setxattr(self, inode, name, value, ctx):
            self.commit({'op': 'setxattr', 'ino': inode, 'name': name, 'value': bytes(value),
                         't': time.time_ns()})

        @guarded
        async def getxattr(self, inode, name, ctx):
            value = tree.node(inode).xattrs.get(name)
            if value is None:
                raise FsError(ENOATTR)
            return value

        @guarded
        async def listxattr(self, inode, ctx):
            return list(tree.node(inode).xattrs)

        @guarded
        async def removexattr(self, inode, name, ctx):
            self.commit({'op': 'removexattr', 'ino': inode, 'name': name, 't': time.time_ns()})

    return Ops()


def serve(mountpoint, tree, log_path):
    import pyfuse3
    import trio

    tree.live = True
    ops = make_ops(tree, Log(log_path))
    options = set(pyfuse3.default_options)
    options.discard('default_permissions')
    options |= {'fsname=cutfs', 'allow_other'}

    async def run():
        async with trio.open_nursery() as nursery:
            async def stop_on_signal():
                with trio.open_signal_receiver(signal.SIGTERM, signal.SIGINT) as signals:
                    async for _ in signals:
                        pyfuse3.terminate()
                        return

            nursery.start_soon(stop_on_signal)
            await pyfuse3.main()
            nursery.cancel_scope.cancel()

    pyfuse3.init(ops, mountpoint, options)
    try:
        trio.run(run)
    finally:
        pyfuse3.close(unmount=True)


def build(seed, replays):
    tree = Tree()
    tree.load_seed(seed)
    for path, upto in replays:
        tree.replay(read_log(path), upto)
    return tree


def _has_pyfuse3():
    try:
        importlib.import_module('pyfuse3')
    except ImportError:
        return False
    return True


def _daemon_python():
    if _has_pyfuse3():
        return sys.executable
    if os.path.exists(SYSTEM_PYTHON):
        return SYSTEM_PYTHON
    raise RuntimeError('cutfs needs python3-pyfuse3 (apt-get install python3-pyfuse3 fuse3)')


def main(argv=None):
    p = argparse.ArgumentParser(description='In-memory FUSE file system that logs changes and replays power cuts.')
    p.add_argument('mountpoint')
    p.add_argument('--seed', required=True, help='folder copied in as the durable starting state')
    p.add_argument('--log', help='record every change in this (new) file, one JSON object a line')
    p.add_argument('--replay', action='append', default=[], metavar='OLDLOG',
                   help='apply entries 1..N of OLDLOG, then cut power (may repeat, applied in order)')
    p.add_argument('--cut', action='append', default=[], type=int, metavar='N')
    a = p.parse_args(argv)
    if len(a.replay) != len(a.cut):
        p.error('give each --replay its own --cut')
    if a.log and any(os.path.abspath(a.log) == os.path.abspath(r) for r in a.replay):
        p.error('--log would overwrite a log being replayed')
    if not _has_pyfuse3():
        py = _daemon_python()
        if py != sys.executable:
            os.execv(py, [py, os.path.abspath(__file__)] + (sys.argv[1:] if argv is None else list(argv)))
    serve(a.mountpoint, build(a.seed, list(zip(a.replay, a.cut))), a.log)


# ---------------------------------------------------------------- harness API

def check_dev_fuse():
    """Raise RuntimeError naming /dev/fuse when FUSE cannot be used here."""
    try:
        os.close(os.open('/dev/fuse', os.O_RDWR))
    except OSError as err:
        raise RuntimeError(f'/dev/fuse is missing or not usable ({err.strerror}); cutfs needs FUSE '
                           '(a container needs --device /dev/fuse and CAP_SYS_ADMIN)') from None


class Mounted:
    """Runs cutfs on `mountpoint` for the length of a with-block.

        with Mounted(mp, seed, log='run.log', replays=[('old.log', 17)]) as m: ...

    The daemon's stderr goes to a temporary file, copied to our stderr on exit when not empty."""

    def __init__(self, mountpoint, seed, log=None, replays=(), timeout=15.0):
        self.mountpoint, self.seed, self.log = os.path.abspath(mountpoint), seed, log
        self.replays, self.timeout = list(replays), timeout
        self.proc = None

    def __enter__(self):
        check_dev_fuse()
        if os.path.ismount(self.mountpoint):
            raise RuntimeError(f'{self.mountpoint} is already a mount point')
        cmd = [_daemon_python(), os.path.abspath(__file__), self.mountpoint, '--seed', str(self.seed)]
        if self.log:
            cmd += ['--log', str(self.log)]
        for path, upto in self.replays:
            cmd += ['--replay', str(path), '--cut', str(upto)]
        fd, self.stderr_path = tempfile.mkstemp(prefix='cutfs-', suffix='.err')
        with os.fdopen(fd, 'w') as err:
            self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=err, stderr=err)
        deadline = time.monotonic() + self.timeout
        while not os.path.ismount(self.mountpoint):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self._stop()
                msg = self._stderr().strip() or '(no output)'
                os.unlink(self.stderr_path)
                hint = ' (/dev/fuse is missing)' if not os.path.exists('/dev/fuse') else \
                    ' (is /dev/fuse usable here?)' if 'mount failed' in msg else ''
                raise RuntimeError(f'cutfs did not mount {self.mountpoint}{hint}: {msg}')
            time.sleep(0.05)
        return self

    def _stderr(self):
        with open(self.stderr_path, errors='replace') as f:
            return f.read()

    def _stop(self):
        if os.path.ismount(self.mountpoint):
            if subprocess.run(['umount', '-l', self.mountpoint], capture_output=True).returncode != 0 \
                    and shutil.which('fusermount3'):
                subprocess.run(['fusermount3', '-u', '-z', self.mountpoint], capture_output=True)
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def __exit__(self, *exc):
        self._stop()
        text = self._stderr()
        if text.strip():
            sys.stderr.write(text)
        os.unlink(self.stderr_path)
        return False


if __name__ == '__main__':
    main()
