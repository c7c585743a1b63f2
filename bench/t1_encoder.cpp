#include "t1_encoder.h"

#include <cstdlib>
#include <utility>

namespace t1_test {
namespace {

struct State {
    uint16_t qe;
    uint8_t nmps, nlps, sw;
};
// Probability states, typed in again so that the encoder does not lean on the decoder's copy.
const State kStates[47] = {
    {0x5601, 1, 1, 1},   {0x3401, 2, 6, 0},   {0x1801, 3, 9, 0},   {0x0AC1, 4, 12, 0},
    {0x0521, 5, 29, 0},  {0x0221, 38, 33, 0}, {0x5601, 7, 6, 1},   {0x5401, 8, 14, 0},
    {0x4801, 9, 14, 0},  {0x3801, 10, 14, 0}, {0x3001, 11, 17, 0}, {0x2401, 12, 18, 0},
    {0x1C01, 13, 20, 0}, {0x1601, 29, 21, 0}, {0x5601, 15, 14, 1}, {0x5401, 16, 14, 0},
    {0x5101, 17, 15, 0}, {0x4801, 18, 16, 0}, {0x3801, 19, 17, 0}, {0x3401, 20, 18, 0},
    {0x3001, 21, 19, 0}, {0x2801, 22, 19, 0}, {0x2401, 23, 20, 0}, {0x2201, 24, 21, 0},
    {0x1C01, 25, 22, 0}, {0x1801, 26, 23, 0}, {0x1601, 27, 24, 0}, {0x1401, 28, 25, 0},
    {0x1201, 29, 26, 0}, {0x1101, 30, 27, 0}, {0x0AC1, 31, 28, 0}, {0x09C1, 32, 29, 0},
    {0x08A1, 33, 30, 0}, {0x0521, 34, 31, 0}, {0x0441, 35, 32, 0}, {0x02A1, 36, 33, 0},
    {0x0221, 37, 34, 0}, {0x0141, 38, 35, 0}, {0x0111, 39, 36, 0}, {0x0085, 40, 37, 0},
    {0x0049, 41, 38, 0}, {0x0025, 42, 39, 0}, {0x0015, 43, 40, 0}, {0x0009, 44, 41, 0},
    {0x0005, 45, 42, 0}, {0x0001, 45, 43, 0}, {0x5601, 46, 46, 0},
};

// Zero-coding rows: label and the ranges of (horizontal, vertical, diagonal) counts.
struct ZcRow {
    int label, h0, h1, v0, v1, d0, d1;
};
const ZcRow kZcLL[] = {
    {8, 2, 2, 0, 2, 0, 4}, {7, 1, 1, 1, 2, 0, 4}, {6, 1, 1, 0, 0, 1, 4},
    {5, 1, 1, 0, 0, 0, 0}, {4, 0, 0, 2, 2, 0, 4}, {3, 0, 0, 1, 1, 0, 4},
    {2, 0, 0, 0, 0, 2, 4}, {1, 0, 0, 0, 0, 1, 1}, {0, 0, 0, 0, 0, 0, 0},
};
// HH rows: (label, d range, h + v range) stored in the h and d slots.
const ZcRow kZcHH[] = {
    {8, 0, 4, 0, 0, 3, 4}, {7, 1, 4, 0, 0, 2, 2}, {6, 0, 0, 0, 0, 2, 2},
    {5, 2, 4, 0, 0, 1, 1}, {4, 1, 1, 0, 0, 1, 1}, {3, 0, 0, 0, 0, 1, 1},
    {2, 2, 4, 0, 0, 0, 0}, {1, 1, 1, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0},
};

int zc_label(int orientation, int h, int v, int d) {
    if (orientation == kHH) {
        for (const ZcRow& r : kZcHH)
            if (h + v >= r.h0 && h + v <= r.h1 && d >= r.d0 && d <= r.d1) return r.label;
        std::abort();
    }
    if (orientation == kHL) std::swap(h, v);
    for (const ZcRow& r : kZcLL)
        if (h >= r.h0 && h <= r.h1 && v >= r.v0 && v <= r.v1 && d >= r.d0 && d <= r.d1)
            return r.label;
    std::abort();
}

struct SignRow {
    int h, v, ctx, xr;
};
const SignRow kSignRows[] = {
    {1, 1, 13, 0},  {1, 0, 12, 0},  {1, -1, 11, 0}, {0, 1, 10, 0},   {0, 0, 9, 0},
    {0, -1, 10, 1}, {-1, 1, 11, 1}, {-1, 0, 12, 1}, {-1, -1, 13, 1},
};

int clip(int x) { return x > 1 ? 1 : (x < -1 ? -1 : x); }

// The whole-block encoder's working state.
class BlockCoder {
public:
    BlockCoder(const std::vector<int32_t>& coeffs, const BlockParams& p)
        : p_(p), n_(p.w * p.h), mag_(n_), neg_(n_), sig_(n_), visited_(n_), refined_(n_),
          coded_(n_) {
        for (size_t i = 0; i < n_; ++i) {
            mag_[i] = static_cast<uint32_t>(std::abs(coeffs[i]));
            neg_[i] = coeffs[i] < 0;
        }
        reset_contexts(ctx_);
    }

    EncodedBlock run() {
        EncodedBlock out;
        const uint32_t all = p_.planes == 0 ? 0 : 3 * p_.planes - 2;
        const uint32_t total = (p_.max_passes && p_.max_passes < all) ? p_.max_passes : all;
        Segment seg;
        for (uint32_t w = 0; w < total; ++w) {
            if (seg.npasses == 0) {
                seg.is_mq = pass_is_mq(p_.style, w);
                mq_.init();
                raw_ = RawWriter();
            }
            // Pass 0 is the cleanup of the top plane; then significance, refinement, cleanup.
            const int kind = w == 0 ? 2 : static_cast<int>((w - 1) % 3);
            const uint32_t plane = p_.planes - 1 - (w + 2) / 3;
            raw_mode_ = !seg.is_mq;
            if (kind == 0) significance(plane);
            else if (kind == 1) refinement(plane);
            else cleanup(plane);
            if (p_.style & 0x02) reset_contexts(ctx_);
            ++seg.npasses;
            if (pass_ends_segment(p_.style, w) || w + 1 == total) {
                seg.bytes = seg.is_mq ? mq_.flush() : raw_.flush((p_.style & 0x10) != 0);
                out.segments.push_back(seg);
                seg = Segment();
            }
        }
        out.passes = total;
        out.symbols = symbols_;
        out.coded = coded_;
        out.expected.resize(n_);
        for (size_t i = 0; i < n_; ++i) {
            const uint32_t c = coded_[i];
            const int32_t d = c == 0 ? 0 : static_cast<int32_t>(mag_[i] >> (p_.planes - c));
            out.expected[i] = neg_[i] ? -d : d;
        }
        return out;
    }

private:
    bool significant(int x, int y, int dy_from) const {
        // dy_from: row of the sample asking; in causal mode the row below a stripe is hidden.
        if (x < 0 || y < 0 || x >= static_cast<int>(p_.w) || y >= static_cast<int>(p_.h))
            return false;
        if ((p_.style & 0x08) && y == dy_from + 1 && (dy_from % 4) == 3) return false;
        return sig_[static_cast<size_t>(y) * p_.w + static_cast<size_t>(x)] != 0;
    }
    int contribution(int x, int y, int from_y) const {
        if (!significant(x, y, from_y)) return 0;
        return neg_[static_cast<size_t>(y) * p_.w + static_cast<size_t>(x)] ? -1 : 1;
    }
    void counts(int x, int y, int* h, int* v, int* d) const {
        *h = significant(x - 1, y, y) + significant(x + 1, y, y);
        *v = significant(x, y - 1, y) + significant(x, y + 1, y);
        *d = significant(x - 1, y - 1, y) + significant(x + 1, y - 1, y) +
             significant(x - 1, y + 1, y) + significant(x + 1, y + 1, y);
    }
    int label(int x, int y) const {
        int h, v, d;
        counts(x, y, &h, &v, &d);
        return zc_label(p_.orientation, h, v, d);
    }
    void put(int context, int bit) {
        ++symbols_;
        if (raw_mode_) raw_.put(bit);
        else mq_.encode(&ctx_[context], bit);
    }
    void code_sign(int x, int y) {
        const size_t i = static_cast<size_t>(y) * p_.w + static_cast<size_t>(x);
        ++symbols_;
        if (raw_mode_) {
            raw_.put(neg_[i]);
            return;
        }
        const int h = clip(contribution(x - 1, y, y) + contribution(x + 1, y, y));
        const int v = clip(contribution(x, y - 1, y) + contribution(x, y + 1, y));
        for (const SignRow& r : kSignRows) {
            if (r.h == h && r.v == v) {
                mq_.encode(&ctx_[r.ctx], neg_[i] ^ r.xr);
                return;
            }
        }
        std::abort();
    }
    int bit_of(size_t i, uint32_t plane) const { return (mag_[i] >> plane) & 1; }

    template <class Fn>
    void scan(Fn fn) {
        for (uint32_t y0 = 0; y0 < p_.h; y0 += 4)
            for (uint32_t x = 0; x < p_.w; ++x)
                for (uint32_t y = y0; y < y0 + 4 && y < p_.h; ++y)
                    fn(static_cast<int>(x), static_cast<int>(y));
    }

    void significance(uint32_t plane) {
        scan([&](int x, int y) {
            const size_t i = static_cast<size_t>(y) * p_.w + static_cast<size_t>(x);
            if (sig_[i] || label(x, y) == 0) return;
            const int b = bit_of(i, plane);
            put(label(x, y), b);
            if (b) {
                code_sign(x, y);
                sig_[i] = 1;
            }
            visited_[i] = 1;
            ++coded_[i];
        });
    }

    void refinement(uint32_t plane) {
        scan([&](int x, int y) {
            const size_t i = static_cast<size_t>(y) * p_.w + static_cast<size_t>(x);
            if (!sig_[i] || visited_[i]) return;
            int h, v, d;
            counts(x, y, &h, &v, &d);
            const int c = refined_[i] ? 16 : (h + v + d > 0 ? 15 : 14);
            put(c, bit_of(i, plane));
            refined_[i] = 1;
            visited_[i] = 1;
            ++coded_[i];
        });
    }

    void cleanup(uint32_t plane) {
        for (uint32_t y0 = 0; y0 < p_.h; y0 += 4) {
            const uint32_t rows = p_.h - y0 < 4 ? p_.h - y0 : 4;
            for (uint32_t xu = 0; xu < p_.w; ++xu) {
                const int x = static_cast<int>(xu);
                auto idx = [&](uint32_t y) { return static_cast<size_t>(y) * p_.w + xu; };
                uint32_t start = 0;
                bool run = rows == 4;
                for (uint32_t r = 0; r < 4 && run; ++r) {
                    const size_t i = idx(y0 + r);
                    if (sig_[i] || visited_[i] || label(x, static_cast<int>(y0 + r)) != 0)
                        run = false;
                }
                if (run) {
                    uint32_t first = 4;
                    for (uint32_t r = 0; r < 4 && first == 4; ++r)
                        if (bit_of(idx(y0 + r), plane)) first = r;
                    if (first == 4) {
                        put(17, 0);
                        for (uint32_t r = 0; r < 4; ++r) ++coded_[idx(y0 + r)];
                        continue;
                    }
                    put(17, 1);
                    put(18, static_cast<int>(first >> 1));
                    put(18, static_cast<int>(first & 1));
                    for (uint32_t r = 0; r < first; ++r) ++coded_[idx(y0 + r)];
                    code_sign(x, static_cast<int>(y0 + first));
                    sig_[idx(y0 + first)] = 1;
                    ++coded_[idx(y0 + first)];
                    start = first + 1;
                }
                for (uint32_t r = start; r < rows; ++r) {
                    const int y = static_cast<int>(y0 + r);
                    const size_t i = idx(y0 + r);
                    if (sig_[i] || visited_[i]) continue;
                    const int b = bit_of(i, plane);
                    put(label(x, y), b);
                    if (b) {
                        code_sign(x, y);
                        sig_[i] = 1;
                    }
                    ++coded_[i];
                }
                for (uint32_t r = 0; r < rows; ++r) visited_[idx(y0 + r)] = 0;
            }
        }
        if (p_.style & 0x20) {
            for (int k = 3; k >= 0; --k) put(18, (p_.segmentation_symbol >> k) & 1);
        }
    }

    BlockParams p_;
    size_t n_;
    std::vector<uint32_t> mag_;
    std::vector<int> neg_, sig_, visited_, refined_;
    std::vector<uint32_t> coded_;
    uint8_t ctx_[kContexts];
    MqEncoder mq_;
    RawWriter raw_;
    bool raw_mode_ = false;
    uint64_t symbols_ = 0;
};

}  // namespace

void reset_contexts(uint8_t ctx[kContexts]) {
    for (int i = 0; i < kContexts; ++i) ctx[i] = 0;
    ctx[0] = 4 << 1;
    ctx[17] = 3 << 1;
    ctx[18] = 46 << 1;
}

void MqEncoder::init() {
    a_ = 0x8000;
    c_ = 0;
    ct_ = 12;
    buf_.assign(1, 0);
    bp_ = 0;
}

void MqEncoder::byte_out() {
    auto put = [&](uint32_t v) {
        ++bp_;
        if (buf_.size() <= bp_) buf_.resize(bp_ + 1);
        buf_[bp_] = static_cast<uint8_t>(v);
    };
    if (buf_[bp_] == 0xFF) {
        put(c_ >> 20);
        c_ &= 0xFFFFF;
        ct_ = 7;
    } else if (c_ < 0x8000000) {
        put(c_ >> 19);
        c_ &= 0x7FFFF;
        ct_ = 8;
    } else {
        ++buf_[bp_];  // carry
        if (buf_[bp_] == 0xFF) {
            c_ &= 0x7FFFFFF;
            put(c_ >> 20);
            c_ &= 0xFFFFF;
            ct_ = 7;
        } else {
            put(c_ >> 19);
            c_ &= 0x7FFFF;
            ct_ = 8;
        }
    }
}

void MqEncoder::renormalise() {
    do {
        a_ <<= 1;
        c_ <<= 1;
        --ct_;
        if (ct_ == 0) byte_out();
    } while (!(a_ & 0x8000));
}

void MqEncoder::encode(uint8_t* cx, int decision) {
    const int mps = *cx & 1;
    const int index = *cx >> 1;
    const State& s = kStates[index];
    const uint32_t qe = s.qe;
    a_ -= qe;
    if (decision == mps) {
        if (a_ & 0x8000) {
            c_ += qe;
            return;
        }
        if (a_ < qe) a_ = qe;
        else c_ += qe;
        *cx = static_cast<uint8_t>((s.nmps << 1) | mps);
        renormalise();
    } else {
        if (a_ < qe) c_ += qe;
        else a_ = qe;
        *cx = static_cast<uint8_t>((s.nlps << 1) | (s.sw ? 1 - mps : mps));
        renormalise();
    }
}

std::vector<uint8_t> MqEncoder::flush() {
    // Pick the value in the final interval with the most trailing 1-bits, then push out
    // the two bytes that hold it.
    const uint32_t temp = c_ + a_;
    c_ |= 0xFFFF;
    if (c_ >= temp) c_ -= 0x8000;
    c_ <<= ct_;
    byte_out();
    c_ <<= ct_;
    byte_out();
    size_t end = bp_;
    if (buf_[end] == 0xFF) --end;  // a final 0xFF is implied by the decoder's fill
    std::vector<uint8_t> out(buf_.begin() + 1, buf_.begin() + static_cast<ptrdiff_t>(end) + 1);
    init();
    return out;
}

void RawWriter::put(int bit) {
    acc_ = (acc_ << 1) | static_cast<uint32_t>(bit & 1);
    if (++nbits_ == cap_) {
        out_.push_back(static_cast<uint8_t>(acc_));
        cap_ = acc_ == 0xFF ? 7 : 8;
        acc_ = 0;
        nbits_ = 0;
    }
}

std::vector<uint8_t> RawWriter::flush(bool predictable) {
    if (nbits_ > 0) {
        int pad = 0;
        while (nbits_ != 0) {
            put(predictable ? pad : 0);
            pad ^= 1;
        }
    } else if (predictable && !out_.empty() && out_.back() == 0xFF) {
        out_.push_back(0x2A);
    }
    std::vector<uint8_t> out;
    out.swap(out_);
    acc_ = 0;
    nbits_ = 0;
    cap_ = 8;
    return out;
}

std::vector<uint8_t> mq_encode_decisions(const std::vector<Decision>& decisions) {
    uint8_t ctx[kContexts];
    reset_contexts(ctx);
    MqEncoder enc;
    for (const Decision& d : decisions) enc.encode(&ctx[d.context], d.bit);
    return enc.flush();
}

bool pass_is_mq(uint8_t style, uint32_t w) {
    return !((style & 0x01) && w >= 10 && w % 3 != 0);
}

bool pass_ends_segment(uint8_t style, uint32_t w) {
    if (style & 0x04) return true;
    if (style & 0x01) return w == 9 || (w >= 10 && w % 3 != 1);
    return false;
}

EncodedBlock encode_block(const std::vector<int32_t>& coeffs, const BlockParams& p) {
    BlockCoder coder(coeffs, p);
    return coder.run();
}

void SegmentChain::build(const std::vector<Segment>& segments, CodeBlock* cb) {
    records.assign(segments.size(), CodedSegment{});
    bytes.clear();
    for (const Segment& s : segments) bytes.push_back(s.bytes);
    for (size_t i = 0; i < segments.size(); ++i) {
        CodedSegment& r = records[i];
        r.is_mq = segments[i].is_mq ? 1 : 0;
        r.total_len = static_cast<uint32_t>(bytes[i].size());
        r.new_len = r.total_len;
        r.data = bytes[i].empty() ? nullptr : bytes[i].data();
        r.npasses = segments[i].npasses;
        r.max_passes = segments[i].npasses;
        r.next = i + 1 < segments.size() ? &records[i + 1] : nullptr;
    }
    cb->segments.head = records.empty() ? nullptr : &records[0];
}

}  // namespace t1_test
