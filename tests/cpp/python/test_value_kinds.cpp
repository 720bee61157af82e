#include <gtest/gtest.h>

#include <string>

#include "interpreter.h"
#include "values/kinds.h"

namespace vesk {
namespace {

using testing_support::evaluate;

constexpr const char* kSetup = R"j(
import collections, dataclasses, datetime, decimal, enum, fractions, pathlib, re, sys, threading
import uuid
Color = enum.Enum("Color", "RED")
Pair = collections.namedtuple("Pair", "x y")
class Plain: pass
class Slotted:
    __slots__ = ("a",)
class Big(int): pass
class Shouting(datetime.datetime):
    def __repr__(self): return "!"
class Bag:
    def method(self): pass
)j";

struct Case {
    const char* expression;
    Kind kind;
};

class ValueKinds : public testing::TestWithParam<Case> {};

TEST_P(ValueKinds, FollowTheReferencesOrderOfChecks) {
    PyRef value = evaluate(GetParam().expression, kSetup);
    ASSERT_TRUE(value);
    TypeFacts facts = classify(Py_TYPE(value.get()));
    EXPECT_FALSE(PyErr_Occurred());
    EXPECT_EQ(static_cast<int>(facts.kind), static_cast<int>(GetParam().kind))
        << GetParam().expression;
}

INSTANTIATE_TEST_SUITE_P(
    Objects, ValueKinds,
    testing::Values(Case{"Color.RED", Kind::enumeration}, Case{"KeyError(3)", Kind::exception},
                    Case{"Pair(1, 2)", Kind::named_tuple}, Case{"Big(5)", Kind::int_like},
                    Case{"bytearray(b'x')", Kind::bytearray_like},
                    Case{"memoryview(b'x')", Kind::memoryview},
                    Case{"collections.OrderedDict()", Kind::container},
                    Case{"collections.deque()", Kind::deque}, Case{"Plain", Kind::class_object},
                    Case{"sys", Kind::module}, Case{"Bag().method", Kind::method},
                    Case{"slice(1, 2)", Kind::slice}, Case{"uuid.UUID(int=1)", Kind::uuid},
                    Case{"fractions.Fraction(1, 3)", Kind::fraction},
                    Case{"pathlib.Path('a')", Kind::path}, Case{"3j", Kind::c_text},
                    Case{"len", Kind::c_text}, Case{"decimal.Decimal(1)", Kind::c_text},
                    Case{"datetime.datetime(2024, 1, 1)", Kind::c_text_clock},
                    Case{"datetime.date(2024, 1, 1)", Kind::c_text},
                    Case{"re.compile('a')", Kind::c_text_pattern}, Case{"Plain()", Kind::fields},
                    Case{"Slotted()", Kind::fields}, Case{"Shouting(2024, 1, 1)", Kind::fields},
                    Case{"threading.Lock()", Kind::opaque}, Case{"object()", Kind::opaque}));

TEST(ValueKinds, LoadedAttributeNeverImports) {
    EXPECT_EQ(loaded_attribute("a_module_nobody_loaded", "x"), nullptr);
    EXPECT_NE(loaded_attribute("sys", "modules"), nullptr);
    EXPECT_FALSE(PyErr_Occurred());
}

}  // namespace
}  // namespace vesk
