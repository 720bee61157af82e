#pragma once
// The value writer's units work on interpreter objects: their tests run inside an embedded
// interpreter, started once for the whole test program (interpreter.cpp).

#include <string>

#include "utils/pyref.h"

namespace vesk::testing_support {

// The value of a Python expression, evaluated after `setup` (statements) in a fresh namespace;
// the test fails when either raises.
PyRef evaluate(const std::string& expression, const std::string& setup = "");

// One MessagePack value as readable text ({"key":value,...}), to compare with.
std::string decoded(const std::string& bytes);

}  // namespace vesk::testing_support
