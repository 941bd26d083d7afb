# What the host needs, as orvpatch-check tells it: the package folder made
# and checked, the package staged into it (only what the role's manifest
# lists is ever removed again), and the check's report settled as "patch",
# "done" or "refuse". Used by orvpatch_assess before a run and by
# orvpatch_run right after one, on the host, in the same job.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

import hashlib
import json
import os
import re
import shutil
import stat
import subprocess
import tarfile
import tempfile

from ansible_collections.varnel.orvpatch.plugins.module_utils import orvpatch_job as job
from ansible_collections.varnel.orvpatch.plugins.module_utils.orvpatch_paths import open_plain, unsafe_reason

INSTALLED_CHECK = "/usr/local/sbin/orvpatch-check"

# What the check is asked about, as orvpatch_assess and orvpatch_run's
# re-check take it.
CHECK_ARGS = dict(package=dict(type="path", required=True), folder=dict(type="str", required=True),
                  files=dict(type="list", elements="dict", required=True), tarball=dict(type="str", default=""),
                  mode=dict(type="str", required=True, choices=["update", "rollback"]),
                  root=dict(type="str", default="/"), check=dict(type="str", default=""),
                  patcher=dict(type="str", default=""), signed=dict(type="bool", default=False))
MANIFEST = ".orvpatch-manifest"
UNPACKING = ".orvpatch-unpacking"  # where a tarball is unpacked before its files take their places
VERSION = re.compile(rb"@\(#\)orvpatch ([0-9A-Za-z.+-]+)")


class Refusal(Exception):
    pass


def sha256(path, algorithm="sha256"):
    """The file's digest; "" when it is missing or not a regular file."""
    fd = open_plain(path)
    if fd is None:
        return ""
    digest = hashlib.new(algorithm)
    with os.fdopen(fd, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def inside(path, base):
    return path == base or path.startswith(base.rstrip("/") + "/")


def product_folders(root):
    """The product root and the Domino folders named in the registry
    (<root>/etc/orvsys.ini), read before anything is staged."""
    fd = open_plain(os.path.join(root, "etc/orvsys.ini"), limit=1 << 20)
    if fd is None:
        return []
    with os.fdopen(fd, "rb") as f:
        text = f.read().decode("utf-8", errors="replace")
    found = []
    for line in text.splitlines():
        key, equals, value = line.partition("=")
        if equals and key.strip().endswith("Path") and value.strip().startswith("/"):
            value = value.strip()
            found.append(os.path.dirname(value) if key.strip().endswith("IniPath") else value)
    return found


def refuse_product_folder(folder, bases):
    real = os.path.realpath(folder)
    for base in bases:
        if base and (inside(folder, os.path.normpath(base)) or inside(real, os.path.realpath(base))):
            raise Refusal("the package folder %s is inside %s, a folder of the product or of a Domino server; "
                          "name a folder of its own" % (folder, base))


class Manifest(object):
    """What the role put into the package folder: the only names it ever
    removes there. Written before anything it lists is made."""

    def __init__(self, folder):
        self.folder = folder
        self.path = os.path.join(folder, MANIFEST)
        self.names, self.tarball_sha256, self.saved = set(), "", None
        fd = open_plain(self.path, limit=16 << 20)
        if fd is not None:
            with os.fdopen(fd, "rb") as f:
                self.saved = f.read().decode()
            data = json.loads(self.saved or "{}")
            self.names = set(data.get("names") or [])
            self.tarball_sha256 = data.get("tarball_sha256") or ""
            return
        if os.path.lexists(self.path) or os.listdir(folder):
            shown = sorted(os.listdir(folder))
            raise Refusal("the package folder %s holds files the role did not put there (%s%s); name a new or "
                          "empty folder for the package" % (folder, ", ".join(shown[:5]),
                                                             ", ..." if len(shown) > 5 else ""))
        self.save()

    def save(self):
        text = json.dumps(dict(made_by="varnel.orvpatch", tarball_sha256=self.tarball_sha256,
                               names=sorted(self.names)))
        if text == self.saved:
            return  # a repeated run leaves the folder as it was
        part = self.path + ".new"
        fd = os.open(part, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, 0o644)
        with os.fdopen(fd, "w") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        os.rename(part, self.path)
        self.saved = text

    def claim(self, names):
        """Lists `names` (and the folders on their way) before they are made;
        refuses one that exists but was not made by the role."""
        new = set()
        for name in names:
            while name not in ("", "."):
                if name not in self.names:
                    if os.path.lexists(os.path.join(self.folder, name)) and not os.path.isdir(
                            os.path.join(self.folder, name)):
                        raise Refusal("%s in the package folder was not put there by the role; it is left alone "
                                      "and the package is not staged" % name)
                    new.add(name)
                name = os.path.dirname(name)
        if new:
            self.names |= new
            self.save()

    def prune(self, keep):
        """Removes what the manifest lists and `keep` does not (a folder
        only when empty): nothing the role did not make, and never the
        record of a run."""
        for name in sorted(self.names - set(keep) - {job.NAME}, key=lambda n: (-n.count("/"), n)):
            path = os.path.join(self.folder, name)
            try:
                if stat.S_ISDIR(os.lstat(path).st_mode):
                    os.rmdir(path)
                else:
                    os.unlink(path)
            except FileNotFoundError:
                pass
            except OSError:
                continue  # a folder holding what is not ours stays, and stays listed
            self.names.discard(name)
        self.save()


def member_name(member, tarball):
    """The member's name below the package folder; None for the top itself.
    Refuses anything but a plain file or folder below the top, and the names
    the role keeps for itself."""
    name = os.path.normpath(member.name)
    if name == ".":
        return None
    if name.startswith("/") or name.split("/")[0] == ".." or not (member.isfile() or member.isdir()):
        raise Refusal("the package tarball holds %s, which is not a plain file or folder below its top" % member.name)
    if name in (MANIFEST, tarball, UNPACKING, job.NAME):
        raise Refusal("the package tarball holds %s, a name the role keeps for itself" % member.name)
    return name


def unpack_into(work, path, tarball):
    """Unpacks the tarball into the new folder `work` in one pass over it;
    the names it holds."""
    names = []
    with tarfile.open(path, "r|*") as archive:
        for member in archive:
            name = member_name(member, tarball)
            if name is None:
                continue
            names.append(name)
            target = os.path.join(work, name)
            if member.isdir():
                os.makedirs(target, 0o755, exist_ok=True)
                continue
            os.makedirs(os.path.dirname(target), 0o755, exist_ok=True)
            if os.path.lexists(target):
                os.unlink(target)  # a name the tarball holds twice: the last one counts
            mode = 0o755 if member.mode & 0o111 else 0o644
            fd = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, mode)
            with os.fdopen(fd, "wb") as out:
                shutil.copyfileobj(archive.extractfile(member), out, 1 << 20)
            os.chmod(target, mode)
    return names


def unpack(folder, tarball, manifest):
    """Puts the tarball's content into the folder, in place of what an
    earlier tarball left, unless this very tarball was unpacked last. It is
    unpacked aside first, in one pass, so that a tarball refused half-way
    changes nothing the folder showed."""
    path = os.path.join(folder, tarball)
    sum_now = sha256(path)
    if sum_now and manifest.tarball_sha256 == sum_now:
        return
    work = os.path.join(folder, UNPACKING)
    manifest.claim([UNPACKING])
    if os.path.isdir(work) and not os.path.islink(work):
        shutil.rmtree(work)  # left by an earlier run that was stopped
    elif os.path.lexists(work):
        os.unlink(work)
    os.mkdir(work, 0o700)
    try:
        names = unpack_into(work, path, tarball)
    except (OSError, tarfile.TarError) as e:
        shutil.rmtree(work, ignore_errors=True)
        raise Refusal("the package tarball cannot be read: %s" % e)
    except Refusal:
        shutil.rmtree(work, ignore_errors=True)
        raise
    manifest.claim(names)
    manifest.tarball_sha256 = ""
    manifest.prune(set(names) | {tarball, UNPACKING})
    for name in sorted(names):
        source, target = os.path.join(work, name), os.path.join(folder, name)
        if os.path.isdir(source):
            if not os.path.isdir(target) or os.path.islink(target):
                if os.path.lexists(target):
                    os.unlink(target)
                os.mkdir(target, 0o755)
            continue
        os.makedirs(os.path.dirname(target), 0o755, exist_ok=True)
        os.rename(source, target)  # in place of the earlier file of that name, listed in the manifest
    shutil.rmtree(work)
    manifest.tarball_sha256 = sum_now
    manifest.save()


def runnable(path, what):
    if not os.path.isfile(path):
        raise Refusal("%s %s is missing" % (what, path))
    reason = unsafe_reason(path)
    if reason is not None:
        raise Refusal("%s %s is not safe for root to run: %s" % (what, path, reason))
    return path


def patcher_version(path):
    fd = open_plain(path)
    if fd is None:
        return ""
    with os.fdopen(fd, "rb") as f:
        found = VERSION.search(f.read())
    return found.group(1).decode() if found else ""


def ask(check, package, mode, root):
    rc, report, err = run_check([check, "--json", "--package", package, "--mode", mode, "--root", root])
    if rc not in (0, 1) or report is None:
        raise RuntimeError("%s exited with %d: %s" % (check, rc, err))
    return report


def run_check(argv):
    """(exit status, parsed JSON or None, standard error) of one run of the check."""
    done = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=600)
    try:
        report = json.loads(done.stdout)
    except ValueError:
        report = None
    return done.returncode, report if isinstance(report, dict) else None, done.stderr.decode(errors="replace").strip()


def said_error(report, err):
    """Why the check could not answer: the "error" of its JSON, else its standard error."""
    return str((report or {}).get("error") or err)


def unknown_option(err, option):
    return "unknown option '%s'" % option in err


def ledger_lists(check, root, build):
    """Whether the ledger (orvpatch-check --list) lists `build` as installed,
    by its newest entry; None when the host's check has no --list."""
    rc, report, err = run_check([check, "--list", "--json", "--root", root])
    if rc != 0 and unknown_option(err, "--list"):
        return None
    if rc != 0 or report is None or not isinstance(report.get("fixes"), list):
        raise RuntimeError("%s --list exited with %d: %s" % (check, rc, said_error(report, err)))
    for fix in report["fixes"]:  # newest first
        if isinstance(fix, dict) and fix.get("build") == build:
            return fix.get("status") == "installed"
    return False


def verify_installed(check, root):
    """What orvpatch-check --verify finds of what the installed fixes put in place."""
    rc, report, err = run_check([check, "--verify", "--json", "--root", root])
    if rc != 0 and unknown_option(err, "--verify"):
        return dict(state="not supported", findings=[], reason="%s has no --verify" % check)
    if rc in (0, 1) and report is not None and isinstance(report.get("findings"), list):
        return dict(state="findings" if rc == 1 else "clean", findings=report["findings"],
                    reason="" if not report.get("unknown_fixes") else
                    "%s fix(es) made before the ledger are not known" % report["unknown_fixes"])
    return dict(state="cannot tell", findings=[], reason=said_error(report, err) or "exit status %d" % rc)


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


def make_folder(path, root):
    """The package folder, made where missing; refused when another user may
    change it or a folder on the way, or when it lies in the product or a
    Domino folder."""
    if not os.path.isabs(path):
        raise Refusal("the package folder %s is not an absolute path" % path)
    path = os.path.normpath(path)
    refuse_product_folder(path, product_folders(root))
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
    if not os.path.isdir(path) or os.path.islink(path):
        raise Refusal("the package folder %s is not a folder" % path)
    return path


def stage(folder, files, sources, manifest):
    """Puts each received file in place once its checksum is the
    controller's; the names of the files still missing."""
    missing, names = [], []
    for entry in files:
        name = os.path.normpath(entry["name"])
        if not plain_name(name) or name in (".", MANIFEST):
            raise Refusal("the package holds %s, which is not a plain name" % entry["name"])
        names.append(name)
    manifest.claim([n for n in names if n in sources])
    for entry, name in zip(files, names):
        algorithm = "sha256" if entry.get("sha256") else "sha1"
        expected = entry.get(algorithm) or ""
        target = os.path.join(folder, name)
        if name not in sources:
            if sha256(target, algorithm) != expected:
                missing.append(entry["name"])
            continue
        parent = os.path.dirname(target)
        if not os.path.isdir(parent):
            os.makedirs(parent, 0o755)
        digest = hashlib.new(algorithm)
        part = target + ".orvpatch-new"
        manifest.claim([name + ".orvpatch-new"])
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
    return missing, names


def product_state(report, build, files, root_folder):
    """A digest of what the check sees of the product: two that differ mean
    the host changed in between."""
    product = report.get("product") or {}
    newest = product.get("newest") or ""
    seen = dict(latest=(product.get("latest") or {}).get("target"),
                versions=sorted(v.get("name") or "" for v in product.get("versions") or []),
                saved=os.path.isfile("%s/hotfix/B%d/FileGroup1/orvpatch.ini" % (root_folder, build)),
                files=digests(newest, files) if newest else [])
    return hashlib.sha256(json.dumps(seen, sort_keys=True).encode()).hexdigest()


def install_keys(folder, keys):
    """Puts each signing key (name and text) into the keys folder, root's,
    mode 0644, in a folder of root's of mode 0755, made where missing; keys
    already there stay. The names of the keys written."""
    written = []
    try:
        os.makedirs(folder, 0o755, exist_ok=True)
        fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW)
    except OSError as e:
        raise RuntimeError("the signing keys could not be installed into %s: %s" % (folder, e))
    try:
        os.fchown(fd, 0, 0)
        os.fchmod(fd, 0o755)
        for key in keys:
            name, text = str(key.get("name") or ""), str(key.get("text") or "").encode()
            if "/" in name or name.startswith(".") or not name.endswith(".pub"):
                raise Refusal("the signing key %s is not a plain file name ending in .pub" % name)
            try:
                held = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK, dir_fd=fd)
                with os.fdopen(held, "rb") as f:
                    st = os.fstat(f.fileno())
                    if (stat.S_ISREG(st.st_mode) and (st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)) == (0, 0, 0o644)
                            and f.read(len(text) + 1) == text):
                        continue
            except OSError:
                pass  # missing, or not a file of ours: written anew
            part = name + ".orvpatch-new"
            out = os.open(part, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, 0o600, dir_fd=fd)
            with os.fdopen(out, "wb") as f:
                f.write(text)
                os.fchown(f.fileno(), 0, 0)
                os.fchmod(f.fileno(), 0o644)
                f.flush()
                os.fsync(f.fileno())
            os.rename(part, name, src_dir_fd=fd, dst_dir_fd=fd)
            written.append(name)
    except OSError as e:
        raise RuntimeError("the signing keys could not be installed into %s: %s" % (folder, e))
    finally:
        os.close(fd)
    return written


def earlier_run(folder):
    """The result of an earlier run whose end the controller never learned,
    taken from its record, which is removed; {} when there is none, or the
    run still goes on."""
    try:
        data = job.read(folder)
    except ValueError as e:
        raise Refusal("the record of an earlier run in %s cannot be read: %s" % (folder, e))
    if data is None or not data.get("finished"):
        return {}
    os.unlink(job.path(folder))
    return dict(earlier_run=dict((k, data.get(k)) for k in ("log_name", "log_lines", "rc", "stdout")))


def assess(p):
    intended = p["folder"]  # where a real run would stage the package
    if p["temporary"]:
        p["made"] = tempfile.mkdtemp(prefix="orvpatch-check-")
        folder = make_folder(p["made"], p["root"])
        refuse_product_folder(os.path.normpath(intended), product_folders(p["root"]))
    else:
        folder = make_folder(p["folder"], p["root"])
    p["folder"] = folder
    manifest = Manifest(folder)
    if not p["temporary"] and not p["recheck"]:
        p["seen"].update(earlier_run(folder))
        if p.get("keys"):
            p["seen"]["keys_installed"] = install_keys(p["keys_folder"], p["keys"])
    if not p["recheck"]:
        missing, names = stage(folder, p["files"], p["sources"], manifest)
        if missing:
            return dict(folder=folder, missing=missing)
        if p["tarball"]:
            unpack(folder, p["tarball"], manifest)
        else:
            manifest.prune(names)
    staged_check = os.path.join(folder, "orvpatch-check")
    check = p["check"] or (staged_check if os.path.exists(staged_check) else INSTALLED_CHECK)
    patcher = runnable(p["patcher"] or os.path.join(folder, "orvpatch"), "the patcher")
    runnable(check, "the check")
    mode, root = p["mode"], p["root"]
    if not os.path.isabs(root):
        raise Refusal("orvpatch_root %s is not an absolute path" % root)
    if p["verify"]:
        p["seen"]["verify"] = verify_installed(check, root)
    report = ask(check, folder, mode, root)
    if isinstance(report.get("signature"), dict):
        p["seen"]["signature"] = report["signature"]
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
    out.update(build=build, new_folder=new_folder, state=product_state(report, build, files, product["root"]))
    refuse_product_folder(intended, [product["root"]] + [
        i.get(k) for i in report.get("installations") or [] for k in ("data_folder", "program_folder")])
    signature = p["seen"].get("signature") or {}
    if p["signed"] and mode == "update" and signature.get("state") != "verified":
        raise Refusal("the package is not signed by a trusted key, and signing keys are set: the check finds its "
                      "signature %s" % (signature.get("state") or "not reported (%s is too old)" % check))
    listed = ledger_lists(check, root, build) if p["recheck"] else None
    out["installed_by"] = "report" if listed is None else "ledger"
    if listed is not None:
        installed = listed
    elif new_folder and mode == "update":
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


def recheck(args):
    """What the check sees once a run has ended: nothing is staged, the
    package already in the folder is asked about again, and the ledger tells
    whether the fix is installed."""
    return settle(dict(args, temporary=False, recheck=True, sources={}, verify=False))


def settle(p):
    """assess(p), with a refusal and a failure told as results: the host's
    answer as the modules return it."""
    p.setdefault("seen", {})  # the signature and the --verify findings, kept for a refused host too
    try:
        return dict(p["seen"], **assess(p))
    except Refusal as e:
        return dict(p["seen"], action="refuse", reason=str(e))
    except (OSError, RuntimeError, subprocess.SubprocessError, KeyError, ValueError, TypeError) as e:
        return dict(failed=True, msg="the package could not be staged or checked: %s" % e)
    finally:
        if p.get("made"):
            shutil.rmtree(p["made"], ignore_errors=True)

