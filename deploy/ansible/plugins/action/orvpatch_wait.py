# Follows a run started by orvpatch_run to its end. A look that cannot reach
# the host does not end the wait: it is tried again, until the run's own
# deadline. Each look waits on the host (the module of the same name) up to
# `poll` seconds for the run to end, and then removes its record.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

import time

from ansible.errors import AnsibleActionFail, AnsibleConnectionFailure
from ansible.plugins.action import ActionBase

MODULE = "varnel.orvpatch.orvpatch_wait"


class ActionModule(ActionBase):
    TRANSFERS_FILES = False
    _VALID_ARGS = frozenset(("jid", "folder", "poll", "seconds"))

    def _look(self, args, wait, task_vars):
        return self._execute_module(module_name=MODULE, task_vars=task_vars, module_args=dict(args, _wait=wait))

    def run(self, tmp=None, task_vars=None):
        result = super(ActionModule, self).run(tmp, task_vars)
        args = self._task.args
        try:
            args = dict(jid=str(args["jid"]), folder=str(args["folder"]), poll=int(args.get("poll", 5)),
                        seconds=int(args["seconds"]))
        except (KeyError, TypeError, ValueError):
            raise AnsibleActionFail("jid, folder, poll and seconds are required; poll and seconds are whole seconds")
        poll = args["poll"]
        if poll < 1 or args["seconds"] < 1:
            raise AnsibleActionFail("poll and seconds must be 1 or more")
        deadline = time.monotonic() + args["seconds"]
        looks, lost, last = 0, 0, {}
        while True:
            looks += 1
            try:
                last = self._look(args, max(0.0, min(poll, deadline - time.monotonic())), task_vars)
                reached = not last.get("unreachable")
            except AnsibleConnectionFailure as e:
                last, reached = dict(msg=str(e)), False
            if reached and (last.get("finished") or last.get("failed")):
                break
            if time.monotonic() >= deadline:
                break
            if not reached:
                lost += 1
                try:
                    self._connection.reset()  # a fresh connection for the next look
                except Exception:  # the next look tells whether the host is back
                    pass
                time.sleep(min(poll, max(0.0, deadline - time.monotonic())))
        looked = dict(looks=looks, unreachable=lost)
        if not last.get("finished"):
            result.update(jid=args["jid"], finished=0, outcome_unknown=True, looks=looked, lost_host=not reached,
                          msg=last.get("msg") or "the run had not ended after %d s" % args["seconds"])
            return result
        last.pop("invocation", None)
        result.update(last)
        result.update(finished=1, outcome_unknown=False, looks=looked, changed=False)
        return result
