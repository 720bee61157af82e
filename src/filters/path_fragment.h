#pragma once
// A path fragment compiled once and then searched for in many file names, byte for byte:
// case-sensitive, no normalisation. The empty fragment occurs in every file name.

#include <string>
#include <string_view>
#include <vector>

namespace vesk {

#ifdef _WIN32
inline constexpr char kHostSeparator = '\\';
#else
inline constexpr char kHostSeparator = '/';
#endif

class PathFragment {
  public:
    explicit PathFragment(std::string text) : text_(std::move(text)) {}

    bool found_in(std::string_view filename) const noexcept;
    const std::string& text() const noexcept { return text_; }

  private:
    std::string text_;
};

// Every "/" becomes the host's separator; on a "/" host the text is unchanged.
std::string to_host_separators(std::string_view text);

std::vector<PathFragment> compile_fragments(const std::vector<std::string>& texts);

// True when any fragment occurs in the filename, trying them in order.
bool any_found_in(const std::vector<PathFragment>& fragments, std::string_view filename) noexcept;

}  // namespace vesk
