#pragma once
// Which recorded values are secrets, for the native serialiser: the rules of
// vesk.filters.secrets, whose patterns it hands over through set_redaction(). Both checks run on
// every dict key and every str the engine records, under the interpreter's lock.

#include "utils/pyref.h"

namespace vesk {

// A value stored under `name` (a str, or str subclass) is a secret: one of the patterns' word
// parts appear in a row among the name's.
bool is_secret_name(PyObject* name);

// `text` (a str, or str subclass) has the shape of a credential.
bool looks_secret(PyObject* text);

// vesk._vesk.set_redaction(patterns) (METH_O): the process's patterns, each a sequence of
// lower-case word parts, in place of those set before.
PyObject* set_redaction(PyObject* module, PyObject* patterns);

}  // namespace vesk
