// Zeroed blocks for the large tables derived from a node table (the code
// point index, the surface's word cache): mapped on their own when large, so
// that pages a table never writes cost nothing.
#pragma once

#include <cstddef>

namespace velarin {

// A zeroed block for a table; see allocate_table.
struct TableBlock {
    void *data = nullptr;
    size_t mapped = 0;  // bytes mapped for it, or 0 when it came from the heap
    size_t bytes = 0;   // bytes asked for
};

// A zeroed block for `bytes`, which free_table releases; its data is null
// when there is no memory. A block of many pages is mapped on its own, so its
// pages take memory only once written: a table written sparsely (the word
// cache, where a word is matched) then costs the pages it uses. A large block
// written in full (the code point index) is better asked for in huge pages:
// walks read it at random, and with small pages nearly every read would miss
// the address translation cache too.
TableBlock allocate_table(size_t bytes, bool huge_pages);

// Releases a block from allocate_table and leaves it empty; an empty one is
// left as it is.
void free_table(TableBlock &block);

}  // namespace velarin
