// The frame record writer alone: one record per iteration, with fields of typical sizes.

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <string>

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

}  // namespace

BENCHMARK_MAIN();
