#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "interpreter.h"
#include "values/fields.h"

namespace vesk {
namespace {

using testing_support::evaluate;

constexpr const char* kSetup = R"j(
import collections
class Base:
    __slots__ = ("first",)
class Derived(Base):
    __slots__ = ("second", "third", "__weakref__")
value = Derived()
value.first = 1
value.third = 3
class Open:
    def __init__(self):
        self.a = 1
    @property
    def __dict__(self):
        raise AssertionError("a class's own __dict__ is the program's code")
Pair = collections.namedtuple("Pair", "x y")
)j";

std::vector<std::string> names(const std::pmr::vector<Field>& fields) {
    std::vector<std::string> out;
    for (const Field& field : fields) out.emplace_back(PyUnicode_AsUTF8(field.name.get()));
    return out;
}

TEST(ValueFields, SlotsComeBasesFirstAndUnsetOnesAreLeftOut) {
    PyRef value = evaluate("value", kSetup);
    ASSERT_TRUE(value);
    std::vector<PyRef> members;
    member_descriptors(Py_TYPE(value.get()), members);
    EXPECT_EQ(members.size(), 3u);  // __weakref__ is no slot of a value
    FieldRoom room;
    ASSERT_TRUE(read_slots(value.get(), members, room.fields));
    EXPECT_EQ(names(room.fields), (std::vector<std::string>{"first", "third"}));
    EXPECT_FALSE(PyErr_Occurred());
}

TEST(ValueFields, TheInstanceDictIsReadFromStorage) {
    PyRef open = evaluate("Open()", kSetup);
    ASSERT_TRUE(open);
    PyRef dict = instance_dict(open.get());
    ASSERT_TRUE(dict);
    EXPECT_EQ(PyDict_GET_SIZE(dict.get()), 1);
    PyRef none = evaluate("object()");
    EXPECT_FALSE(instance_dict(none.get()));
    EXPECT_FALSE(PyErr_Occurred());
}

TEST(ValueFields, NamedFieldsMustFitTheTuple) {
    PyRef pair = evaluate("Pair(1, 2)", kSetup);
    ASSERT_TRUE(pair);
    EXPECT_NE(named_fields(pair.get()), nullptr);
    PyRef odd = evaluate("type('Odd', (tuple,), {'_fields': ('x',)})((1, 2))");
    ASSERT_TRUE(odd);
    EXPECT_EQ(named_fields(odd.get()), nullptr);
}

}  // namespace
}  // namespace vesk
