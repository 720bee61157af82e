#pragma once
// The interpreter-visible class Skim, with which vesk.view and vesk.export read stored records
// natively: the records of a part are read where they lie, grouped into threads and paired into
// calls, and only those a view shows become interpreter objects.

#include "utils/pyref.h"

namespace vesk {

// The class, created on first use; null with the error indicator set on failure.
PyTypeObject* skim_type();

}  // namespace vesk
