// Row-level hot paths after tier-1, on one 2048-sample row (the width of a 4096-pixel image's
// first decomposition level), so changes to them can be compared:
//   horizontal 5/3 and 9/7 synthesis (interleave + lifting), the inverse RCT and ICT, the
//   conversion to integers with level shift and clamping, and the byte store into BGR pixels.
//   build-bench/bench/bench_recon [--benchmark_filter=53]
// Each iteration first copies its input back, as the decoder does when it interleaves a row;
// items are samples (pixels for the component transforms and the store).
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "reconstruct/recon_internal.h"

// The library's internals, which this file reaches below the calling interface.
using namespace dravex;

namespace {

constexpr uint32_t kRow = 2048;

// Coefficients as they come out of tier-1 in the fixed-point formats: x4 with clear
// fraction bits (reversible) or x65536 (irreversible), of wavelet-like size.
std::vector<int32_t> coefficients(uint32_t n, int32_t scale, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> g(0.0, 40.0);
    std::vector<int32_t> v(n);
    for (auto& x : v) x = static_cast<int32_t>(g(rng)) * scale;
    return v;
}

// The decoder's path: lifting the separate halves, then interleaving.
void BM_Synthesis53Row(benchmark::State& state) {
    const auto low = coefficients(kRow / 2, 4, 1), high = coefficients(kRow / 2, 4, 2);
    std::vector<int32_t> lo(kRow / 2), hi(kRow / 2);
    std::vector<int32_t> line(kRow);
    int32_t* x = line.data();
    for (auto _ : state) {
        std::memcpy(lo.data(), low.data(), kRow / 2 * sizeof(int32_t));
        std::memcpy(hi.data(), high.data(), kRow / 2 * sizeof(int32_t));
        synth_53_row(x, lo.data(), hi.data(), 0, kRow);
        benchmark::DoNotOptimize(x);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kRow);
}

// The same for the 9/7, whose halves need four spare samples on each side.
void BM_Synthesis97Row(benchmark::State& state) {
    const auto low = coefficients(kRow / 2, 65536, 3), high = coefficients(kRow / 2, 65536, 4);
    std::vector<int32_t> lo(kRow / 2 + 8), hi(kRow / 2 + 8);
    std::vector<int32_t> line(kRow);
    int32_t* x = line.data();
    for (auto _ : state) {
        std::memcpy(lo.data() + 4, low.data(), kRow / 2 * sizeof(int32_t));
        std::memcpy(hi.data() + 4, high.data(), kRow / 2 * sizeof(int32_t));
        lift_97_split(lo.data() + 4, hi.data() + 4, 0, kRow, x);
        benchmark::DoNotOptimize(x);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kRow);
}

// Three components at the given scale, and working copies the transform may overwrite.
struct Planes {
    std::vector<int32_t> in[3], out[3];
    explicit Planes(int32_t scale) {
        for (uint32_t j = 0; j < 3; ++j) {
            in[j] = coefficients(kRow, scale, 10 + j);
            out[j].resize(kRow);
        }
    }
    void reset() {
        for (uint32_t j = 0; j < 3; ++j) std::memcpy(out[j].data(), in[j].data(), kRow * 4);
    }
};

// Argument 1: the inverse RCT (x4 samples); 0: the inverse ICT (x65536 samples).
void BM_InverseComponentTransform(benchmark::State& state) {
    const bool rct = state.range(0) != 0;
    Planes p(rct ? 4 : 65536);
    const auto transform = rct ? inverse_rct : inverse_ict;
    for (auto _ : state) {
        p.reset();
        transform(p.out[0].data(), p.out[1].data(), p.out[2].data(), kRow);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kRow);
}

// Argument: 1 reversible (x4), 0 irreversible (x65536); 8-bit unsigned output.
void BM_ConvertSamples(benchmark::State& state) {
    const int reversible = int(state.range(0));
    Planes p(reversible ? 4 : 65536);
    for (auto _ : state) {
        p.reset();
        convert_samples(p.out[0].data(), kRow, reversible, 0, 8, 16);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kRow);
}

// Three converted components into one row of BGR pixels, as the tool's output does.
// Argument 1: all three in one pass (the decoder's path); 0: one component at a time.
void BM_StoreBgrBytes(benchmark::State& state) {
    Planes p(1);
    for (auto& v : p.in)
        for (auto& x : v) x &= 0xFF;
    p.reset();
    std::vector<uint8_t> row(3 * kRow);
    const uint32_t offset[3] = {2, 1, 0};
    const bool fused = state.range(0) != 0;
    for (auto _ : state) {
        if (fused)
            store_pixels3(row.data(), offset, p.out[0].data(), p.out[1].data(), p.out[2].data(), kRow);
        else
            for (uint32_t j = 0; j < 3; ++j)
                store_bytes(row.data() + offset[j], 3, p.out[j].data(), kRow);
        benchmark::DoNotOptimize(row.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kRow);
}

}  // namespace

BENCHMARK(BM_Synthesis53Row);
BENCHMARK(BM_Synthesis97Row);
BENCHMARK(BM_InverseComponentTransform)->Arg(1)->Arg(0);
BENCHMARK(BM_ConvertSamples)->Arg(1)->Arg(0);
BENCHMARK(BM_StoreBgrBytes)->Arg(1)->Arg(0);
