# Stages the package on a host and asks orvpatch-check there. The module
# itself checks the folder and tells which files it lacks (it alone reads the
# folder, once it has found it safe); only those are sent, and the module
# puts them in place once their checksums are the controller's, then goes on
# with the check. A host that holds the package already costs one module run.
# The checksums come from the controller's look at the package, taken once
# per play. Should a file change between the two looks, the module says so
# and it is sent again. The log lines of an earlier run whose end the
# controller never learned come back with the answer, and are kept here.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

import os

from ansible.errors import AnsibleActionFail
from ansible.plugins.action import ActionBase
from ansible_collections.varnel.orvpatch.plugins.plugin_utils.orvpatch_logs import keep

MODULE = "varnel.orvpatch.orvpatch_assess"


class ActionModule(ActionBase):
    TRANSFERS_FILES = False  # the remote temporary folder is made only when a file is sent
    _VALID_ARGS = frozenset(("package", "files", "tarball", "folder", "temporary", "mode", "root",
                             "check", "patcher", "signed", "verify", "logs", "keys", "keys_folder"))
    KEY_CAP = 64 << 10  # bytes of a signing key read at most

    def run(self, tmp=None, task_vars=None):
        result = super(ActionModule, self).run(tmp, task_vars)
        args = dict(self._task.args)
        package = os.path.expanduser(str(args["package"]))
        files = args.get("files") or []
        # A fresh temporary folder (a check only, or check mode) holds nothing.
        temporary = bool(args.get("temporary")) or bool(self._play_context.check_mode)
        missing = [f["name"] for f in files] if temporary else []
        # Signing keys are short texts: they travel as arguments, installed
        # on the host before the check (never in check mode).
        args["keys"] = [] if temporary else [self._read_key(path) for path in args.get("keys") or []]
        answer = {}
        try:
            for attempt in range(3):
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
                module_args = dict((k, v) for k, v in args.items() if k != "logs")
                answer = self._execute_module(module_name=MODULE, module_args=dict(module_args, sources=sources),
                                              task_vars=task_vars)
                self._keep_earlier_run(answer, args.get("logs"))
                missing = answer.get("missing") or []
                if not missing or answer.get("failed") or attempt == 2:
                    break
            if missing and not answer.get("failed"):
                raise AnsibleActionFail("the package changed on the controller while it was sent, or the host "
                                        "lost it: " + ", ".join(missing))
        finally:
            self._remove_tmp_path(self._connection._shell.tmpdir)
        result.update(answer)
        return result

    def _read_key(self, path):
        path = os.path.expanduser(str(path))
        try:
            with open(path, "rb") as f:
                text = f.read(self.KEY_CAP + 1)
        except OSError as e:
            raise AnsibleActionFail("the signing key %s cannot be read: %s" % (path, e))
        if len(text) > self.KEY_CAP:
            raise AnsibleActionFail("the signing key %s is larger than %d bytes" % (path, self.KEY_CAP))
        return dict(name=os.path.basename(path), text=text.decode("utf-8", errors="replace"))

    @staticmethod
    def _keep_earlier_run(answer, folder):
        """Keeps the lines of an earlier run that came back with the answer."""
        earlier = answer.get("earlier_run")
        if not isinstance(earlier, dict) or not folder:
            return
        try:
            earlier["kept"] = keep(folder, earlier.get("log_name") or "earlier-run.log", earlier.pop("log_lines", []))
        except (OSError, ValueError) as e:
            earlier["not_kept"] = str(e)
