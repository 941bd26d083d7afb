# Keeps the lines a run of orvpatch added to a host's log in a file of their
# own on the controller; a second run within the same second gets a name of
# its own.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

import os

from ansible.module_utils.common.text.converters import to_bytes


def keep(folder, name, lines):
    """Writes `lines` to `folder`/`name` (made anew: never over another
    file) and returns the path."""
    folder = os.path.expanduser(str(folder))
    name = str(name)
    if not os.path.isabs(folder) or not name or "/" in name or name.startswith("."):
        raise ValueError("folder must be an absolute path and name a plain file name")
    os.makedirs(folder, 0o755, exist_ok=True)
    base, extension = os.path.splitext(os.path.join(folder, name))
    path, n = base + extension, 1
    while True:
        try:
            fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
            break
        except FileExistsError:
            n += 1
            path = "%s-%d%s" % (base, n, extension)
    with os.fdopen(fd, "wb") as f:
        f.write(to_bytes("".join("%s\n" % line for line in lines or [])))
    return path
