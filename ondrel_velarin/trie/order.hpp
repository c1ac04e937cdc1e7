// Byte order of a set of strings, for callers that number words that way
// (a lexicon's ids): the order a trie's children and its walk in byte order
// follow.
#pragma once

#include <cstdint>
#include <vector>

#include "trie.hpp"

namespace velarin {

// Fills `order` with the indices of the strings in byte order (a string
// before its extensions), each distinct string once: of a string given more
// than once, the last given. Each comparison is a step of the meter:
// `interrupted` when it says to stop, `no_memory_working` without memory
// for the order.
Status sort_distinct(const unsigned char *const *strings, const int32_t *lengths, uint32_t count,
                     std::vector<uint32_t> &order, WorkMeter *meter = nullptr);

}  // namespace velarin
