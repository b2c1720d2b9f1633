#pragma once
// The bench programs' one way with a failed library call: an exception naming the step
// and the libraries' own text for the error.
extern "C" {
#include <libavutil/error.h>
}

#include <stdexcept>
#include <string>

inline void Check(int ret, const char* what)
{
    if (ret < 0) {
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(ret, text, sizeof text);
        throw std::runtime_error(std::string(what) + ": " + text);
    }
}
