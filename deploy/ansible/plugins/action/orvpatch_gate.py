# Fails a host that was refused or failed, with its outcome's detail and the
# lines its run logged. A host last found unreachable is tried once more
# first, so that one still out of reach counts as unreachable in the recap.
# One task for both: a gate costs each host one step.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

from ansible.plugins.action import ActionBase


class ActionModule(ActionBase):
    TRANSFERS_FILES = False
    _VALID_ARGS = frozenset(("outcome", "failing", "log"))

    def run(self, tmp=None, task_vars=None):
        result = super(ActionModule, self).run(tmp, task_vars)
        outcome = self._task.args.get("outcome") or {}
        if outcome.get("unreachable"):
            # A connection failure here marks the host unreachable.
            reached = self._execute_module(module_name="ansible.legacy.ping", module_args={}, task_vars=task_vars)
            if reached.get("unreachable"):
                return reached
        result["changed"] = False
        if outcome.get("status") not in (self._task.args.get("failing") or []):
            result["msg"] = "the host passes"
            return result
        detail = outcome.get("detail", "")
        lines = outcome.get("lines")
        result.update(failed=True, msg=detail if lines is None else
                      [detail, "lines it added to %s:" % self._task.args.get("log", "the log")] + list(lines))
        return result
