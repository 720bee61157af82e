#pragma once
// Per-thread call bookkeeping: a recorded return carries the frame id of its call, and every
// record names the recorded frame that called it, even across frames that are not recorded.

#include <optional>
#include <string_view>

#include "profiler/frame_record.h"
#include "profiler/thread_slots.h"
#include "utils/ids.h"
#include "utils/pyref.h"

namespace vesk {

enum class Event { call, ret };

inline std::string_view event_text(Event event) noexcept {
    return event == Event::call ? "call" : "return";
}

inline std::uintptr_t frame_key(PyFrameObject* frame) noexcept {
    return reinterpret_cast<std::uintptr_t>(frame);
}

// On a call, a new id; on a return, the id of the frame's call: the one on its pair on the stack
// of recorded calls or, when the call's event failed before its frame was pushed, the one put
// aside then. An id put aside is forgotten at the return: frame objects are freed and their
// addresses reused, and an id kept after the return would go to an unrelated frame whose call
// was never seen.
std::optional<Id> frame_id_for_event(ThreadValues& values, Event event, PyFrameObject* frame,
                                     std::uint64_t unix_millis);

// The frame's own pair on the stack of recorded calls (the newest, should it be there twice), or
// null. Valid until the stack changes.
const UserCodeFrame* own_pair(const ThreadValues& values, PyFrameObject* frame);

// Puts aside the id of a call whose event failed after the id was made.
void remember_unrecorded_call(ThreadValues& values, PyFrameObject* frame, const Id& frame_id);

// The id and current line of the nearest recorded frame below the one whose id is given: pairs
// with that very id (the frame's own, on its return) are passed over. Reading the stack in place
// is safe: no profile event of this thread can run while the callback does.
std::optional<CallSite> find_user_code_call_site(const ThreadValues& values, const Id* frame_id);

// A recorded call pushes its frame, with its call site. A return removes the returning frame's own
// pair and any pairs above it (calls whose returns were not seen); a frame that has no pair,
// because its call was not recorded, leaves the stack as it is.
void update_user_code_stack(ThreadValues& values, Event event, PyFrameObject* frame,
                            const Id* frame_id, const std::optional<CallSite>& call_site);

// A return whose record failed: its frame leaves the stack all the same (with any pairs above
// it), and an id put aside for it is forgotten, so that later records name the right caller and
// the frame is not kept alive.
void discard_returning_frame(ThreadValues& values, PyFrameObject* frame);

// The thread's name and native id, computed on first use and kept for the thread's life.
Fallible<const ThreadIdentity*> thread_identity(ThreadValues& values);

}  // namespace vesk
