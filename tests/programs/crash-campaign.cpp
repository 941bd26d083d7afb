// Runs the crash campaign from the command line (`make crash-test`): every
// kill point of the four runs unless told otherwise, results in
// build/campaigns/crash.tsv and the reasons of each failure beside it.
//
//   crash-campaign [--stride N] [--run NAME]... [--quiet]
//
// Exit status 0 when every point passed, 1 when one failed, 2 for a usage
// error or a campaign that could not run.
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "support/CrashCampaign.h"

int main(int argc, char** argv) {
    testsupport::CrashCampaignOptions options;
    bool quiet = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--stride" && i + 1 < argc) {
            options.stride = std::atoi(argv[++i]);
        } else if (arg == "--run" && i + 1 < argc) {
            options.runs.push_back(argv[++i]);
        } else if (arg == "--quiet") {
            quiet = true;
        } else {
            std::cerr << "usage: crash-campaign [--stride N] [--run NAME]... [--quiet]\n"
                         "runs:";
            for (const std::string& name : testsupport::CrashRunNames()) {
                std::cerr << " " << name;
            }
            std::cerr << "\n";
            return 2;
        }
    }
    std::string folder = std::string(ORVPATCH_BUILD_DIR) + "/campaigns";
    options.tsvPath = folder + "/crash.tsv";
    options.detailPath = folder + "/crash-failures.txt";
    options.progress = quiet ? nullptr : &std::cout;
    testsupport::CrashCampaignResult result = testsupport::RunCrashCampaign(options);
    std::cout << testsupport::CrashSummaryText(result);
    std::cout << "results: " << options.tsvPath << "\nfailures: " << options.detailPath << "\n";
    if (!result.problems.empty() || result.runs.empty()) {
        return 2;
    }
    for (const testsupport::CrashRunSummary& s : result.runs) {
        if (s.failed != 0) {
            return 1;
        }
    }
    return 0;
}
