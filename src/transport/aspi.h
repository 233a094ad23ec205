#pragma once
// Transport selection: which provider answers the two ASPI entry points, the process-wide transport
// state, and the seam through which tests install providers in-process.

#include "transport/srb.h"

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace lorvane::transport {

inline constexpr const char* kManagerLayerName = "WNASPI32.DLL";
inline constexpr const char* kBuiltInLayerName = "OBASPI32";
// File name of the manager module: first looked for in the current folder, then through the normal
// library search (the programs carry an $ORIGIN run path).
inline constexpr const char* kManagerModuleFile = "libwnaspi32.so";

// Raised when the manager module lacks one of its entry points.
class AssertionFailure : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// How the manager module is found and opened. Production uses dlopen/dlsym/dlclose.
class ModuleLoader {
public:
    // A loader that goes away while its module is the active provider takes the provider with it (the
    // transport becomes uninitialised) and stops being the loader of later loads, so no one ever calls
    // into a destroyed loader, not even at process end.
    virtual ~ModuleLoader();
    virtual void* Open(const std::string& path) = 0; // nullptr when not found
    virtual void* Symbol(void* module, const char* name) = 0;
    virtual void Close(void* module) = 0;
};
ModuleLoader& DlopenModuleLoader();
// Installs the loader used by later InitASPI calls; nullptr restores dlopen.
void SetModuleLoader(ModuleLoader* loader);

// The process-wide transport state.
struct TransportState {
    bool initialised = false;
    void* library = nullptr; // the loaded manager module, nullptr when none
    std::string layerName;   // kManagerLayerName or kBuiltInLayerName; empty before the first load
    bool preference = true;  // UseBuiltIn of the last InitASPI
    ProviderEntryPoints entry;
};
const TransportState& Transport();

// Set by the erase and writer threads while they run, read by the pass-through layer: keep drive
// handles open between commands.
extern std::atomic<bool> KeepDriveOpen;

[[nodiscard]] bool InitASPI(bool useBuiltIn); // may raise AssertionFailure for a module without entry points
void ResetASPI();
void FreeASPI();
// What happens at process end: frees the module, clears the layer name and closes the built-in layer
// with its drive handles, leaving no provider. Also lets tests start from a clean state.
void CloseTransport();
bool ASPIInitialized();
const std::string& ASPILayerName();

// The active provider's entry points. Without a provider: E800h, and 0 with the SRB untouched.
std::uint32_t GetASPI32SupportInfo();
std::uint32_t SendASPI32Command(void* srb);

} // namespace lorvane::transport
