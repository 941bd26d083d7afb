#!/usr/bin/python
# The host's side of the action plugin of the same name. It makes the package
# folder (or, for a check only, a temporary one) and refuses one that any
# user but root could change, one inside the product or a Domino folder, and
# a non-empty one the role did not make; it tells which package files the
# folder lacks, puts those the action sent into it, each compared with the
# controller's checksum, and unpacks a tarball; it removes only what its own
# manifest lists. Then it runs orvpatch-check and decides what the host needs:
# "patch", "done" (installed already, or nothing to roll back) or "refuse".
# Nothing on the product changes.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
module: orvpatch_assess
short_description: Stage an ORV hot-fix package on a host and ask its orvpatch-check what the host needs
description:
  - Makes the package folder (owner root, mode 0755), or a temporary folder for a check only, and refuses a folder
    that any user but root could change, one inside the product root or a Domino data or program folder, and a
    non-empty folder the role did not make.
  - Files the role puts into the folder are listed in its manifest C(.orvpatch-manifest); only those are ever
    removed again.
  - Runs C(orvpatch-check --json) on the staged package and settles the host as C(patch), C(done) or C(refuse).
  - The controller's side (action plugin) sends only the files the folder lacks.
version_added: "1.0.0"
author: orvpatch developers
options:
  package:
    description: The package on the controller, a folder or a tarball (read by the action plugin).
    type: path
    required: true
  folder: {description: The package folder on the host (absolute)., type: str, required: true}
  temporary:
    description: Stage into a new temporary folder, removed again, instead of I(folder). Check mode implies it.
    type: bool
    default: false
  files:
    description: The package files, each with C(name) (relative), C(mode) and C(sha1) or C(sha256).
    type: list
    elements: dict
    required: true
  sources:
    description: Set by the action plugin; received copies of missing files (name to path on the host).
    type: dict
    default: {}
  tarball: {description: The file of I(files) to unpack; empty for a folder package., type: str, default: ""}
  mode: {description: What the check is asked about., type: str, required: true, choices: [update, rollback]}
  root: {description: The folder standing for / (the check's --root)., type: str, default: /}
  check:
    description: The orvpatch-check to run; empty for the one in the package (else /usr/local/sbin/orvpatch-check).
    type: str
    default: ""
  patcher: {description: The orvpatch to be run; empty for the one in the package., type: str, default: ""}
  signed:
    description: Refuse an update whose package the check does not report as C(verified) (signed by a key of the
      host's keys folder); set when the role installs signing keys.
    type: bool
    default: false
  verify:
    description: Also run C(orvpatch-check --verify --json) and return what it finds in I(verify).
    type: bool
    default: false
  keys:
    description:
      - Signing keys to install into I(keys_folder) before the check (owner root, mode 0644, in a folder of mode 0755
        made where missing); keys already there stay. Not in check mode, nor for a check only.
      - Each is C(name) (a file name ending in C(.pub)) and C(text); the action plugin reads them from the paths
        given on the controller.
    type: list
    elements: dict
    default: []
  keys_folder: {description: Where the product looks for trusted keys., type: str, default: /etc/orvpatch/keys}
  logs:
    description: Folder on the controller where the log lines of an earlier run whose end the controller never
      learned are kept, when they come back with the answer (read by the action plugin).
    type: str
notes:
  - Check mode is supported; the package goes to a temporary folder, removed again, and nothing else changes.
"""

EXAMPLES = r"""
- name: Stage the package and ask orvpatch-check
  varnel.orvpatch.orvpatch_assess:
    package: /srv/orv/fixes/orv-hotfix-B1240.tar.gz
    files: [{name: .orvpatch-package.tar, sha256: 0f3c...e1, mode: "0600"}]
    tarball: .orvpatch-package.tar
    folder: /var/lib/orvpatch/B1240
    mode: update
  register: assessed
"""

RETURN = r"""
action:
  description: What the host needs, C(patch), C(done) or C(refuse).
  returned: success
  type: str
  sample: patch
reason:
  description: Why, in words (for C(refuse) the check's line).
  returned: success
  type: str
build: {description: The package's build number., returned: when the check ran, type: int, sample: 1240}
workdir: {description: The folder orvpatch is to run from., returned: when the check ran, type: str}
patcher: {description: The orvpatch to run., returned: when the check ran, type: str}
steps: {description: The steps the check says a run would take., returned: when the check ran, type: list, elements: str}
diff: {description: What a run would change (before and after)., returned: when the check ran, type: dict}
state:
  description: A digest of what the check sees of the product (program/latest, the version folders, saved files,
    the fix's files); two that differ tell that the host changed in between.
  returned: when the check ran
  type: str
signature:
  description: The package's signature as the check reports it (C(state) verified, unsigned, bad or unverifiable,
    C(key), C(reason)); absent when the host's check does not report signatures.
  returned: when the check ran
  type: dict
verify:
  description: What C(orvpatch-check --verify) found of the installed fixes, C(state) (clean, findings, cannot tell
    or not supported), C(findings) (each C(flags) and C(path)) and C(reason).
  returned: when I(verify) is set
  type: dict
installed_by:
  description: What told whether the fix is installed, C(ledger) (C(orvpatch-check --list)) or C(report) (the
    check's report, for a check without C(--list)).
  returned: when the check ran
  type: str
missing: {description: Package files the folder lacks; the action sends them., returned: when some are missing, type: list, elements: str}
keys_installed:
  description: The signing keys written (new or changed).
  returned: when I(keys) are given
  type: list
  elements: str
earlier_run:
  description: The result of an earlier run whose end the controller never learned (C(rc), C(stdout), C(log_name)),
    and C(kept), where its log lines were kept on the controller (or C(not_kept), why not).
  returned: when such a run had ended
  type: dict
"""

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.varnel.orvpatch.plugins.module_utils.orvpatch_check import CHECK_ARGS, settle


def main():
    module = AnsibleModule(
        argument_spec=dict(CHECK_ARGS, temporary=dict(type="bool", default=False),
                           sources=dict(type="dict", default={}), verify=dict(type="bool", default=False),
                           keys=dict(type="list", elements="dict", default=[]),
                           keys_folder=dict(type="str", default="/etc/orvpatch/keys")),
        supports_check_mode=True)
    p = dict(module.params, recheck=False)
    # Under check mode nothing on the host changes: a temporary folder only.
    p["temporary"] = p["temporary"] or module.check_mode
    module.exit_json(changed=False, **settle(p))


if __name__ == "__main__":
    main()
