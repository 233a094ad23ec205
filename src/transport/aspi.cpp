#include "transport/aspi.h"

#include "transport/pass_through.h"

#include <dlfcn.h>

namespace lorvane::transport {

std::atomic<bool> KeepDriveOpen{false};

namespace {

// The module is looked for in the current folder first, as the manager library always was.
inline constexpr const char* kModuleInCurrentFolder = "./libwnaspi32.so";
inline constexpr const char* kMissingSupportInfo = "Assertion failure (obASPI, line 477)";
inline constexpr const char* kMissingSendCommand = "Assertion failure (obASPI, line 478)";

class Dlopen final : public ModuleLoader {
public:
    void* Open(const std::string& path) override { return ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); }
    void* Symbol(void* module, const char* name) override { return ::dlsym(module, name); }
    void Close(void* module) override { ::dlclose(module); }
};

// The transport state is process-wide and unlocked: only InitASPI, ResetASPI and FreeASPI change it,
// on the thread that starts or ends an operation, never while a command is under way.
TransportState g_state;
ModuleLoader* g_loader = nullptr;       // for the next load; nullptr = dlopen
ModuleLoader* g_moduleLoader = nullptr; // the loader that opened g_state.library

ModuleLoader& CurrentLoader() {
    return g_loader != nullptr ? *g_loader : DlopenModuleLoader();
}

void* TryOpen(ModuleLoader& loader, const std::string& path) {
    try {
        return loader.Open(path);
    } catch (...) {
        return nullptr; // a load that fails by throwing is a module that is not there
    }
}

void UseBuiltInLayer() {
    g_state.entry = {&PassThroughGetSupportInfo, &PassThroughSendCommand};
    g_state.layerName = kBuiltInLayerName;
    g_state.initialised = true;
}

// Looks up both entry points before anything is marked initialised, so that a module without them
// never leaves a transport whose next command would call through a null pointer.
void UseManagerModule(ModuleLoader& loader, void* module) {
    // dlsym returns an object pointer; converting it to a function pointer is what POSIX requires
    // to work.
    const auto support = reinterpret_cast<GetSupportInfoFn>(loader.Symbol(module, kGetSupportInfoName));
    const auto send = reinterpret_cast<SendCommandFn>(loader.Symbol(module, kSendCommandName));
    if (support == nullptr || send == nullptr) {
        loader.Close(module);
        throw AssertionFailure(support == nullptr ? kMissingSupportInfo : kMissingSendCommand);
    }
    g_state.library = module;
    g_moduleLoader = &loader;
    g_state.entry = {support, send};
    g_state.layerName = kManagerLayerName;
    g_state.initialised = true;
}

struct ProcessEnd {
    ~ProcessEnd() { CloseTransport(); }
};
ProcessEnd g_processEnd;

} // namespace

ModuleLoader::~ModuleLoader() {
    if (g_loader == this) g_loader = nullptr;
    if (g_moduleLoader == this) {
        g_moduleLoader = nullptr;
        g_state.library = nullptr;
        g_state.initialised = false;
        g_state.entry = {};
        g_state.layerName.clear();
    }
}

ModuleLoader& DlopenModuleLoader() {
    // Never destroyed: the module is freed from a static destructor at process end.
    static Dlopen* const loader = new Dlopen;
    return *loader;
}

void SetModuleLoader(ModuleLoader* loader) {
    g_loader = loader;
}

const TransportState& Transport() {
    return g_state;
}

bool InitASPI(bool useBuiltIn) {
    // Windows needed its critical-error boxes suppressed here; Linux has no such mode.
    // A manager module already in use stays in use: switching away from it here would leave it
    // loaded behind the built-in layer, and a later FreeASPI would then unload the wrong provider.
    if (useBuiltIn && !g_state.initialised && PassThroughScan() >= 1) UseBuiltInLayer();
    if (!g_state.initialised) {
        ModuleLoader& loader = CurrentLoader();
        void* module = TryOpen(loader, kModuleInCurrentFolder);
        if (module == nullptr) module = TryOpen(loader, kManagerModuleFile);
        if (module != nullptr) UseManagerModule(loader, module);
        if (!g_state.initialised && PassThroughScan() >= 1) UseBuiltInLayer();
    }
    if (g_state.initialised) (void)g_state.entry.getSupportInfo(); // the manager initialises itself here
    g_state.preference = useBuiltIn;
    return g_state.initialised;
}

void ResetASPI() {
    if (g_state.layerName != kBuiltInLayerName) {
        FreeASPI();
    } else {
        g_state.initialised = false;
        g_state.entry = {};
        PassThroughClose();
    }
    try {
        (void)InitASPI(g_state.preference);
    } catch (const AssertionFailure&) {
        // The module changed under us and lacks an entry point: the transport stays uninitialised,
        // which every later command reports; a worker that resets at its end must not die of it.
    }
}

void FreeASPI() {
    if (!g_state.initialised || g_state.library == nullptr) return;
    g_state.initialised = false;
    g_state.entry = {}; // the entry points die with the module
    if (g_moduleLoader != nullptr) g_moduleLoader->Close(g_state.library);
    g_state.library = nullptr;
    g_moduleLoader = nullptr;
}

void CloseTransport() {
    if (g_state.library != nullptr && g_moduleLoader != nullptr) g_moduleLoader->Close(g_state.library);
    g_state.library = nullptr;
    g_moduleLoader = nullptr;
    g_state.initialised = false;
    g_state.entry = {};
    g_state.layerName.clear();
    PassThroughClose();
}

bool ASPIInitialized() {
    return g_state.initialised;
}

const std::string& ASPILayerName() {
    return g_state.layerName;
}

std::uint32_t GetASPI32SupportInfo() {
    if (!g_state.initialised || g_state.entry.getSupportInfo == nullptr)
        return std::uint32_t{srbstatus::kNoAdapters} << 8;
    return g_state.entry.getSupportInfo();
}

std::uint32_t SendASPI32Command(void* srb) {
    if (!g_state.initialised || g_state.entry.sendCommand == nullptr) return 0;
    return g_state.entry.sendCommand(srb);
}

} // namespace lorvane::transport
