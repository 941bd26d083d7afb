#!/usr/bin/python
# Starts orvpatch detached from the connection (a session of its own, so that
# losing the host does not end it) and keeps the run's record in the package
# folder. The run gets `timeout` seconds; then its process group gets
# SIGTERM, and SIGKILL `kill_after` seconds later, and the run ends only once
# no process of the group is left, so that nothing of it is still going when
# a later one starts. Whatever way it ended, the lines it added to the log
# are read (from the size the log had before it), and orvpatch-check is asked
# again what the host holds, so that an exit status 0 is never taken on faith.
# The module waits up to `wait` seconds for all that: a short run costs one
# round trip; a longer one is followed with orvpatch_wait.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
module: orvpatch_run
short_description: Run orvpatch under a time limit and collect the lines it logged
description:
  - Starts orvpatch (or C(orvpatch /u)) in a session and process group of its own, detached from the connection, and
    keeps the run's record, C(.orvpatch-run.json), in I(folder). After I(timeout) seconds the group gets SIGTERM, and
    SIGKILL I(kill_after) seconds later; the run ends only once no process of the group is left.
  - The run's result holds the lines it added to the log (from the size the log had before the run to its size at the
    end, at most the last 1 MiB), whichever way it ended, and what orvpatch-check says once it has ended.
  - Waits up to I(wait) seconds for the run to end and then returns its result (C(finished) 1); otherwise returns
    C(finished) 0 and the run's C(jid), to be followed with M(varnel.orvpatch.orvpatch_wait). A result that never
    reached the controller is returned by the next M(varnel.orvpatch.orvpatch_assess) on the same folder.
version_added: "1.0.0"
author: orvpatch developers
options:
  argv: {description: The patcher and its arguments., type: list, elements: str, required: true}
  chdir: {description: Working folder of the run., type: str, required: true}
  log: {description: The patcher's log file., type: str, required: true}
  timeout: {description: Seconds the run may take (1 or more)., type: int, required: true}
  kill_after: {description: Seconds between SIGTERM and SIGKILL (0 or more)., type: int, default: 5}
  folder:
    description: The package folder, which only root may write; the run's record is kept there.
    type: str
    required: true
  wait: {description: Seconds to wait for the run to end before returning (0 or more)., type: int, default: 5}
  log_name:
    description: The name under which the controller keeps the run's log lines, kept in the record.
    type: str
    default: ""
  diff:
    description: What the run changes, shown with --diff when it ends with 0.
    type: dict
    default: {}
  recheck:
    description:
      - Once the run has ended, ask orvpatch-check again about the package staged in I(folder), as
        M(varnel.orvpatch.orvpatch_assess) would (nothing is staged; the ledger tells whether the fix is installed),
        and return its answer in I(recheck).
      - Takes the options of M(varnel.orvpatch.orvpatch_assess) that say what is asked.
    type: dict
"""

EXAMPLES = r"""
- name: Start orvpatch
  varnel.orvpatch.orvpatch_run:
    argv: [/var/lib/orvpatch/B1240/orvpatch]
    chdir: /var/lib/orvpatch/B1240
    log: /opt/varnel/ORV/orvspins.log
    timeout: 1800
    folder: /var/lib/orvpatch/B1240
  register: started
"""

RETURN = r"""
finished: {description: 1 when the run has ended and this is its result, else 0., returned: always, type: int}
jid: {description: The run's id, for M(varnel.orvpatch.orvpatch_wait)., returned: once started, type: str}
rc: {description: The patcher's exit status (negative for a signal)., returned: when finished, type: int, sample: 0}
stdout: {description: What it printed (its verdict)., returned: when finished, type: str}
stderr: {description: Its error output., returned: when finished, type: str}
timed_out: {description: Whether the time limit ended it., returned: when finished, type: bool}
killed: {description: Whether SIGKILL was needed., returned: when finished, type: bool}
seconds: {description: How long it ran., returned: when finished, type: float}
log_lines: {description: The lines the run added to the log., returned: when finished, type: list, elements: str}
recheck:
  description: What orvpatch-check said once the run had ended, as M(varnel.orvpatch.orvpatch_assess) returns it
    (C(action) C(done) when the host now holds the fix, or has it rolled back; C(state)).
  returned: when finished, I(recheck) is given and the patcher was started
  type: dict
"""

import os
import signal
import subprocess
import tempfile
import time

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.varnel.orvpatch.plugins.module_utils import orvpatch_job as job
from ansible_collections.varnel.orvpatch.plugins.module_utils.orvpatch_check import (CHECK_ARGS, Manifest, Refusal,
                                                                                     recheck)
from ansible_collections.varnel.orvpatch.plugins.module_utils.orvpatch_paths import open_plain, unsafe_reason


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


def log_size(path):
    fd = open_plain(path)
    if fd is None:
        return 0
    try:
        return os.fstat(fd).st_size
    finally:
        os.close(fd)


def added_lines(path, start, end):
    """The lines between the log's size before the run and its size at the
    end of the run: at most the last LOG_CAP bytes of them."""
    fd = open_plain(path)
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


def finish(p):
    """The run, from its start to its result (in the detached process)."""
    try:
        out = run(p)
    except OSError as e:
        return dict(failed=True, msg="orvpatch could not be started: %s" % e, rc=None, log_lines=[])
    if p["recheck"]:
        out["recheck"] = recheck(p["recheck"])
    if out["rc"] == 0 and p["diff"]:
        out["diff"] = p["diff"]
    out["changed"] = out["rc"] == 0
    return out


def detach(p, jid):
    """Runs the patcher in a grandchild in a session of its own, which keeps
    the run's record; returns in the module's own process only."""
    child = os.fork()
    if child:
        os.waitpid(child, 0)
        return
    try:
        os.setsid()
        if os.fork():
            os._exit(0)
        null = os.open(os.devnull, os.O_RDWR)
        for fd in (0, 1, 2):
            os.dup2(null, fd)
        os.chdir("/")
        record = dict(jid=jid, log_name=p["log_name"])
        job.write(p["folder"], dict(record, started=1, finished=0, pid=os.getpid(),
                                    began=job.start_time(os.getpid())))
        try:
            result = finish(p)
        except Exception as e:  # told in the record, never lost with the process
            result = dict(failed=True, msg="the run of orvpatch failed: %s" % e, rc=None, log_lines=[])
        job.write(p["folder"], dict(result, finished=1, **record))
    finally:
        os._exit(0)


def main():
    module = AnsibleModule(
        argument_spec=dict(argv=dict(type="list", elements="str", required=True),
                           chdir=dict(type="str", required=True), log=dict(type="str", required=True),
                           timeout=dict(type="int", required=True), kill_after=dict(type="int", default=5),
                           folder=dict(type="str", required=True), wait=dict(type="int", default=5),
                           log_name=dict(type="str", default=""),
                           diff=dict(type="dict", default={}), recheck=dict(type="dict", options=CHECK_ARGS)))
    p = module.params
    if p["timeout"] <= 0 or p["kill_after"] < 0 or p["wait"] < 0:
        module.fail_json(msg="timeout must be above 0, and kill_after and wait not below 0")
    folder = p["folder"]
    reason = unsafe_reason(folder) if os.path.isdir(folder) else "%s is not a folder" % folder
    if reason is not None:
        module.fail_json(msg="orvpatch could not be started: its run cannot be recorded in %s: %s" % (folder, reason))
    try:
        earlier = job.read(folder)
        if earlier and not earlier.get("finished") and earlier.get("pid") and job.alive(earlier["pid"],
                                                                                        earlier.get("began")):
            module.fail_json(msg="orvpatch could not be started: an earlier run started from %s still goes on "
                             "(process %s)" % (folder, earlier.get("pid")))
        Manifest(folder).claim([job.NAME])
        jid = "%d.%d" % (time.time() * 1000, os.getpid())
        job.write(folder, dict(jid=jid, log_name=p["log_name"], started=1, finished=0))
        detach(p, jid)
        ended = job.take(folder, jid, p["wait"])
    except (OSError, ValueError, Refusal) as e:
        module.fail_json(msg="orvpatch could not be started, or its run followed: %s" % e)
    if ended is None:
        module.exit_json(changed=False, started=1, finished=0, jid=jid)
    module.exit_json(**ended)


if __name__ == "__main__":
    main()
