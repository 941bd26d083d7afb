// Builds test machines and hot-fix packages for the fleet test, where each
// machine stands for one host of an Ansible inventory and is used by other
// processes long after this program has ended.
//
//   fleethost machine ROOT        a test machine in ROOT (which must not exist
//                                 or be empty): builds 1234 and program/latest
//                                 on it, one server with its tasks running.
//                                 The servers' data folders are printed, one a
//                                 line; their simulator processes keep running.
//   fleethost package DIR BUILD [DEPENT] [inplace|nosettings]
//                                 a package folder DIR holding FileGroup1/ for
//                                 BUILD (libalpha.so and libbeta.so; without
//                                 orvpatch.ini for nosettings), the test build
//                                 of the patcher as orvpatch and the check
//                                 beside it, as a release package has them.
//   fleethost stop ROOT           ends every simulator process of the machine.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/DominoSim.h"
#include "support/TempDir.h"
#include "support/TestMachine.h"

using namespace testsupport;

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: fleethost machine ROOT | package DIR BUILD [DEPENT] "
                 "[inplace|nosettings] | stop ROOT\n");
    return 2;
}

int ParseBuild(const std::string& text) {
    char* end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < 0 || value > 99999) {
        throw std::runtime_error("not a build number: " + text);
    }
    return static_cast<int>(value);
}

int BuildMachine(const std::string& root) {
    MachineOptions options;
    options.folder = root;
    options.keep = true;
    TestMachine m(options);
    for (const Server& s : m.servers()) {
        std::printf("%s\n", s.dataDir.c_str());
    }
    return 0;
}

void CopyExecutable(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
    out.close();
    if (!in || !out || chmod(to.c_str(), 0755) != 0) {
        throw std::runtime_error("cannot copy " + from + " to " + to);
    }
}

// The package is written by a throw-away machine and moved out of it.
int BuildPackage(const std::string& dir, int build, int depent, bool inPlace, bool settings) {
    MachineOptions options;
    options.startServers = false;
    TestMachine scratch(options);
    Package package;
    package.build = build;
    package.depentBuild = depent;
    package.createNewFolder = inPlace ? "0" : "1";
    package.settings = settings;
    scratch.WritePackage(package);
    MakeDirs(dir);
    std::string target = dir + "/FileGroup1";
    if (PathExists(target) || std::rename(scratch.packageDir().c_str(), target.c_str()) != 0) {
        throw std::runtime_error("cannot put the package into " + target);
    }
    CopyExecutable(std::string(ORVPATCH_BUILD_DIR) + "/orvpatch-testbed", dir + "/orvpatch");
    CopyExecutable(std::string(ORVPATCH_BUILD_DIR) + "/orvpatch-check", dir + "/orvpatch-check");
    return 0;
}

int StopMachine(const std::string& root) {
    for (const std::string& name : FolderNames(root)) {
        if (name.rfind("domino", 0) == 0) {
            StopAll(root + "/" + name + "/data");
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (args.size() == 2 && args[0] == "machine") {
            return BuildMachine(args[1]);
        }
        if (args.size() == 2 && args[0] == "stop") {
            return StopMachine(args[1]);
        }
        if (args.size() >= 3 && args.size() <= 5 && args[0] == "package") {
            bool inPlace = args.back() == "inplace";
            bool settings = args.back() != "nosettings";
            size_t numbers = args.size() - (inPlace || !settings ? 1 : 0);
            int depent = numbers == 4 ? ParseBuild(args[3]) : 0;
            return numbers <= 4
                       ? BuildPackage(args[1], ParseBuild(args[2]), depent, inPlace, settings)
                       : Usage();
        }
        return Usage();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fleethost: %s\n", e.what());
        return 1;
    }
}
