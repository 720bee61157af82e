#pragma once
// The plugin table: which code names the companion package's plugin descriptions want to see,
// loaded once when a profiler is created.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "filters/path_fragment.h"
#include "utils/ids.h"
#include "utils/pyref.h"

namespace vesk {

// One registered plugin. The table never changes once loaded, so threads read it without a lock;
// the ids a plugin gives the calls it records are per thread (see ThreadValues).
struct Plugin {
    explicit Plugin(PathFragment fragment) : path_fragment(std::move(fragment)) {}

    PathFragment path_fragment;
    std::size_t index = 0;  // position among all plugins of the table, from 0
    std::string call_type;
    std::string return_type;
    std::optional<std::string> subtype;
    PyRef call;     // null when absent
    PyRef process;  // null when absent
    std::optional<std::vector<std::string>> events;
    PyRef context;  // shared by all plugins of one description
};

struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept {
        return std::hash<std::string_view>{}(text);
    }
};

// Code name -> plugins registered for it, in description order.
using PluginTable =
    std::unordered_map<std::string, std::vector<Plugin>, StringHash, std::equal_to<>>;

// Frame address -> id of the plugin record of its call, for one plugin on one thread.
using PluginFrameIds = std::unordered_map<std::uintptr_t, Id>;

// Asks vesk.plugins.load_plugin_data(config) for the descriptions and validates them. A broken
// companion package is an internal fault; a bad description fails with the error indicator set.
Fallible<PluginTable> load_plugins(PyObject* config);

}  // namespace vesk
