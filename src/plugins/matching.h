#pragma once
// Running the plugins registered for a frame's code name: a plugin that recognises the event
// turns it into a typed record, built as a dictionary and serialised by the companion package.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "plugins/registry.h"
#include "utils/ids.h"
#include "utils/msgpack_writer.h"
#include "utils/pyref.h"

namespace vesk {

struct PluginRecord {
    std::string type;
    SerializedValue bytes;
};

struct PluginEvent {
    PyFrameObject* frame;
    bool is_call;
    PyObject* event_text;  // "call" or "return", handed to the plugin's callables
    PyObject* arg;
    std::string_view filename;
    bool lightweight_repr;
    // The recorded frame below the event's frame, passing over pairs with the given id.
    const std::function<std::optional<CallSite>(const Id&)>& call_site;
};

// No record, a record, or a failure (the error indicator is set). `frame_ids` are this plugin's
// ids on the calling thread.
Fallible<std::optional<PluginRecord>> run_plugin(const Plugin& plugin, const PluginEvent& event,
                                                 PluginFrameIds& frame_ids);

}  // namespace vesk
