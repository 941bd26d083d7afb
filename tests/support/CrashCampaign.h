// The crash campaign: the four runs of the patcher (update into a new folder,
// update in place, and the rollback of each) on a test machine with two
// servers, their tasks loaded, UpdateLoader=1 and a package of a few MiB.
// For each run it learns the events of one uninterrupted run (every change
// the patcher makes to the file system and every log line, counted by the
// preloaded kill-point library), then for each chosen event starts again
// from the same machine, kills the patcher with SIGKILL right after that
// event, checks the machine as the kill left it, runs the same command again
// (and the rollback when that fails) and checks where the machine ended.
// Before the same command runs again, orvpatch-check predicts its outcome.
#pragma once

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "support/RunProgram.h"
#include "support/TestMachine.h"

namespace testsupport {

struct CrashCampaignOptions {
    int stride = 1;                 // every stride-th kill point (1, 1 + stride, ...)
    std::vector<std::string> runs;  // names of the runs to try; empty: all four
    std::string tsvPath;            // one line per kill point: run, point, event, outcome
    std::string detailPath;         // why each failed point failed ("" : not written)
    std::ostream* progress = nullptr;
};

// One kill point and what came of it. `outcome` is "ok", "not-killed" (the
// run ended before reaching the point) or "fail:" and the classes that
// failed, joined by ','.
struct CrashPoint {
    std::string run;
    long point = 0;
    std::string event;
    std::string outcome;
    std::vector<std::string> details;
    // Whether orvpatch-check, run before the same command again, predicted
    // its outcome: "agrees", "disagrees: " and why, "" when not killed.
    std::string check;
};

struct CrashRunSummary {
    std::string run;
    long events = 0;  // kill points of an uninterrupted run
    int tried = 0;
    int failed = 0;
    int checked = 0;                     // kill points at which orvpatch-check was compared
    int agreed = 0;                      // of those, where it predicted the run again
    std::map<std::string, int> byClass;  // failed points per class
};

struct CrashCampaignResult {
    std::vector<CrashRunSummary> runs;
    std::vector<CrashPoint> points;
    std::vector<std::string> problems;  // the campaign itself could not run as meant
};

// A run of orvpatch-testbed on `m` with the kill-point library preloaded:
// with `killAt` > 0 it is killed right after that event. `events` holds the
// description of every event it reached, `killedAt` the one it was killed at.
struct KillPointRun {
    ProgramResult result;
    bool killed = false;
    std::string killedAt;
    std::vector<std::string> events;
    bool altered = false;  // the file given to alter was changed
};
// With `newFailsAt` > 0, every allocation throws std::bad_alloc from that
// event on instead. With `alterAt` > 0, `alterFile` gets other bytes over its
// first ones, in place, right after that event.
KillPointRun RunWithKillPoint(TestMachine& m, const std::vector<std::string>& args,
                              const std::string& workDir, long killAt, long newFailsAt = 0,
                              long alterAt = 0, const std::string& alterFile = "");

// The names of the four runs, in the order they are tried.
std::vector<std::string> CrashRunNames();

// The kill-point library in the build folder.
std::string KillPointLibrary();

CrashCampaignResult RunCrashCampaign(const CrashCampaignOptions& options);

// One line per run: points, tried, failed, and the failures by class.
std::string CrashSummaryText(const CrashCampaignResult& result);

}  // namespace testsupport
