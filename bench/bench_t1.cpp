// Decoding of typical 64x64 code-blocks, so later changes to the passes can be compared.
//   build-bench/bench/bench_t1 [--benchmark_filter=Lossless]
// Reports ns per block and the compressed bytes decoded per second.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "t1_encoder.h"
#include "tier1/mq_decoder.h"
#include "tier1/t1.h"

// The library's internals, which this file reaches below the calling interface.
using namespace dravex;

namespace {

constexpr uint32_t kSide = 64;

// Wavelet-like detail: Laplacian magnitudes whose scale follows a smooth activity map, so the
// block has quiet stretches (run mode) and busy ones.
std::vector<int32_t> detail_block(double peak, uint32_t planes, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<int32_t> c(kSide * kSide);
    const int32_t top = (1 << planes) - 1;
    for (uint32_t y = 0; y < kSide; ++y) {
        for (uint32_t x = 0; x < kSide; ++x) {
            const double a = 0.5 + 0.5 * std::sin(x / 9.0 + seed) * std::sin(y / 7.0);
            std::exponential_distribution<double> e(1.0 / (0.3 + peak * a * a));
            int32_t v = static_cast<int32_t>(e(rng));
            if (v > top) v = top;
            c[y * kSide + x] = (rng() & 1) ? -v : v;
        }
    }
    c[0] = top;
    return c;
}

struct Fixture {
    MemOps* ops = memops_create();
    DecodeContext ctx{};
    T1Scratch* scratch = t1_scratch_create(ops);
    T1BandStyle band_style{};
    CodeBlock cb{};
    std::vector<CodedSegment> records;
    std::vector<std::vector<uint8_t>> bytes;
    std::vector<int32_t> dst = std::vector<int32_t>(kSide * kSide);
    size_t coded_bytes = 0;
    uint64_t symbols = 0;

    Fixture(const std::vector<int32_t>& coeffs, uint32_t planes, uint8_t style,
            uint32_t max_passes, bool reversible) {
        ctx.ops = ops;
        t1_test::BlockParams p;
        p.w = p.h = kSide;
        p.planes = planes;
        p.style = style;
        p.max_passes = max_passes;
        p.orientation = t1_test::kHL;
        const t1_test::EncodedBlock e = t1_test::encode_block(coeffs, p);
        symbols = e.symbols;
        for (const auto& s : e.segments) {
            bytes.push_back(s.bytes);
            coded_bytes += s.bytes.size();
        }
        records.resize(e.segments.size());
        for (size_t i = 0; i < records.size(); ++i) {
            CodedSegment& r = records[i];
            r = CodedSegment{};
            r.is_mq = e.segments[i].is_mq;
            r.total_len = static_cast<uint32_t>(bytes[i].size());
            r.data = bytes[i].data();
            r.npasses = e.segments[i].npasses;
            r.next = i + 1 < records.size() ? &records[i + 1] : nullptr;
        }
        cb.x1 = cb.y1 = kSide;
        cb.segments.head = records.data();
        band_style.r = 1;
        band_style.b = 0;
        band_style.cblk_style = style;
        band_style.reversible = reversible ? 1 : 0;
        band_style.magnitude_bits = static_cast<uint8_t>(planes);
        band_style.step_mantissa = (2048 + 300) * 32;
        band_style.step_exponent = 12;
    }
    ~Fixture() {
        t1_scratch_destroy(ops, scratch);
        ops->release(ops);
    }
};

void run(benchmark::State& state, Fixture& f) {
    for (auto _ : state) {
        std::memset(f.dst.data(), 0, f.dst.size() * sizeof(int32_t));
        const int ok = t1_decode_codeblock(&f.ctx, f.scratch, &f.band_style, &f.cb, f.dst.data(), kSide);
        benchmark::DoNotOptimize(ok);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(f.coded_bytes));
    state.counters["bytes/block"] = double(f.coded_bytes);
    state.counters["symbols/block"] = double(f.symbols);
    state.counters["ns/symbol"] = benchmark::Counter(
        double(f.symbols), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["passes"] = double(f.records.empty() ? 0 : [&] {
        uint32_t n = 0;
        for (const auto& r : f.records) n += r.npasses;
        return n;
    }());
}

// Lossless-like: every pass of ten planes (28 passes), reversible.
void BM_Lossless64(benchmark::State& state) {
    Fixture f(detail_block(40.0, 10, 1), 10, 0, 0, true);
    run(state, f);
}
// Lossy-like: the same kind of block cut after 13 passes, irreversible.
void BM_Lossy64(benchmark::State& state) {
    Fixture f(detail_block(40.0, 10, 2), 10, 0, 13, false);
    run(state, f);
}
// Sparse lossy detail: small values, six planes.
void BM_LossySparse64(benchmark::State& state) {
    Fixture f(detail_block(2.0, 6, 3), 6, 0, 0, false);
    run(state, f);
}
// Lossless with selective bypass: raw passes after the first ten.
void BM_LosslessBypass64(benchmark::State& state) {
    Fixture f(detail_block(40.0, 10, 4), 10, 0x01, 0, true);
    run(state, f);
}
// Mostly raw passes: a deep block in bypass mode, where every significance and refinement
// pass below the fourth plane is raw, so they outnumber the MQ-coded ones.
void BM_RawDeep64(benchmark::State& state) {
    Fixture f(detail_block(4000.0, 16, 6), 16, 0x01, 0, true);
    run(state, f);
}
// Lossless, terminated after every pass, with reset, causal and segmentation symbols.
void BM_LosslessAllStyles64(benchmark::State& state) {
    Fixture f(detail_block(40.0, 10, 5), 10, 0x3E, 0, true);
    run(state, f);
}

}  // namespace

BENCHMARK(BM_Lossless64);
BENCHMARK(BM_Lossy64);
BENCHMARK(BM_LossySparse64);
BENCHMARK(BM_LosslessBypass64);
BENCHMARK(BM_RawDeep64);
BENCHMARK(BM_LosslessAllStyles64);

namespace {

// The MQ decoder alone: decisions under eight adaptive contexts, for a given share of ones;
// second argument 0 for the branching decision, 1 for the branch-free one.
void BM_MqDecisions(benchmark::State& state) {
    const double p_one = double(state.range(0)) / 100.0;
    std::mt19937 rng(9);
    std::bernoulli_distribution bit(p_one);
    std::vector<t1_test::Decision> seq(20000);
    for (auto& d : seq) d = {1 + int(rng() % 8), bit(rng) ? 1 : 0};
    std::vector<uint8_t> bytes = t1_test::mq_encode_decisions(seq);
    bytes.resize(bytes.size() + 3 * seq.size() + 16, 0xFF);  // the padding the passes give it
    for (auto _ : state) {
        uint32_t ctx[kMqContextCount];
        mq_reset_context_words(ctx);
        MqPaddedCoder m;
        mq_init_padded(&m, bytes.data());
        uint32_t sum = 0;
        if (state.range(1))
            for (const auto& d : seq) sum += uint32_t(mq_decode_even(m, &ctx[d.context]));
        else
            for (const auto& d : seq) sum += uint32_t(mq_decode(m, &ctx[d.context]));
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(seq.size()));
}

}  // namespace

BENCHMARK(BM_MqDecisions)->ArgsProduct({{50, 10, 1}, {0, 1}});
