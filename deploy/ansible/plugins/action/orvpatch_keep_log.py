# Writes the lines a run of orvpatch added to a host's log, as they came back
# in the run's result, into a file on the controller. It runs on the
# controller alone: no module and no round trip to the host.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

from ansible.errors import AnsibleActionFail
from ansible.plugins.action import ActionBase
from ansible_collections.varnel.orvpatch.plugins.plugin_utils.orvpatch_logs import keep


class ActionModule(ActionBase):
    TRANSFERS_FILES = False
    _VALID_ARGS = frozenset(("folder", "name", "lines"))

    def run(self, tmp=None, task_vars=None):
        result = super(ActionModule, self).run(tmp, task_vars)
        args = self._task.args
        try:
            path = keep(args.get("folder", ""), args.get("name", ""), args.get("lines"))
        except ValueError as e:
            raise AnsibleActionFail(str(e))
        result.update(changed=False, path=path)
        return result
