#pragma once
// Lines of tab-separated fields for the files the workflow keeps (the saved list, the
// journal, a watch's state): a tab, a line end or a backslash inside a field is
// written as an escape, so that any file name survives.
#include <initializer_list>
#include <string>
#include <vector>

namespace kv::workflow {

// The fields as one line, its line end included.
std::string JoinFields(std::initializer_list<std::string> fields);
std::string JoinFields(const std::vector<std::string>& fields);
// The fields of one line (without its line end).
std::vector<std::string> SplitFields(const std::string& line);

// Writes `text` to `path` in one step: a temporary file beside it, on disk, then
// renamed over it. False with the reason when that fails (the old file stays).
bool WriteFileAtomically(const std::string& path, const std::string& text, std::string& reason);

}  // namespace kv::workflow
