#include "app/core/entry_names.h"

namespace lorvane::app {

std::string DiscEntryName(const image::TFEntry& entry) {
    std::string name = entry.LongName;
    if (!entry.Dir && name.size() > 1 && name.back() == '.' && name.find('.') == name.size() - 1)
        name.pop_back();
    return name;
}

std::optional<std::string> SafeLocalName(const std::string& name) {
    if (name.empty()) return "_";
    if (name == ".") return "_";
    if (name == "..") return "__";
    if (name.find_first_of(std::string("/\\\0", 3)) == std::string::npos) return std::nullopt;
    std::string safe = name;
    for (char& c : safe)
        if (c == '/' || c == '\\' || c == '\0') c = '_';
    return safe;
}

} // namespace lorvane::app
