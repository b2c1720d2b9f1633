#pragma once
// Loads the media libraries at run time and binds their entry points into the
// process-wide slots of the binding units. All state is process-wide: the engine
// and every player share the same loaded libraries.
#include <cstdint>
#include <mutex>
#include <string>

namespace kv::media {

enum TLibraryType : int {
    libAVCodec = 0,
    libAVDevice,
    libAVFilter,
    libAVFormat,
    libAVUtil,
    libSwScale,
    libSwResample,
    libMyUtil,
};
constexpr int LibraryTypeCount = libMyUtil + 1;

// A set of libraries, one bit per TLibraryType.
class TLibraryTypes {
public:
    constexpr TLibraryTypes() = default;
    constexpr TLibraryTypes(std::initializer_list<TLibraryType> items)
    {
        for (TLibraryType t : items) bits_ |= std::uint16_t(1u << t);
    }
    constexpr bool Contains(TLibraryType t) const { return bits_ & (1u << t); }
    constexpr bool Empty() const { return bits_ == 0; }

private:
    std::uint16_t bits_ = 0;
};

inline constexpr TLibraryTypes EngineLibraries{libAVCodec, libAVFilter, libAVFormat, libAVUtil,
                                               libSwScale, libSwResample, libMyUtil};
inline constexpr TLibraryTypes PlayerLibraries{libAVCodec, libAVFormat, libAVUtil, libSwScale, libSwResample};

// Failure of a bind procedure; its message becomes LastErrMsg.
class LoaderError : public std::exception {
public:
    explicit LoaderError(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

class TFFmpegLoader {
public:
    void SetLibraryPath(const std::string& folder);
    std::string LastErrMsg() const;

    std::string GetLibraryFileName(TLibraryType library) const;

    bool LoadLibs(TLibraryTypes libraries);
    bool LibsLoaded(TLibraryTypes libraries) const;
    void UnloadLibs(TLibraryTypes libraries);

    bool LoadLib(TLibraryType library);
    bool LibLoaded(TLibraryType library) const;
    void UnloadLib(TLibraryType library);
};

// The one loader of the process.
extern TFFmpegLoader FFLoader;

// Held around opening and closing codecs and reading an input's stream parameters.
std::mutex& CodecLock();

}  // namespace kv::media
