// The codeword segment store: records in chunks, byte positions instead of bytes, and the
// read-back into one scratch buffer when a block is decoded.
#include "tier2/coded_store.h"

#include <cstring>

#include "io/byte_reader.h"
#include "io/mem_ops.h"
#include "tier2/tile.h"

namespace dravex {

namespace {

CodedPiece* piece_at(const CodedStore& s, uint32_t i) {
    return &s.piece_chunks[i / kCodedChunk][i % kCodedChunk];
}

// Reads the n bytes at reader position pos into dst: from a kept stretch when one holds them,
// else into the stretch least recently used, read anew from pos on. Pieces too long for a
// stretch, and any whose stretch cannot be read whole, are read on their own.
int read_piece(CodedStore& s, uint32_t pos, uint32_t n, uint8_t* dst) {
    Stream* stream = s.reader->stream;
    const uint64_t start = s.reader->start;
    if (n <= kCodedWindowSize / 2 && !s.windows)
        s.windows = static_cast<uint8_t*>(mem_alloc_array(s.ops, kCodedWindows, kCodedWindowSize));
    if (n > kCodedWindowSize / 2 || !s.windows)
        return stream->seek(stream, start + pos) && stream->read(stream, dst, n);
    s.window_clock++;
    uint32_t oldest = 0;
    for (uint32_t w = 0; w < kCodedWindows; w++) {
        if (pos >= s.window_pos[w] && uint64_t(pos) + n <= uint64_t(s.window_pos[w]) + s.window_len[w]) {
            std::memcpy(dst, s.windows + size_t(w) * kCodedWindowSize + (pos - s.window_pos[w]), n);
            s.window_used[w] = s.window_clock;
            return 1;
        }
        if (s.window_used[w] < s.window_used[oldest]) oldest = w;
    }
    const uint32_t left = s.reader->length > pos ? s.reader->length - pos : 0;
    const uint32_t len = left < kCodedWindowSize ? left : kCodedWindowSize;
    uint8_t* window = s.windows + size_t(oldest) * kCodedWindowSize;
    s.window_len[oldest] = 0;
    if (len >= n && stream->seek(stream, start + pos) && stream->read(stream, window, len)) {
        s.window_pos[oldest] = pos;
        s.window_len[oldest] = len;
        s.window_used[oldest] = s.window_clock;
        std::memcpy(dst, window, n);
        return 1;
    }
    return stream->seek(stream, start + pos) && stream->read(stream, dst, n);
}

}  // namespace

CodedSegment* coded_new_segment(CodedStore* store) {
    CodedStore& s = *store;
    if (s.segment_chunk_count == 0 || s.segments_in_last == s.last_segment_chunk) {
        if (!mem_grow_array(store->ops, &s.segment_chunks, s.segment_chunk_count, &s.segment_chunk_slots))
            return nullptr;
        uint32_t size = s.last_segment_chunk ? 2 * s.last_segment_chunk : kFirstCodedChunk;
        if (size > kCodedChunk) size = kCodedChunk;
        auto* chunk =
            static_cast<CodedSegment*>(mem_alloc_array(store->ops, size, sizeof(CodedSegment)));
        if (!chunk) return nullptr;
        s.segment_chunks[s.segment_chunk_count++] = chunk;
        s.segments_in_last = 0;
        s.last_segment_chunk = size;
    }
    CodedSegment* seg = &s.segment_chunks[s.segment_chunk_count - 1][s.segments_in_last++];
    std::memset(seg, 0, sizeof *seg);
    seg->last_piece = kNoPiece;
    return seg;
}

int coded_add_piece(CodedStore* store, CodedSegment* seg, uint32_t pos, uint32_t n, uint32_t layer,
                    uint32_t passes) {
    // A pass count beyond 16 bits cannot come from a block; layers are 16-bit in COD.
    if (passes > 0xFFFF) passes = 0xFFFF;
    if (layer > 0xFFFF) layer = 0xFFFF;
    // Passes without bytes still count when later layers are dropped.
    if (n == 0 && passes == 0) return 1;
    CodedStore& s = *store;
    if (seg->last_piece != kNoPiece) {
        CodedPiece* last = piece_at(s, seg->last_piece);
        // Bytes that follow on directly in the same layer (one packet's run split in two)
        // need no new piece.
        if (pos - last->pos == last->len && pos >= last->pos && last->layer == layer &&
            last->passes + passes <= 0xFFFF) {
            last->len += n;
            last->passes = static_cast<uint16_t>(last->passes + passes);
            seg->total_len += n;
            return 1;
        }
    }
    if (s.piece_count == UINT32_MAX - 1) return 0;  // kNoPiece stays free
    if (s.piece_count == s.piece_capacity && s.piece_chunk_count == 1 &&
        s.piece_capacity < kCodedChunk) {
        // Only the first chunk grows in place: piece indices stay valid, pointers are not kept.
        const uint32_t size =
            2 * s.piece_capacity < kCodedChunk ? 2 * s.piece_capacity : kCodedChunk;
        void* grown = mem_realloc_array(store->ops, s.piece_chunks[0], size, sizeof(CodedPiece));
        if (!grown) return 0;
        s.piece_chunks[0] = static_cast<CodedPiece*>(grown);
        s.piece_capacity = size;
    } else if (s.piece_count == s.piece_capacity) {
        if (!mem_grow_array(store->ops, &s.piece_chunks, s.piece_chunk_count, &s.piece_chunk_slots))
            return 0;
        const uint32_t size = s.piece_chunk_count ? kCodedChunk : kFirstCodedChunk;
        auto* chunk = static_cast<CodedPiece*>(mem_alloc_array(store->ops, size, sizeof(CodedPiece)));
        if (!chunk) return 0;
        s.piece_chunks[s.piece_chunk_count++] = chunk;
        s.piece_capacity += size;
    }
    const uint32_t i = s.piece_count++;
    *piece_at(s, i) = CodedPiece{pos, n, seg->last_piece, static_cast<uint16_t>(layer),
                                 static_cast<uint16_t>(passes)};
    seg->last_piece = i;
    seg->total_len += n;
    return 1;
}

int coded_load_block(CodedStore* store, CodeBlock* cb) {
    CodedStore& s = *store;
    uint64_t total = 0;
    for (CodedSegment* seg = cb->segments.head; seg; seg = seg->next) {
        seg->data = nullptr;
        total += seg->total_len;
    }
    if (total == 0) return 1;
    if (total > kMemMaxBlock || !store->reader) return 0;
    if (total > s.scratch_size) {
        // The old bytes are not needed, so a fresh block saves realloc's copy.
        mem_free(store->ops, s.scratch);
        s.scratch_size = 0;
        s.scratch = static_cast<uint8_t*>(mem_alloc_array(store->ops, total, 1));
        if (!s.scratch) return 0;
        s.scratch_size = static_cast<uint32_t>(total);
    }
    // From the stream, past the reader's window (nothing else reads it now), through the kept
    // stretches: a stream that no longer delivers fails every block alike, but for bytes a
    // stretch already holds.
    int ok = 1;
    uint8_t* base = s.scratch;
    for (CodedSegment* seg = cb->segments.head; seg && ok; seg = seg->next) {
        // Pieces are linked newest first, so the segment fills from its end.
        uint32_t end = seg->total_len;
        for (uint32_t i = seg->last_piece; i != kNoPiece && ok;) {
            const CodedPiece* p = piece_at(s, i);
            ok = p->len <= end;
            if (ok && p->len) {
                end -= p->len;
                ok = read_piece(s, p->pos, p->len, base + end);
            }
            i = p->prev;
        }
        if (end != 0) ok = 0;
        seg->data = base;
        base += seg->total_len;
    }
    if (!ok) coded_unload_block(cb);
    return ok;
}

void coded_keep_layers(CodedStore* store, CodeBlock* cb, uint32_t layers) {
    CodedSegment* kept_last = nullptr;
    for (CodedSegment* seg = cb->segments.head; seg; seg = seg->next) {
        // A block's packets come in layer order, so the pieces to drop are the newest.
        uint32_t i = seg->last_piece;
        while (i != kNoPiece && piece_at(*store, i)->layer >= layers) i = piece_at(*store, i)->prev;
        seg->last_piece = i;
        uint32_t len = 0, passes = 0;
        for (; i != kNoPiece; i = piece_at(*store, i)->prev) {
            const CodedPiece* p = piece_at(*store, i);
            len += p->len;
            passes += p->passes;
        }
        seg->total_len = len;
        seg->npasses = passes;
        if (passes == 0) break;
        kept_last = seg;
    }
    // Segments that only dropped layers filled are no longer part of the block.
    if (kept_last) kept_last->next = nullptr;
    else cb->segments.head = nullptr;
}

void coded_unload_block(CodeBlock* cb) {
    for (CodedSegment* seg = cb->segments.head; seg; seg = seg->next) seg->data = nullptr;
}

void coded_store_free(CodedStore* store) {
    CodedStore& s = *store;
    MemOps* ops = store->ops;
    for (uint32_t i = 0; i < s.segment_chunk_count; i++) ops->free(ops, s.segment_chunks[i]);
    for (uint32_t i = 0; i < s.piece_chunk_count; i++) ops->free(ops, s.piece_chunks[i]);
    mem_free(ops, s.segment_chunks);
    mem_free(ops, s.piece_chunks);
    mem_free(ops, s.scratch);
    mem_free(ops, s.windows);
    std::memset(&s, 0, sizeof s);
}

}  // namespace dravex
