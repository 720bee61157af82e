#include "profiler/bookkeeping.h"

#include "utils/code_cache.h"

#include <algorithm>
#include <climits>
#include <vector>

namespace vesk {

std::optional<Id> frame_id_for_event(ThreadValues& values, Event event, PyFrameObject* frame,
                                     std::uint64_t unix_millis) {
    auto& put_aside = values.frame_ids;
    if (event == Event::call) {
        if (!put_aside.empty()) put_aside.erase(frame_key(frame));  // the newest call counts
        return new_frame_id(unix_millis);
    }
    if (const UserCodeFrame* pair = own_pair(values, frame)) return pair->frame_id;
    if (put_aside.empty()) return std::nullopt;
    auto found = put_aside.find(frame_key(frame));
    if (found == put_aside.end()) return std::nullopt;
    Id id = found->second;
    put_aside.erase(found);
    return id;
}

const UserCodeFrame* own_pair(const ThreadValues& values, PyFrameObject* frame) {
    const auto& stack = values.user_code_stack;
    for (auto pair = stack.rbegin(); pair != stack.rend(); ++pair) {
        if (pair->frame.get() == reinterpret_cast<PyObject*>(frame)) return &*pair;
    }
    return nullptr;
}

void remember_unrecorded_call(ThreadValues& values, PyFrameObject* frame, const Id& frame_id) {
    values.frame_ids.insert_or_assign(frame_key(frame), frame_id);
}

std::optional<CallSite> find_user_code_call_site(const ThreadValues& values, const Id* frame_id) {
    if (frame_id == nullptr) return std::nullopt;
    const auto& stack = values.user_code_stack;
    for (auto pair = stack.rbegin(); pair != stack.rend(); ++pair) {
        if (pair->frame_id == *frame_id) continue;
        auto* caller = reinterpret_cast<PyFrameObject*>(pair->frame.get());
        // 0: the caller stands at an instruction of no line, as a record's path says it.
        int line = std::max(frame_line(caller), 0);
        return CallSite{pair->frame_id, static_cast<std::int32_t>(line)};
    }
    return std::nullopt;
}

void update_user_code_stack(ThreadValues& values, Event event, PyFrameObject* frame,
                            const Id* frame_id, const std::optional<CallSite>& call_site) {
    auto& stack = values.user_code_stack;
    if (event == Event::call) {
        if (frame_id != nullptr) {
            stack.push_back(
                {PyRef::borrow(reinterpret_cast<PyObject*>(frame)), *frame_id, call_site, false});
        }
        return;
    }
    auto own = std::find_if(stack.rbegin(), stack.rend(), [frame](const UserCodeFrame& pair) {
        return pair.frame.get() == reinterpret_cast<PyObject*>(frame);
    });
    if (own == stack.rend()) return;
    // Frames are released only once the stack is consistent: one going away may run finalisers.
    if (own == stack.rbegin()) {
        UserCodeFrame returned = std::move(stack.back());
        stack.pop_back();
        return;
    }
    auto first = own.base() - 1;
    std::vector<UserCodeFrame> removed(std::make_move_iterator(first),
                                       std::make_move_iterator(stack.end()));
    stack.erase(first, stack.end());
}

void discard_returning_frame(ThreadValues& values, PyFrameObject* frame) {
    if (!values.frame_ids.empty()) values.frame_ids.erase(frame_key(frame));
    update_user_code_stack(values, Event::ret, frame, nullptr, std::nullopt);
}

Fallible<const ThreadIdentity*> thread_identity(ThreadValues& values) {
    if (!values.thread_identity_cache) {
        auto identity = current_thread_info();
        if (!identity.ok()) return failed;
        values.thread_identity_cache = std::move(*identity);
    }
    return &*values.thread_identity_cache;
}

}  // namespace vesk
