// The check's two ways of telling what it found: a report for a person and a
// JSON object whose key names are kept from one release to the next (the
// format version changes when a key changes meaning or goes away).
#include <cstdio>
#include <string>
#include <vector>

#include "common/Printable.h"
#include "inspect.h"
#include "orvpatch_version.h"

namespace check {

namespace {

const int kFormatVersion = 1;

// A JSON string. Paths may hold any byte: valid UTF-8 passes as it is, control
// characters and bytes that are not UTF-8 are written as \u escapes (a stray
// byte as the code point of the same value), so the output always parses.
std::string Quote(const std::string& text) {
    std::string out = "\"";
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        unsigned char c = p[i];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x20 || c == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
            ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else {
            const size_t length = printable::Utf8SequenceLength(p, n, i);
            if (length > 0) {
                out.append(text, i, length);
                i += length;
            } else {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
                ++i;
            }
        }
    }
    return out + "\"";
}

std::string Bool(bool value) {
    return value ? "true" : "false";
}

std::string StringOrNull(const std::string& text) {
    return text.empty() ? "null" : Quote(text);
}

std::string List(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) {
        out += (i == 0 ? "" : ", ") + Quote(items[i]);
    }
    return out + "]";
}

std::string Octal(unsigned mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode);
    return text;
}

std::string JsonMode(const ModeOutcome& m) {
    std::string out =
        "{\"would_pass\": " + Bool(m.wouldPass) + ", \"verdict\": " + StringOrNull(m.verdict) +
        ", \"log_line\": " + StringOrNull(m.logLine) + ", \"steps\": " + List(m.steps);
    if (m.hasBytes) {
        out += ", \"bytes_needed\": " + std::to_string(m.bytesNeeded) +
               ", \"bytes_free\": " + std::to_string(m.bytesFree);
    }
    return out + "}";
}

// One line of the report for a person: control characters a name or a log
// line may hold are shown as \xHH, never sent to the terminal.
void Line(std::string& out, const std::string& text) {
    out += printable::EscapeControls(text);
    out += '\n';
}

std::string Yes(bool value) {
    return value ? "yes" : "no";
}

void HumanMode(std::string& out, const char* title, const ModeOutcome& m) {
    Line(out, "");
    Line(out, std::string(title) + ": " + (m.wouldPass ? "would proceed" : "would stop"));
    if (!m.verdict.empty()) {
        Line(out, "  verdict:  " + m.verdict);
    }
    if (!m.logLine.empty()) {
        Line(out, "  log line: " + m.logLine);
    }
    if (m.hasBytes) {
        Line(out, "  bytes to copy: " + std::to_string(m.bytesNeeded) +
                      ", bytes free: " + std::to_string(m.bytesFree));
    }
    if (!m.steps.empty()) {
        Line(out, m.wouldPass ? "  steps, in order:" : "  before it stops:");
        for (size_t i = 0; i < m.steps.size(); ++i) {
            Line(out, "    " + std::to_string(i + 1) + ". " + m.steps[i]);
        }
    }
}

}  // namespace

std::string JsonReport(const Report& r) {
    std::string out = "{\n";
    out += "  \"format_version\": " + std::to_string(kFormatVersion) + ",\n";
    out += "  \"tool_version\": " + Quote(ORVPATCH_VERSION) + ",\n";
    out += "  \"root\": " + Quote(r.root) + ",\n";
    out += "  \"installations\": [";
    for (size_t i = 0; i < r.installations.size(); ++i) {
        const Installation& inst = r.installations[i];
        const NotesIni& ini = inst.notesIni;
        out += i == 0 ? "\n" : ",\n";
        out += "    {\"data_folder\": " + Quote(inst.dataFolder) +
               ", \"program_folder\": " + Quote(inst.programFolder) +
               ", \"program_folder_source\": " + Quote(inst.programFolderSource) +
               ",\n     \"notes_ini\": {\"path\": " + Quote(ini.path) +
               ", \"owner_uid\": " + (ini.exists ? std::to_string(ini.ownerUid) : "null") +
               ", \"owner_name\": " + StringOrNull(ini.ownerName) +
               ", \"mode\": " + (ini.exists ? Quote(Octal(ini.mode)) : "null") +
               ", \"patcher_may_read_write\": " + Bool(ini.patcherMayReadWrite) + "}" +
               ",\n     \"server_running\": " + Bool(inst.serverRunning) +
               ", \"tasks_running\": " + List(inst.tasksRunning) +
               ", \"kvmscan_registered\": " + Bool(inst.kvmscanRegistered) +
               ",\n     \"console_program\": " + Quote(inst.consoleProgram) +
               ", \"console_problem\": " + StringOrNull(inst.consoleProblem) +
               ", \"saved_files\": " + List(inst.savedFiles) + "}";
    }
    out += r.installations.empty() ? "],\n" : "\n  ],\n";

    const Product& p = r.product;
    out += "  \"product\": {\"root\": " + Quote(p.root) + ", \"versions\": [";
    for (size_t i = 0; i < p.versions.size(); ++i) {
        out += (i == 0 ? "" : ", ");
        out += "{\"name\": " + Quote(p.versions[i].name) +
               ", \"path\": " + Quote(p.versions[i].path) +
               ", \"build\": " + std::to_string(p.versions[i].build) + "}";
    }
    out += "],\n    \"latest\": {\"target\": " + StringOrNull(p.latest.target) +
           ", \"build\": " + std::to_string(p.latest.build) +
           ", \"exists\": " + Bool(p.latest.exists) + ", \"complete\": " + Bool(p.latest.complete) +
           "},\n    \"newest\": " + StringOrNull(p.newest) +
           ", \"staging_leftovers\": " + List(p.stagingLeftovers) +
           ", \"saved_files\": " + List(p.savedFiles) + "},\n";
    const RunRecord& rec = r.record;
    out +=
        "  \"run_record\": " +
        (rec.found ? "{\"build\": " + std::to_string(rec.build) + ", \"mode\": " + Quote(rec.mode) +
                         ", \"layout\": " + Quote(rec.layout) + ", \"package\": " +
                         Quote(rec.package) + ", \"step\": " + Quote(rec.step) + "}"
                   : std::string("null")) +
        ",\n  \"run_under_way\": " + Bool(r.runUnderWay) +
        ", \"run_holder\": " + StringOrNull(r.runHolder) + ",\n";

    const Package& k = r.package;
    const Settings& s = k.settings;
    out += "  \"package\": {\"folder\": " + Quote(k.folder) +
           ", \"settings_readable\": " + Bool(k.settingsReadable) +
           ",\n    \"settings\": {\"Files\": " + List(s.files) +
           ", \"BuildNumber\": " + std::to_string(s.buildNumber) +
           ", \"Databases\": " + List(s.databases) +
           ", \"CreateNewFolder\": " + std::to_string(s.createNewFolder) +
           ", \"DepentBuild\": " + std::to_string(s.depentBuild) +
           ", \"UpdateLoader\": " + std::to_string(s.updateLoader) +
           "},\n    \"file_table\": " + List(k.fileTable) + ", \"missing\": " + List(k.missing) +
           ", \"unsafe\": " + List(k.unsafe) + "},\n";
    out += "  \"signature\": {\"state\": " + Quote(r.signature.state) +
           ", \"key\": " + StringOrNull(r.signature.key) +
           ", \"reason\": " + StringOrNull(r.signature.reason) + "},\n";

    out += "  \"modes\": {";
    bool first = true;
    if (r.checkUpdate) {
        out += "\n    \"update\": " + JsonMode(r.update);
        first = false;
    }
    if (r.checkRollback) {
        out += std::string(first ? "" : ",") + "\n    \"rollback\": " + JsonMode(r.rollback);
    }
    out += "\n  }\n}\n";
    return out;
}

std::string HumanReport(const Report& r) {
    std::string out;
    Line(out, "orvpatch-check " ORVPATCH_VERSION
              ": what orvpatch would find and do; nothing is changed");
    if (r.root != "/") {
        Line(out, "Fixed paths taken under " + r.root + "/");
    }
    Line(out, "");
    Line(out, "Installations registered: " + std::to_string(r.installations.size()) +
                  (r.registryRead ? "" : " (the registry cannot be read whole)"));
    for (size_t i = 0; i < r.installations.size(); ++i) {
        const Installation& inst = r.installations[i];
        const NotesIni& ini = inst.notesIni;
        Line(out, "  [" + std::to_string(i) + "] data folder    " + inst.dataFolder);
        Line(out, "      program folder " + inst.programFolder + " (from " +
                      inst.programFolderSource + ")");
        if (ini.exists) {
            Line(out, "      notes.ini      " + ini.path + ", owner " +
                          (ini.ownerName.empty() ? std::string("?") : ini.ownerName) + " (" +
                          std::to_string(ini.ownerUid) + "), mode " + Octal(ini.mode) +
                          ", patcher may read and write: " + Yes(ini.patcherMayReadWrite));
        } else {
            Line(out, "      notes.ini      " + ini.path + " (missing; the patcher skips it)");
        }
        std::string tasks;
        for (const std::string& t : inst.tasksRunning) {
            tasks += (tasks.empty() ? "" : ", ") + t;
        }
        Line(out,
             "      console        " + inst.consoleProgram +
                 (inst.consoleProblem.empty() ? std::string(" (can be run)")
                                              : " (cannot be run: " + inst.consoleProblem + ")"));
        for (const std::string& saved : inst.savedFiles) {
            Line(out, "      saved by an earlier run: " + saved);
        }
        Line(out, "      server running " + Yes(inst.serverRunning) +
                      "; ORV tasks running: " + (tasks.empty() ? "none" : tasks) +
                      "; kvmscan registered: " + Yes(inst.kvmscanRegistered));
    }

    const Product& p = r.product;
    Line(out, "");
    Line(out, "Product root: " + (p.root.empty() ? std::string("(unknown)") : p.root));
    for (const VersionFolder& v : p.versions) {
        Line(out, "  version folder " + v.name + " (build " + std::to_string(v.build) + ")");
    }
    if (p.latest.target.empty()) {
        Line(out, "  program/latest: no link");
    } else {
        Line(out, "  program/latest -> " + p.latest.target + " (build " +
                      std::to_string(p.latest.build) + ", exists " + Yes(p.latest.exists) +
                      ", complete " + Yes(p.latest.complete) + ")");
    }
    Line(out, "  newest version folder: " + (p.newest.empty() ? std::string("none") : p.newest));
    for (const std::string& leftover : p.stagingLeftovers) {
        Line(out, "  staging folder left by an interrupted update: " + leftover);
    }
    for (const std::string& saved : p.savedFiles) {
        Line(out, "  original saved by an interrupted run: " + saved);
    }
    if (r.record.found) {
        Line(out, "  record of an interrupted run (.orvpatch-run): " + r.record.mode + " (" +
                      r.record.layout + ") of build " + std::to_string(r.record.build) + ", step " +
                      r.record.step + ", package " + r.record.package);
    }
    if (r.runUnderWay) {
        Line(out, "  a run is under way: " + r.runHolder + " holds the product root");
    } else if (r.runLock.state == runlock::State::kRefused) {
        Line(out, "  run lock refused: " + r.runLock.why);
    }

    const Package& k = r.package;
    const Settings& s = k.settings;
    Line(out, "");
    Line(out, "Package: " + k.folder +
                  (k.settingsReadable ? std::string()
                                      : " (orvpatch.ini cannot be read whole; the values "
                                        "below are what the patcher would go on with)"));
    std::string files;
    for (const std::string& f : s.files) {
        files += (files.empty() ? "" : ",") + f;
    }
    Line(out, "  Files=" + files);
    Line(out, "  BuildNumber=" + std::to_string(s.buildNumber) +
                  "  CreateNewFolder=" + std::to_string(s.createNewFolder) +
                  "  DepentBuild=" + std::to_string(s.depentBuild) +
                  "  UpdateLoader=" + std::to_string(s.updateLoader));
    for (const std::string& name : k.missing) {
        Line(out, "  listed but not in the package: " + name);
    }
    for (const std::string& name : k.unsafe) {
        Line(out, "  refused, not a name directly inside the package folder: " + name);
    }
    Line(out, "  signature: " + r.signature.state +
                  (r.signature.key.empty() ? "" : ", key " + r.signature.key) +
                  (r.signature.reason.empty() ? "" : ": " + r.signature.reason));

    if (!r.openingLog.empty()) {
        Line(out, "");
        Line(out, "The opening would log:");
        for (const std::string& line : r.openingLog) {
            Line(out, "  " + line);
        }
    }
    if (r.checkUpdate) {
        HumanMode(out, "Update (orvpatch)", r.update);
    }
    if (r.checkRollback) {
        HumanMode(out, "Rollback (orvpatch /u)", r.rollback);
    }
    Line(out, "");
    const std::string mode = r.checkRollback ? "the rollback" : "the update";
    Line(out, "Result: " + mode + (AllPass(r) ? " would pass." : " would not pass."));
    return out;
}

std::string JsonString(const std::string& text) {
    return Quote(text);
}

}  // namespace check
