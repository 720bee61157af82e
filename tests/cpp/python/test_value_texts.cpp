#include <gtest/gtest.h>

#include <string>

#include "interpreter.h"
#include "values/texts.h"
#include "values/type_names.h"

namespace vesk {
namespace {

using testing_support::decoded;
using testing_support::evaluate;

constexpr const char* kSetup = R"j(
import datetime, enum, fractions, pathlib, sys, uuid
class Flavour(enum.Enum):
    SWEET = "s" * 400
class Local(datetime.tzinfo):
    def utcoffset(self, when): return datetime.timedelta(0)
class Bag:
    def method(self): pass
)j";

// The text map the writer would store for the value.
std::string text_map(const std::string& expression) {
    PyRef value = evaluate(expression, kSetup);
    if (!value) return "";
    TypeFacts facts = classify(Py_TYPE(value.get()));
    Text text;
    Made made = facts.kind == Kind::int_like || PyLong_CheckExact(value.get())
                    ? int_text(value.get(), text)
                    : made_text(value.get(), facts, text);
    if (made != Made::text) return "<not made>";
    std::string out;
    if (!put_text_map(out, Py_TYPE(value.get()), text)) return "<failed>";
    return decoded(out);
}

struct Case {
    const char* expression;
    const char* expected;
};

class ValueTexts : public testing::TestWithParam<Case> {};

TEST_P(ValueTexts, ReadAsTheirReprsWithoutTheirCode) {
    EXPECT_EQ(text_map(GetParam().expression), GetParam().expected);
    EXPECT_FALSE(PyErr_Occurred());
}

INSTANTIATE_TEST_SUITE_P(
    Objects, ValueTexts,
    testing::Values(
        Case{"2**70", R"j({"__type__":"builtins.int","__repr__":"1180591620717411303424"})j"},
        Case{"2**2000", R"j({"__type__":"builtins.int","__repr__":"≈1.1481e+602 (603 digits)"})j"},
        Case{"-10**5000",
             R"j({"__type__":"builtins.int","__repr__":"≈-1.0000e+5000 (5001 digits)"})j"},
        Case{
            "uuid.UUID(int=5)",
            R"j({"__type__":"uuid.UUID","__repr__":"UUID('00000000-0000-0000-0000-000000000005')"})j"},
        Case{"fractions.Fraction(1, 3)",
             R"j({"__type__":"fractions.Fraction","__repr__":"Fraction(1, 3)"})j"},
        Case{"pathlib.PurePosixPath('a//b', '/c', 'd')",
             R"j({"__type__":"pathlib.PurePosixPath","__repr__":"PurePosixPath('\/c\/d')"})j"},
        Case{"sys", R"j({"__type__":"builtins.module","__repr__":"<module 'sys'>"})j"},
        Case{
            "Bag().method",
            R"j({"__type__":"builtins.method","__repr__":"<bound method Bag.method of __main__.Bag object>"})j"},
        Case{
            "datetime.datetime(2024, 1, 2, 3, 4, 5, tzinfo=Local())",
            R"j({"__type__":"datetime.datetime","__repr__":"datetime.datetime(2024, 1, 2, 3, 4, 5, tzinfo=<__main__.Local>)"})j"},
        Case{"datetime.time(1, 2)",
             R"j({"__type__":"datetime.time","__repr__":"datetime.time(1, 2)"})j"},
        Case{"slice(1, None)",
             R"j({"__type__":"builtins.slice","__repr__":"slice(1, None, None)"})j"},
        Case{"slice(Bag(), None)", "<not made>"}));

TEST(ValueTexts, LongTextsAreCutToTheReprLimit) {
    std::string map = text_map("Flavour.SWEET");
    EXPECT_EQ(map.size(),
              std::string(R"j({"__type__":"__main__.Flavour","__repr__":""})j").size() + 300);
    EXPECT_NE(map.find("<Flavour.SWEET: 'sss"), std::string::npos);
    EXPECT_NE(map.find("...\"}"), std::string::npos);
}

TEST(ValueTexts, AReprThatRaisesIsNamedByItsException) {
    PyRef value = evaluate("Broken()", "class Broken:\n    def __repr__(self): raise KeyError(1)");
    ASSERT_TRUE(value);
    Text text;
    ASSERT_EQ(repr_text(value.get(), text), Made::text);
    std::string out;
    ASSERT_TRUE(put_text_map(out, Py_TYPE(value.get()), text));
    EXPECT_EQ(decoded(out),
              R"j({"__type__":"__main__.Broken","__repr__":"<repr() raised builtins.KeyError>"})j");
}

TEST(ValueTexts, AReprInterruptedByTheProgramPropagates) {
    PyRef value =
        evaluate("Stopped()", "class Stopped:\n    def __repr__(self): raise KeyboardInterrupt");
    ASSERT_TRUE(value);
    Text text;
    EXPECT_EQ(repr_text(value.get(), text), Made::propagate);
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_KeyboardInterrupt));
    PyErr_Clear();
}

}  // namespace
}  // namespace vesk
