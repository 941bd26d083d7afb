// Helpers shared by the hot-fix program-file units (version folders, the
// library swap, the loaders, the fix-ups) and the update and rollback
// procedures. Not part of the patcher's public interface.
#pragma once

#include <unistd.h>

#include <cerrno>

#include <string>
#include <vector>

// Gives `path` the product's permissions: mode 0775 and the group
// `orvgroup`. With `recursive`, every file and folder below a folder gets
// them too. Symbolic links are never followed: a link gets the group on the
// link itself and keeps its mode, and the walk never descends through one.
// Where the group does not exist only the mode is set. Reports nothing.
void SetProductPermissions(const std::string& path, bool recursive);

// Whether a package file name stays inside the folder it is used in: false
// for an empty name, an absolute one, one with a ".." component, and one that
// names the folder itself ("." or "./"). "\" counts as a separator, since the
// file library rewrites it to "/".
bool IsPackageNameSafe(const std::string& name);

// Renames, in `folder`, each listed name + "_1" back to the name, where that
// backup exists: undoes RenameAllDlls when the new files cannot all be put
// in place, and in the rollback. 1 when every existing backup was renamed
// back, 0 when one could not be or `folder` cannot be entered.
int RestoreRenamedDlls(char* folder);

// Remembers the working folder at construction and changes back into it at
// destruction, for operations that change into another folder on the way.
class SavedWorkingFolder {
  public:
    SavedWorkingFolder() {
        std::vector<char> buf(1024);
        while (getcwd(buf.data(), buf.size()) == nullptr) {
            if (errno != ERANGE) {
                return;  // nothing to change back into
            }
            buf.resize(buf.size() * 2);
        }
        m_path = buf.data();
    }
    ~SavedWorkingFolder() {
        if (!m_path.empty() && chdir(m_path.c_str()) != 0) {
            // Nothing better to do: the folder went away meanwhile.
        }
    }
    SavedWorkingFolder(const SavedWorkingFolder&) = delete;
    SavedWorkingFolder& operator=(const SavedWorkingFolder&) = delete;

  private:
    std::string m_path;
};
