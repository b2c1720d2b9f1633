#include "media/FFmpegLoader.h"

#include <gnu/lib-names.h>

#include <array>
#include <cassert>

#include "media/AVCodecStubs.h"
#include "media/AVDeviceStubs.h"
#include "media/AVFilterStubs.h"
#include "media/AVFormatStubs.h"
#include "media/AVUtilStubs.h"
#include "media/MyUtilStubs.h"
#include "media/SwResampleStubs.h"
#include "media/SwScaleStubs.h"
#include "platform/DynamicLibrary.h"

namespace kv::media {

TFFmpegLoader FFLoader;

namespace {

struct TLibraryItem {
    const char* shortName;
    int majorVersion;  // -1: no version in the file name
    void (*bind)(const std::string& fileName, void* handle);
    void (*unbind)();
};

// The runtime shim is the C runtime itself; its file name is fixed below.
const std::array<TLibraryItem, LibraryTypeCount> LibraryItems = {{
    {"avcodec", LIBAVCODEC_VERSION_MAJOR, BindAVCodec, UnbindAVCodec},
    {"avdevice", LIBAVDEVICE_VERSION_MAJOR, BindAVDevice, UnbindAVDevice},
    {"avfilter", LIBAVFILTER_VERSION_MAJOR, BindAVFilter, UnbindAVFilter},
    {"avformat", LIBAVFORMAT_VERSION_MAJOR, BindAVFormat, UnbindAVFormat},
    {"avutil", LIBAVUTIL_VERSION_MAJOR, BindAVUtil, UnbindAVUtil},
    {"swscale", LIBSWSCALE_VERSION_MAJOR, BindSwScale, UnbindSwScale},
    {"swresample", LIBSWRESAMPLE_VERSION_MAJOR, BindSwResample, UnbindSwResample},
    {"myutil", -1, BindMyUtil, UnbindMyUtil},
}};

struct TLibraryStatus {
    platform::ModuleHandle handle = nullptr;
    bool bound = false;
};

std::array<TLibraryStatus, LibraryTypeCount> LibraryStatus;
std::string LibraryPath;
std::string LastError;

void AssertNotEmpty(TLibraryTypes libraries)
{
    assert(!libraries.Empty() && "FFmpegLoader: empty library set");
    (void)libraries;
}

}  // namespace

void* BindEntryPoint(const char* name, const std::string& fileName, void* handle)
{
    void* p = platform::FindSymbol(handle, name);
    if (!p)
        throw LoaderError("Load function " + std::string(name) + "@" + fileName + " error: " +
                          platform::LastLoadErrorText());
    return p;
}

void TFFmpegLoader::SetLibraryPath(const std::string& folder)
{
    LibraryPath = folder;
}

std::string TFFmpegLoader::LastErrMsg() const
{
    return LastError;
}

std::string TFFmpegLoader::GetLibraryFileName(TLibraryType library) const
{
    const TLibraryItem& item = LibraryItems[library];
    if (item.majorVersion < 0) return LIBC_SO;
    return std::string("lib") + item.shortName + ".so." + std::to_string(item.majorVersion);
}

bool TFFmpegLoader::LoadLib(TLibraryType library)
{
    TLibraryStatus& status = LibraryStatus[library];
    const std::string fileName = GetLibraryFileName(library);
    if (!status.handle) {
        std::string folder = LibraryPath;
        if (!folder.empty() && folder.back() != '/') folder += '/';
        status.handle = platform::LoadLibraryFromFolder(folder, fileName);
        if (!status.handle) {
            LastError = "Load library " + folder + fileName + " error: " + platform::LastLoadErrorText();
            return false;
        }
    }
    if (!status.bound) {
        try {
            LibraryItems[library].bind(fileName, status.handle);
            status.bound = true;
        } catch (const std::exception& e) {
            LastError = e.what();
        }
    }
    if (!status.bound) {
        LibraryItems[library].unbind();
        platform::FreeLibrary(status.handle);
        status.handle = nullptr;
    }
    return status.bound;
}

bool TFFmpegLoader::LibLoaded(TLibraryType library) const
{
    const TLibraryStatus& status = LibraryStatus[library];
    return status.handle && status.bound;
}

void TFFmpegLoader::UnloadLib(TLibraryType library)
{
    TLibraryStatus& status = LibraryStatus[library];
    if (status.bound) {
        LibraryItems[library].unbind();
        status.bound = false;
    }
    if (status.handle) {
        platform::FreeLibrary(status.handle);
        status.handle = nullptr;
    }
}

bool TFFmpegLoader::LoadLibs(TLibraryTypes libraries)
{
    AssertNotEmpty(libraries);
    for (int i = 0; i < LibraryTypeCount; ++i) {
        const auto t = static_cast<TLibraryType>(i);
        if (libraries.Contains(t) && !LoadLib(t)) {
            UnloadLibs(libraries);
            return false;
        }
    }
    return true;
}

bool TFFmpegLoader::LibsLoaded(TLibraryTypes libraries) const
{
    AssertNotEmpty(libraries);
    for (int i = 0; i < LibraryTypeCount; ++i) {
        const auto t = static_cast<TLibraryType>(i);
        if (libraries.Contains(t) && !LibLoaded(t)) return false;
    }
    return true;
}

void TFFmpegLoader::UnloadLibs(TLibraryTypes libraries)
{
    AssertNotEmpty(libraries);
    for (int i = 0; i < LibraryTypeCount; ++i) {
        const auto t = static_cast<TLibraryType>(i);
        if (libraries.Contains(t)) UnloadLib(t);
    }
}

std::mutex& CodecLock()
{
    static std::mutex lock;
    return lock;
}

}  // namespace kv::media
