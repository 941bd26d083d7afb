// What the reliability campaigns share: running the patcher confined to the
// test machine, and the result lines the reliability report is made from.
#pragma once

#include <string>
#include <vector>

#include "support/Snapshot.h"
#include "support/TestMachine.h"

namespace testsupport {

// Whether runs are confined: only the superuser can make the read-only
// mount namespace. Otherwise a campaign still runs and says so once.
bool CanConfine();

// Runs `options` (program and arguments as for TestMachine::Run) through
// tests/programs/confine, so that nothing outside the machine's folder can
// be written; a plain run when CanConfine() is false. `noDacOverride` also
// takes the superuser's power to pass over permission bits (needs
// CanConfine()).
RunResult RunConfined(TestMachine& machine, RunOptions options, bool noDacOverride = false);

// What orvpatch-check predicts for a run of the patcher with `args` from
// `workDir` on the machine as it stands: --mode rollback when the args are
// exactly {"/u"}, the update when there are none. Other args make the
// patcher do no run (--help, --version, a usage error): not predicted
// (`compared` false).
struct Prediction {
    bool compared = false;
    bool wouldPass = false;
    std::string verdict;  // "" for none
    std::string problem;  // the check itself did not answer as it should
};
Prediction PredictRun(TestMachine& machine, const std::vector<std::string>& args,
                      const std::string& workDir, bool confined, bool noDacOverride = false);
// "" when the prediction equals the run's outcome (exit 0 against 212, and
// the verdict against what the run printed, its progress dots aside);
// otherwise what differs.
std::string Disagreement(const Prediction& prediction, int exitStatus, const std::string& out);

// Everything below the machine's folder except the product root and the
// Domino folders, which a run is allowed to change.
Snapshot Surroundings(const TestMachine& machine);

// Whether some line of `log` holds one of `alternatives` ('|' between them).
bool LogHolds(const std::vector<std::string>& log, const std::string& alternatives);

// A case's faults joined by "; " ("" when there are none).
std::string JoinFaults(const std::vector<std::string>& faults);

// Writes <build>/campaigns/<campaign>/<item>.tsv: one line, the fields joined
// by tabs (tabs and line ends inside a field become blanks). Each run of a
// case replaces its own line.
void RecordCampaignLine(const std::string& campaign, const std::string& item,
                        const std::vector<std::string>& fields);

// Small file systems a case puts one folder on (superuser only), in a mount
// namespace of the test process's own, with what the folder held copied
// in: a tmpfs just large enough for it, then full of blocks, full of
// inodes or read-only; or an ext4 image of `megabytes` with 1 KiB blocks
// whose `reservePercent` only root may use. Unmount takes it away again
// (answers "" for a case's check).
enum class SmallFs { kFullOfBlocks, kFullOfInodes, kReadOnly };
void MountTiny(const std::string& folder, SmallFs condition);
void MountExt4(const std::string& folder, int megabytes, int reservePercent);
std::string Unmount(const std::string& folder);

}  // namespace testsupport
