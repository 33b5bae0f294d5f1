// Decoding a catalogue of 10,000 settings and loading it into the settings model.
#include <benchmark/benchmark.h>

#include <string>

#include "ModelTestSupport.h"
#include "cn-cbor/CborDecoder.h"
#include "tarnlib/SettingsModel.h"

using namespace modeltest;

namespace {

constexpr int kSettings = 10000;

const Bytes& bigCatalogue() {
    static const Bytes bytes = [] {
        std::vector<Entry> entries;
        const int types[] = {6, 28, 30, 12 | 0x80, 7};
        int at = 0;
        for (int i = 0; i < kSettings; ++i) {
            const int t = types[i % 5];
            const int n = (t & 0x7F) == 12 ? 16 : 1;
            entries.push_back(
                {"Group " + std::to_string(i / 100) + ": setting " + std::to_string(i), t, at, n});
            at = (at + 16) & 0xFFFF;
        }
        return catalogue(entries);
    }();
    return bytes;
}

void BM_DecodeCatalogue(benchmark::State& state) {
    const Bytes& in = bigCatalogue();
    for (auto _ : state) {
        trn::CborNode* root = trn::cborDecode(in.data(), in.size(), nullptr);
        benchmark::DoNotOptimize(root);
        trn::cborFree(root);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}
BENCHMARK(BM_DecodeCatalogue)->Unit(benchmark::kMillisecond);

void BM_LoadCatalogue(benchmark::State& state) {
    const Bytes& in = bigCatalogue();
    FakeTransport unit;
    trn::SettingsModel model(unit);
    for (auto _ : state) {
        if (!model.loadCatalogue(in)) {
            state.SkipWithError("catalogue refused");
        }
    }
    state.counters["settings"] = static_cast<double>(model.settings().size());
}
BENCHMARK(BM_LoadCatalogue)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
