#pragma once
// Drawing a text subtitle track into the pictures: the libraries' subtitle renderer
// (libass) in the chain that readies each decoded picture, on the track's own clock.
#include <string>

struct AVFormatContext;

namespace kv::engine {

class TCustomFFmpeg;

// The filters that draw the chosen track into the pictures going to `oc`; empty
// when nothing is drawn there.
std::string BurnInFilters(const TCustomFFmpeg& task, const AVFormatContext* oc);

// `text` as one option value inside a filter chain: escaped for the option's parser
// and again for the chain's.
std::string FilterValueText(const std::string& text);

}  // namespace kv::engine
