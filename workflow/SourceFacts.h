#pragma once
// The facts of a source that the entry forms following the source need: its picture's
// size, shape, rate and depth, and the codecs of its first picture and sound.
#include <string>

#include "workflow/EntryForms.h"

namespace kv::workflow {

// Opens the file with a probe of its own; a file that does not open gives the facts
// of none (every field zero).
TSourceFacts ReadSourceFacts(const std::string& fileName);

}  // namespace kv::workflow
