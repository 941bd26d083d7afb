// A picture of a folder tree for tests that must show what a run changed,
// or that it changed nothing: every entry with its type, mode, owner, size,
// content hash (or link target) and, when asked, its modification time.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace testsupport {

// Relative path -> one line describing the entry: type, mode, uid, gid,
// size, content hash (or link target), mtime (when times are kept). The root
// itself is the entry ".".
using Snapshot = std::map<std::string, std::string>;

struct SnapshotOptions {
    std::vector<std::string> ignore;  // relative paths left out, with everything below them
    bool times = true;                // include modification times
};

// Walks `root` without following links; regular files are read, FIFOs,
// sockets and devices never opened. A file or folder the caller may not read
// is marked "unreadable" in its line. Throws when `root` does not exist.
Snapshot TakeSnapshot(const std::string& root, const SnapshotOptions& options = SnapshotOptions());

// Human-readable differences ("changed: a/b ...", "added: ...", "removed: ..."),
// in path order; empty when identical.
std::vector<std::string> DiffSnapshots(const Snapshot& before, const Snapshot& after);

}  // namespace testsupport
