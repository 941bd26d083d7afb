#!/usr/bin/python
# Runs orvpatch in a process group of its own and waits for it at most
# `timeout` seconds; then the group gets SIGTERM, and SIGKILL `kill_after`
# seconds later, and the module returns only once no process of the group is
# left, so that nothing of this run is still going when a later one starts.
# Whatever way the run ended, the lines it added to the log are read (from
# the size the log had before it) and returned for the controller to keep.
DOCUMENTATION = r"""
module: orvpatch_run
short_description: Run orvpatch under a time limit and collect the lines it logged
options:
  argv: {description: The patcher and its arguments., type: list, elements: str, required: true}
  chdir: {description: Working folder of the run., type: str, required: true}
  log: {description: The patcher's log file., type: str, required: true}
  timeout: {description: Seconds the run may take., type: int, required: true}
  kill_after: {description: Seconds between SIGTERM and SIGKILL., type: int, default: 5}
  diff: {description: What the run changes, shown with --diff., type: dict, default: {}}
"""

import os
import signal
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


def log_size(path):
    try:
        return os.stat(path).st_size
    except OSError:
        return 0


def added_lines(path, start):
    try:
        with open(path, "rb") as f:
            if os.fstat(f.fileno()).st_size < start:
                start = 0  # the log was started anew during the run
            f.seek(start)
            return f.read().decode("utf-8", errors="replace").splitlines()
    except OSError:
        return []


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
    out["log_lines"] = added_lines(p["log"], start)
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
