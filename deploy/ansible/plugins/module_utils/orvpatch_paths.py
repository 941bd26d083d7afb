# Whether root may use a path: every folder on the way to it, and the path
# itself, must be out of reach of every user but root (and the user the
# module runs as). Otherwise a user could swap the package, the check or the
# patcher between the copy and the run, and root would run what they wrote.
# And how root opens a file it only reads: never through a link, never
# waiting on a FIFO.
import os
import stat


def open_plain(path, limit=None):
    """A descriptor on `path` when it is a regular file (never a link, a FIFO
    or a device, which could make root wait or read what is not ours), else None."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
    except OSError:
        return None
    if not stat.S_ISREG(os.fstat(fd).st_mode) or (limit is not None and os.fstat(fd).st_size > limit):
        os.close(fd)
        return None
    return fd


def _trusted(st):
    return st.st_uid in (0, os.geteuid())


def _others_may_write(st):
    # Group write counts only for a group other than root's.
    return bool(st.st_mode & stat.S_IWOTH) or (bool(st.st_mode & stat.S_IWGRP) and st.st_gid != 0)


def _walk(path, follow):
    """Why `path` is not safe when taken literally (follow=False: each link on
    the way must be root's, in a folder only root may write) or resolved
    (follow=True); None when it is."""
    parts = [p for p in path.split("/") if p]
    current = "/"
    parent = os.lstat(current)
    if not _trusted(parent) or _others_may_write(parent):
        return "/ may be written by others"
    for part in parts:
        current = os.path.join(current, part)
        try:
            st = os.lstat(current)
        except OSError as e:
            return "%s: %s" % (current, e.strerror)
        if not _trusted(st):
            return "%s belongs to user %d" % (current, st.st_uid)
        # A folder others may write is safe only when it keeps them from
        # renaming what they do not own (sticky bit, as /tmp).
        if _others_may_write(parent) and not parent.st_mode & stat.S_ISVTX:
            return "%s may be written by others" % os.path.dirname(current)
        if stat.S_ISLNK(st.st_mode):
            if follow:
                return "%s is a link" % current
            parent = os.stat(current)
            continue
        parent = st
    if _others_may_write(parent):
        return "%s may be written by others" % current
    return None


def unsafe_reason(path):
    """None when neither `path` nor any folder on the way to it (as given and
    with links resolved) may be changed by a user other than root; else why."""
    if not os.path.isabs(path):
        return "%s is not an absolute path" % path
    return _walk(os.path.normpath(path), False) or _walk(os.path.realpath(path), True)
