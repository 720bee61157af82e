#include <gtest/gtest.h>

#include <string>

#include "filters/builtin_filters.h"

namespace vesk {
namespace {

enum class Filter {
    library,
    frozen,
    own_package,
    exec_string,
    generated,
    pytest_expression,
    attrs_name,
    attrs_maker
};

bool apply(Filter filter, std::string_view name) {
    switch (filter) {
        case Filter::library:
            return library_filter(name);
        case Filter::frozen:
            return frozen_filter(name);
        case Filter::own_package:
            return own_package_filter(name);
        case Filter::exec_string:
            return exec_string_filter(name);
        case Filter::generated:
            return generated_name_filter(name);
        case Filter::pytest_expression:
            return pytest_expression_filter(name);
        case Filter::attrs_name:
            return attrs_generated_name(name);
        case Filter::attrs_maker:
            return attrs_maker_file(name);
    }
    return false;
}

struct FilterCase {
    Filter filter;
    const char* filename;
    bool caught;
};

class BuiltinFilter : public ::testing::TestWithParam<FilterCase> {};

TEST_P(BuiltinFilter, RecognisesItsFiles) {
    EXPECT_EQ(apply(GetParam().filter, GetParam().filename), GetParam().caught)
        << GetParam().filename;
}

INSTANTIATE_TEST_SUITE_P(
    Names, BuiltinFilter,
    ::testing::Values(
        // Installed packages and the interpreter's own library.
        FilterCase{Filter::library,
                   "/home/ada/shop/.venv/lib/python3.12/site-packages/attr/_make.py", true},
        FilterCase{Filter::library, "/opt/tools/site-packages/requests/api.py", true},
        FilterCase{Filter::library, "/usr/lib/python3.12/json/decoder.py", true},
        FilterCase{Filter::library, "/root/.pyenv/versions/3.12.1/lib/python3.12/threading.py",
                   true},
        // Windows layouts are not library code on a "/" host: user code may look like them.
        FilterCase{Filter::library, "/home/ada/python/app/lib/util.py", false},
        FilterCase{Filter::library, "/srv/Python/x64/Lib/app.py", false},
        FilterCase{Filter::library, "/home/ada/shop/app/views.py", false},
        FilterCase{Filter::library, "/home/ada/shop/Lib/Python/site.py", false},
        FilterCase{Filter::library, "/opt/site-packages.py", false},
        FilterCase{Filter::frozen, "<frozen importlib._bootstrap>", true},
        FilterCase{Filter::frozen, "<frozen zipimport>", true},
        FilterCase{Filter::frozen, "<frozenset>", false},
        FilterCase{Filter::frozen, "/app/<frozen", false},
        FilterCase{Filter::exec_string, "<string>", true},
        FilterCase{Filter::exec_string, "/tmp/<string>/inside", true},
        FilterCase{Filter::exec_string, "<strings>", false},
        FilterCase{Filter::generated, "<sqlalchemy generated wrapper for Engine.connect>", true},
        FilterCase{Filter::generated, "<attrs generated init app.Point>", true},
        FilterCase{Filter::generated, "/app/generated/models.py", false},
        FilterCase{Filter::generated, "<generated>", false},
        FilterCase{Filter::generated, "<werkzeug routing>", true},
        FilterCase{Filter::generated, "<stdin>", false},
        FilterCase{Filter::pytest_expression, "<pytest match expression>", true},
        FilterCase{Filter::pytest_expression, "<pytest match expression>x", false},
        FilterCase{Filter::pytest_expression, "<pytest match expression", false},
        FilterCase{Filter::pytest_expression, "x<pytest match expression>", false},
        FilterCase{Filter::attrs_name, "<attrs generated init app.Point>", true},
        FilterCase{Filter::attrs_name, "<attrs generated", true},  // exactly 16 bytes
        FilterCase{Filter::attrs_name, "<attrs generate", false},  // 15 bytes
        FilterCase{Filter::attrs_name, "x<attrs generated init>", false},
        FilterCase{Filter::attrs_maker, "/venv/lib/python3.12/site-packages/attr/_make.py", true},
        FilterCase{Filter::attrs_maker, "attr/_make.py", true},  // exactly 13 bytes
        FilterCase{Filter::attrs_maker, "ttr/_make.py", false},
        FilterCase{Filter::attrs_maker, "/venv/attr/_make.pyc", false},
        FilterCase{Filter::attrs_maker, "/venv/Attr/_make.py", false},
        // The companion package's own modules, but not all of them.
        FilterCase{Filter::own_package, "/srv/venv/site-packages/vesk/db.py", true},
        FilterCase{Filter::own_package, "/work/python/vesk/filters/x.py", true},
        FilterCase{Filter::own_package, "/work/python/vesk/generate_tests/case.py", true},
        FilterCase{Filter::own_package, "/work/python/vesk/__init__.py", true},
        FilterCase{Filter::own_package, "/work/python/vesk/plugins.py", false},
        FilterCase{Filter::own_package, "/work/python/vesk/cli.py", false},
        FilterCase{Filter::own_package, "/work/python/Vesk/db.py", false},
        FilterCase{Filter::own_package, "/work/python/notvesk/db.py", false},
        FilterCase{Filter::own_package, "vesk/db.py", false}));

}  // namespace
}  // namespace vesk
