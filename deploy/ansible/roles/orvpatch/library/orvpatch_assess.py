#!/usr/bin/python
# The host's side of the action plugin of the same name. It makes the package
# folder (or, for a check only, a temporary one) and refuses one that any
# user but root could change; it puts the package files the action sent
# into it, each compared with the controller's checksum, and tells which
# are missing; it unpacks a tarball that arrived; then it runs orvpatch-check
# and decides what the host needs: "patch", "done" (installed already, or
# nothing to roll back) or "refuse" (the check says the mode would not pass,
# the package cannot be read, or the check and the patcher are not of one
# release). Nothing on the product changes.
DOCUMENTATION = r"""
module: orvpatch_assess
short_description: Stage the hot-fix package and decide with orvpatch-check what a host needs
options:
  folder: {description: The package folder on the host., type: str, required: true}
  temporary: {description: Make a temporary folder instead of I(folder)., type: bool, default: false}
  cleanup: {description: Remove I(folder) at the end (a temporary one)., type: bool, default: false}
  files:
    description: The package files, each with I(name) (relative), I(mode) and I(sha1) or I(sha256).
    type: list
    elements: dict
    required: true
  sources: {description: Received copies of missing files (name to path on the host)., type: dict, default: {}}
  tarball: {description: The file of I(files) to unpack; empty for a folder package., type: str, default: ""}
  mode: {description: update or rollback., type: str, required: true, choices: [update, rollback]}
  root: {description: The folder standing for / (the check's --root)., type: str, default: /}
  check:
    description: The orvpatch-check to run; empty for the one in the package (else /usr/local/sbin/orvpatch-check).
    type: str
    default: ""
  patcher: {description: The orvpatch to be run; empty for the one in the package., type: str, default: ""}
"""

import hashlib
import json
import os
import re
import shutil
import subprocess
import tarfile
import tempfile

from ansible.module_utils.basic import AnsibleModule
from ansible.module_utils.orvpatch_paths import unsafe_reason

INSTALLED_CHECK = "/usr/local/sbin/orvpatch-check"
MARKER = ".orvpatch-unpacked"
VERSION = re.compile(rb"@\(#\)orvpatch ([0-9A-Za-z.+-]+)")


class Refusal(Exception):
    pass


def sha256(path, algorithm="sha256"):
    digest = hashlib.new(algorithm)
    try:
        with open(path, "rb") as f:
            for block in iter(lambda: f.read(1 << 20), b""):
                digest.update(block)
    except OSError:
        return ""
    return digest.hexdigest()


def unpack(folder, tarball):
    """Puts the tarball's content into the folder, in place of what an
    earlier tarball left, unless this very tarball was unpacked last."""
    path = os.path.join(folder, tarball)
    sum_now = sha256(path)
    marker = os.path.join(folder, MARKER)
    try:
        with open(marker) as f:
            if f.read().strip() == sum_now and sum_now:
                return
    except OSError:
        pass
    try:
        archive = tarfile.open(path)
    except (OSError, tarfile.TarError) as e:
        raise Refusal("the package tarball cannot be read: %s" % e)
    with archive:
        members = []
        for member in archive.getmembers():
            name = os.path.normpath(member.name)
            if name == ".":
                continue
            if name.startswith("/") or name.split("/")[0] == ".." or not (member.isfile() or member.isdir()):
                raise Refusal("the package tarball holds %s, which is not a plain file or folder "
                              "below its top" % member.name)
            members.append((name, member))
        prune(folder, {tarball})
        for name, member in sorted(members, key=lambda m: m[0]):
            target = os.path.join(folder, name)
            if member.isdir():
                os.makedirs(target, 0o755, exist_ok=True)
                continue
            os.makedirs(os.path.dirname(target), 0o755, exist_ok=True)
            mode = 0o755 if member.mode & 0o111 else 0o644
            source = archive.extractfile(member)
            fd = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, mode)
            with os.fdopen(fd, "wb") as out:
                shutil.copyfileobj(source, out)
            os.chmod(target, mode)
    with open(marker, "w") as f:
        f.write(sum_now + "\n")


def prune(folder, keep):
    """Removes from the folder every file and folder not named in `keep`
    (relative names) and not on the way to one that is."""
    for top, folders, files in os.walk(folder, topdown=False):
        for name in files + folders:
            path = os.path.join(top, name)
            relative = os.path.relpath(path, folder)
            if relative in keep or any(k.startswith(relative + "/") for k in keep):
                continue
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            else:
                os.unlink(path)


def runnable(path, what):
    if not os.path.isfile(path):
        raise Refusal("%s %s is missing" % (what, path))
    reason = unsafe_reason(path)
    if reason is not None:
        raise Refusal("%s %s is not safe for root to run: %s" % (what, path, reason))
    return path


def patcher_version(path):
    with open(path, "rb") as f:
        found = VERSION.search(f.read())
    return found.group(1).decode() if found else ""


def ask(check, package, mode, root):
    argv = [check, "--json", "--package", package, "--mode", mode, "--root", root]
    done = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=600)
    try:
        report = json.loads(done.stdout)
    except ValueError:
        report = None
    if done.returncode not in (0, 1) or not isinstance(report, dict):
        raise RuntimeError("%s exited with %d: %s" % (check, done.returncode,
                                                      (done.stderr or done.stdout).decode(errors="replace").strip()))
    return report


def refusal_text(report, mode):
    said = report["modes"][mode]
    package = report["package"]
    reason = (said.get("log_line") or said.get("verdict")
              or ("files missing from the package: " + ", ".join(package.get("missing") or [])
                  if package.get("missing") else "")
              or ("unsafe names in the package: " + ", ".join(package.get("unsafe") or [])
                  if package.get("unsafe") else "")
              or "the check gave no reason")
    if said.get("verdict") and said.get("log_line"):
        reason += " (%s)" % said["verdict"]
    return "orvpatch-check: the %s would not pass on this host: %s" % (mode, reason)


def plain_name(name):
    return not name.startswith("/") and ".." not in name.split("/")


def digests(folder, names):
    """The SHA-256 of each named file of the folder ("" when missing or not a plain name)."""
    return [sha256(os.path.join(folder, n)) if plain_name(n) else "" for n in names]


def listing(folder, names, shown_as=None):
    return "".join("%s/%s sha256:%s\n" % (shown_as or folder, n, d or "(none)")
                   for n, d in zip(names, digests(folder, names)))


def new_target(steps):
    for step in steps:
        found = re.match(r"point (\S+/latest) at (\S+)$", step)
        if found:
            return found.group(2)
    return "(not told by the check)"


def make_folder(path):
    if not os.path.isabs(path):
        raise Refusal("the package folder %s is not an absolute path" % path)
    path = os.path.normpath(path)
    missing = []
    probe = path
    while not os.path.lexists(probe):
        missing.insert(0, probe)
        probe = os.path.dirname(probe)
    # Nothing is made in, or run from, a folder another user may change.
    for folder in [probe] + missing:
        if folder != probe:
            os.mkdir(folder, 0o755)
            os.chmod(folder, 0o755)
        reason = unsafe_reason(folder)
        if reason is not None:
            raise Refusal("the package folder %s is not safe for root to run from: %s" % (path, reason))
    if not os.path.isdir(path):
        raise Refusal("the package folder %s is not a folder" % path)
    return path


def stage(folder, files, sources):
    """Puts each received file in place once its checksum is the
    controller's; the names of the files still missing."""
    missing = []
    for entry in files:
        name = os.path.normpath(entry["name"])
        algorithm = "sha256" if entry.get("sha256") else "sha1"
        expected = entry.get(algorithm) or ""
        if not plain_name(name) or name == ".":
            raise Refusal("the package holds %s, which is not a plain name" % entry["name"])
        target = os.path.join(folder, name)
        if name not in sources:
            if sha256(target, algorithm) != expected:
                missing.append(entry["name"])
            continue
        os.makedirs(os.path.dirname(target), 0o755, exist_ok=True)
        digest = hashlib.new(algorithm)
        part = target + ".orvpatch-new"
        fd = os.open(part, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, 0o600)
        with open(sources[entry["name"]], "rb") as source, os.fdopen(fd, "wb") as out:
            for block in iter(lambda: source.read(1 << 20), b""):
                digest.update(block)
                out.write(block)
        if digest.hexdigest() != expected:
            os.unlink(part)
            raise RuntimeError("%s arrived damaged: its checksum is not the controller's" % name)
        os.chmod(part, int(str(entry.get("mode") or "0644"), 8) & 0o755)
        os.rename(part, target)
    return missing


def assess(p):
    intended = p["folder"]  # where a real run would stage the package
    folder = make_folder(tempfile.mkdtemp(prefix="orvpatch-check-") if p["temporary"] else p["folder"])
    p["folder"] = folder
    missing = stage(folder, p["files"], p["sources"])
    if missing:
        return dict(folder=folder, missing=missing)
    if p["tarball"]:
        unpack(folder, p["tarball"])
    else:
        prune(folder, {os.path.normpath(f["name"]) for f in p["files"]})
    staged_check = os.path.join(folder, "orvpatch-check")
    check = p["check"] or (staged_check if os.path.exists(staged_check) else INSTALLED_CHECK)
    patcher = runnable(p["patcher"] or os.path.join(folder, "orvpatch"), "the patcher")
    runnable(check, "the check")
    mode, root = p["mode"], p["root"]
    if not os.path.isabs(root):
        raise Refusal("orvpatch_root %s is not an absolute path" % root)
    report = ask(check, folder, mode, root)
    out = dict(folder=folder, check=check, patcher=patcher, check_version=report.get("tool_version", ""),
               patcher_version=patcher_version(patcher), build=0, new_folder=True,
               workdir=intended if p["temporary"] else folder, steps=[], diff={}, verdict=None,
               log_line=None)
    if out["check_version"] != out["patcher_version"]:
        raise Refusal("%s (version %s) and %s (version %s) are not of the same release" % (
            check, out["check_version"] or "unknown", patcher, out["patcher_version"] or "unknown"))
    package = report["package"]
    if not package.get("settings_readable"):
        raise Refusal("orvpatch-check: the %s would not pass on this host: the package settings "
                      "FileGroup1/orvpatch.ini cannot be read" % mode)
    settings = package["settings"]
    product = report["product"]
    build = int(settings.get("BuildNumber") or 0)
    new_folder = int(settings.get("CreateNewFolder") or 0) != 0
    files = settings.get("Files") or []
    backup = "%s/hotfix/B%d" % (product["root"], build)
    saved = os.path.isfile(backup + "/FileGroup1/orvpatch.ini")
    newest = product.get("newest") or ""
    out.update(build=build, new_folder=new_folder)
    if new_folder and mode == "update":
        installed = build != 0 and int((product.get("latest") or {}).get("build") or 0) == build
    elif new_folder:
        installed = build in [int(v.get("build") or 0) for v in product.get("versions") or []]
    elif mode == "update":
        ours = digests(os.path.join(folder, "FileGroup1"), files)
        installed = saved and bool(files) and all(ours) and ours == digests(newest, files)
    else:
        installed = saved
        if saved:
            # An in-place fix is rolled back from the files the update saved.
            report = ask(check, backup, "rollback", root)
            out["workdir"] = backup
    said = report["modes"][mode]
    out.update(steps=said.get("steps") or [], verdict=said.get("verdict"), log_line=said.get("log_line"))
    if (mode == "update") == installed:
        out["action"] = "done"
        out["reason"] = ("build %d is installed already; nothing to do" % build if mode == "update" else
                         "the hot fix of build %d is not installed; nothing to roll back" % build)
        return out
    if not said.get("would_pass"):
        raise Refusal(refusal_text(report, mode))
    out["action"] = "patch"
    out["reason"] = "orvpatch would %s build %d from %s" % (mode, build, out["workdir"])
    if new_folder:
        latest = (product.get("latest") or {}).get("target") or "(none)"
        out["diff"] = dict(before_header="program/latest", after_header="program/latest",
                           before="latest -> %s\n" % latest, after="latest -> %s\n" % new_target(out["steps"]))
    else:
        source = os.path.join(folder, "FileGroup1") if mode == "update" else backup + "/FileGroup1"
        out["diff"] = dict(before_header="files of %s" % newest, after_header="the same files after the %s" % mode,
                           before=listing(newest, files), after=listing(source, files, shown_as=newest))
    return out


def main():
    module = AnsibleModule(
        argument_spec=dict(folder=dict(type="str", required=True), temporary=dict(type="bool", default=False),
                           cleanup=dict(type="bool", default=False),
                           files=dict(type="list", elements="dict", required=True),
                           sources=dict(type="dict", default={}), tarball=dict(type="str", default=""),
                           mode=dict(type="str", required=True, choices=["update", "rollback"]),
                           root=dict(type="str", default="/"), check=dict(type="str", default=""),
                           patcher=dict(type="str", default="")),
        supports_check_mode=True)
    p = module.params
    try:
        out = assess(p)
    except Refusal as e:
        out = dict(action="refuse", reason=str(e))
    except (OSError, RuntimeError, subprocess.SubprocessError, KeyError, ValueError, TypeError) as e:
        out = dict(failed=True, msg="the package could not be staged or checked: %s" % e)
    finally:
        if p["cleanup"]:
            shutil.rmtree(p["folder"], ignore_errors=True)
    module.exit_json(changed=False, **out)


if __name__ == "__main__":
    main()
