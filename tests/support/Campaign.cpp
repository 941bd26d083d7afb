#include "support/Campaign.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "support/TempDir.h"

namespace testsupport {

bool CanConfine() {
    return geteuid() == 0;
}

RunResult RunConfined(TestMachine& machine, RunOptions options, bool noDacOverride) {
    if (!CanConfine()) {
        static bool said = false;
        if (!said) {
            std::fprintf(stderr, "not the superuser: runs are not confined to the machine\n");
            said = true;
        }
        return machine.Run(options);
    }
    const std::string build = ORVPATCH_BUILD_DIR;
    std::string program =
        options.program[0] == '/' ? options.program : build + "/" + options.program;
    std::vector<std::string> args = {machine.root(), "--", program};
    if (noDacOverride) {
        args.insert(args.begin(), "--no-dac-override");
    }
    args.insert(args.end(), options.args.begin(), options.args.end());
    options.args = args;
    options.program = build + "/confine";
    return machine.Run(options);
}

namespace {

// The text after `"key": ` at or after `from`: a string's contents (these
// fields hold no escapes), or the bare token.
std::string JsonField(const std::string& json, const std::string& key, size_t from) {
    const std::string marker = "\"" + key + "\": ";
    size_t at = json.find(marker, from);
    if (at == std::string::npos) {
        return "<missing>";
    }
    at += marker.size();
    if (json[at] == '"') {
        return json.substr(at + 1, json.find('"', at + 1) - at - 1);
    }
    return json.substr(at, json.find_first_of(",}\n", at) - at);
}

}  // namespace

Prediction PredictRun(TestMachine& machine, const std::vector<std::string>& args,
                      const std::string& workDir, bool confined, bool noDacOverride) {
    Prediction p;
    if (!args.empty() && args != std::vector<std::string>{"/u"}) {
        return p;  // answered or refused without a run
    }
    p.compared = true;
    RunOptions check;
    check.program = "orvpatch-check";
    check.workDir = workDir;
    check.args = {"--root", machine.root(), "--package",
                  workDir.empty() ? machine.packageParent() : workDir, "--json"};
    const bool rollback = args == std::vector<std::string>{"/u"};
    if (rollback) {
        check.args.push_back("--mode");
        check.args.push_back("rollback");
    }
    const RunResult r = confined ? RunConfined(machine, check, noDacOverride) : machine.Run(check);
    const size_t mode = r.out.find(rollback ? "\"rollback\": {" : "\"update\": {");
    if ((r.exitStatus != 0 && r.exitStatus != 1) || mode == std::string::npos) {
        p.problem = "the check ended with " + std::to_string(r.exitStatus) + ": " + r.err;
        return p;
    }
    p.wouldPass = JsonField(r.out, "would_pass", mode) == "true";
    const std::string verdict = JsonField(r.out, "verdict", mode);
    p.verdict = verdict == "null" ? "" : verdict;
    if (p.wouldPass != (r.exitStatus == 0)) {
        p.problem = "the check's exit status says otherwise than its report";
    }
    return p;
}

std::string Disagreement(const Prediction& prediction, int exitStatus, const std::string& out) {
    if (!prediction.problem.empty()) {
        return prediction.problem;
    }
    std::string printed = out.substr(std::min(out.find_first_not_of('.'), out.size()));
    if (!printed.empty() && printed.back() == '\n') {
        printed.pop_back();  // the verdict's own line end
    }
    std::string text;
    if (prediction.wouldPass != (exitStatus == 0)) {
        text = std::string("the check said the run would ") +
               (prediction.wouldPass ? "pass" : "stop") + ", it ended with " +
               std::to_string(exitStatus);
    }
    if (prediction.verdict != printed) {
        text += (text.empty() ? "" : "; ") + std::string("the check's verdict '") +
                prediction.verdict + "', the run printed '" + printed + "'";
    }
    return text;
}

Snapshot Surroundings(const TestMachine& machine) {
    SnapshotOptions options;
    options.times = false;
    options.ignore.push_back("opt/varnel/ORV");
    for (const Server& server : machine.servers()) {
        const std::string base = server.dataDir.substr(machine.root().size() + 1);
        options.ignore.push_back(base.substr(0, base.find('/')));  // domino<i>
    }
    return TakeSnapshot(machine.root(), options);
}

bool LogHolds(const std::vector<std::string>& log, const std::string& alternatives) {
    for (size_t start = 0; start <= alternatives.size();) {
        size_t end = alternatives.find('|', start);
        end = end == std::string::npos ? alternatives.size() : end;
        const std::string text = alternatives.substr(start, end - start);
        for (const std::string& line : log) {
            if (line.find(text) != std::string::npos) {
                return true;
            }
        }
        start = end + 1;
    }
    return false;
}

std::string JoinFaults(const std::vector<std::string>& faults) {
    std::string text;
    for (const std::string& fault : faults) {
        text += (text.empty() ? "" : "; ") + fault;
    }
    return text;
}

void RecordCampaignLine(const std::string& campaign, const std::string& item,
                        const std::vector<std::string>& fields) {
    const std::string dir = std::string(ORVPATCH_BUILD_DIR) + "/campaigns/" + campaign;
    MakeDirs(dir);
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i) {
        std::string field = fields[i];
        for (char& c : field) {
            c = (c == '\t' || c == '\n' || c == '\r') ? ' ' : c;
        }
        line += (i == 0 ? "" : "\t") + field;
    }
    WriteFile(dir + "/" + item + ".tsv", line + "\n");
}

}  // namespace testsupport
