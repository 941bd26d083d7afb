// The demonstration interrupted with SIGINT half way: it exits with 130 and
// leaves no simulator process and no test folder behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/TempDir.h"

namespace {

// Processes whose command line mentions `text`.
std::vector<std::string> ProcessesMentioning(const std::string& text) {
    std::vector<std::string> found;
    for (const std::string& name : testsupport::FolderNames("/proc")) {
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::string line = testsupport::ReadFile("/proc/" + name + "/cmdline");
        for (char& c : line) {
            c = c == '\0' ? ' ' : c;
        }
        if (line.find(text) != std::string::npos) {
            found.push_back(name + ": " + line);
        }
    }
    return found;
}

TEST(Demo, InterruptedMidRunLeavesNothingBehind) {
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t demo = fork();
    ASSERT_GE(demo, 0);
    if (demo == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        std::string program = std::string(ORVPATCH_BUILD_DIR) + "/orvpatch-demo";
        execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);

    // Read until the first run is shown: the servers and their tasks run then.
    std::string text;
    const std::string marker = "orvpatch demonstration on a test machine in ";
    char buffer[4096];
    while (text.find("== Update") == std::string::npos) {
        ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    ASSERT_NE(text.find("== Update"), std::string::npos) << text;
    size_t at = text.find(marker);
    ASSERT_NE(at, std::string::npos) << text;
    std::string root = text.substr(at + marker.size());
    root = root.substr(0, root.find('\n'));
    ASSERT_FALSE(ProcessesMentioning(root).empty()) << "no simulator ran in " << root;

    ASSERT_EQ(kill(demo, SIGINT), 0);
    int status = 0;
    ASSERT_EQ(waitpid(demo, &status, 0), demo);
    close(out[0]);
    ASSERT_TRUE(WIFEXITED(status)) << "the demonstration died of signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 130);

    // Simulator processes end at SIGKILL; give the kernel a moment to reap them.
    std::vector<std::string> left;
    for (int tries = 0; tries < 50; ++tries) {
        left = ProcessesMentioning(root);
        if (left.empty()) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(left.empty()) << left.front();
    EXPECT_FALSE(testsupport::PathExists(root));
}

}  // namespace
