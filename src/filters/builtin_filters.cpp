#include "filters/builtin_filters.h"

#include <array>
#include <string>
#include <vector>

#include "filters/path_fragment.h"

namespace vesk {

namespace {

// Texts written with "/" and turned into the host's separator once.
std::vector<PathFragment> compile(std::initializer_list<const char*> texts) {
    std::vector<PathFragment> fragments;
    for (const char* text : texts) fragments.emplace_back(to_host_separators(text));
    return fragments;
}

struct LibraryFragments {
    std::vector<PathFragment> always;      // any of these marks a library file
    std::vector<PathFragment> python_dir;  // these only together with one of lib_dir
    std::vector<PathFragment> lib_dir;
};

const LibraryFragments& library_fragments() {
    // Built once, thread-safely, on first use; immutable afterwards.
    static const LibraryFragments fragments = [] {
        if constexpr (kHostSeparator == '/') {
            // Every interpreter library and installed package lies below a lib/pythonX.Y or a
            // site-packages directory here. The Windows layouts (python/ with lib/ somewhere on
            // the path) would drop user code such as ~/python/app/lib/util.py.
            return LibraryFragments{compile({"lib/python", "/site-packages/"}), {}, {}};
        } else {
            return LibraryFragments{compile({"lib/python", "/site-packages/", "/x64/lib/"}),
                                    compile({"/python/", "/Python/"}), compile({"/lib/", "/Lib/"})};
        }
    }();
    return fragments;
}

const std::vector<PathFragment>& own_package_fragments() {
    static const std::vector<PathFragment> fragments = compile({
        "/vesk/config.py",
        "/vesk/db.py",
        "/vesk/django_schema.py",
        "/vesk/filters/",
        "/vesk/generate_tests/",
        "/vesk/git.py",
        "/vesk/__init__.py",
        "/vesk/__main__.py",
        "/vesk/middleware.py",
        "/vesk/profiler.py",
        "/vesk/pytest_plugin.py",
        "/vesk/serialize.py",
        "/vesk/utils.py",
        "/vesk/version.py",
    });
    return fragments;
}

constexpr std::string_view kFrozen = "<frozen ";
constexpr std::string_view kString = "<string>";
constexpr std::string_view kPytestExpression = "<pytest match expression>";
constexpr std::string_view kAttrsGenerated = "<attrs generated";
constexpr std::string_view kGenerated = " generated";
// Flask's router compiles each rule's matcher under this name.
constexpr std::string_view kWerkzeugRouting = "<werkzeug routing>";

std::string_view attrs_maker_suffix() {
    static const std::string suffix = to_host_separators("attr/_make.py");
    return suffix;
}

}  // namespace

bool library_filter(std::string_view filename) noexcept {
    const auto& fragments = library_fragments();
    if (any_found_in(fragments.always, filename)) return true;
    return any_found_in(fragments.python_dir, filename) &&
           any_found_in(fragments.lib_dir, filename);
}

bool frozen_filter(std::string_view filename) noexcept {
    return filename.find(kFrozen) != std::string_view::npos;
}

bool own_package_filter(std::string_view filename) noexcept {
    return any_found_in(own_package_fragments(), filename);
}

bool exec_string_filter(std::string_view filename) noexcept {
    return filename.find(kString) != std::string_view::npos;
}

bool pytest_expression_filter(std::string_view filename) noexcept {
    return filename == kPytestExpression;
}

bool generated_name_filter(std::string_view filename) noexcept {
    if (!filename.starts_with('<') || !filename.ends_with('>')) return false;
    return filename.find(kGenerated) != std::string_view::npos || filename == kWerkzeugRouting;
}

bool attrs_generated_name(std::string_view filename) noexcept {
    return filename.starts_with(kAttrsGenerated);
}

bool attrs_maker_file(std::string_view caller_filename) noexcept {
    return caller_filename.ends_with(attrs_maker_suffix());
}

}  // namespace vesk
