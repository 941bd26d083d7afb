// Crash safety: the kill-point library that makes the campaign deterministic,
// and the campaign itself on every fifth kill point of the four runs
// (`make crash-test` tries them all).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/CrashCampaign.h"
#include "support/TestMachine.h"

using testsupport::KillPointRun;
using testsupport::Package;
using testsupport::TestMachine;

namespace {

#if defined(__SANITIZE_ADDRESS__)
const bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
const bool kSanitized = true;
#else
const bool kSanitized = false;
#endif
#else
const bool kSanitized = false;
#endif

// Log messages with the machine's folder taken out, so two machines compare.
std::vector<std::string> Messages(const TestMachine& m) {
    std::vector<std::string> out;
    for (std::string line : m.LogMessages()) {
        for (std::string::size_type at; (at = line.find(m.root())) != std::string::npos;) {
            line.replace(at, m.root().size(), "<root>");
        }
        out.push_back(line);
    }
    return out;
}

TEST(KillPoint, CountingAloneChangesNothingAndAKillComesRightAfterItsEvent) {
    if (kSanitized) {
        GTEST_SKIP() << "a preloaded library cannot stand beside the sanitizer's runtime";
    }
    Package p;
    p.updateLoader = 1;
    TestMachine plain;
    plain.WritePackage(p);
    TestMachine counted;
    counted.WritePackage(p);

    testsupport::RunResult r = plain.Run();
    KillPointRun c = testsupport::RunWithKillPoint(counted, {}, counted.packageParent(), 0);
    ASSERT_EQ(r.exitStatus, 0);
    EXPECT_EQ(c.result.exitStatus, 0);
    EXPECT_FALSE(c.killed);
    EXPECT_EQ(c.result.out, r.out);
    EXPECT_EQ(Messages(counted), Messages(plain));
    EXPECT_EQ(counted.LatestTarget(), counted.versionDir(1240) + "/");

    // Every log line is one event, besides the changes to the file system.
    int logEvents = 0;
    for (const std::string& e : c.events) {
        logEvents += e.compare(0, 4, "log ") == 0 ? 1 : 0;
    }
    ASSERT_EQ(logEvents, static_cast<int>(Messages(counted).size()));
    ASSERT_GT(c.events.size(), static_cast<size_t>(logEvents));

    // Killed half-way: nothing after the chosen event, and the same events
    // up to it as the uninterrupted run.
    for (size_t at : {size_t(1), c.events.size() / 2, c.events.size()}) {
        TestMachine killed;
        killed.WritePackage(p);
        KillPointRun k = testsupport::RunWithKillPoint(killed, {}, killed.packageParent(),
                                                       static_cast<long>(at));
        EXPECT_TRUE(k.killed) << at;
        EXPECT_EQ(k.result.exitStatus, -1) << at;
        ASSERT_EQ(k.events.size(), at);
        EXPECT_EQ(k.events.back().substr(0, 4), c.events[at - 1].substr(0, 4)) << at;
        int lines = 0;
        for (const std::string& e : k.events) {
            lines += e.compare(0, 4, "log ") == 0 ? 1 : 0;
        }
        EXPECT_EQ(static_cast<int>(Messages(killed).size()), lines) << at;
    }
}

TEST(CrashCampaign, EveryFifthKillPointOfTheFourRunsEndsWithWorkingServers) {
    if (kSanitized) {
        GTEST_SKIP() << "a preloaded library cannot stand beside the sanitizer's runtime";
    }
    testsupport::CrashCampaignOptions options;
    options.stride = 5;
    options.tsvPath = std::string(ORVPATCH_BUILD_DIR) + "/campaigns/crash.tsv";
    options.detailPath = std::string(ORVPATCH_BUILD_DIR) + "/campaigns/crash-failures.txt";
    testsupport::CrashCampaignResult result = testsupport::RunCrashCampaign(options);
    std::string summary = testsupport::CrashSummaryText(result);
    EXPECT_TRUE(result.problems.empty()) << summary;
    ASSERT_EQ(result.runs.size(), 4u) << summary;
    for (const testsupport::CrashRunSummary& s : result.runs) {
        EXPECT_GT(s.events, 20) << s.run;
        EXPECT_EQ(s.tried, (s.events + 4) / 5) << s.run;
        EXPECT_EQ(s.failed, 0) << summary << "see " << options.detailPath;
    }
}

}  // namespace
