#pragma once
// TagTree: the quad-tree code packet headers use for code-block inclusion and zero bit-planes.
//   TagTree t;  tagtree_init(&t, nodes, across, down);  // nodes: tagtree_node_count zeroed ones
//   uint32_t v = tagtree_decode(&t, &bits, x, y, threshold);
// Node values and known flags persist between calls, so a later call for the same or a
// neighbouring leaf reads only the bits not yet read.
#include <cstdint>

#include "tier2/bit_reader.h"

namespace dravex {

// Levels of a tree over a grid of at most 2^32 - 1 leaves each way.
constexpr uint32_t kTagTreeMaxLevels = 34;

// Zero is a node nothing has been read about: a tree over zeroed nodes needs no set-up, so
// the pages of nodes no header reaches are never touched.
struct TagTreeNode {
    uint32_t known;   // value is final
    uint32_t value;   // lower bound, final once known
};

struct TagTree {
    uint32_t width, height;  // leaves across and down
    uint32_t node_count;
    uint32_t levels;
    TagTreeNode* nodes;      // leaves first (raster order), then each coarser level
};

// Where each level of a tree sits in its node array, for walks that pass over a whole
// subtree at once: node (x, y) of level l is nodes[base[l] + y * width[l] + x].
struct TagTreeLevels {
    uint32_t count;
    uint64_t width[kTagTreeMaxLevels];
    uint64_t base[kTagTreeMaxLevels];
};

// Trees live inside a larger block (the packet-header arena): the node count of a width x
// height tree (0 when empty or too large), and set-up over caller-provided zeroed nodes,
// which it does not write.
uint64_t tagtree_node_count(uint32_t width, uint32_t height);
void tagtree_init(TagTree* tree, TagTreeNode* nodes, uint32_t width, uint32_t height);
// Forgets every value read, as if no bit had been decoded yet.
void tagtree_reset(TagTree* tree);
void tagtree_levels(const TagTree* tree, TagTreeLevels* out);
// Decodes leaf (x, y) until its value is known or reaches threshold; returns the leaf value.
uint32_t tagtree_decode(TagTree* tree, StuffedBitReader* br, uint32_t x, uint32_t y,
                        uint32_t threshold);

}  // namespace dravex
