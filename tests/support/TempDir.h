// A temporary folder for one test, removed with everything below it at the end.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

class TempDir {
  public:
    TempDir();  // a fresh folder under $TMPDIR or /tmp, mode 01777 as /tmp
    // Takes `path` as the folder: created when missing; it must be empty.
    explicit TempDir(const std::string& path);
    ~TempDir();  // removes the folder unless kept
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    // path() + "/" + relative
    std::string sub(const std::string& relative) const;
    // Leaves the folder and its contents in place at destruction.
    void keep() { m_keep = true; }

  private:
    std::string m_path;
    bool m_keep = false;
};

// Small file helpers for tests.
void WriteFile(const std::string& path, const std::string& content);  // creates parents
std::string ReadFile(const std::string& path);                        // "" when missing
bool PathExists(const std::string& path);                             // lstat succeeds
void MakeDirs(const std::string& path);                               // like mkdir -p
void RemoveTree(const std::string& path);  // like rm -rf, no links followed
// Permission bits of `path` itself (a link's own), or of what a link points
// at with Follow::Links; 0 when missing.
enum class Follow { None, Links };
mode_t ModeOf(const std::string& path, Follow follow = Follow::None);
std::string LinkTarget(const std::string& path);  // "" when not a link
// The entry names of `folder` without "." and "..": sorted, or in readdir's order.
std::vector<std::string> FolderNames(const std::string& folder, bool sorted = true);

std::string WorkingFolder();  // the process's working folder
// Makes `folder` the working folder for its lifetime (throws when it cannot)
// and puts the earlier one back at the end.
class InFolder {
  public:
    explicit InFolder(const std::string& folder);
    ~InFolder();
    InFolder(const InFolder&) = delete;
    InFolder& operator=(const InFolder&) = delete;

  private:
    std::string m_saved;
};

}  // namespace testsupport
