// Small pieces that the update and the rollback procedures share: path texts
// built from the product root, the current version folder, the build number
// taken from a folder name, and the verdict line on standard output.
#pragma once

#include <string>

namespace procedure {

// printf-style formatting into a string of any length.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The newest version folder below <root>/program, without a trailing
// separator; empty when there is none.
std::string CurrentVersionFolder();

// Whether `path` holds a '.', and the text after its last one ("" when none).
bool HasBuildText(const std::string& path);
std::string BuildText(const std::string& path);

// Makes <root>/program/latest name `target`.
void PointLatestAt(const std::string& target);

// Writes a verdict line: the bare text, no line feed.
void PrintVerdict(const char* verdict);

}  // namespace procedure
