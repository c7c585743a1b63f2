// Conformance: every codestream of the corpus decoded at full precision and compared with its
// reference decoding. Reversible components must match exactly; each irreversible component
// must stay within its own class-1 limits of peak error and mean squared error. The table
// printed at the end puts each lossy stream's worst component beside the worst that
// established decoders reach on it, so that a loss of accuracy shows before it fails. A few
// streams also go through the tool, whose bitmap must hold the low 8 bits of the same
// samples.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/app_tool.h"
#include "support/reconstruct_images.h"

namespace {

using rec_test::Decoded;
using rec_test::Plane;

// Limits per component, in component order; a single value holds for every component.
struct Tolerance {
    std::vector<std::string> refs;
    std::vector<uint32_t> peak;
    std::vector<double> mse;
    uint32_t peer_peak = 0;  // the established decoders' worst component
    double peer_mse = 0;
    uint32_t peak_of(uint32_t comp) const {
        return peak.empty() ? 0 : peak[comp < peak.size() ? comp : peak.size() - 1];
    }
    double mse_of(uint32_t comp) const {
        return mse.empty() ? 0 : mse[comp < mse.size() ? comp : mse.size() - 1];
    }
};

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> out;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, sep)) out.push_back(item);
    return out;
}

// Columns are found by their names in the header line.
std::map<std::string, Tolerance> read_tolerances(const std::string& corpus) {
    std::map<std::string, Tolerance> out;
    std::ifstream f(corpus + "/conformance-tolerance.tsv");
    std::string line;
    if (!std::getline(f, line)) return out;
    const std::vector<std::string> names = split(line, '\t');
    auto column = [&names](const char* name) {
        return size_t(std::find(names.begin(), names.end(), name) - names.begin());
    };
    const size_t stream = column("stream"), refs = column("ref_files"), peak = column("iso_peak"),
                 mse = column("iso_mse"), peer_peak = column("peer_peak"),
                 peer_mse = column("peer_mse");
    while (std::getline(f, line)) {
        const std::vector<std::string> cells = split(line, '\t');
        if (std::max({stream, refs, peak, mse, peer_peak, peer_mse}) >= cells.size()) continue;
        Tolerance t;
        t.refs = split(cells[refs], ',');
        for (const std::string& v : split(cells[peak], ':'))
            t.peak.push_back(uint32_t(std::strtoul(v.c_str(), nullptr, 10)));
        for (const std::string& v : split(cells[mse], ':'))
            t.mse.push_back(std::strtod(v.c_str(), nullptr));
        t.peer_peak = uint32_t(std::strtoul(cells[peer_peak].c_str(), nullptr, 10));
        t.peer_mse = std::strtod(cells[peer_mse].c_str(), nullptr);
        out[cells[stream]] = t;
    }
    return out;
}

struct Row {
    std::string stream;
    std::string status;
    uint32_t peak = 0;  // worst component
    double mse = 0;     // worst component
    double seconds = 0;
    bool lossy = false;
    uint32_t peer_peak = 0;
    double peer_mse = 0;
};

std::vector<Row>& table() {
    static std::vector<Row> rows;
    return rows;
}

class TablePrinter : public testing::Environment {
public:
    void TearDown() override {
        if (table().empty()) return;
        double total = 0;
        std::printf("\n%-14s %-9s %6s %10s %6s %10s %9s\n", "stream", "status", "peak", "mse",
                    "peers", "peers' mse", "seconds");
        for (const Row& r : table()) {
            if (r.lossy)
                std::printf("%-14s %-9s %6u %10.6f %6u %10.6f %9.3f\n", r.stream.c_str(),
                            r.status.c_str(), r.peak, r.mse, r.peer_peak, r.peer_mse, r.seconds);
            else
                std::printf("%-14s %-9s %6u %10.6f %6s %10s %9.3f\n", r.stream.c_str(),
                            r.status.c_str(), r.peak, r.mse, "", "", r.seconds);
            total += r.seconds;
        }
        std::printf("peak and mse: the worst component; peers: the worst component of two "
                    "established decoders\n");
        std::printf("%zu streams decoded in %.3f s\n", table().size(), total);
    }
};
const testing::Environment* const kPrinter =
    testing::AddGlobalTestEnvironment(new TablePrinter);

struct Error {
    uint32_t peak = 0;
    double sum_sq = 0;
    uint64_t count = 0;
    double mse() const { return count ? sum_sq / double(count) : 0; }
    void add(int64_t e) {
        const uint64_t a = uint64_t(e < 0 ? -e : e);
        if (a > peak) peak = uint32_t(std::min<uint64_t>(a, UINT32_MAX));
        sum_sq += double(a) * double(a);
        count++;
    }
};

// Reference pixel of component sample (i, j) of an image-size (up-sampled) reference: the
// image pixel at the sample's position on the reference grid.
int32_t upsampled_at(const Plane& ref, const Decoded& dec, uint32_t comp, uint32_t i,
                     uint32_t j, uint32_t x_origin, uint32_t y_origin) {
    (void)dec;
    const uint64_t ax = (uint64_t(i) + (x_origin + dec.xr[comp] - 1) / dec.xr[comp]) *
                        dec.xr[comp];
    const uint64_t ay = (uint64_t(j) + (y_origin + dec.yr[comp] - 1) / dec.yr[comp]) *
                        dec.yr[comp];
    uint64_t x = ax > x_origin ? ax - x_origin : 0, y = ay > y_origin ? ay - y_origin : 0;
    if (x >= ref.width) x = ref.width - 1;
    if (y >= ref.height) y = ref.height - 1;
    return ref.at(uint32_t(x), uint32_t(y));
}

struct CompareResult {
    bool ok = true;
    std::string message;
    uint32_t worst_peak = 0;
    double worst_mse = 0;
    bool lossy = false;
};

// Compares component `comp` with the reference plane; an 8-bit PNM reference of a deeper
// component would hold rescaled values, which no reference here does.
void compare_plane(const Decoded& dec, uint32_t comp, const Plane& ref, bool upsampled,
                   uint32_t x_origin, uint32_t y_origin, const Tolerance& tol,
                   CompareResult* res) {
    const Plane& got = dec.components[comp];
    if (!upsampled && (ref.width != got.width || ref.height != got.height)) {
        res->ok = false;
        res->message += "component " + std::to_string(comp) + " is " +
                        std::to_string(got.width) + "x" + std::to_string(got.height) +
                        ", reference " + std::to_string(ref.width) + "x" +
                        std::to_string(ref.height) + "; ";
        return;
    }
    Error e;
    uint32_t first_x = 0, first_y = 0;
    bool seen = false;
    for (uint32_t j = 0; j < got.height; j++)
        for (uint32_t i = 0; i < got.width; i++) {
            const int32_t want =
                upsampled ? upsampled_at(ref, dec, comp, i, j, x_origin, y_origin) : ref.at(i, j);
            const int64_t diff = int64_t(got.at(i, j)) - want;
            if (diff && !seen) {
                seen = true;
                first_x = i;
                first_y = j;
            }
            e.add(diff);
        }
    res->worst_peak = std::max(res->worst_peak, e.peak);
    res->worst_mse = std::max(res->worst_mse, e.mse());
    const bool exact = dec.reversible[comp];
    if (!exact) res->lossy = true;
    const uint32_t peak = exact ? 0 : tol.peak_of(comp);
    const double mse = exact ? 0 : tol.mse_of(comp);
    if (e.peak > peak || e.mse() > mse + 1e-9) {
        res->ok = false;
        std::ostringstream m;
        m << "component " << comp << (exact ? " (reversible)" : " (irreversible)") << ": peak "
          << e.peak << " mse " << e.mse() << " (allowed " << peak << " / " << mse
          << "), first difference at (" << first_x << ", " << first_y << ") got "
          << got.at(first_x, first_y) << "; ";
        res->message += m.str();
    }
}

// Component planes of a stream decoded by a black-box decoder from the system, into dir;
// false when none is installed or it fails.
bool black_box_planes(const std::string& path, const std::string& dir, uint32_t count,
                      std::vector<Plane>* out) {
    if (std::system("command -v opj_decompress > /dev/null 2>&1") != 0) return false;
    const std::string cmd = "opj_decompress -i '" + path + "' -o '" + dir +
                            "/bb.pgx' > /dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) return false;
    out->clear();
    for (uint32_t k = 0; k < count; k++) {
        Plane p;
        std::string error;
        if (!rec_test::read_pgx(dir + "/bb_" + std::to_string(k) + ".pgx", &p, &error))
            return false;
        out->push_back(p);
    }
    return true;
}

std::string stream_file(const std::string& corpus, const std::string& stream) {
    const bool part = stream.rfind("p0_", 0) == 0 || stream.rfind("p1_", 0) == 0;
    return corpus + "/conformance/" + stream + (part ? ".j2k" : ".j2c");
}

class Conformance : public testing::TestWithParam<const char*> {};

TEST_P(Conformance, MatchesReference) {
    const std::string corpus = rec_test::corpus_dir();
    if (corpus.empty()) GTEST_SKIP() << "conformance corpus not found (set DRAVEX_CORPUS)";
    const std::string stream = GetParam();
    const auto tolerances = read_tolerances(corpus);
    const auto it = tolerances.find(stream);
    std::vector<uint8_t> bytes;
    if (!rec_test::read_file(stream_file(corpus, stream), &bytes))
        GTEST_SKIP() << stream << ": stream not in the corpus";

    // Components to decode: as many as the references name (p0_13 has 257, refs for 4).
    uint32_t count = 32;
    if (it != tolerances.end() && stream.rfind("p", 0) == 0)
        count = uint32_t(it->second.refs.size());
    Decoded dec;
    std::string error;
    const bool decoded = rec_test::decode_codestream(bytes, count, &dec, &error);
    Row row;
    row.stream = stream;
    row.seconds = dec.seconds;
    if (!decoded) {
        row.status = "FAILED";
        table().push_back(row);
        FAIL() << stream << ": " << error;
    }

    CompareResult res;
    // No usable reference (none in the corpus, or p0_08's at half resolution): compare with a
    // black-box decoder when one is installed; these streams are all reversible.
    if (it == tolerances.end() || stream == "p0_08") {
        app_test::ScratchDir dir;
        std::vector<Plane> planes;
        if (!black_box_planes(stream_file(corpus, stream), dir.path(),
                              uint32_t(dec.components.size()), &planes)) {
            row.status = "no-ref";
            table().push_back(row);
            GTEST_SKIP() << stream << " decoded in " << dec.seconds
                         << " s; no usable reference and no black-box decoder to compare with";
        }
        const Tolerance exact;
        for (uint32_t k = 0; k < planes.size(); k++) {
            ASSERT_TRUE(dec.reversible[k]) << stream << ": expected reversible components";
            compare_plane(dec, k, planes[k], false, 0, 0, exact, &res);
        }
        row.status = res.ok ? "ok (bb)" : "MISMATCH";
        row.peak = res.worst_peak;
        row.mse = res.worst_mse;
        table().push_back(row);
        EXPECT_TRUE(res.ok) << stream << " against the black-box decoder: " << res.message;
        return;
    }
    const Tolerance& tol = it->second;
    bool missing_ref = false;
    uint32_t compared = 0;  // components
    for (size_t k = 0; k < tol.refs.size(); k++) {
        const std::string path = corpus + "/conformance-ref/" + tol.refs[k];
        const std::string& name = tol.refs[k];
        std::string rerr;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".pgx") == 0) {
            Plane ref;
            if (!rec_test::read_pgx(path, &ref, &rerr)) {
                missing_ref = true;
                continue;
            }
            // c1pN_NN_K.pgx is component K.
            const uint32_t comp = uint32_t(std::atoi(name.substr(name.rfind('_') + 1).c_str()));
            ASSERT_LT(comp, dec.components.size()) << name;
            compare_plane(dec, comp, ref, false, 0, 0, tol, &res);
            compared++;
        } else {
            std::vector<Plane> planes;
            if (!rec_test::read_pnm(path, &planes, &rerr)) {
                missing_ref = true;
                continue;
            }
            // One PNM per stream (its channels are components 0..), or one PGM per component
            // named _K; both at image size, so sub-sampled components are up-sampled there.
            uint32_t first = 0;
            if (tol.refs.size() > 1)
                first = uint32_t(std::atoi(name.substr(name.rfind('_') + 1).c_str()));
            for (uint32_t ch = 0; ch < planes.size(); ch++) {
                const uint32_t comp = first + ch;
                ASSERT_LT(comp, dec.components.size()) << name;
                const bool up = dec.xr[comp] != 1 || dec.yr[comp] != 1;
                compare_plane(dec, comp, planes[ch], up, dec.x0, dec.y0, tol, &res);
                compared++;
            }
        }
    }
    row.peak = res.worst_peak;
    row.mse = res.worst_mse;
    row.lossy = res.lossy;
    row.peer_peak = tol.peer_peak;
    row.peer_mse = tol.peer_mse;
    if (missing_ref && compared == 0) {
        row.status = "no-ref";
        table().push_back(row);
        GTEST_SKIP() << stream << ": reference files missing";
    }
    row.status = res.ok ? "ok" : "MISMATCH";
    table().push_back(row);
    EXPECT_TRUE(res.ok) << stream << ": " << res.message;
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
                         [](const testing::TestParamInfo<const char*>& stream_info) {
                             return std::string(stream_info.param);
                         });

// The tool's bitmap holds the low 8 bits of the decoded samples, bottom row first, for a
// grey image, a colour one with the component transform, a signed 4-bit one, tiles across
// and sub-sampled components (not up-sampled: each tile's samples from its first pixel).
// Where the components are not sub-sampled the bytes are also those of the references.
struct ToolCase {
    const char* stream;
    std::vector<const char*> refs;  // per component, or one PPM; empty: no byte reference
};

TEST(ConformanceTool, BitmapHoldsTheDecodedBytes) {
    const std::string corpus = rec_test::corpus_dir();
    if (corpus.empty()) GTEST_SKIP() << "conformance corpus not found (set DRAVEX_CORPUS)";
    const ToolCase cases[] = {
        {"p0_01", {"c1p0_01_0.pgx"}},
        {"p0_03", {"c1p0_03_0.pgx"}},
        {"a2_colr", {"a2_colr.ppm"}},
        {"d2_colr", {"d2_colr.ppm"}},
        {"p1_07", {}},
    };
    app_test::ScratchDir dir;
    for (const ToolCase& c : cases) {
        const char* stream = c.stream;
        SCOPED_TRACE(stream);
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(rec_test::read_file(stream_file(corpus, stream), &bytes));
        std::vector<uint8_t> rows;
        uint32_t w = 0, h = 0;
        std::string error;
        ASSERT_TRUE(rec_test::decode_bgr_rows(bytes, &rows, &w, &h, &error)) << error;
        const std::string bmp = dir.file(std::string(stream) + ".bmp");
        const app_test::ToolResult r = app_test::run_tool({stream_file(corpus, stream), bmp});
        ASSERT_EQ(r.exit_code, 0) << r.out;
        const std::vector<uint8_t> file = app_test::read_file(bmp);
        app_test::BmpHeader hdr;
        ASSERT_TRUE(app_test::parse_bmp_header(file, &hdr));
        ASSERT_EQ(uint32_t(hdr.width), w);
        ASSERT_EQ(uint32_t(hdr.height), h);
        uint32_t bad = 0;
        for (uint32_t y = 0; y < h; y++)
            for (uint32_t x = 0; x < w; x++) {
                uint8_t rgb[3];
                app_test::bmp_pixel(file, x, y, rgb);
                const uint8_t* bgr = &rows[(size_t(y) * w + x) * 3];
                if (rgb[0] != bgr[2] || rgb[1] != bgr[1] || rgb[2] != bgr[0]) bad++;
            }
        EXPECT_EQ(bad, 0u);
        if (c.refs.empty()) continue;
        std::vector<Plane> planes;
        for (const char* name : c.refs) {
            const std::string path = corpus + "/conformance-ref/" + name;
            std::string rerr;
            if (std::string(name).find(".pgx") != std::string::npos) {
                Plane p;
                ASSERT_TRUE(rec_test::read_pgx(path, &p, &rerr)) << rerr;
                planes.push_back(p);
            } else {
                std::vector<Plane> ps;
                ASSERT_TRUE(rec_test::read_pnm(path, &ps, &rerr)) << rerr;
                planes.insert(planes.end(), ps.begin(), ps.end());
            }
        }
        uint32_t wrong = 0;
        for (uint32_t y = 0; y < h; y++)
            for (uint32_t x = 0; x < w; x++)
                for (uint32_t k = 0; k < 3; k++) {
                    const Plane& p = planes[planes.size() == 1 ? 0 : k];
                    const uint8_t want = uint8_t(p.at(x, y) & 0xFF);
                    if (rows[(size_t(y) * w + x) * 3 + 2 - k] != want) wrong++;
                }
        EXPECT_EQ(wrong, 0u) << "bytes that differ from the reference's low 8 bits";
    }
}

// The reduced-resolution references: the first component of a stream with its highest levels
// left out, the reduction found from the reference's size. Only those the two established
// decoders also meet: the others differ from both by far more than a rounding (they are not
// plain reduced decodes), and the peak errors allowed are the established decoders' own.
TEST(ConformanceTool, ReducedResolutionReferences) {
    const std::string corpus = rec_test::corpus_dir();
    if (corpus.empty()) GTEST_SKIP() << "conformance corpus not found (set DRAVEX_CORPUS)";
    const struct {
        const char* stream;
        const char* ref;
        uint32_t reduction;  // what the sizes give, checked below
        int32_t peak;
    } cases[] = {
        {"p0_03", "c0p0_03r1.pgx", 1, 0},
        {"p0_15", "c0p0_15r1.pgx", 1, 0},
        {"p0_05", "c0p0_05.pgx", 3, 3},
        {"p0_09", "c0p0_09.pgx", 2, 1},
    };
    app_test::ScratchDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ref);
        Plane want, got;
        std::string error;
        ASSERT_TRUE(rec_test::read_pgx(corpus + "/conformance-ref/" + c.ref, &want, &error)) << error;
        // The smallest reduction whose first component has the reference's size.
        uint32_t found = 99;
        for (uint32_t r = 0; r <= 6 && found == 99; r++) {
            const std::string out = dir.file(std::string(c.stream) + "_r" + std::to_string(r) + ".pgx");
            if (app_test::run_tool({"-r", std::to_string(r), stream_file(corpus, c.stream), out}).exit_code != 0)
                break;
            const std::string first = out.substr(0, out.size() - 4) + "_0.pgx";
            if (rec_test::read_pgx(first, &got, &error) && got.width == want.width &&
                got.height == want.height)
                found = r;
        }
        ASSERT_EQ(found, c.reduction);
        int32_t peak = 0;
        for (size_t i = 0; i < want.samples.size(); i++)
            peak = std::max(peak, std::abs(want.samples[i] - got.samples[i]));
        EXPECT_LE(peak, c.peak);
    }
}

}  // namespace
