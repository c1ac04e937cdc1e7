// The store's memory: the alphabet, the root record, the blocks that records
// point into, the zeroed tables derived from a node table, and the release of
// all of them. Every block is freed whole; no record owns memory of its own.
#include <malloc.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "trie.hpp"

namespace velarin {

void assign_alphabet(TrieStore &store, const bool (&present)[256]) {
    int count = 0;
    for (bool p : present) count += p;
    const bool wide = count > narrow_alphabet_limit;
    int k = 0;
    for (int b = 0; b < 256; ++b) {
        store.byte_to_mask[b] = 0;
        if (!present[b]) continue;
        store.byte_to_mask[b] = uint64_t(1) << (wide ? b % 64 : k);
        ++k;
    }
    store.max_mask_bit = count;
}

void *add_store_block(TrieStore &store, size_t bytes) {
    auto *block = static_cast<StoreBlock *>(std::malloc(sizeof(StoreBlock) + bytes));
    if (block == nullptr) return nullptr;
    block->next = store.blocks;
    store.blocks = block;
    store.block_bytes += sizeof(StoreBlock) + bytes;
    return block + 1;
}

namespace {

// Frees the node table with every block it owns and the code point index.
void release_table(TrieStore &store) {
    ++store.generation;
    std::free(store.nodes);
    store.nodes = nullptr;
    store.num_nodes = 0;
    std::free(store.node_planes);
    store.node_planes = nullptr;
    for (StoreBlock *block = store.blocks; block != nullptr;) {
        StoreBlock *next = block->next;
        std::free(block);
        block = next;
    }
    store.blocks = nullptr;
    store.block_bytes = 0;
    drop_char_index(store);
    // The caller's word cache is for this table's nodes.
    store.terminal_runs = nullptr;
    store.match_slots = nullptr;
}

}  // namespace

Status build_root(TrieStore &store) {
    release_table(store);
    auto *nodes = static_cast<VelarinNode *>(std::calloc(1, sizeof(VelarinNode)));
    if (nodes == nullptr) return Status::no_memory_nodes;
    if (is_wide(store.max_mask_bit)) {
        store.node_planes = static_cast<uint8_t *>(std::calloc(1, 1));
        if (store.node_planes == nullptr) {
            std::free(nodes);
            return Status::no_memory_nodes;
        }
    }
    store.nodes = nodes;
    store.num_nodes = 1;
    return Status::ok;
}

void release(TrieStore &store, StringFree free_string) {
    release_table(store);
    if (store.bytes_strings != nullptr && store.num_strings > 0) {
        std::free(store.bytes_strings);
        store.bytes_strings = nullptr;
        store.num_strings = 0;
    }
    if (store.strings_block != nullptr) {
        free_string(store.strings_block);
        store.strings_block = nullptr;
        store.strings_bytes = 0;
    }
    if (store.bytes_lengths != nullptr) {
        std::free(store.bytes_lengths);
        store.bytes_lengths = nullptr;
    }
}

void return_free_memory() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

size_t bytes_held(const TrieStore &store) {
    size_t bytes = 0;
    if (store.nodes != nullptr) bytes += size_t(store.num_nodes) * sizeof(VelarinNode);
    if (store.node_planes != nullptr) bytes += (size_t(store.num_nodes) + 1) / 2;
    bytes += store.block_bytes + store.strings_bytes;
    if (store.bytes_strings != nullptr) bytes += size_t(store.num_strings) * sizeof(unsigned char *);
    if (store.bytes_lengths != nullptr) bytes += size_t(store.num_strings) * sizeof(int32_t);
    return bytes + store.index.block.bytes + store.index.automaton.block.bytes;
}

size_t rank_terminals(const TrieStore &store, TerminalRun *runs) {
    size_t before = 0;
    for (int32_t start = 0; start < store.num_nodes; start += 64) {
        uint64_t terminals = 0;
        const int32_t end = store.num_nodes - start < 64 ? store.num_nodes : start + 64;
        for (int32_t i = start; i < end; ++i) terminals |= uint64_t(detail::is_terminal(store.nodes[i])) << (i - start);
        runs[start / 64] = TerminalRun{terminals, before};
        before += size_t(__builtin_popcountll(terminals));
    }
    return before;
}

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool address_sanitized = true;
#elif defined(__has_feature)
constexpr bool address_sanitized = __has_feature(address_sanitizer);
#else
constexpr bool address_sanitized = false;
#endif

constexpr size_t huge_page = size_t(1) << 21;
// Smaller blocks come from the heap: a mapping of its own would cost more
// than the pages it could leave untouched. The sanitizer's heap checks every
// table's bounds, so sanitized builds take all of them from it.
constexpr size_t mapped_table_min = address_sanitized ? SIZE_MAX : size_t(1) << 16;

constexpr size_t page = 4096;

// A mapping of `bytes`, aligned to a huge page when that large and asked
// for; empty when none is to be had. Its end is not rounded up to a huge
// page: the part past the last whole one takes small pages.
TableBlock map_table(size_t bytes, bool huge_pages) {
    const bool huge = huge_pages && bytes >= huge_page;
    const size_t mapped = (bytes + page - 1) & ~(page - 1);
    const size_t slack = huge ? huge_page : 0;
    void *raw = mmap(nullptr, mapped + slack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return TableBlock{};
    char *start = static_cast<char *>(raw);
    if (huge) {
        // Keep the aligned part; the slack on either side goes back.
        char *aligned = reinterpret_cast<char *>((reinterpret_cast<uintptr_t>(start) + huge_page - 1) & ~(huge_page - 1));
        const size_t head = size_t(aligned - start), tail = slack - head;
        if (head > 0) munmap(start, head);
        if (tail > 0) munmap(aligned + mapped, tail);
        start = aligned;
#ifdef MADV_HUGEPAGE
        madvise(start, mapped, MADV_HUGEPAGE);  // only advice: small pages work too
#endif
    }
    return TableBlock{start, mapped, bytes};
}

}  // namespace

TableBlock allocate_table(size_t bytes, bool huge_pages) {
    if (bytes >= mapped_table_min) {
        const TableBlock block = map_table(bytes, huge_pages);
        if (block.data != nullptr) return block;
    }
    // Also where no mapping is to be had (the process's count of them is
    // bounded): the heap's block is zeroed in full, but it works.
    void *data = std::calloc(bytes, 1);
    return TableBlock{data, 0, data != nullptr ? bytes : 0};
}

void free_table(TableBlock &block) {
    if (block.mapped != 0)
        munmap(block.data, block.mapped);
    else
        std::free(block.data);
    block = TableBlock{};
}

}  // namespace velarin
