#pragma once
// Sources that say nothing of interlacing may still be woven from two fields (TV
// recordings cut by tools that drop the flags, camcorder files remuxed): the first
// pictures are decoded again on their own and looked at for combing.

struct AVFormatContext;

namespace kv::engine {

enum class TFieldOrder { foProgressive, foTopFirst, foBottomFirst };

// The field order the first pictures of stream `streamIndex` of the opened input
// `ic` show; foProgressive unless they are clearly combed, or when they cannot be
// read again (not a plain file, no decoder, a format the detector does not take).
// The input itself is not touched: the file is opened once more.
TFieldOrder FieldOrderByContent(const AVFormatContext* ic, int streamIndex);

}  // namespace kv::engine
