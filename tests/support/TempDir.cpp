#include "support/TempDir.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "UpdateORV/KvFileOpUtil.h"

namespace testsupport {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/orvpatch-test-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed for " + pattern);
    }
    m_path = buf.data();
    // Reachable and writable by unprivileged children that tests start;
    // sticky, as /tmp is, so that root's folders below it count as root's.
    chmod(m_path.c_str(), 01777);
}

TempDir::TempDir(const std::string& path) : m_path(path) {
    if (path.empty() || path[0] != '/') {
        throw std::runtime_error("test folder must be an absolute path: " + path);
    }
    MakeDirs(path);
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        throw std::runtime_error("test folder is not a folder: " + path);
    }
    if (!FolderNames(path).empty()) {
        // Never take over (and later remove) a folder that holds something.
        throw std::runtime_error("test folder is not empty: " + path);
    }
    chmod(m_path.c_str(), 01777);
}

TempDir::~TempDir() {
    if (!m_keep) {
        RemoveTree(m_path);
    }
}

std::string TempDir::sub(const std::string& relative) const {
    return m_path + "/" + relative;
}

void MakeDirs(const std::string& path) {
    std::string::size_type pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        std::string part = path.substr(0, pos);
        if (!part.empty()) {
            mkdir(part.c_str(), 0777);
        }
    }
}

void WriteFile(const std::string& path, const std::string& content) {
    std::string::size_type slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        MakeDirs(path.substr(0, slash));
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
    out << content;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool PathExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void RemoveTree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        return;
    }
    if (S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), 0700);  // tests may leave folders unreadable
        if (DIR* dir = opendir(path.c_str())) {
            std::vector<std::string> names;
            while (struct dirent* e = readdir(dir)) {
                std::string name = e->d_name;
                if (name != "." && name != "..") {
                    names.push_back(name);
                }
            }
            closedir(dir);
            for (const std::string& name : names) {
                RemoveTree(path + "/" + name);
            }
        }
        if (rmdir(path.c_str()) != 0 && errno == ENOTEMPTY) {
            // What lies deeper than a path may name (such as a 2,100-level
            // chain) goes by descriptor, through the product's own delete.
            KvORVFileOpUtil::xunlink(path.c_str(), nullptr, nullptr);
        }
    } else {
        ::unlink(path.c_str());
    }
}

mode_t ModeOf(const std::string& path, Follow follow) {
    struct stat st;
    int got = follow == Follow::Links ? stat(path.c_str(), &st) : lstat(path.c_str(), &st);
    return got == 0 ? (st.st_mode & 07777) : 0;
}

std::string LinkTarget(const std::string& path) {
    std::vector<char> buf(4096);
    for (;;) {
        ssize_t n = readlink(path.c_str(), buf.data(), buf.size());
        if (n < 0) {
            return std::string();
        }
        if (static_cast<size_t>(n) < buf.size()) {
            return std::string(buf.data(), static_cast<size_t>(n));
        }
        buf.resize(buf.size() * 2);
    }
}

std::string WorkingFolder() {
    std::vector<char> buf(4096);
    return getcwd(buf.data(), buf.size()) != nullptr ? std::string(buf.data()) : std::string();
}

InFolder::InFolder(const std::string& folder) : m_saved(WorkingFolder()) {
    if (m_saved.empty() || chdir(folder.c_str()) != 0) {
        throw std::runtime_error("cannot change the working folder to " + folder);
    }
}

InFolder::~InFolder() {
    if (chdir(m_saved.c_str()) != 0) {
        // Every later test would run in the wrong folder: stop here.
        std::abort();
    }
}

std::vector<std::string> FolderNames(const std::string& folder, bool sorted) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (struct dirent* e = readdir(dir)) {
            std::string name = e->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        closedir(dir);
    }
    if (sorted) {
        std::sort(names.begin(), names.end());
    }
    return names;
}

}  // namespace testsupport
