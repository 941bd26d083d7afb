#include "support/DominoSimFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace testsupport {
namespace domsim {

std::string JournalPath(const std::string& dataDir) {
    return dataDir + "/console.journal";
}
std::string ServerLockPath(const std::string& dataDir) {
    return dataDir + "/~notes.lck";
}
std::string TaskFolder(const std::string& dataDir) {
    return dataDir + "/orvtemp";
}
std::string ControlFolder(const std::string& dataDir) {
    return dataDir + "/.domsim";
}
std::string PidFolder(const std::string& dataDir) {
    return ControlFolder(dataDir) + "/pids";
}
std::string QuitFolder(const std::string& dataDir) {
    return ControlFolder(dataDir) + "/quit";
}
std::string DelayFolder(const std::string& dataDir) {
    return ControlFolder(dataDir) + "/delay";
}
std::string ConsoleDelayPath(const std::string& dataDir) {
    return ControlFolder(dataDir) + "/console-delay";
}

void MakeOpenFolder(const std::string& path) {
    if (mkdir(path.c_str(), 0777) == 0) {
        chmod(path.c_str(), 0777);  // whatever the creation mask
    }
}

void PrepareControlFolders(const std::string& dataDir) {
    MakeOpenFolder(ControlFolder(dataDir));
    MakeOpenFolder(PidFolder(dataDir));
    MakeOpenFolder(QuitFolder(dataDir));
    MakeOpenFolder(DelayFolder(dataDir));
}

pid_t LockHolder(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    struct flock probe = {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = 0;
    probe.l_len = 0;
    pid_t holder = 0;
    if (fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK) {
        holder = probe.l_pid;
    }
    close(fd);
    return holder;
}

std::string Lower(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

bool SameName(const std::string& a, const std::string& b) {
    return Lower(a) == Lower(b);
}

std::vector<ProcessRecord> ReadProcessRecords(const std::string& dataDir) {
    std::vector<ProcessRecord> records;
    std::string folder = PidFolder(dataDir);
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        return records;
    }
    while (struct dirent* e = readdir(dir)) {
        char* end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (end == e->d_name || *end != '\0' || pid <= 0) {
            continue;
        }
        ProcessRecord rec;
        rec.file = folder + "/" + e->d_name;
        rec.pid = static_cast<pid_t>(pid);
        if (FILE* f = std::fopen(rec.file.c_str(), "r")) {
            char line[512] = {};
            if (std::fgets(line, sizeof line, f) != nullptr) {
                std::string text(line);
                while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
                    text.pop_back();
                }
                std::string::size_type blank = text.find(' ');
                rec.role = text.substr(0, blank);
                if (blank != std::string::npos) {
                    rec.task = text.substr(blank + 1);
                }
            }
            std::fclose(f);
        }
        // Probing our own record would drop our own lock on it (closing any
        // descriptor of a file releases the process's locks on that file).
        rec.alive = rec.pid == getpid() || LockHolder(rec.file) == rec.pid;
        records.push_back(rec);
    }
    closedir(dir);
    return records;
}

int RecordThisProcess(const std::string& dataDir, const std::string& role) {
    PrepareControlFolders(dataDir);
    std::string path = PidFolder(dataDir) + "/" + std::to_string(getpid());
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return -1;
    }
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_SETLK, &lock) != 0) {
        close(fd);
        return -1;
    }
    std::string text = role + "\n";
    ssize_t ignored = write(fd, text.data(), text.size());
    (void)ignored;
    return fd;
}

std::string EscapeField(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string UnescapeField(const std::string& text) {
    std::string out;
    for (std::string::size_type i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        char next = text[++i];
        out += next == 't' ? '\t' : next == 'n' ? '\n' : next == 'r' ? '\r' : next;
    }
    return out;
}

long ReadNumberFile(const std::string& path, long fallback) {
    FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) {
        return fallback;
    }
    char text[64] = {};
    bool got = std::fgets(text, sizeof text, f) != nullptr;
    std::fclose(f);
    if (!got) {
        return fallback;
    }
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    return end == text ? fallback : value;
}

void WriteControlFile(const std::string& path, const std::string& content) {
    std::string temp = path + ".new." + std::to_string(getpid());
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return;
    }
    fchmod(fd, 0666);
    ssize_t ignored = write(fd, content.data(), content.size());
    (void)ignored;
    close(fd);
    if (rename(temp.c_str(), path.c_str()) != 0) {
        unlink(temp.c_str());
    }
}

long long NowMillis() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void PauseMillis(long ms) {
    if (ms <= 0) {
        return;
    }
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace domsim
}  // namespace testsupport
