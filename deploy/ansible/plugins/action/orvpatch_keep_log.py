# Writes the lines a run of orvpatch added to a host's log, as they came back
# in the run's result, into a file on the controller. It runs on the
# controller alone: no module and no round trip to the host.
import os

from ansible.errors import AnsibleActionFail
from ansible.module_utils.common.text.converters import to_bytes
from ansible.plugins.action import ActionBase


class ActionModule(ActionBase):
    TRANSFERS_FILES = False
    _VALID_ARGS = frozenset(("folder", "name", "lines"))

    def run(self, tmp=None, task_vars=None):
        result = super(ActionModule, self).run(tmp, task_vars)
        args = self._task.args
        folder = os.path.expanduser(str(args.get("folder", "")))
        name = str(args.get("name", ""))
        lines = args.get("lines") or []
        if not os.path.isabs(folder) or not name or "/" in name or name.startswith("."):
            raise AnsibleActionFail("folder must be an absolute path and name a plain file name")
        os.makedirs(folder, 0o755, exist_ok=True)
        base, extension = os.path.splitext(os.path.join(folder, name))
        path, n = base + extension, 1
        text = to_bytes("".join("%s\n" % line for line in lines))
        while True:
            try:  # a second run within the same second gets a name of its own
                fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
                break
            except FileExistsError:
                n += 1
                path = "%s-%d%s" % (base, n, extension)
        with os.fdopen(fd, "wb") as f:
            f.write(text)
        result.update(changed=False, path=path)
        return result
