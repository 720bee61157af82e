#include "utils/finalize.h"

#include <vector>

namespace vesk {

namespace {

bool armed = false;
std::vector<PyObject**> slots;
std::vector<void (*)()> resets;

void reset_all() {
    for (PyObject** slot : slots) *slot = nullptr;
    for (auto reset : resets) reset();
    slots.clear();
    resets.clear();
    armed = false;
}

}  // namespace

bool arm_finalize_reset() {
    if (armed) return true;
    if (Py_AtExit(reset_all) < 0) {
        PyErr_SetString(PyExc_RuntimeError,
                        "vesk._vesk cannot register its clean-up: too many exit functions");
        return false;
    }
    armed = true;
    return true;
}

void forget_at_finalize(PyObject** slot) {
    slots.push_back(slot);
}

void forget_at_finalize(void (*reset)()) {
    resets.push_back(reset);
}

}  // namespace vesk
