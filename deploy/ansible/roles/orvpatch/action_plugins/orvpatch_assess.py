# Stages the package on a host and asks orvpatch-check there, in one module
# run: a plain shell command first reads the checksums of the files the
# package folder holds already (a host seen before), only the files missing or
# different are sent, and the module puts them in place once their checksums
# are the controller's, then goes on with the check. The checksums come from
# the controller's look at the package, taken once per play. Should a file
# change between the two looks, the module says so and it is sent again.
import os

from ansible.errors import AnsibleActionFail
from ansible.module_utils.six.moves import shlex_quote
from ansible.plugins.action import ActionBase


class ActionModule(ActionBase):
    TRANSFERS_FILES = False  # the remote temporary folder is made only when a file is sent
    _VALID_ARGS = frozenset(("package", "files", "tarball", "folder", "temporary", "mode", "root", "check",
                             "patcher"))

    def _held(self, folder, files):
        """The names of `files` the host's folder holds with their checksums
        (nothing when the host has no sha256sum / sha1sum: all is sent)."""
        held = set()
        for tool, key in (("sha256sum", "sha256"), ("sha1sum", "sha1")):
            wanted = {f["name"]: f[key] for f in files if f.get(key)}
            if not wanted:
                continue
            command = "cd %s 2>/dev/null && %s -- %s 2>/dev/null" % (
                shlex_quote(folder), tool, " ".join(shlex_quote(n) for n in sorted(wanted)))
            answer = self._low_level_execute_command(command, sudoable=True)
            for line in answer.get("stdout", "").splitlines():
                digest, _, name = line.partition(" ")
                name = name.lstrip(" *")
                if wanted.get(name) == digest:
                    held.add(name)
        return held

    def run(self, tmp=None, task_vars=None):
        result = super(ActionModule, self).run(tmp, task_vars)
        args = dict(self._task.args)
        package = os.path.expanduser(str(args.pop("package")))
        temporary = bool(args.get("temporary"))
        files = args.get("files") or []
        # A check only works in a new temporary folder, removed again by the module.
        args["cleanup"] = temporary
        held = set() if temporary else self._held(args["folder"], files)
        missing = [f["name"] for f in files if f["name"] not in held]
        try:
            for attempt in (1, 2):
                sources = {}
                if missing:
                    if self._connection._shell.tmpdir is None:
                        self._make_tmp_path()
                    for name in missing:
                        remote = self._connection._shell.join_path(self._connection._shell.tmpdir,
                                                                   "orvpatch-file-%d" % len(sources))
                        self._transfer_file(package if args.get("tarball") else os.path.join(package, name),
                                            remote)
                        sources[name] = remote
                    self._fixup_perms2([self._connection._shell.tmpdir] + list(sources.values()))
                answer = self._execute_module(module_name="orvpatch_assess", module_args=dict(args, sources=sources),
                                              task_vars=task_vars)
                missing = answer.get("missing") or []
                if not missing or answer.get("failed"):
                    break
            if missing:
                raise AnsibleActionFail("the package changed on the controller while it was sent: "
                                        + ", ".join(missing))
        finally:
            self._remove_tmp_path(self._connection._shell.tmpdir)
        result.update(answer)
        return result
