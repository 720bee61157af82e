#include "filters/path_fragment.h"

#include <string.h>

namespace vesk {

bool PathFragment::found_in(std::string_view filename) const noexcept {
    if (text_.size() > filename.size()) return false;
    if (text_.empty()) return true;
    return memmem(filename.data(), filename.size(), text_.data(), text_.size()) != nullptr;
}

std::string to_host_separators(std::string_view text) {
    std::string result(text);
    if constexpr (kHostSeparator != '/') {
        for (char& c : result) {
            if (c == '/') c = kHostSeparator;
        }
    }
    return result;
}

std::vector<PathFragment> compile_fragments(const std::vector<std::string>& texts) {
    std::vector<PathFragment> fragments;
    fragments.reserve(texts.size());
    for (const auto& text : texts) fragments.emplace_back(to_host_separators(text));
    return fragments;
}

bool any_found_in(const std::vector<PathFragment>& fragments, std::string_view filename) noexcept {
    for (const auto& fragment : fragments) {
        if (fragment.found_in(filename)) return true;
    }
    return false;
}

}  // namespace vesk
