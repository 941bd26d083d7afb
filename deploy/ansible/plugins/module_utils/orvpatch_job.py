# The record of a run of orvpatch started by orvpatch_run, kept in the
# package folder (a folder only root may write, checked before): written when
# the run starts, replaced by the run's result when it ends, and removed once
# that result has reached the controller, by orvpatch_run or orvpatch_wait
# right away, or by the next orvpatch_assess when the controller lost the
# host in between.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json
import os
import time

from ansible_collections.varnel.orvpatch.plugins.module_utils.orvpatch_paths import open_plain

NAME = ".orvpatch-run.json"
CAP = 64 << 20  # bytes of a record read at most


def path(folder):
    return os.path.join(folder, NAME)


def read(folder):
    """The record as written last; None when there is none. Only a regular
    file is read (never a link or a FIFO)."""
    fd = open_plain(path(folder))
    if fd is None:
        if os.path.lexists(path(folder)):
            raise ValueError("%s is not a regular file" % path(folder))
        return None
    with os.fdopen(fd, "rb") as f:
        data = json.loads(f.read(CAP))  # replaced whole by its writer, never seen half-written
    if not isinstance(data, dict):
        raise ValueError("%s holds no record of a run" % path(folder))
    return data


def write(folder, data):
    part = path(folder) + ".new"
    fd = os.open(part, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, 0o600)
    with os.fdopen(fd, "w") as f:
        json.dump(data, f)
        f.flush()
        os.fsync(f.fileno())
    os.rename(part, path(folder))


def start_time(pid):
    """When the process began (clock ticks after boot, from /proc); None
    when there is no such process or no /proc to tell."""
    try:
        with open("/proc/%d/stat" % int(pid)) as f:
            return int(f.read().rsplit(")", 1)[1].split()[19])
    except (OSError, ValueError, IndexError):
        return None


def alive(pid, began=None):
    """Whether the process `pid` still runs, and is the one that began at
    `began` (a process id used again by another process does not count)."""
    try:
        os.kill(int(pid), 0)
    except ProcessLookupError:
        return False
    except (PermissionError, TypeError, ValueError):
        return True  # cannot tell: taken as running
    return began is None or start_time(pid) in (None, began)


def take(folder, jid=None, wait=0.0):
    """Waits up to `wait` seconds for the run (`jid`, or whichever is
    recorded) to end; then its result, its record removed. None while it
    goes on; raises ValueError when there is no record of it, or its process
    is gone without leaving a result."""
    deadline = time.monotonic() + wait
    while True:
        data = read(folder)
        if data is None or (jid is not None and data.get("jid") != jid):
            raise ValueError("there is no record of the run %s in %s" % (jid or "", folder))
        if data.get("finished"):
            os.unlink(path(folder))
            return data
        pid = data.get("pid")
        if pid and not alive(pid, data.get("began")):
            data = read(folder)  # it may have ended just now
            if data is not None and data.get("finished"):
                continue
            raise ValueError("the run's process %s is gone without leaving its result" % pid)
        if time.monotonic() >= deadline:
            return None
        time.sleep(0.05)
