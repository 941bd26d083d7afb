#include "support/Campaign.h"

#include <unistd.h>

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
