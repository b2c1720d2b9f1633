#pragma once
// The files of a folder tree, for adding a whole folder from the command line and for
// a watch folder's first look.
#include <string>
#include <vector>

namespace kv::workflow {

// Every plain file below `folder`, depth first, each folder's entries by name; hidden
// files and folders and links to folders are left out.
std::vector<std::string> ListFolderFiles(const std::string& folder);

}  // namespace kv::workflow
