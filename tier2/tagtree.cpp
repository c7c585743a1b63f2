#include "tier2/tagtree.h"

namespace dravex {

namespace {

// The width and height of each level of a tree over a non-empty grid, leaves first, up to the
// 1 x 1 root; returns the number of levels.
uint32_t level_sizes(uint64_t w, uint64_t h, uint64_t* widths, uint64_t* heights) {
    for (uint32_t n = 0;; w = (w + 1) >> 1, h = (h + 1) >> 1) {
        widths[n] = w;
        heights[n] = h;
        n++;
        if (w == 1 && h == 1) return n;
    }
}

}  // namespace

uint64_t tagtree_node_count(uint32_t width, uint32_t height) {
    if (width == 0 || height == 0) return 0;
    uint64_t level_w[kTagTreeMaxLevels], level_h[kTagTreeMaxLevels], total = 0;
    const uint32_t levels = level_sizes(width, height, level_w, level_h);
    for (uint32_t l = 0; l < levels; l++) total += level_w[l] * level_h[l];
    return total > UINT32_MAX - 1 ? 0 : total;
}

void tagtree_init(TagTree* tree, TagTreeNode* nodes, uint32_t width, uint32_t height) {
    uint64_t level_w[kTagTreeMaxLevels], level_h[kTagTreeMaxLevels];
    tree->width = width;
    tree->height = height;
    tree->levels = width && height ? level_sizes(width, height, level_w, level_h) : 0;
    tree->node_count = static_cast<uint32_t>(tagtree_node_count(width, height));
    tree->nodes = nodes;
}

void tagtree_reset(TagTree* tree) {
    for (uint32_t i = 0; i < tree->node_count; i++) {
        tree->nodes[i].known = 0;
        tree->nodes[i].value = 0;
    }
}

void tagtree_levels(const TagTree* tree, TagTreeLevels* out) {
    uint64_t level_h[kTagTreeMaxLevels];
    out->count = 0;
    if (tree->levels == 0) return;  // a tree over an empty grid has no node
    out->count = level_sizes(tree->width, tree->height, out->width, level_h);
    for (uint64_t l = 0, base = 0; l < out->count; base += out->width[l] * level_h[l], l++)
        out->base[l] = base;
}

uint32_t tagtree_decode(TagTree* tree, StuffedBitReader* br, uint32_t x, uint32_t y,
                        uint32_t threshold) {
    // The leaf's ancestors, found from the level sizes: a node covers the 2 x 2 nodes below it.
    uint32_t path[kTagTreeMaxLevels];
    uint32_t depth = 0;
    uint64_t w = tree->width, h = tree->height, base = 0, cx = x, cy = y;
    for (uint32_t l = 0; l < tree->levels && depth < kTagTreeMaxLevels; l++) {
        path[depth++] = static_cast<uint32_t>(base + cy * w + cx);
        base += w * h;
        w = (w + 1) >> 1, h = (h + 1) >> 1, cx >>= 1, cy >>= 1;
    }
    uint32_t low = 0;
    while (depth > 0) {
        TagTreeNode& n = tree->nodes[path[--depth]];
        uint32_t value = n.value > low ? n.value : low;
        while (!n.known && value < threshold) {
            if (bits_read_bit(br)) n.known = 1;
            else value++;
        }
        n.value = value;
        low = value;
    }
    return low;
}

}  // namespace dravex
