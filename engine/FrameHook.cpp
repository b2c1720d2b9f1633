#include "engine/FrameHook.h"

#include <strings.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "media/AVUtilStubs.h"
#include "platform/DynamicLibrary.h"

namespace kv::engine {

namespace {

// Hook failures go to the libraries' log at its most severe level, so that no
// log-level setting hides why a "vhook" option was refused.
constexpr int HookLogLevel = 0;

template <typename... Args>
void LogHookError(const char* format, Args... args)
{
    // Adding a hook before the libraries are bound still works; it just cannot log.
    if (av::av_log) av::av_log(nullptr, HookLogLevel, format, args...);
}

// Plug-in libraries loaded so far, by the file name they were given as. They stay
// loaded for the process's life: hooks of finished tasks may have left state in
// them, and every later task naming the same file must share the module. They are
// loaded with local symbols: every plug-in exports the same three names.
struct TLoadedPlugin {
    std::string FileName;
    platform::ModuleHandle Module;
};

std::mutex& PluginListLock()
{
    static std::mutex lock;
    return lock;
}

std::vector<TLoadedPlugin>& LoadedPlugins()
{
    // Deliberately never destroyed: the modules outlive every static that may still call into them.
    static auto* plugins = new std::vector<TLoadedPlugin>;
    return *plugins;
}

// Loads `fileName` (or finds it already loaded); null after logging on failure.
platform::ModuleHandle LoadPlugin(const std::string& fileName)
{
    std::lock_guard<std::mutex> guard(PluginListLock());
    for (const TLoadedPlugin& p : LoadedPlugins())
        if (::strcasecmp(p.FileName.c_str(), fileName.c_str()) == 0) return p.Module;

    platform::ModuleHandle module = nullptr;
    const std::string::size_type slash = fileName.rfind('/');
    if (slash == std::string::npos) {
        module = platform::LoadLibraryFromFolder(std::string(), fileName, false);
    } else {
        // An absolute folder, so that loading does not depend on the current directory
        // the loader switches to; the libraries the plug-in needs are taken from it first.
        std::error_code ec;
        std::filesystem::path folder = std::filesystem::absolute(fileName.substr(0, slash + 1), ec);
        std::string dir = ec ? fileName.substr(0, slash + 1) : folder.string();
        if (dir.empty() || dir.back() != '/') dir += '/';
        const std::string baseName = fileName.substr(slash + 1);
        if (!baseName.empty() && platform::FileExists(dir + baseName))
            module = platform::LoadLibraryFromFolder(dir, baseName, false);
        else
            // Never fall back to a library of the same name elsewhere; let the
            // system report why this path cannot be loaded.
            module = platform::LoadLibraryFromFolder(std::string(), dir + baseName, false);
    }
    if (!module) {
        LogHookError("%s\n", platform::LastLoadErrorText().c_str());
        return nullptr;
    }
    LoadedPlugins().push_back({fileName, module});
    return module;
}

int AddHook(TFrameHookChain& chain, int argc, char* argv[], std::unique_ptr<char[]> arguments)
{
    if (argc <= 0 || !argv || !argv[0]) return -2;

    platform::ModuleHandle module = LoadPlugin(argv[0]);
    if (!module) return -1;

    std::unique_ptr<TFrameHookEntry> hook(new (std::nothrow) TFrameHookEntry{});
    if (!hook) return -12;

    hook->Configure = reinterpret_cast<TConfigureFunc>(platform::FindSymbol(module, "Configure"));
    hook->Process = reinterpret_cast<TProcessFunc>(platform::FindSymbol(module, "Process"));
    hook->Release = reinterpret_cast<TReleaseFunc>(platform::FindSymbol(module, "Release"));

    if (!hook->Process) {
        LogHookError("Failed to find Process entrypoint in %s\n", argv[0]);
        return -2;
    }
    if (!hook->Configure && argc > 1) {
        LogHookError("Failed to find Configure entrypoint in %s\n", argv[0]);
        return -2;
    }
    if (hook->Configure && hook->Configure(&hook->Context, argc, argv) != 0) {
        LogHookError("Failed to Configure %s\n", argv[0]);
        return -22;
    }
    hook->Arguments = std::move(arguments);

    TFrameHookEntry** tail = &chain.Next;
    while (*tail) tail = &(*tail)->Next;
    *tail = hook.release();
    return 0;
}

}  // namespace

int AddFrameHook(TFrameHookChain& chain, int argc, char* argv[])
{
    return AddHook(chain, argc, argv, nullptr);
}

void ProcessFrameHooks(TFrameHookChain& chain, std::uint8_t* data[4], int linesize[4], int pixFmt, int width,
                       int height, std::int64_t pts)
{
    for (TFrameHookEntry* hook = chain.Next; hook; hook = hook->Next) {
        // A fresh copy per hook: a plug-in may repoint the planes of its own copy.
        TFrameHookPicture picture{};
        for (int i = 0; i < 4; ++i) {
            picture.data[i] = data[i];
            picture.linesize[i] = linesize[i];
        }
        hook->Process(hook->Context, &picture, pixFmt, width, height, pts);
    }
}

void ReleaseFrameHooks(TFrameHookChain& chain)
{
    TFrameHookEntry* hook = chain.Next;
    chain.Next = nullptr;
    while (hook) {
        TFrameHookEntry* next = hook->Next;
        if (hook->Release) hook->Release(hook->Context);
        delete hook;
        hook = next;
    }
}

int AddFrameHookFromOption(TFrameHookChain& chain, const std::string& value, std::string& argumentBuffer)
{
    argumentBuffer = value;

    // The argument texts are split in place in a buffer owned by the hook.
    std::unique_ptr<char[]> text(new (std::nothrow) char[value.size() + 1]);
    if (!text) return -12;
    std::memcpy(text.get(), value.c_str(), value.size() + 1);

    // "|" separates when present, so that paths and values may hold blanks.
    const char separator = value.find('|') != std::string::npos ? '|' : ' ';
    std::array<char*, MaxFrameHookArguments + 1> argv{};
    int argc = 0;
    char* p = text.get();
    while (*p && argc < MaxFrameHookArguments) {
        while (*p == separator) ++p;
        if (!*p) break;
        argv[argc++] = p;
        while (*p && *p != separator) ++p;
        if (*p) *p++ = '\0';
    }
    argv[argc] = nullptr;
    return AddHook(chain, argc, argv.data(), std::move(text));
}

}  // namespace kv::engine
