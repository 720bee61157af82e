#include "lib/profiler_type.h"

#include <utility>

#include "profiler/callback.h"
#include "profiler/exceptions.h"
#include "profiler/monitored.h"
#include "profiler/profiler_object.h"
#include "profiler/record_store.h"
#include "profiler/recordings.h"
#include "profiler/saver.h"
#include "utils/convert.h"
#include "utils/errors.h"
#include "utils/finalize.h"

namespace vesk {

PyTypeObject* profiler_type = nullptr;

namespace {

// Methods first check their receiver: the method descriptor already refuses other objects, but
// a direct call through the C slot would not.
template <class Body>
PyObject* with_receiver(PyObject* self, Body&& body) {
    return guarded_entry([&]() -> PyObject* {
        ProfilerState* state = profiler_state_of(self);
        if (state == nullptr) {
            set_type_mismatch(self, "VeskProfiler");
            return nullptr;
        }
        return body(*state);
    });
}

PyObject* save_request_in_db(PyObject* self, PyObject*) {
    return with_receiver(self, [](ProfilerState& state) -> PyObject* {
        if (!vesk::save_request_in_db(state)) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* build_trace(PyObject* self, PyObject*) {
    return with_receiver(
        self, [](ProfilerState& state) -> PyObject* { return vesk::build_trace(state).release(); });
}

PyObject* register_threading_profiler(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"_frame", "_event", "_arg", nullptr};
    PyObject* frame;
    PyObject* event;
    PyObject* arg;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:register_threading_profiler",
                                     const_cast<char**>(keywords), &frame, &event, &arg)) {
        return nullptr;
    }
    return with_receiver(self, [&](ProfilerState& state) -> PyObject* {
        // This event itself is not recorded: the thread records from its next event on. A
        // stopped recording leaves the thread to the one it was started inside of, or to none.
        if (state.stopped) {
            install_live_recording(self);
        } else {
            PyEval_SetProfile(profile_callback, self);
        }
        Py_RETURN_NONE;
    });
}

PyObject* stop(PyObject* self, PyObject*) {
    return with_receiver(self, [&](ProfilerState&) -> PyObject* {
        if (!stop_recording(self)) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* hand_off(PyObject* self, PyObject*) {
    return with_receiver(self, [](ProfilerState& state) -> PyObject* {
        if (!hand_off_part(state)) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* wait_for_saves(PyObject* self, PyObject*) {
    return with_receiver(self, [](ProfilerState& state) -> PyObject* {
        if (!vesk::wait_for_saves(state)) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* record_running_threads(PyObject* self, PyObject*) {
    return with_receiver(self, [&](ProfilerState& state) -> PyObject* {
        if (state.stopped) return PyLong_FromSsize_t(0);
        Py_ssize_t reached = state.monitored ? record_running_threads_monitored(self)
                                             : vesk::record_running_threads(self);
        return reached < 0 ? nullptr : PyLong_FromSsize_t(reached);
    });
}

PyObject* restart_in_forked_child(PyObject* self, PyObject* args) {
    PyObject* trace_id;
    double handoff_interval = 0.0;
    if (!PyArg_ParseTuple(args, "O|d:restart_in_forked_child", &trace_id, &handoff_interval)) {
        return nullptr;
    }
    return with_receiver(self, [&](ProfilerState& state) -> PyObject* {
        auto text = text_view(trace_id);
        if (!text.ok()) return nullptr;
        auto values = state.per_thread.current();
        if (!values.ok()) return nullptr;
        vesk::restart_in_forked_child(state, *values, std::string(*text));
        if (handoff_interval > 0 && state.handoff_interval == 0 && !state.stopped) {
            state.handoff_interval = handoff_interval;
            cut_periodically(&state, handoff_interval);
        }
        Py_RETURN_NONE;
    });
}

PyObject* get_dropped_events(PyObject* self, void*) {
    return with_receiver(self, [](ProfilerState& state) -> PyObject* {
        return PyLong_FromUnsignedLongLong(state.dropped_events);
    });
}

PyObject* get_trace_id(PyObject* self, void*) {
    return with_receiver(self, [](ProfilerState& state) -> PyObject* {
        std::string id = *state.trace_id.lock();
        return PyUnicode_FromStringAndSize(id.data(), static_cast<Py_ssize_t>(id.size()));
    });
}

PyObject* get_unsaved_traces(PyObject* self, void*) {
    return with_receiver(self, [](ProfilerState& state) -> PyObject* {
        return PyLong_FromSize_t(unsaved_traces(state));
    });
}

PyObject* refuse_construction(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined");
    return nullptr;
}

// A plugin's context may refer back to the host and so to its profiler: the profiler takes part
// in the cycle collector so that such a cycle is freed.
int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    const ProfilerState* state = reinterpret_cast<ProfilerObject*>(self)->state;
    return state != nullptr ? state->traverse(visit, arg) : 0;
}

// Unsaved records and every thread's values go with the profiler.
int clear(PyObject* self) {
    auto* object = reinterpret_cast<ProfilerObject*>(self);
    ProfilerState* state = std::exchange(object->state, nullptr);
    if (state != nullptr) {
        stop_following_exceptions(*state);
        stop_cutting(state);
    }
    delete state;
    return 0;
}

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef methods[] = {
    {"save_request_in_db", save_request_in_db, METH_NOARGS, "save_request_in_db($self)\n--\n\n"},
    {"build_trace", build_trace, METH_NOARGS, "build_trace($self)\n--\n\n"},
    {"register_threading_profiler", as_method(register_threading_profiler),
     METH_VARARGS | METH_KEYWORDS,
     "register_threading_profiler($self, _frame, _event, _arg)\n--\n\n"},
    {"stop", stop, METH_NOARGS,
     "stop($self)\n--\n\nStops this recording on every thread it reached: nothing more is "
     "recorded, and each thread passes to the recording this one was started inside of, or to "
     "none. What was recorded stays for the next save."},
    {"hand_off", hand_off, METH_NOARGS,
     "hand_off($self)\n--\n\nAs save_request_in_db, but returns once the part is handed to the "
     "saver thread, without waiting for it to be written."},
    {"wait_for_saves", wait_for_saves, METH_NOARGS,
     "wait_for_saves($self)\n--\n\nWaits until every part of a trace that this recording handed "
     "to the saver thread (as parts filled, at a test's end) was written, or tried: raises the "
     "failure of one that could not be, which is kept for the next save."},
    {"record_running_threads", record_running_threads, METH_NOARGS,
     "record_running_threads($self)\n--\n\nRecords the threads already running that have no "
     "profile function, from their next call; returns how many."},
    {"restart_in_forked_child", restart_in_forked_child, METH_VARARGS,
     "restart_in_forked_child($self, trace_id, handoff_interval=0)\n--\n\nIn a child made by "
     "fork(): drops what the parent held (the parent saves it) and records on under trace_id; "
     "with handoff_interval, held records are also handed to the saver thread that often "
     "(seconds)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"dropped_events", get_dropped_events, nullptr,
     "Events lost at the interpreter's recursion limit, where they could not even be reported.",
     nullptr},
    {"trace_id", get_trace_id, nullptr,
     "The trace being recorded now (in one-trace-per-test mode, the current test's).", nullptr},
    {"unsaved_traces", get_unsaved_traces, nullptr,
     "Traces (or parts of one) whose save failed, kept for the next save.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec spec = {
    "vesk._vesk.VeskProfiler",
    sizeof(ProfilerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
    slots,
};

PyTypeObject* get_profiler_type() {
    if (profiler_type == nullptr) {
        // Kept for the life of the interpreter, like the module.
        profiler_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
        if (profiler_type != nullptr) {
            forget_at_finalize(reinterpret_cast<PyObject**>(&profiler_type));
        }
    }
    return profiler_type;
}

}  // namespace

PyRef new_profiler_object(std::unique_ptr<ProfilerState> state) {
    PyTypeObject* type = get_profiler_type();
    if (type == nullptr) return {};
    PyRef object = PyRef::steal(type->tp_alloc(type, 0));
    if (!object) internal_fault_from_pending("could not allocate a VeskProfiler");
    // Already tracked by the cycle collector (tp_alloc does that), which copes with no state yet.
    reinterpret_cast<ProfilerObject*>(object.get())->state = state.release();
    return object;
}

}  // namespace vesk
