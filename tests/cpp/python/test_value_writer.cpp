#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "interpreter.h"
#include "values/values.h"

namespace vesk {
namespace {

using testing_support::decoded;
using testing_support::evaluate;

constexpr const char* kSetup = R"j(
import collections
class Basket:
    def __init__(self):
        self.owner = "ada"
        self.items = [1, 2]
        self.me = self
    def __repr__(self):
        raise AssertionError("never called")
def chain(depth):
    node = None
    for i in range(depth):
        node = [node, i]
    return node
)j";

std::string written(const std::string& expression, ValueStyle style = {}) {
    PyRef value = evaluate(expression, kSetup);
    if (!value) return "";
    std::string out;
    if (!write_value(value.get(), style, out)) {
        PyErr_Clear();
        return "<failed>";
    }
    return decoded(out);
}

struct Case {
    const char* expression;
    ValueForm form;
    const char* expected;
};

class ValueWriter : public testing::TestWithParam<Case> {};

TEST_P(ValueWriter, WritesWhatTheObjectHolds) {
    EXPECT_EQ(written(GetParam().expression, ValueStyle{GetParam().form}), GetParam().expected);
    EXPECT_FALSE(PyErr_Occurred());
}

INSTANTIATE_TEST_SUITE_P(
    Values, ValueWriter,
    testing::Values(
        Case{"[None, True, 1.5, -3, 'a', b'b']", ValueForm::full,
             R"j([null,true,1.5,-3,"a","BIN(size:1)"])j"},
        Case{
            "Basket()", ValueForm::full,
            R"j({"__type__":"__main__.Basket","__fields__":{"owner":"ada","items":[1,2],"me":{"__type__":"__main__.Basket","__more__":null}}})j"},
        Case{"KeyError(3)", ValueForm::lightweight,
             R"j({"__type__":"builtins.KeyError","__args__":[3]})j"},
        Case{
            "collections.deque(range(20))", ValueForm::lightweight,
            R"j({"__type__":"collections.deque","__items__":[0,1,2,3,4,5,6,7,8,9,10,11,12,13,14],"__more__":5})j"},
        Case{
            "list(range(20))", ValueForm::lightweight,
            R"j({"__type__":"builtins.list","__len__":20,"__head__":[0,1,2,3,4,5,6,7,8,9,10,11,12,13,14]})j"},
        Case{"chain(6)", ValueForm::lightweight,
             R"j([[[[{"__type__":"builtins.list","__len__":2,"__head__":[]},2],3],4],5])j"}));

TEST(ValueWriter, ReprsOnlyWhenAskedFor) {
    PyRef value = evaluate("Shown()", "class Shown:\n    def __repr__(self): return 'shown'");
    ASSERT_TRUE(value);
    std::string out;
    ASSERT_TRUE(write_value(value.get(), ValueStyle{ValueForm::full, true}, out));
    EXPECT_EQ(decoded(out), R"j({"__type__":"__main__.Shown","__repr__":"shown"})j");
}

TEST(ValueWriter, TheProgramsInterruptionReachesTheCaller) {
    PyRef value =
        evaluate("Stopped()", "class Stopped:\n    def __repr__(self): raise KeyboardInterrupt");
    ASSERT_TRUE(value);
    std::string out = "kept";
    EXPECT_FALSE(write_value(value.get(), ValueStyle{ValueForm::full, true}, out));
    EXPECT_EQ(out, "kept");
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_KeyboardInterrupt));
    PyErr_Clear();
}

TEST(ValueWriter, ADeepValueIsCutAtTheDepthBound) {
    std::string full = written("chain(100000)", ValueStyle{ValueForm::full, false, 2});
    // 24 levels of arrays, then the cut map of the 25th with its empty head.
    EXPECT_EQ(std::count(full.begin(), full.end(), '['), 25);
    EXPECT_LT(full.size(), 400u);
}

}  // namespace
}  // namespace vesk
