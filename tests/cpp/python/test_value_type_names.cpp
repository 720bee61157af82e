#include <gtest/gtest.h>

#include <string>

#include "interpreter.h"
#include "values/type_names.h"

namespace vesk {
namespace {

using testing_support::decoded;
using testing_support::evaluate;

std::string name_of(PyObject* value) {
    std::string out;
    if (!put_type_name(out, Py_TYPE(value))) return "<failed>";
    return decoded(out);
}

TEST(ValueTypeNames, ComeFromTypesOwnDescriptorsAndFollowChanges) {
    constexpr const char* setup = R"j(
class Meta(type):
    def __getattribute__(cls, name):
        raise AssertionError("a metaclass's lookup is the program's code")
class Odd(metaclass=Meta): pass
)j";
    PyRef value = evaluate("Odd()", setup);
    ASSERT_TRUE(value);
    EXPECT_EQ(name_of(value.get()), "\"__main__.Odd\"");
    auto first = known_type(Py_TYPE(value.get()));
    ASSERT_TRUE(first.ok() && *first != nullptr);
    auto again = known_type(Py_TYPE(value.get()));
    EXPECT_EQ(*first, *again);  // remembered
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(value.get()));
    PyRef renamed = PyRef::steal(PyUnicode_FromString("Renamed"));
    ASSERT_EQ(PyType_Type.tp_setattro(type, PyUnicode_FromString("__qualname__"), renamed.get()),
              0);
    EXPECT_EQ(name_of(value.get()), "\"__main__.Renamed\"");
    EXPECT_FALSE(PyErr_Occurred());
}

struct Case {
    const char* expression;
    const char* expected;
};

class ValueMarkers : public testing::TestWithParam<Case> {};

TEST_P(ValueMarkers, TellTypeAndLengthOnly) {
    PyRef value = evaluate(GetParam().expression);
    ASSERT_TRUE(value);
    std::string out;
    ASSERT_TRUE(put_marker(out, value.get()));
    EXPECT_EQ(decoded(out), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ValueMarkers,
    testing::Values(
        Case{"'hunter2'", R"j({"__type__":"builtins.str","__len__":7,"__redacted__":true})j"},
        Case{"{1: 2}", R"j({"__type__":"builtins.dict","__len__":1,"__redacted__":true})j"},
        Case{"3.5", R"j({"__type__":"builtins.float","__len__":null,"__redacted__":true})j"}));

}  // namespace
}  // namespace vesk
