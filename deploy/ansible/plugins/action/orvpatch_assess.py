# Stages the package on a host and asks orvpatch-check there. The module
# itself checks the folder and tells which files it lacks (it alone reads the
# folder, once it has found it safe); only those are sent, and the module
# puts them in place once their checksums are the controller's, then goes on
# with the check. A host that holds the package already costs one module run.
# The checksums come from the controller's look at the package, taken once
# per play. Should a file change between the two looks, the module says so
# and it is sent again.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

import os

from ansible.errors import AnsibleActionFail
from ansible.plugins.action import ActionBase

MODULE = "varnel.orvpatch.orvpatch_assess"


class ActionModule(ActionBase):
    TRANSFERS_FILES = False  # the remote temporary folder is made only when a file is sent
    _VALID_ARGS = frozenset(("package", "files", "tarball", "folder", "temporary", "recheck", "mode", "root",
                             "check", "patcher", "signed", "verify"))

    def run(self, tmp=None, task_vars=None):
        result = super(ActionModule, self).run(tmp, task_vars)
        args = dict(self._task.args)
        package = os.path.expanduser(str(args["package"]))
        files = args.get("files") or []
        # A fresh temporary folder (a check only, or check mode) holds nothing.
        temporary = bool(args.get("temporary")) or bool(self._play_context.check_mode)
        missing = [f["name"] for f in files] if temporary else []
        answer = {}
        try:
            for attempt in range(3):
                sources = {}
                if missing and not args.get("recheck"):
                    if self._connection._shell.tmpdir is None:
                        self._make_tmp_path()
                    for name in missing:
                        remote = self._connection._shell.join_path(self._connection._shell.tmpdir,
                                                                   "orvpatch-file-%d" % len(sources))
                        self._transfer_file(package if args.get("tarball") else os.path.join(package, name),
                                            remote)
                        sources[name] = remote
                    self._fixup_perms2([self._connection._shell.tmpdir] + list(sources.values()))
                answer = self._execute_module(module_name=MODULE, module_args=dict(args, sources=sources),
                                              task_vars=task_vars)
                missing = answer.get("missing") or []
                if not missing or answer.get("failed") or args.get("recheck") or attempt == 2:
                    break
            if missing and not answer.get("failed"):
                raise AnsibleActionFail("the package changed on the controller while it was sent, or the host "
                                        "lost it: " + ", ".join(missing))
        finally:
            self._remove_tmp_path(self._connection._shell.tmpdir)
        result.update(answer)
        return result
