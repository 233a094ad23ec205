#include "recorder/virtual_recorder.h"

#include <cstring>
#include <filesystem>

namespace lorvane::recorder {

namespace {

char g_moduleToken; // the "handle" of the in-process module: only its address matters

template <class Fn> void* AsSymbol(Fn fn) {
    static_assert(sizeof(Fn) == sizeof(void*));
    void* symbol = nullptr;
    std::memcpy(&symbol, &fn, sizeof symbol); // what dlsym hands out for a function
    return symbol;
}

} // namespace

void* InProcessModuleLoader::Open(const std::string& path) {
    if (VirtualRecorder::Installed() == nullptr) return nullptr;
    if (std::filesystem::path(path).filename() != transport::kManagerModuleFile) return nullptr;
    ++m_openCount;
    return &g_moduleToken;
}

void* InProcessModuleLoader::Symbol(void* module, const char* name) {
    if (module != &g_moduleToken || name == nullptr) return nullptr;
    const transport::ProviderEntryPoints entry = VirtualRecorder::EntryPoints();
    if (std::strcmp(name, transport::kGetSupportInfoName) == 0) return AsSymbol(entry.getSupportInfo);
    if (std::strcmp(name, transport::kSendCommandName) == 0) return AsSymbol(entry.sendCommand);
    return nullptr;
}

void InProcessModuleLoader::Close(void* module) {
    if (module == &g_moduleToken && m_openCount > 0) --m_openCount;
}

} // namespace lorvane::recorder
