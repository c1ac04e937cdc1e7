// Test support for the engine alone: build a store from byte strings the way
// the module does, and a plain reference to compare it with.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "below.hpp"
#include "lookup.hpp"
#include "prefixes.hpp"
#include "scan.hpp"
#include "trie.hpp"

namespace harness {

using velarin::Status;
using velarin::TrieStore;

inline void free_copy(void *p) { std::free(p); }

// Copies the strings into `store`, which holds nothing, and builds it; the
// store owns the copies even when the build fails, so release() always frees
// everything. The store's count of table changes goes on from where it was.
inline Status build(TrieStore &store, const std::vector<std::string> &words, velarin::WorkMeter *meter = nullptr) {
    const uint64_t generation = store.generation;
    store = TrieStore{};
    store.generation = generation;
    if (words.empty()) return Status::ok;
    const size_t n = words.size();
    // release() frees the string array only with its count set, as the module sets it.
    store.bytes_strings = static_cast<unsigned char **>(std::calloc(n, sizeof(unsigned char *)));
    if (store.bytes_strings == nullptr) return Status::no_memory_working;
    store.num_strings = int32_t(n);
    store.bytes_lengths = static_cast<int32_t *>(std::calloc(n, sizeof(int32_t)));
    if (store.bytes_lengths == nullptr) return Status::no_memory_working;
    // The copies lie one after another in one block, as word entries, as
    // the module keeps them.
    size_t total = 0;
    for (const auto &w : words) total += velarin::word_entry_bytes(w.size());
    store.strings_block = static_cast<unsigned char *>(std::malloc(total));
    if (store.strings_block == nullptr) return Status::no_memory_working;
    store.strings_bytes = total;
    bool present[256] = {};
    unsigned char *at = store.strings_block;
    for (size_t i = 0; i < n; ++i) {
        unsigned char *copy = velarin::start_word_entry(at, uint32_t(words[i].size()));
        std::memcpy(copy, words[i].data(), words[i].size());
        copy[words[i].size()] = 0;
        store.bytes_strings[i] = copy;
        store.bytes_lengths[i] = int32_t(words[i].size());
        at = copy + words[i].size() + 1;
        for (unsigned char c : words[i]) present[c] = true;
    }
    velarin::assign_alphabet(store, present);
    Status status = velarin::build_root(store);
    if (status != Status::ok) return status;
    return velarin::build_node(store, 0, store.bytes_strings, store.bytes_lengths, store.num_strings, 0, meter);
}

// The reference answers: a set of the words.
struct Reference {
    std::set<std::string> words;

    explicit Reference(const std::vector<std::string> &list) : words(list.begin(), list.end()) {}

    // Length of the longest stored word that is a prefix of key, or -1.
    long closest(const std::string &key) const {
        for (long n = long(key.size()); n >= 0; --n)
            if (words.count(key.substr(0, size_t(n)))) return n;
        return -1;
    }

    // Every node's path by index: a node's children take the next indices in
    // byte order when it is built, then each child's subtree is built in turn.
    std::vector<std::string> node_paths() const {
        if (words.empty()) return {};
        std::map<std::string, std::set<unsigned char>> children;
        for (const auto &w : words)
            for (size_t i = 0; i < w.size(); ++i) children[w.substr(0, i)].insert(static_cast<unsigned char>(w[i]));
        std::vector<std::string> numbered{""}, pending{""};
        while (!pending.empty()) {
            const std::string path = pending.back();
            pending.pop_back();
            std::vector<std::string> below;
            for (unsigned char b : children[path]) below.push_back(path + char(b));
            numbered.insert(numbered.end(), below.begin(), below.end());
            pending.insert(pending.end(), below.rbegin(), below.rend());
        }
        return numbered;
    }
};

// The walk over raw bytes (which the module, walking code points, never
// needs): the reference the code point walk is checked against, and the walk
// for keys that are not UTF-8.
inline velarin::Match closest_prefix_bytes(const TrieStore &store, const unsigned char *bytes, size_t n) {
    if (store.nodes == nullptr) return velarin::Match{};
    auto walk = [&]<bool Wide>() {
        velarin::detail::Cursor<Wide> cursor{store};
        for (size_t position = 0;; ++position) {
            cursor.note(position);
            if (position == n || !cursor.step(bytes[position])) return cursor.match;
        }
    };
    return velarin::is_wide(store.max_mask_bit) ? walk.template operator()<true>() : walk.template operator()<false>();
}

// Compares a built store with the reference over the given keys; prints and
// counts every difference.
inline int compare(const TrieStore &store, const Reference &ref, const std::vector<std::string> &keys) {
    int wrong = 0;
    auto fail = [&](const char *what, const std::string &detail) {
        if (wrong++ < 5) std::fprintf(stderr, "mismatch: %s [%zu bytes]\n", what, detail.size());
    };
    const auto paths = ref.node_paths();
    if (long(paths.size()) != long(store.num_nodes)) fail("node count", "");
    for (int64_t i = 0; i < store.num_nodes && i < int64_t(paths.size()); ++i) {
        const bool terminal = ref.words.count(paths[size_t(i)]) > 0;
        if (velarin::detail::is_terminal(store.nodes[i]) != terminal) fail("terminal flag", paths[size_t(i)]);
        if (terminal && velarin::word_length(store.nodes[i].word) != paths[size_t(i)].size()) fail("length", paths[size_t(i)]);
        if (terminal && std::memcmp(store.nodes[i].word, paths[size_t(i)].data(), paths[size_t(i)].size() + 1) != 0)
            fail("word", paths[size_t(i)]);
    }
    // The walk in node order meets every word once.
    size_t walked = 0;
    for (int64_t i = velarin::next_terminal(store, 0, store.num_nodes); i >= 0;
         i = velarin::next_terminal(store, i + 1, store.num_nodes)) {
        if (walked >= ref.words.size() || !ref.words.count(paths[size_t(i)])) fail("walk", "");
        ++walked;
    }
    if (walked != ref.words.size()) fail("walk length", "");
    for (const auto &key : keys) {
        const auto *bytes = reinterpret_cast<const unsigned char *>(key.data());
        const velarin::Match m = closest_prefix_bytes(store, bytes, key.size());
        const long expected = ref.closest(key);
        if ((m.node < 0 ? -1 : long(m.length)) != expected) fail("lookup", key);
        if (m.node >= 0 && velarin::word_length(store.nodes[m.node].word) != m.length) fail("match depth", key);
    }
    return wrong;
}

// Code points from arbitrary bytes (three at a time, surrogates skipped), so
// the code point walk can be checked against the byte walk of their UTF-8.
inline std::vector<uint32_t> code_points(const std::string &raw) {
    std::vector<uint32_t> out;
    for (size_t i = 0; i + 2 < raw.size(); i += 3) {
        uint32_t c = (uint32_t(uint8_t(raw[i])) << 16 | uint32_t(uint8_t(raw[i + 1])) << 8 | uint8_t(raw[i + 2]));
        c %= 0x110000;
        if (c - 0xD800u < 0x800u) c -= 0x800;
        out.push_back(c);
    }
    return out;
}

inline std::string utf8(const std::vector<uint32_t> &units) {
    std::string out;
    unsigned char buffer[4];
    for (uint32_t c : units) out.append(reinterpret_cast<char *>(buffer), velarin::detail::encode_code_point(c, buffer));
    return out;
}

inline int compare_code_points(const TrieStore &store, const std::vector<uint32_t> &units) {
    const std::string bytes = utf8(units);
    const velarin::Match a = velarin::closest_prefix_code_points(store, units.data(), units.size());
    const velarin::Match b =
        closest_prefix_bytes(store, reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
    if (a.node != b.node || a.length != b.length) {
        std::fprintf(stderr, "mismatch: code point walk [%zu units]\n", units.size());
        return 1;
    }
    return 0;
}

// Every word the code points begin with, as each_prefix visits them, against
// the byte walk over their UTF-8 noting every terminal node it passes (with
// the code points its bytes touch); and the words below the key's path, in
// byte order, against the reference.
inline int compare_prefixes(const TrieStore &store, const Reference &ref, const std::vector<uint32_t> &units) {
    std::vector<velarin::Match> visited, expected;
    velarin::each_prefix(store, units.data(), units.size(), [&](const velarin::Match &m) { visited.push_back(m); });
    const std::string bytes = utf8(units);
    if (store.nodes != nullptr) {
        auto walk = [&]<bool Wide>() {
            velarin::detail::Cursor<Wide> cursor{store};
            size_t characters = 0;
            for (size_t position = 0;; ++position) {
                if (position > 0 && !velarin::is_continuation_byte(static_cast<unsigned char>(bytes[position - 1])))
                    ++characters;
                if (velarin::detail::is_terminal(store.nodes[cursor.index]))
                    expected.push_back(velarin::Match{int32_t(cursor.index), uint32_t(position), uint32_t(characters)});
                if (position == bytes.size() || !cursor.step(static_cast<unsigned char>(bytes[position]))) return;
            }
        };
        velarin::is_wide(store.max_mask_bit) ? walk.template operator()<true>() : walk.template operator()<false>();
    }
    bool same = visited.size() == expected.size();
    for (size_t i = 0; same && i < visited.size(); ++i)
        same = visited[i].node == expected[i].node && visited[i].length == expected[i].length &&
               visited[i].characters == expected[i].characters;
    std::vector<std::string> below;
    const int64_t top = velarin::path_node(store, units.data(), units.size());
    if (top >= 0) {
        velarin::WordsInOrder order{uint32_t(top)};
        uint32_t node;
        while (order.next(store, &node)) below.emplace_back(store.nodes[node].word, velarin::word_length(store.nodes[node].word));
    }
    std::vector<std::string> want;
    for (const auto &w : ref.words)
        if (w.compare(0, bytes.size(), bytes) == 0) want.push_back(w);
    if (!same || below != want || (top >= 0) != !want.empty()) {
        std::fprintf(stderr, "mismatch: prefixes or words below [%zu units] (index %d)\n", units.size(), int(store.index.state));
        return 1;
    }
    return 0;
}

// The matches at every position of a code point text, found together, against
// the walk from each position alone; and with walks limited to 1, 2 and 3
// code points, against the walk over that many, cut exactly where more text
// might have matched longer.
inline int compare_scan(const TrieStore &store, const std::vector<uint32_t> &units) {
    const size_t n = units.size();
    std::vector<velarin::Match> together(n);
    const auto space = std::make_unique<velarin::ScanSpace>();
    velarin::WorkMeter meter;
    for (size_t limit : {SIZE_MAX, size_t(1), size_t(2), size_t(3)}) {
        if (!velarin::matches_at(store, units.data(), n, 0, n, together.data(), *space, meter, limit)) return 1;
        for (size_t k = 0; k < n; ++k) {
            const size_t within = std::min(limit, n - k);
            const velarin::Match alone = velarin::closest_prefix_code_points(store, units.data() + k, within);
            const velarin::Match whole = velarin::closest_prefix_code_points(store, units.data() + k, n - k);
            // Cut means the walk took all `limit` code points; else it is the whole answer.
            const bool sound = together[k].cut ? within == limit && limit < n - k && together[k].length == alone.length &&
                                                     together[k].node == alone.node
                                               : together[k].node == whole.node && together[k].length == whole.length;
            if (!sound) {
                std::fprintf(stderr, "mismatch: scan at %zu of %zu units (index %d, limit %zu)\n", k, n,
                             int(store.index.state), limit);
                return 1;
            }
        }
    }
    return 0;
}

}  // namespace harness
