# Stages the package on a host and asks orvpatch-check there, in as few round
# trips as the package allows: the module is asked first with nothing sent;
# when the folder already holds every file with the controller's checksum
# (a host seen before), that one call is all. Otherwise only the missing
# files are sent and the module is asked again: it puts them in place once
# their checksums match and goes on with the check. The checksums come from
# the controller's look at the package, taken once per play.
import os

from ansible.errors import AnsibleActionFail
from ansible.module_utils.six.moves import shlex_quote
from ansible.plugins.action import ActionBase


class ActionModule(ActionBase):
    TRANSFERS_FILES = False  # the remote temporary folder is made only when a file is sent
    _VALID_ARGS = frozenset(("package", "files", "tarball", "folder", "temporary", "mode", "root", "check",
                             "patcher"))

    def run(self, tmp=None, task_vars=None):
        result = super(ActionModule, self).run(tmp, task_vars)
        args = dict(self._task.args)
        package = os.path.expanduser(str(args.pop("package")))
        temporary = bool(args.get("temporary"))

        def local(name):
            return package if args.get("tarball") else os.path.join(package, name)

        answer = self._execute_module(module_name="orvpatch_assess", module_args=args, task_vars=task_vars)
        sent = False
        try:
            if answer.get("missing") and not answer.get("failed"):
                folder = self._make_tmp_path()
                sources = {}
                for n, name in enumerate(answer["missing"]):
                    remote = self._connection._shell.join_path(folder, "orvpatch-file-%d" % n)
                    self._transfer_file(local(name), remote)
                    sources[name] = remote
                self._fixup_perms2([folder] + list(sources.values()))
                args.update(folder=answer["folder"], temporary=False, cleanup=temporary, sources=sources)
                sent = True
                answer = self._execute_module(module_name="orvpatch_assess", module_args=args,
                                              task_vars=task_vars)
                if answer.get("missing"):
                    raise AnsibleActionFail("the package changed on the controller while it was sent: "
                                            + ", ".join(answer["missing"]))
        finally:
            if temporary and not sent and answer.get("folder"):
                # Check mode: the temporary folder goes whatever became of the rest.
                self._low_level_execute_command("rm -rf %s" % shlex_quote(answer["folder"]), sudoable=True)
            self._remove_tmp_path(self._connection._shell.tmpdir)
        result.update(answer)
        return result
