// The settings file of an installed copy, made ready before it is read. The copy
// ships a settings file with the profile catalogue; each user works on their own
// copy of it, created on their first start. Later starts keep that copy as the user
// left it (remembered choices, profile settings, anything edited by hand) and only
// add the profiles that a newer shipped catalogue brings, at the end of the list so
// that remembered profile indexes stay valid.
#pragma once

#include <string>

namespace kv::workflow {

// Does the above for the running copy; nothing for a portable copy, whose settings
// file is the shipped one. Throws EIniFileException when the user's file cannot be
// created or updated.
void PrepareSettingsFile();

// The same for the given files: creates `userFile` (and its folder) from
// `shippedFile` when it does not exist, else adds the shipped profiles whose names
// it lacks. Nothing when the shipped file does not exist.
void PrepareUserSettingsFile(const std::string& shippedFile, const std::string& userFile);

}  // namespace kv::workflow
