# Follows an async job of orvpatch_run to its end. Unlike async_status under
# `until`, a look that cannot reach the host does not end the wait: the next
# one tries again, until the job's own deadline. The finished job's file is
# removed in the same go, one round trip fewer than a separate clean-up.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

import time

from ansible.errors import AnsibleActionFail, AnsibleConnectionFailure
from ansible.plugins.action import ActionBase


class ActionModule(ActionBase):
    TRANSFERS_FILES = False
    _VALID_ARGS = frozenset(("jid", "poll", "seconds"))

    def _look(self, jid, mode, task_vars):
        async_dir = self._remote_expand_user(self.get_shell_option("async_dir", default="~/.ansible_async"))
        return self._execute_module(module_name="ansible.legacy.async_status", task_vars=task_vars,
                                    module_args=dict(jid=jid, mode=mode, _async_dir=async_dir))

    def run(self, tmp=None, task_vars=None):
        result = super(ActionModule, self).run(tmp, task_vars)
        args = self._task.args
        try:
            jid, poll, seconds = str(args["jid"]), int(args.get("poll", 5)), int(args["seconds"])
        except (KeyError, TypeError, ValueError):
            raise AnsibleActionFail("jid, poll and seconds are required; poll and seconds are whole seconds")
        if poll < 1 or seconds < 1:
            raise AnsibleActionFail("poll and seconds must be 1 or more")
        deadline = time.monotonic() + seconds
        looks, lost, last = 0, 0, {}
        while True:
            looks += 1
            try:
                last = self._look(jid, "status", task_vars)
                reached = not last.get("unreachable")
            except AnsibleConnectionFailure as e:
                last, reached = dict(msg=str(e)), False
            if not reached:
                lost += 1
                try:
                    self._connection.reset()  # a fresh connection for the next look
                except Exception:  # the next look tells whether the host is back
                    pass
            elif last.get("finished") or (last.get("failed") and not last.get("started")):
                break
            if time.monotonic() + poll > deadline:
                break
            time.sleep(poll)
        looked = dict(looks=looks, unreachable=lost)
        if not last.get("finished"):
            result.update(finished=0, outcome_unknown=True, looks=looked, lost_host=not reached,
                          msg=last.get("msg") or "the job had not ended after %d s" % seconds)
            return result
        try:
            self._look(jid, "cleanup", task_vars)
        except AnsibleConnectionFailure:
            pass  # the job file stays; nothing runs any more
        for key in ("ansible_job_id", "results_file", "started", "invocation"):
            last.pop(key, None)
        result.update(last)
        result.update(finished=1, outcome_unknown=False, looks=looked, changed=False)
        return result
