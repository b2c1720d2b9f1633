#include "platform/DynamicLibrary.h"

#include <dlfcn.h>
#include <elf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <vector>

namespace kv::platform {

namespace {

thread_local std::string lastError;

void RememberDlError(const std::string& fallback)
{
    const char* e = dlerror();
    lastError = e ? e : fallback;
}

template <typename T>
bool ReadAt(std::ifstream& in, std::uint64_t offset, T& out)
{
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(reinterpret_cast<char*>(&out), sizeof(T));
    return static_cast<bool>(in);
}

std::vector<std::string> NeededOf(const std::string& path)
{
    std::vector<std::string> needed;
    std::ifstream in(path, std::ios::binary);
    Elf64_Ehdr eh{};
    if (!ReadAt(in, 0, eh) || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64)
        return needed;
    std::vector<Elf64_Shdr> sections(eh.e_shnum);
    for (unsigned i = 0; i < eh.e_shnum; ++i)
        if (!ReadAt(in, eh.e_shoff + std::uint64_t(i) * eh.e_shentsize, sections[i])) return needed;
    for (const Elf64_Shdr& sh : sections) {
        if (sh.sh_type != SHT_DYNAMIC || sh.sh_link >= sections.size()) continue;
        const Elf64_Shdr& strtab = sections[sh.sh_link];
        for (std::uint64_t off = 0; off + sizeof(Elf64_Dyn) <= sh.sh_size; off += sizeof(Elf64_Dyn)) {
            Elf64_Dyn dyn{};
            if (!ReadAt(in, sh.sh_offset + off, dyn) || dyn.d_tag == DT_NULL) break;
            if (dyn.d_tag != DT_NEEDED || dyn.d_un.d_val >= strtab.sh_size) continue;
            in.seekg(static_cast<std::streamoff>(strtab.sh_offset + dyn.d_un.d_val));
            std::string name;
            std::getline(in, name, '\0');
            if (in) needed.push_back(name);
        }
    }
    return needed;
}

// Loads, depth first, every dependency of `path` that lies in `folder`, so that the
// dynamic linker finds them already loaded (by their soname) instead of searching.
void PreloadFolderDependencies(const std::string& folder, const std::string& path, std::set<std::string>& seen)
{
    for (const std::string& name : NeededOf(path)) {
        const std::string candidate = folder + name;
        if (!seen.insert(name).second || !FileExists(candidate)) continue;
        PreloadFolderDependencies(folder, candidate, seen);
        // Deliberately kept loaded for the process's life, as the modules that need it are.
        dlopen(candidate.c_str(), RTLD_NOW | RTLD_GLOBAL);
    }
}

}  // namespace

bool FileExists(const std::string& path)
{
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string ReadNeededLibraries(const std::string& path, char separator)
{
    std::string out;
    for (const std::string& n : NeededOf(path)) {
        if (!out.empty()) out += separator;
        out += n;
    }
    return out;
}

CurrentDirectoryGuard::CurrentDirectoryGuard()
{
    std::vector<char> buf(4096);
    if (::getcwd(buf.data(), buf.size())) saved_ = buf.data();
}

CurrentDirectoryGuard::~CurrentDirectoryGuard()
{
    if (!saved_.empty() && ::chdir(saved_.c_str()) != 0) {
        // Nothing sensible to do: the directory vanished while we were loading.
    }
}

ModuleHandle LoadLibraryFromFolder(const std::string& folder, const std::string& fileName, bool shareSymbols)
{
    const int flags = RTLD_NOW | (shareSymbols ? RTLD_GLOBAL : RTLD_LOCAL);
    if (!folder.empty() && FileExists(folder + fileName)) {
        // Made absolute first: a relative folder would mean something else once the
        // current directory has moved into it.
        std::string dir = folder;
        if (dir.back() != '/') dir += '/';
        if (dir.front() != '/') {
            std::vector<char> cwd(4096);
            if (::getcwd(cwd.data(), cwd.size())) dir = std::string(cwd.data()) + "/" + dir;
        }
        CurrentDirectoryGuard keepCwd;
        if (::chdir(dir.c_str()) != 0) {
            // Loading by full path does not depend on the current directory.
        }
        std::set<std::string> seen;
        PreloadFolderDependencies(dir, dir + fileName, seen);
        dlerror();
        void* h = dlopen((dir + fileName).c_str(), flags);
        if (!h) RememberDlError("cannot load " + dir + fileName);
        return h;
    }
    dlerror();
    void* h = dlopen(fileName.c_str(), flags);
    if (!h) RememberDlError("cannot load " + fileName);
    return h;
}

void* FindSymbol(ModuleHandle module, const char* name)
{
    dlerror();
    void* p = dlsym(module, name);
    if (!p) RememberDlError(std::string("undefined symbol: ") + name);
    return p;
}

void FreeLibrary(ModuleHandle module)
{
    if (module) dlclose(module);
}

std::string LastLoadErrorText()
{
    return lastError;
}

}  // namespace kv::platform
