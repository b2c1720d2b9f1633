#pragma once
// Shared plumbing of the binding units: each unit lists its entry points once as
// an X-macro, and these turn the list into slots, binding and unbinding.
#include <string>

// One process-wide slot per entry point, in namespace av, typed as the library's function.
#define KV_DECLARE_SLOT(name) extern decltype(&::name) name;
#define KV_DEFINE_SLOT(name) decltype(&::name) name = nullptr;
#define KV_BIND_SLOT(name) av::name = reinterpret_cast<decltype(av::name)>(kv::media::BindEntryPoint(#name, fileName, handle));
#define KV_UNBIND_SLOT(name) av::name = nullptr;

namespace kv::media {
// Looks `name` up in `handle`; throws LoaderError "Load function %s@%s error: %s" when missing.
void* BindEntryPoint(const char* name, const std::string& fileName, void* handle);
}  // namespace kv::media

// Defines the slots of one binding unit and its bind and unbind procedures.
#define KV_DEFINE_BINDING_UNIT(Unit, ENTRIES, AFTER_BIND)                      \
    namespace av { ENTRIES(KV_DEFINE_SLOT) }                                   \
    namespace kv::media {                                                      \
    void Bind##Unit(const std::string& fileName, void* handle)                 \
    {                                                                          \
        ENTRIES(KV_BIND_SLOT)                                                  \
        AFTER_BIND;                                                            \
    }                                                                          \
    void Unbind##Unit() { ENTRIES(KV_UNBIND_SLOT) }                            \
    }
