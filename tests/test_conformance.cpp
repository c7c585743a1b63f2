// Conformance: every codestream of the corpus decoded at full precision against its reference
// decoding, each component within its own class-1 limits (peak error, mean squared error;
// 0 and 0 for reversible components).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "support/reconstruct_images.h"

namespace {

using rec_test::Decoded;
using rec_test::Plane;

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> out;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, sep);) out.push_back(item);
    return out;
}

// Per stream: reference files, then the peak and mse limits per component (the last value
// holds for the rest), found by the columns' names.
using Tolerance = std::vector<std::vector<std::string>>;

double limit(const std::vector<std::string>& v, uint32_t comp) {
    return std::strtod(v[std::min<size_t>(comp, v.size() - 1)].c_str(), nullptr);
}

std::map<std::string, Tolerance> read_tolerances(const std::string& corpus) {
    std::map<std::string, Tolerance> out;
    std::ifstream f(corpus + "/conformance-tolerance.tsv");
    std::string line;
    std::getline(f, line);
    const std::vector<std::string> names = split(line, '\t');
    std::vector<size_t> at;
    for (const char* name : {"stream", "ref_files", "iso_peak", "iso_mse"})
        at.push_back(size_t(std::find(names.begin(), names.end(), name) - names.begin()));
    while (std::getline(f, line)) {
        const std::vector<std::string> c = split(line, '\t');
        if (*std::max_element(at.begin(), at.end()) < c.size())
            out[c[at[0]]] = {split(c[at[1]], ','), split(c[at[2]], ':'), split(c[at[3]], ':')};
    }
    return out;
}

// Compares component comp with ref; an image-size reference of a sub-sampled component (PNM)
// is read at each sample's position on the reference grid.
std::string compare(const Decoded& dec, uint32_t comp, const Plane& ref, double peak_limit,
                    double mse_limit) {
    const Plane& got = dec.components[comp];
    const uint32_t xr = dec.xr[comp], yr = dec.yr[comp];
    const bool up = ref.width != got.width || ref.height != got.height;
    if (up && xr == 1 && yr == 1)
        return "component " + std::to_string(comp) + " has the wrong size; ";
    int64_t peak = 0;
    double sum = 0;
    for (uint32_t j = 0; j < got.height; j++)
        for (uint32_t i = 0; i < got.width; i++) {
            const uint64_t x = up ? (i + (dec.x0 + xr - 1) / xr) * uint64_t(xr) - dec.x0 : i;
            const uint64_t y = up ? (j + (dec.y0 + yr - 1) / yr) * uint64_t(yr) - dec.y0 : j;
            const int64_t e = std::llabs(int64_t(got.at(i, j)) - ref.at(uint32_t(std::min<uint64_t>(x, ref.width - 1)),
                                                                        uint32_t(std::min<uint64_t>(y, ref.height - 1))));
            peak = std::max(peak, e);
            sum += double(e) * double(e);
        }
    const double mse = sum / std::max<double>(1, double(got.samples.size()));
    if (peak <= peak_limit && mse <= mse_limit + 1e-9) return "";
    return "component " + std::to_string(comp) + ": peak " + std::to_string(peak) + " mse " + std::to_string(mse) +
           " (allowed " + std::to_string(peak_limit) + " / " + std::to_string(mse_limit) + "); ";
}

class Conformance : public testing::TestWithParam<const char*> {};

TEST_P(Conformance, MatchesReference) {
    const std::string corpus = rec_test::corpus_dir(), stream = GetParam();
    if (corpus.empty()) GTEST_SKIP() << "conformance corpus not found (set DRAVEX_CORPUS)";
    const auto tolerances = read_tolerances(corpus);
    const auto it = tolerances.find(stream);
    std::vector<uint8_t> bytes;
    if (!rec_test::read_file(corpus + "/conformance/" + stream + (stream[0] == 'p' ? ".j2k" : ".j2c"), &bytes)) GTEST_SKIP() << "stream absent";
    // As many components as the references name (p0_13 has 257, references for 4).
    const uint32_t count = it != tolerances.end() && stream[0] == 'p' ? uint32_t(it->second[0].size()) : 32;
    Decoded dec;
    ASSERT_TRUE(rec_test::decode(bytes, count, &dec)) << stream << " does not decode";
    // Streams without a usable reference (none, or p0_08's at half resolution) only decode.
    if (it == tolerances.end() || stream == "p0_08") return;
    std::string errors;
    const Tolerance& tol = it->second;
    for (const std::string& name : tol[0]) {
        std::vector<Plane> planes;
        ASSERT_TRUE(rec_test::read_image(corpus + "/conformance-ref/" + name, &planes)) << name;
        // One file per component named _K (PGX, or PGM at image size), or one PNM for all.
        const size_t us = name.rfind('_');
        const uint32_t first = tol[0].size() > 1 ? uint32_t(std::atoi(name.c_str() + us + 1)) : 0;
        for (uint32_t ch = 0; ch < planes.size(); ch++) {
            const uint32_t comp = first + ch;
            ASSERT_LT(comp, dec.components.size()) << name;
            errors += compare(dec, comp, planes[ch], limit(tol[1], comp), limit(tol[2], comp));
        }
    }
    EXPECT_EQ(errors, "") << stream;
}

const char* const kStreams[] = {
    "p0_01", "p0_02", "p0_03", "p0_04", "p0_05", "p0_06", "p0_08", "p0_09", "p0_10",
    "p0_11", "p0_12", "p0_13", "p0_14", "p0_15", "p0_16", "p1_01", "p1_02", "p1_03",
    "p1_04", "p1_05", "p1_06", "p1_07", "a1_mono", "a2_colr", "a3_mono", "a4_colr",
    "a5_mono", "a6_mono_colr", "b1_mono", "b2_mono", "b3_mono", "c1_mono", "c2_mono",
    "d1_colr", "d2_colr", "e1_colr", "e2_colr", "f1_mono", "f2_mono", "g1_colr", "g2_colr",
    "g3_colr", "g4_colr",
};

INSTANTIATE_TEST_SUITE_P(Corpus, Conformance, testing::ValuesIn(kStreams),
                         [](const testing::TestParamInfo<const char*>& p) { return std::string(p.param); });

}  // namespace
