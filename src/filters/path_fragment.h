#pragma once
// A path fragment compiled once and then searched for in many file names, byte for byte:
// case-sensitive, no normalisation. The empty fragment occurs in every file name.

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "utils/separator.h"

namespace vesk {

class PathFragment {
  public:
    explicit PathFragment(std::string text);

    bool found_in(std::string_view filename) const noexcept;
    const std::string& text() const noexcept { return *text_; }

  private:
    using Searcher = std::boyer_moore_horspool_searcher<const char*>;
    // The searcher points into the text, which therefore stays where it is when fragments move.
    std::unique_ptr<const std::string> text_;
    std::unique_ptr<const Searcher> searcher_;
};

// Every "/" becomes the host's separator; on a "/" host the text is unchanged.
std::string to_host_separators(std::string_view text);

std::vector<PathFragment> compile_fragments(const std::vector<std::string>& texts);

// True when any fragment occurs in the filename, trying them in order.
bool any_found_in(const std::vector<PathFragment>& fragments, std::string_view filename) noexcept;

}  // namespace vesk
