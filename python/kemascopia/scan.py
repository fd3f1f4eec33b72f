"""Archive scans beyond one machine, on Dask.

    python3 -m kemascopia.scan DIR... --db index.sqlite --dask tcp://scheduler:8786

The driver walks the trees, splits their folders into shards balanced by
file count, and runs each shard as one Dask task: kemascopia.scan_to_index
over the shard's folders into an SQLite file of its own beside the index.
The driver merges each finished shard into the index and remembers it, so a
run that was stopped carries on where it was: shards merged already are not
run again. The same shards serve as map tasks elsewhere (plan_shards,
scan_shard and merge_shard are the pieces).
"""
import argparse
import errno as _errno
import hashlib
import heapq
import os
import sqlite3
import sys
import time
import types

import kemascopia
from kemascopia import _kemascopia

_SHARD_TABLE = """
CREATE TABLE IF NOT EXISTS shards(
  name TEXT PRIMARY KEY, run INTEGER, folders INTEGER, files INTEGER, merged TEXT);
"""


def _error_text(err):
    name = _errno.errorcode.get(err.errno, str(err.errno)) if err.errno else "?"
    return "[%s] %s" % (name, os.strerror(err.errno) if err.errno else str(err))


def _absolute(path):
    path = os.path.normpath(os.path.abspath(path))
    return path


def walk_folders(roots, skip=()):
    """Every folder under `roots` with the number of entries it holds that
    are not folders, and the problems met: (folders, problems), folders a
    list of (path, count), problems a list of (path, error line). Links are
    followed; a folder reached twice is listed once, a link back into its own
    ancestry is a loop. Folders in `skip` are left out."""
    folders, problems, visited = [], [], set()
    skip = {_absolute(p) for p in skip}
    for root in roots:
        root = _absolute(root)
        try:
            st = os.stat(root)
        except OSError as e:
            problems.append((root, "ERROR: cannot read %s: %s" % (root, _error_text(e))))
            continue
        stack = [(root, (st.st_dev, st.st_ino), ())]
        visited.add((st.st_dev, st.st_ino))
        while stack:
            path, ident, ancestry = stack.pop()
            ancestry = ancestry + (ident,)
            try:
                entries = list(os.scandir(path))
            except OSError as e:
                problems.append((path, "ERROR: cannot open folder: " + _error_text(e)))
                continue
            count = 0
            for entry in entries:
                try:
                    is_dir = entry.is_dir(follow_symlinks=True)
                except OSError:
                    is_dir = False
                if not is_dir:
                    count += 1
                    continue
                try:
                    sub = os.stat(entry.path)
                except OSError:
                    continue
                sub_id = (sub.st_dev, sub.st_ino)
                if _absolute(entry.path) in skip:
                    continue
                if sub_id in ancestry:
                    problems.append((entry.path, "ERROR: symbolic link loop: the folder contains itself"))
                elif sub_id not in visited:
                    visited.add(sub_id)
                    stack.append((entry.path, sub_id, ancestry))
            if count:
                folders.append((path, count))
    return folders, problems


def plan_shards(folders, count):
    """Splits (folder, files) pairs into at most `count` shards balanced by
    file count: a list of (name, [folders], files), the name a digest of
    the folders, so the same folders make the same shard in every run."""
    count = max(1, min(count, len(folders)))
    heap = [(0, i, []) for i in range(count)]
    for path, n in sorted(folders, key=lambda f: (-f[1], f[0])):
        files, i, members = heapq.heappop(heap)
        members.append(path)
        heapq.heappush(heap, (files + n, i, members))
    shards = []
    for files, _, members in heap:
        if not members:
            continue
        members.sort()
        name = hashlib.sha1("\n".join(members).encode("utf-8", "surrogateescape")).hexdigest()[:16]
        shards.append((name, members, files))
    return sorted(shards)


def scan_shard(folders, shard_db, threads=1, index=None, known=None):
    """One shard's task: its folders (not below them) into its own index,
    leaving out the files of `index`, the index the shards go into. Files in
    `known` ((path, size, mtime_ns) as that index holds them) are not read,
    only recorded as unchanged."""
    import kemascopia as k  # on the worker

    return k.scan_to_index(folders, shard_db, workers=threads, recursive=False,
                           exclude=[index] if index else [], known=known)


def known_files(con, folders):
    """What the index holds of the files directly in `folders`: the `known`
    argument of scan_shard."""
    out = []
    for folder in folders:
        prefix = folder if folder == "/" else folder + "/"
        end = prefix[:-1] + chr(ord(prefix[-1]) + 1)
        out += con.execute(
            "SELECT path, size, mtime_ns FROM files WHERE status IN ('read', 'error', 'unknown')"
            " AND path >= ? AND path < ? AND instr(substr(path, ?), '/') = 0",
            (prefix, end, len(prefix) + 1)).fetchall()
    return out


def open_index(db):
    con = sqlite3.connect(db, timeout=30)
    con.execute("PRAGMA journal_mode=WAL")
    _kemascopia.index_prepare(db)
    con.executescript(_SHARD_TABLE)
    return con


def start_run(con, roots):
    """The run to carry on (the last one over the same roots that did not
    finish), or a new one."""
    text = "\n".join(roots)
    row = con.execute("SELECT run, complete, roots FROM runs ORDER BY run DESC LIMIT 1").fetchone()
    if row and not row[1] and row[2] == text and con.execute("SELECT 1 FROM shards WHERE run=?", (row[0],)).fetchone():
        return row[0]
    with con:
        con.execute("DELETE FROM shards")
        cur = con.execute("INSERT INTO runs(started, roots) VALUES(?, ?)",
                          (time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()), text))
    return cur.lastrowid


def merge_shard(con, run, name, shard_db, folders, files):
    """Copies a finished shard's rows into the index, as seen by `run`, and
    marks the shard merged (one transaction)."""
    con.execute("ATTACH DATABASE ? AS shard", (shard_db,))
    try:
        with con:
            con.execute(
                "INSERT OR REPLACE INTO files(path, size, mtime_ns, status, format, error, read_run, seen_run)"
                " SELECT path, size, mtime_ns, status, format, error, ?1, ?1 FROM shard.files"
                " WHERE status NOT IN ('vanished', 'unchanged')", (run,))
            con.execute("UPDATE files SET seen_run = ? WHERE path IN"
                        " (SELECT path FROM shard.files WHERE status = 'unchanged')", (run,))
            # A file read again replaces all its images; the series of what
            # leaves and what comes are given again when the run ends.
            touched = " WHERE path IN (SELECT path FROM shard.files WHERE status != 'unchanged')"
            con.execute("INSERT OR IGNORE INTO series_pending SELECT DISTINCT series_fields FROM images" + touched +
                        " AND series_fields IS NOT NULL")
            con.execute("DELETE FROM images" + touched)
            con.execute("INSERT OR REPLACE INTO images SELECT * FROM shard.images")
            con.execute("INSERT OR IGNORE INTO series_pending SELECT DISTINCT series_fields FROM shard.images"
                        " WHERE series_fields IS NOT NULL")
            con.execute("INSERT OR REPLACE INTO shards VALUES(?, ?, ?, ?, ?)",
                        (name, run, len(folders), files, time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())))
    finally:
        con.execute("DETACH DATABASE shard")


def _db_path(con):
    return con.execute("PRAGMA database_list").fetchone()[2]


def finish_run(con, run, roots, problems):
    """Records the walk's problems and marks what this run did not see under
    the roots as vanished."""
    with con:
        for path, error in problems:
            con.execute("INSERT OR REPLACE INTO files(path, size, mtime_ns, status, format, error, read_run, seen_run)"
                        " VALUES(?, 0, 0, 'problem', NULL, ?, ?, ?)", (path, error, run, run))
        vanished = 0
        for root in roots:
            prefix = root if root == "/" else root + "/"
            end = prefix[:-1] + chr(ord(prefix[-1]) + 1)
            where = " WHERE seen_run < ? AND (path = ? OR (path >= ? AND path < ?))"
            args = (run, root, prefix, end)
            vanished += con.execute("UPDATE files SET status='vanished', error=NULL" + where +
                                    " AND status NOT IN ('vanished', 'problem')", args).rowcount
            con.execute("DELETE FROM files" + where + " AND status = 'problem'", args)
        gone = " WHERE path IN (SELECT path FROM files WHERE status='vanished')"
        con.execute("INSERT OR IGNORE INTO series_pending SELECT DISTINCT series_fields FROM images" + gone +
                    " AND series_fields IS NOT NULL")
        con.execute("DELETE FROM images" + gone)
        counts = con.execute("SELECT count(*), sum(read_run = ?1 AND status != 'problem'),"
                             " sum(status IN ('error', 'problem')) FROM files WHERE seen_run = ?1", (run,)).fetchone()
        con.execute("UPDATE runs SET finished=?, complete=1, files=?, read=?, errors=?, vanished=? WHERE run=?",
                    (time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()), counts[0], counts[1] or 0, counts[2] or 0,
                     vanished, run))
        con.execute("DELETE FROM shards")
    # Series keys over the whole index, in path order: the same keys as a
    # scan on one machine gives.
    _kemascopia.index_regroup(_db_path(con))
    return vanished


def run_scan(roots, db, client, shards=0, threads=1, log=None):
    """The whole distributed scan; returns a summary dict."""
    from dask.distributed import as_completed

    roots = [_absolute(r) for r in roots]
    db = _absolute(db)
    shard_dir = db + ".shards"
    os.makedirs(shard_dir, exist_ok=True)
    folders, problems = walk_folders(roots, skip=[shard_dir])
    if not shards:
        workers = len(client.scheduler_info().get("workers", {})) or 1
        shards = 4 * workers
    plan = plan_shards(folders, shards)
    con = open_index(db)
    run = start_run(con, roots)
    merged = {r[0] for r in con.execute("SELECT name FROM shards WHERE run=?", (run,))}
    todo = [s for s in plan if s[0] not in merged]
    futures = {}
    for name, members, files in todo:
        path = os.path.join(shard_dir, name + ".sqlite")
        f = client.submit(scan_shard, members, path, threads, db, known_files(con, members),
                          key="kemascopia-shard-" + name, pure=False)
        futures[f] = (name, members, files, path)
    done = 0
    for f in as_completed(list(futures)):
        name, members, files, path = futures[f]
        f.result()  # a failed task raises here; what is merged stays merged
        merge_shard(con, run, name, path, members, files)
        for suffix in ("", "-wal", "-shm"):
            try:
                os.remove(path + suffix)
            except OSError:
                pass
        done += 1
        if log:
            log("%d/%d shards merged" % (done + len(plan) - len(todo), len(plan)))
    vanished = finish_run(con, run, roots, problems)
    con.close()
    try:
        os.rmdir(shard_dir)
    except OSError:
        pass
    return {"run": run, "shards": len(plan), "skipped": len(plan) - len(todo), "folders": len(folders),
            "problems": len(problems), "vanished": vanished}


def main(argv=None):
    p = argparse.ArgumentParser(prog="python3 -m kemascopia.scan",
                                description="Index folder trees into SQLite, sharded over a Dask cluster.")
    p.add_argument("dirs", nargs="+", metavar="DIR")
    p.add_argument("--db", required=True, help="the index file (SQLite)")
    where = p.add_mutually_exclusive_group(required=True)
    where.add_argument("--dask", metavar="ADDRESS", help="the scheduler's address (tcp://host:8786)")
    where.add_argument("--local", type=int, metavar="N", help="a local cluster of N worker processes (loopback)")
    p.add_argument("--shards", type=int, default=0, help="number of shards (default: 4 per worker)")
    p.add_argument("--threads", type=int, default=1, help="readers per task")
    args = p.parse_args(argv)

    from dask.distributed import Client, LocalCluster

    cluster = None
    if args.local:
        cluster = LocalCluster(n_workers=args.local, threads_per_worker=1, host="127.0.0.1",
                               dashboard_address=None, processes=True)
        client = Client(cluster)
    else:
        client = Client(args.dask)
    try:
        say = (lambda m: print("\r" + m, end="", file=sys.stderr, flush=True)) if sys.stderr.isatty() else None
        summary = run_scan(args.dirs, args.db, client, args.shards, args.threads, say)
        if say:
            print(file=sys.stderr)
        print("run %(run)d: %(shards)d shards (%(skipped)d merged before), %(folders)d folders, "
              "%(problems)d problems, %(vanished)d vanished" % summary, file=sys.stderr)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    return 0


class _ScanModule(types.ModuleType):
    """Importing this module puts it where the package's scan function was:
    calling it still scans."""

    def __call__(self, paths, workers=0, pixels=False, recursive=True):
        return _kemascopia.scan(paths, workers=workers, pixels=pixels, recursive=recursive)


sys.modules[__name__].__class__ = _ScanModule


if __name__ == "__main__":
    sys.exit(main())
