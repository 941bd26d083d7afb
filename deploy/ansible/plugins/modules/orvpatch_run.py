#!/usr/bin/python
# Runs orvpatch in a process group of its own and waits for it at most
# `timeout` seconds; then the group gets SIGTERM, and SIGKILL `kill_after`
# seconds later, and the module returns only once no process of the group is
# left, so that nothing of this run is still going when a later one starts.
# Whatever way the run ended, the lines it added to the log are read (from
# the size the log had before it) and returned for the controller to keep.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
module: orvpatch_run
short_description: Run orvpatch under a time limit and collect the lines it logged
description:
  - Runs orvpatch (or C(orvpatch /u)) in a process group of its own. After I(timeout) seconds the group gets SIGTERM,
    and SIGKILL I(kill_after) seconds later; the module returns only once no process of the group is left.
  - Returns the lines the run added to the log (from the size the log had before the run to its size at the end,
    at most the last 1 MiB), whichever way the run ended.
  - Meant to be started as an C(async) job and followed with M(varnel.orvpatch.orvpatch_wait).
version_added: "1.0.0"
author: orvpatch developers
options:
  argv: {description: The patcher and its arguments., type: list, elements: str, required: true}
  chdir: {description: Working folder of the run., type: str, required: true}
  log: {description: The patcher's log file., type: str, required: true}
  timeout: {description: Seconds the run may take (1 or more)., type: int, required: true}
  kill_after: {description: Seconds between SIGTERM and SIGKILL (0 or more)., type: int, default: 5}
  diff:
    description: What the run changes, shown with --diff when it ends with 0.
    type: dict
    default: {}
"""

EXAMPLES = r"""
- name: Start orvpatch
  varnel.orvpatch.orvpatch_run:
    argv: [/var/lib/orvpatch/B1240/orvpatch]
    chdir: /var/lib/orvpatch/B1240
    log: /opt/varnel/ORV/orvspins.log
    timeout: 1800
  async: 1865
  poll: 0
  register: started
"""

RETURN = r"""
rc: {description: The patcher's exit status (negative for a signal)., returned: always, type: int, sample: 0}
stdout: {description: What it printed (its verdict)., returned: always, type: str}
stderr: {description: Its error output., returned: always, type: str}
timed_out: {description: Whether the time limit ended it., returned: always, type: bool}
killed: {description: Whether SIGKILL was needed., returned: always, type: bool}
seconds: {description: How long it ran., returned: always, type: float}
log_lines: {description: The lines the run added to the log., returned: always, type: list, elements: str}
"""

import os
import signal
import stat
import subprocess
import tempfile
import time

from ansible.module_utils.basic import AnsibleModule


def group_alive(pgid):
    """Whether a process of the group is left (zombies waiting for their
    parent do not count)."""
    try:
        os.killpg(pgid, 0)
    except ProcessLookupError:
        return False
    if not os.path.isdir("/proc/self"):
        return True
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if fields[0] != "Z" and int(fields[2]) == pgid:
            return True
    return False


def signal_group(pgid, number):
    try:
        os.killpg(pgid, number)
    except ProcessLookupError:
        pass  # ended on its own in the meantime


def group_gone(pgid, seconds):
    deadline = time.monotonic() + seconds
    while group_alive(pgid):
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.05)
    return True


LOG_CAP = 1 << 20  # bytes of the run's log lines returned at most


def open_log(path):
    """The log, when it is a regular file (another user may append to it or
    swap it for a FIFO: never wait on one)."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
    except OSError:
        return None
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        os.close(fd)
        return None
    return fd


def log_size(path):
    fd = open_log(path)
    if fd is None:
        return 0
    try:
        return os.fstat(fd).st_size
    finally:
        os.close(fd)


def added_lines(path, start, end):
    """The lines between the log's size before the run and its size at the
    end of the run: at most the last LOG_CAP bytes of them."""
    fd = open_log(path)
    if fd is None:
        return []
    with os.fdopen(fd, "rb") as f:
        if os.fstat(f.fileno()).st_size < start or end < start:
            start = 0  # the log was started anew during the run
        left_out = max(0, end - start - LOG_CAP)
        f.seek(start + left_out)
        lines = f.read(end - start - left_out).decode("utf-8", errors="replace").splitlines()
    if left_out:
        lines[:1] = ["(%d bytes of earlier lines of this run are left out here)" % left_out]
    return lines


def run(p):
    start = log_size(p["log"])
    out = dict(timed_out=False, killed=False, rc=None)
    with tempfile.TemporaryFile() as stdout, tempfile.TemporaryFile() as stderr:
        began = time.monotonic()
        child = subprocess.Popen(p["argv"], cwd=p["chdir"], stdin=subprocess.DEVNULL, stdout=stdout,
                                 stderr=stderr, start_new_session=True)
        try:
            child.wait(timeout=p["timeout"])
        except subprocess.TimeoutExpired:
            out["timed_out"] = True
            signal_group(child.pid, signal.SIGTERM)
            deadline = time.monotonic() + p["kill_after"]
            try:
                child.wait(timeout=p["kill_after"])
            except subprocess.TimeoutExpired:
                pass
            if not group_gone(child.pid, max(0.0, deadline - time.monotonic())):
                out["killed"] = True
                signal_group(child.pid, signal.SIGKILL)
                child.wait()
                out["left_running"] = not group_gone(child.pid, 10)
        out["seconds"] = round(time.monotonic() - began, 1)
        out["rc"] = child.returncode
        for name, f in (("stdout", stdout), ("stderr", stderr)):
            f.seek(0)
            out[name] = f.read().decode("utf-8", errors="replace").strip()
    out["log_lines"] = added_lines(p["log"], start, log_size(p["log"]))
    return out


def main():
    module = AnsibleModule(
        argument_spec=dict(argv=dict(type="list", elements="str", required=True),
                           chdir=dict(type="str", required=True), log=dict(type="str", required=True),
                           timeout=dict(type="int", required=True), kill_after=dict(type="int", default=5),
                           diff=dict(type="dict", default={})))
    p = module.params
    if p["timeout"] <= 0 or p["kill_after"] < 0:
        module.fail_json(msg="timeout must be above 0 and kill_after not below 0")
    try:
        out = run(p)
    except OSError as e:
        module.fail_json(msg="orvpatch could not be started: %s" % e, rc=None, log_lines=[])
    if out["rc"] == 0 and p["diff"]:
        out["diff"] = p["diff"]
    module.exit_json(changed=out["rc"] == 0, **out)


if __name__ == "__main__":
    main()
