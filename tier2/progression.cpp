// Progression records and the five packet orders.
#include "tier2/progression.h"

#include <algorithm>

#include "tier2/packets.h"
#include "tier2/tier2.h"

namespace dravex {

namespace {

constexpr const char* kMsgNoMemory = "Not enough memory for the tile progression.";

// Sorts, removes duplicates and every step that a smaller kept step divides: visiting the
// multiples of the kept steps then visits the multiples of all of them.
uint32_t reduce_steps(uint64_t* v, uint32_t n) {
    std::sort(v, v + n);
    uint32_t kept = 0;
    for (uint32_t i = 0; i < n; i++) {
        bool redundant = false;
        for (uint32_t k = 0; k < kept && !redundant; k++) redundant = v[i] % v[k] == 0;
        if (!redundant) v[kept++] = v[i];
    }
    return kept;
}

// Steps of (component, resolution) pairs that hold precincts, collected per set, reduced,
// and stored at the end of the pool (as offsets until the pool stops moving).
struct StepBuilder {
    MemOps* ops;
    uint64_t* pool;
    uint64_t used, capacity;
    uint64_t* scratch_x;
    uint64_t* scratch_y;

    int store(const uint64_t* v, uint32_t n, uint64_t* offset) {
        if (used + n > capacity) {
            uint64_t want = capacity ? capacity * 2 : 64;
            if (want < used + n) want = used + n;
            auto* grown = static_cast<uint64_t*>(mem_realloc_array(ops, pool, want, 8));
            if (!grown) return 0;
            pool = grown;
            capacity = want;
        }
        std::copy(v, v + n, pool + used);
        *offset = used;
        used += n;
        return 1;
    }
};

struct PendingSet {
    uint64_t ox, oy;
};

inline void step_of(const TileComponent& tc, const Resolution& res, uint64_t* sx,
                    uint64_t* sy) {
    const uint32_t d = tc.levels - res.r;
    *sx = uint64_t(tc.xrsiz) << (res.PPx + d);
    *sy = uint64_t(tc.yrsiz) << (res.PPy + d);
}

// Collects the steps of the pairs chosen by `want` (component, resolution) among the
// components first .. end - 1 into one set.
template <class Want>
int build_set(StepBuilder* b, const Tile* tile, uint32_t first, uint32_t end, Want want,
              StepSet* set, PendingSet* pending) {
    uint32_t n = 0;
    for (uint32_t c = first; c < end; c++) {
        const TileComponent& tc = tile->components[c];
        for (uint32_t r = 0; r < tc.resolution_count; r++) {
            const Resolution& res = tc.resolutions[r];
            if (res.precinct_count == 0 || !want(c, r)) continue;
            step_of(tc, res, &b->scratch_x[n], &b->scratch_y[n]);
            n++;
        }
    }
    uint32_t nx = reduce_steps(b->scratch_x, n);
    uint32_t ny = reduce_steps(b->scratch_y, n);
    if (!b->store(b->scratch_x, nx, &pending->ox) || !b->store(b->scratch_y, ny, &pending->oy))
        return 0;
    set->nx = nx;
    set->ny = ny;
    return 1;
}

int build_component_skips(MemOps* ops, PositionSteps* steps, const Tile* tile) {
    const uint32_t n = tile->component_count, row = n + 1;
    steps->next_at = mem_new_array<uint16_t>(ops, uint64_t(row) * tile->max_resolutions);
    steps->next_any = mem_new_array<uint16_t>(ops, row);
    if (!steps->next_at || !steps->next_any) return 0;
    for (uint32_t r = 0; r < tile->max_resolutions; r++) {
        uint16_t* next = steps->next_at + uint64_t(r) * row;
        next[n] = static_cast<uint16_t>(n);
        for (uint32_t c = n; c-- > 0;) {
            const TileComponent& tc = tile->components[c];
            const bool has = r < tc.resolution_count && tc.resolutions[r].precinct_count > 0;
            next[c] = has ? static_cast<uint16_t>(c) : next[c + 1];
        }
    }
    steps->next_any[n] = static_cast<uint16_t>(n);
    for (uint32_t c = n; c-- > 0;) {
        const TileComponent& tc = tile->components[c];
        bool has = false;
        for (uint32_t r = 0; r < tc.resolution_count && !has; r++)
            has = tc.resolutions[r].precinct_count > 0;
        steps->next_any[c] = has ? static_cast<uint16_t>(c) : steps->next_any[c + 1];
    }
    return 1;
}

int build_steps(MemOps* ops, ProgressionState* s) {
    const Tile* tile = s->tile;
    uint64_t pairs = 0;
    for (uint32_t c = 0; c < tile->component_count; c++)
        pairs += tile->components[c].resolution_count;
    auto* steps = mem_new<PositionSteps>(ops);
    if (!steps) return 0;
    s->steps = steps;
    if (!build_component_skips(ops, steps, tile)) return 0;
    steps->by_resolution = mem_new_array<StepSet>(ops, tile->max_resolutions);
    steps->by_component = mem_new_array<StepSet>(ops, tile->component_count);
    const uint64_t sets = uint64_t(1) + tile->max_resolutions + tile->component_count;
    auto* pending = mem_new_array<PendingSet>(ops, sets);
    StepBuilder b{ops, nullptr, 0, 0, mem_new_array<uint64_t>(ops, pairs),
                  mem_new_array<uint64_t>(ops, pairs)};
    int ok = steps->by_resolution && steps->by_component && pending && b.scratch_x &&
             b.scratch_y;
    const uint32_t n = tile->component_count;
    if (ok) ok = build_set(&b, tile, 0, n, [](uint32_t, uint32_t) { return true; }, &steps->all,
                           &pending[0]);
    for (uint32_t r = 0; ok && r < tile->max_resolutions; r++)
        ok = build_set(&b, tile, 0, n, [r](uint32_t, uint32_t rr) { return rr == r; },
                       &steps->by_resolution[r], &pending[1 + r]);
    // Each component's set from its own resolutions: thousands of components cost linear time.
    for (uint32_t c = 0; ok && c < n; c++)
        ok = build_set(&b, tile, c, c + 1, [](uint32_t, uint32_t) { return true; },
                       &steps->by_component[c], &pending[1 + tile->max_resolutions + c]);
    mem_free(ops, b.scratch_x);
    mem_free(ops, b.scratch_y);
    steps->pool = b.pool;
    if (ok) {
        auto bind = [&](StepSet* set, const PendingSet& p) {
            set->x = b.pool + p.ox;
            set->y = b.pool + p.oy;
        };
        bind(&steps->all, pending[0]);
        for (uint32_t r = 0; r < tile->max_resolutions; r++)
            bind(&steps->by_resolution[r], pending[1 + r]);
        for (uint32_t c = 0; c < tile->component_count; c++)
            bind(&steps->by_component[c], pending[1 + tile->max_resolutions + c]);
    }
    mem_free(ops, pending);
    return ok;
}

// First component from the state's one on that has precincts, per the skip table.
inline uint16_t skip_components(const uint16_t* next, uint16_t c, uint16_t n) {
    return next[c < n ? c : n];
}

inline const uint16_t* next_at(const ProgressionState* s, uint32_t r) {
    return s->steps->next_at + uint64_t(r) * (uint32_t(s->tile->component_count) + 1);
}

inline int emit(ProgressionState* s, Precinct* p) {
    if (s->layer < p->packet_counter) return 0;
    p->packet_counter = static_cast<uint16_t>(s->layer + 1);
    return 1;
}

// Precinct of resolution `res` that starts at reference-grid position (x, y), if any.
int position_precinct(const Tile* tile, const TileComponent* tc, const Resolution* res,
                      uint64_t x, uint64_t y, uint32_t* out) {
    if (res->precinct_count == 0) return 0;
    const uint32_t d = tc->levels - res->r;
    const uint64_t unit_x = uint64_t(tc->xrsiz) << d, unit_y = uint64_t(tc->yrsiz) << d;
    const bool y_ok = y % (unit_y << res->PPy) == 0 ||
                      (y == tile->y0 && (res->y0 & ((uint32_t(1) << res->PPy) - 1)) != 0);
    if (!y_ok) return 0;
    const bool x_ok = x % (unit_x << res->PPx) == 0 ||
                      (x == tile->x0 && (res->x0 & ((uint32_t(1) << res->PPx) - 1)) != 0);
    if (!x_ok) return 0;
    const uint64_t cy = ((y + unit_y - 1) / unit_y) >> res->PPy;
    const uint64_t cx = ((x + unit_x - 1) / unit_x) >> res->PPx;
    const uint64_t fy = res->y0 >> res->PPy, fx = res->x0 >> res->PPx;
    if (cy < fy || cx < fx) return 0;
    const uint64_t py = cy - fy, px = cx - fx;
    if (py >= res->precincts_down || px >= res->precincts_across) return 0;
    *out = static_cast<uint32_t>(py * res->precincts_across + px);
    return 1;
}

// The layer loop of the position-driven orders, at a position that names a precinct.
inline int layer_loop(ProgressionState* s, const ProgressionRecord* rec, Precinct* p) {
    const uint16_t layers = s->tile->layers;
    for (; s->layer < rec->LYE && s->layer < layers; s->layer++)
        if (emit(s, p)) return 1;
    s->layer = s->start_layer;
    return 0;
}

int iterate_lrcp(ProgressionState* s, const ProgressionRecord* rec) {
    Tile* tile = s->tile;
    for (; s->layer < rec->LYE && s->layer < tile->layers; s->layer++) {
        for (; s->resolution < rec->RE && s->resolution < tile->max_resolutions;
             s->resolution++) {
            const uint16_t* next = next_at(s, s->resolution);
            const uint16_t n = tile->component_count;
            for (s->component = skip_components(next, s->component, n);
                 s->component < rec->CE && s->component < n;
                 s->component = next[s->component + 1]) {
                Resolution& res = tile->components[s->component].resolutions[s->resolution];
                for (; s->precinct < res.precinct_count; s->precinct++)
                    if (emit(s, &res.precincts[s->precinct])) return 1;
                s->precinct = 0;
            }
            s->component = s->start_component;
        }
        s->resolution = s->start_resolution;
    }
    return 0;
}

int iterate_rlcp(ProgressionState* s, const ProgressionRecord* rec) {
    Tile* tile = s->tile;
    for (; s->resolution < rec->RE && s->resolution < tile->max_resolutions; s->resolution++) {
        for (; s->layer < rec->LYE && s->layer < tile->layers; s->layer++) {
            const uint16_t* next = next_at(s, s->resolution);
            const uint16_t n = tile->component_count;
            for (s->component = skip_components(next, s->component, n);
                 s->component < rec->CE && s->component < n;
                 s->component = next[s->component + 1]) {
                Resolution& res = tile->components[s->component].resolutions[s->resolution];
                for (; s->precinct < res.precinct_count; s->precinct++)
                    if (emit(s, &res.precincts[s->precinct])) return 1;
                s->precinct = 0;
            }
            s->component = s->start_component;
        }
        s->layer = s->start_layer;
    }
    return 0;
}

int iterate_rpcl(ProgressionState* s, const ProgressionRecord* rec) {
    Tile* tile = s->tile;
    for (; s->resolution < rec->RE && s->resolution < tile->max_resolutions; s->resolution++) {
        const StepSet& steps = s->steps->by_resolution[s->resolution];
        for (; s->y < tile->y1; s->y = next_position(s->y, steps.y, steps.ny, tile->y1)) {
            for (; s->x < tile->x1; s->x = next_position(s->x, steps.x, steps.nx, tile->x1)) {
                const uint16_t* next = next_at(s, s->resolution);
                const uint16_t n = tile->component_count;
                for (s->component = skip_components(next, s->component, n);
                     s->component < rec->CE && s->component < n;
                     s->component = next[s->component + 1]) {
                    TileComponent& tc = tile->components[s->component];
                    Resolution& res = tc.resolutions[s->resolution];
                    uint32_t p;
                    if (!position_precinct(tile, &tc, &res, s->x, s->y, &p)) continue;
                    s->precinct = p;
                    if (layer_loop(s, rec, &res.precincts[p])) return 1;
                }
                s->component = s->start_component;
            }
            s->x = tile->x0;
        }
        s->y = tile->y0;
    }
    return 0;
}

int iterate_pcrl(ProgressionState* s, const ProgressionRecord* rec) {
    Tile* tile = s->tile;
    const StepSet& steps = s->steps->all;
    for (; s->y < tile->y1; s->y = next_position(s->y, steps.y, steps.ny, tile->y1)) {
        for (; s->x < tile->x1; s->x = next_position(s->x, steps.x, steps.nx, tile->x1)) {
            const uint16_t* next = s->steps->next_any;
            const uint16_t n = tile->component_count;
            for (s->component = skip_components(next, s->component, n);
                 s->component < rec->CE && s->component < n;
                 s->component = next[s->component + 1]) {
                TileComponent& tc = tile->components[s->component];
                for (; s->resolution < rec->RE && s->resolution < tc.resolution_count;
                     s->resolution++) {
                    Resolution& res = tc.resolutions[s->resolution];
                    uint32_t p;
                    if (!position_precinct(tile, &tc, &res, s->x, s->y, &p)) continue;
                    s->precinct = p;
                    if (layer_loop(s, rec, &res.precincts[p])) return 1;
                }
                s->resolution = s->start_resolution;
            }
            s->component = s->start_component;
        }
        s->x = tile->x0;
    }
    return 0;
}

int iterate_cprl(ProgressionState* s, const ProgressionRecord* rec) {
    Tile* tile = s->tile;
    const uint16_t* next = s->steps->next_any;
    const uint16_t n = tile->component_count;
    for (s->component = skip_components(next, s->component, n);
         s->component < rec->CE && s->component < n; s->component = next[s->component + 1]) {
        TileComponent& tc = tile->components[s->component];
        const StepSet& steps = s->steps->by_component[s->component];
        for (; s->y < tile->y1; s->y = next_position(s->y, steps.y, steps.ny, tile->y1)) {
            for (; s->x < tile->x1; s->x = next_position(s->x, steps.x, steps.nx, tile->x1)) {
                for (; s->resolution < tc.resolution_count && s->resolution < rec->RE;
                     s->resolution++) {
                    Resolution& res = tc.resolutions[s->resolution];
                    uint32_t p;
                    if (!position_precinct(tile, &tc, &res, s->x, s->y, &p)) continue;
                    s->precinct = p;
                    if (layer_loop(s, rec, &res.precincts[p])) return 1;
                }
                s->resolution = s->start_resolution;
            }
            s->x = tile->x0;
        }
        s->y = tile->y0;
    }
    return 0;
}

ProgressionRecord* new_record(MemOps* ops, uint8_t RS, uint8_t RE, uint16_t CS, uint16_t CE,
                              uint16_t LYE, uint8_t order) {
    auto* rec = mem_new<ProgressionRecord>(ops);
    if (!rec) return nullptr;
    rec->RS = RS;
    rec->RE = RE;
    rec->CS = CS;
    rec->CE = CE;
    rec->LYE = LYE;
    rec->order = order;
    return rec;
}

ProgressionRecord* poc_record(Tier2* t2, const PocSegment* poc, uint32_t i) {
    // CEpoc 0 stands for the largest component count its field allows.
    const uint16_t ce_zero = t2->in->image->Csiz <= 256 ? 256 : 16384;
    const uint16_t ce = poc->CEpoc[i] ? poc->CEpoc[i] : ce_zero;
    return new_record(t2->in->ctx->ops, poc->RSpoc[i], poc->REpoc[i], poc->CSpoc[i], ce, poc->LYEpoc[i],
                      poc->Ppoc[i]);
}

int append_poc_list(Tier2* t2, ProgressionState* s, const PocSegment* poc) {
    for (; poc; poc = poc->next) {
        for (uint32_t i = 0; i < poc->count; i++) {
            ProgressionRecord* rec = poc_record(t2, poc, i);
            if (!rec) return ctx_fail(t2->in->ctx, kMsgNoMemory);
            progression_append(s, rec);
        }
    }
    return 1;
}

}  // namespace

uint64_t next_position(uint64_t pos, const uint64_t* steps, uint32_t count, uint64_t end) {
    uint64_t best = end;
    for (uint32_t i = 0; i < count; i++) {
        const uint64_t next = (pos / steps[i] + 1) * steps[i];
        if (next < best) best = next;
    }
    return best > pos ? best : end;
}

int progression_state_create(MemOps* ops, Tile* tile) {
    auto* s = mem_new<ProgressionState>(ops);
    if (!s) return 0;
    tile->progression_state = s;
    s->tile = tile;
    if (!build_steps(ops, s)) return 0;
    s->x = tile->x0;
    s->y = tile->y0;
    return 1;
}

void progression_state_destroy(MemOps* ops, ProgressionState* s) {
    if (!s) return;
    ProgressionRecord* rec = s->head;
    while (rec) {
        ProgressionRecord* next = rec->next;
        ops->free(ops, rec);
        rec = next;
    }
    if (PositionSteps* steps = s->steps) {
        mem_free(ops, steps->pool);
        mem_free(ops, steps->by_resolution);
        mem_free(ops, steps->by_component);
        mem_free(ops, steps->next_at);
        mem_free(ops, steps->next_any);
        ops->free(ops, steps);
    }
    ops->free(ops, s);
}

void progression_append(ProgressionState* s, ProgressionRecord* rec) {
    rec->next = nullptr;
    if (!s->head) {
        s->head = s->tail = rec;
    } else {
        s->tail->next = rec;
        s->tail = rec;
    }
    if (!s->current) {
        s->current = rec;
        start_progression(s);
    }
}

void start_progression(ProgressionState* s) {
    const ProgressionRecord* rec = s->current;
    const Tile* tile = s->tile;
    s->layer = s->start_layer = 0;
    s->resolution = s->start_resolution = rec ? rec->RS : 0;
    s->component = s->start_component = rec ? rec->CS : 0;
    s->precinct = 0;
    s->x = tile->x0;
    s->y = tile->y0;
}

int progression_restart(Tier2* t2, ProgressionState* s, const PocSegment* lead) {
    for (; s->lead_records && s->head; s->lead_records--) {
        ProgressionRecord* rec = s->head;
        s->head = rec->next;
        if (s->tail == rec) s->tail = nullptr;
        t2->in->ctx->ops->free(t2->in->ctx->ops, rec);
    }
    s->lead_records = 0;
    ProgressionRecord* first = nullptr;
    ProgressionRecord* last = nullptr;
    int ok = 1;
    for (; ok && lead; lead = lead->next) {
        for (uint32_t i = 0; ok && i < lead->count; i++) {
            ProgressionRecord* rec = poc_record(t2, lead, i);
            if (!rec) {
                ok = 0;
                break;
            }
            if (last) last->next = rec;
            else first = rec;
            last = rec;
            s->lead_records++;
        }
    }
    if (last) {
        last->next = s->head;
        s->head = first;
        if (!s->tail) s->tail = last;
    }
    s->current = s->head;
    s->body_pending = 0;
    if (s->current) start_progression(s);
    return ok ? 1 : ctx_fail(t2->in->ctx, kMsgNoMemory);
}

int next_packet(ProgressionState* s) {
    while (s->current) {
        const ProgressionRecord* rec = s->current;
        int emitted = 0;
        switch (rec->order) {
            case kLRCP: emitted = iterate_lrcp(s, rec); break;
            case kRLCP: emitted = iterate_rlcp(s, rec); break;
            case kRPCL: emitted = iterate_rpcl(s, rec); break;
            case kPCRL: emitted = iterate_pcrl(s, rec); break;
            case kCPRL: emitted = iterate_cprl(s, rec); break;
            default: break;  // unknown orders emit nothing
        }
        if (emitted) return 1;
        s->current = s->current->next;
        if (s->current) start_progression(s);
    }
    return 0;
}

int progression_setup(Tier2* t2, uint32_t t, const MarkerSet* main, const MarkerSet* part) {
    if (t >= t2->in->image->tileNum || !t2->tiles || !t2->tiles[t].built)
        return ctx_fail(t2->in->ctx, kMsgTileNotBuilt);
    Tile* tile = &t2->tiles[t];
    if (ProgressionState* s = tile->progression_state)
        return append_poc_list(t2, s, part ? part->poc : nullptr);
    if (!progression_state_create(t2->in->ctx->ops, tile)) {
        progression_state_destroy(t2->in->ctx->ops, tile->progression_state);
        tile->progression_state = nullptr;
        return ctx_fail(t2->in->ctx, kMsgNoMemory);
    }
    ProgressionState* s = tile->progression_state;
    const PocSegment* poc = part && part->poc ? part->poc : main ? main->poc : nullptr;
    if (poc) return append_poc_list(t2, s, poc);
    ProgressionRecord* rec = new_record(t2->in->ctx->ops, 0, tile->max_resolutions, 0,
                                        tile->component_count, tile->layers,
                                        tile->progression);
    if (!rec) return ctx_fail(t2->in->ctx, kMsgNoMemory);
    progression_append(s, rec);
    return 1;
}

}  // namespace dravex
