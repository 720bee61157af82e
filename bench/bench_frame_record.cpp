// The frame record writer alone: one record per iteration, with fields of typical sizes.

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "profiler/frame_record.h"

namespace {

void BM_WriteFrameRecord(benchmark::State& state) {
    using namespace vesk;
    const std::string locals =
        "\x83\xa1"
        "a\x01\xa1"
        "b\xa5hello\xa1"
        "c\xcb\x40\x0c\x00\x00\x00\x00\x00\x00";
    Id id = new_frame_id();
    CallSite site{new_frame_id(), 42};
    FrameRecordFields fields;
    fields.filename = "app/services/billing.py";
    fields.line = 128;
    fields.co_name = "compute_invoice";
    fields.qualname = QualName{"app.services.billing", "Billing.compute_invoice"};
    fields.event = "call";
    fields.frame_id = &id;
    fields.arg = "\xc0";
    fields.locals = locals;
    fields.thread_name = "MainThread";
    fields.thread_native_id = 123456;
    fields.timestamp = 1796632943.525731;
    fields.call_site = &site;
    std::size_t bytes = 0;
    for (auto _ : state) {
        SerializedValue record = write_frame_record(fields);
        bytes += record.size();
        benchmark::DoNotOptimize(record.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_WriteFrameRecord);

void BM_NewFrameId(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(vesk::new_frame_id());
}
BENCHMARK(BM_NewFrameId);

// What reading the working directory from the system on every event would cost; the engine reads
// it again only after a change of directory.
void BM_GetcwdSystemCall(benchmark::State& state) {
    char buffer[4096];
    for (auto _ : state) benchmark::DoNotOptimize(getcwd(buffer, sizeof buffer));
}
BENCHMARK(BM_GetcwdSystemCall);

// Substring searchers for path fragments (5 to 25 bytes) in file names (40 to 120 bytes): the
// C library's memmem, a precompiled Boyer-Moore-Horspool searcher and string_view::find.
const std::vector<std::string>& sample_filenames() {
    static const std::vector<std::string> names = {
        "/home/ada/projects/shop/app/services/billing.py",
        "/home/ada/projects/shop/.venv/lib/python3.12/site-packages/django/db/models/query.py",
        "/usr/lib/python3.12/json/decoder.py",
        "<frozen importlib._bootstrap>",
        "/home/ada/projects/shop/tests/integration/test_checkout_flow_with_many_steps.py",
        "/srv/app/src/vesk/plugins.py",
    };
    return names;
}

const std::vector<std::string>& sample_fragments() {
    static const std::vector<std::string> fragments = {"lib/python",  "/site-packages/",
                                                       "/vesk/db.py", "/vesk/pytest_plugin.py",
                                                       "<string>",    "myapp/views"};
    return fragments;
}

template <class Search>
void search_all(benchmark::State& state, Search&& search) {
    std::size_t found = 0;
    for (auto _ : state) {
        for (const auto& name : sample_filenames()) {
            for (std::size_t i = 0; i < sample_fragments().size(); ++i) found += search(i, name);
        }
    }
    benchmark::DoNotOptimize(found);
    state.SetItemsProcessed(static_cast<std::int64_t>(
        state.iterations() * sample_filenames().size() * sample_fragments().size()));
}

void BM_SearchMemmem(benchmark::State& state) {
    search_all(state, [](std::size_t i, const std::string& name) {
        const std::string& fragment = sample_fragments()[i];
        return memmem(name.data(), name.size(), fragment.data(), fragment.size()) != nullptr;
    });
}
BENCHMARK(BM_SearchMemmem);

void BM_SearchHorspool(benchmark::State& state) {
    std::vector<std::boyer_moore_horspool_searcher<std::string::const_iterator>> searchers;
    for (const auto& fragment : sample_fragments())
        searchers.emplace_back(fragment.begin(), fragment.end());
    search_all(state, [&searchers](std::size_t i, const std::string& name) {
        return std::search(name.begin(), name.end(), searchers[i]) != name.end();
    });
}
BENCHMARK(BM_SearchHorspool);

void BM_SearchStringViewFind(benchmark::State& state) {
    search_all(state, [](std::size_t i, const std::string& name) {
        return std::string_view(name).find(sample_fragments()[i]) != std::string_view::npos;
    });
}
BENCHMARK(BM_SearchStringViewFind);

}  // namespace

BENCHMARK_MAIN();
