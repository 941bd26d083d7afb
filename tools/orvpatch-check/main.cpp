// orvpatch-check: reads the machine and a hot-fix package and tells what
// orvpatch would find and decide there, without changing anything.
// Exit status: 0 when the mode checked (the update unless told otherwise,
// as for orvpatch itself) would pass, 1 when it would not, 2 for a usage
// error.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "check_machine.h"
#include "common/Printable.h"
#include "inspect.h"
#include "orvpatch_version.h"

namespace {

const char kUsage[] =
    "Usage: orvpatch-check [--package DIR] [--mode update|rollback] [--root DIR] [--json]\n"
    "       orvpatch-check --list | --verify [--root DIR] [--json]\n"
    "       orvpatch-check --help | --version\n"
    "\n"
    "Tells what orvpatch would find and decide if it were run now from the package\n"
    "folder DIR (the folder holding FileGroup1/; default: the working folder).\n"
    "Changes nothing: no file is written, no console command is sent.\n"
    "\n"
    "  --package DIR   the package folder (holding FileGroup1/)\n"
    "  --mode MODE     check the update (the default, as orvpatch) or the rollback\n"
    "                  (orvpatch /u)\n"
    "  --root DIR      take /etc/orvsys.ini and the log under DIR instead of /\n"
    "  --json          print a JSON object instead of the report for a person\n"
    "  --list          list the installed hot fixes, newest first\n"
    "  --verify        check what they put in place against the ledger: one line per\n"
    "                  finding, rpm -V's columns SM5DLUGTP and the path, or 'missing'\n"
    "  --help          print this text\n"
    "  --version       print the version\n"
    "\n"
    "Exit status: 0 the run would pass, 1 it would not, 2 usage error.\n"
    "--verify: 0 clean, 1 findings, 2 it cannot tell.\n";

int UsageError(const std::string& message) {
    std::fprintf(stderr, "orvpatch-check: %s\nTry 'orvpatch-check --help' for more information.\n",
                 printable::EscapeControls(message).c_str());
    return 2;
}

bool IsFolder(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

int main(int argc, char** argv) {
    std::string package = ".";
    std::string root = "/";
    bool json = false;
    bool rollback = false;
    bool modeGiven = false;
    bool packageGiven = false;
    bool rootGiven = false;
    enum class Action { kPredict, kList, kVerify } action = Action::kPredict;

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool takesValue = arg == "--package" || arg == "--mode" || arg == "--root";
        std::string::size_type eq = arg.find('=');
        if (!takesValue && eq != std::string::npos && arg.compare(0, 2, "--") == 0) {
            std::string name = arg.substr(0, eq);
            if (name == "--package" || name == "--mode" || name == "--root") {
                value = arg.substr(eq + 1);
                arg = name;
                takesValue = false;
            } else {
                return UsageError("unknown option '" + arg + "'");
            }
        } else if (takesValue) {
            if (i + 1 >= argc) {
                return UsageError("option '" + arg + "' needs a value");
            }
            value = argv[++i];
        }

        if (arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("orvpatch-check %s\n", ORVPATCH_VERSION);
            return 0;
        }
        if (arg == "--list" || arg == "--verify") {
            if (action != Action::kPredict) {
                return UsageError("--list and --verify go alone");
            }
            action = arg == "--list" ? Action::kList : Action::kVerify;
        } else if (arg == "--json") {
            json = true;
        } else if (arg == "--package") {
            if (packageGiven || value.empty()) {
                return UsageError(packageGiven ? "--package given twice"
                                               : "--package needs a folder");
            }
            packageGiven = true;
            package = value;
        } else if (arg == "--mode") {
            if (modeGiven) {
                return UsageError("--mode given twice");
            }
            modeGiven = true;
            if (value == "update" || value == "rollback") {
                rollback = value == "rollback";
            } else {
                return UsageError("--mode takes 'update' or 'rollback', not '" + value + "'");
            }
        } else if (arg == "--root") {
            if (rootGiven) {
                return UsageError("--root given twice");
            }
            rootGiven = true;
            if (value.empty() || value[0] != '/') {
                return UsageError("--root needs an absolute folder");
            }
            root = value;
        } else {
            return UsageError("unknown argument '" + arg + "'");
        }
    }
    if (!IsFolder(root)) {
        return UsageError("--root '" + root + "' is not a folder");
    }
    if (!IsFolder(package)) {
        return UsageError("--package '" + package + "' is not a folder");
    }
    while (package.size() > 1 && package.back() == '/') {
        package.pop_back();
    }

    if (action != Action::kPredict && (packageGiven || modeGiven)) {
        return UsageError("--list and --verify take no --package or --mode");
    }
    checkmachine::SetRoot(root);
    if (action != Action::kPredict) {
        std::string text;
        const int status = action == Action::kList ? check::ListInstalled(json, text)
                                                   : check::VerifyInstalled(json, text);
        std::fwrite(text.data(), 1, text.size(), stdout);
        return std::fflush(stdout) != 0 ? 2 : status;
    }
    check::Report report = check::Inspect(package, rollback);
    std::string text = json ? check::JsonReport(report) : check::HumanReport(report);
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (std::fflush(stdout) != 0) {
        return 2;
    }
    return check::AllPass(report) ? 0 : 1;
}
