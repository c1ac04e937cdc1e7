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
#include "lexicon_image.hpp"
#include "lookup.hpp"
#include "prefixes.hpp"
#include "replace.hpp"
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
// the walk from each position alone; with walks limited to 1, 2 and 3 code
// points, against the walk over that many, cut exactly where more text might
// have matched longer; and, when asked, found window by window.
inline int compare_scan(const TrieStore &store, const std::vector<uint32_t> &units, bool in_windows = false) {
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
    // With `in_windows`, window after window of one space, as a
    // segmentation asks for them, now and then a few positions skipped:
    // each answer the whole walk's.
    for (size_t first = 0, step = 0; in_windows && first < n; ++step) {
        const size_t count = std::min(n - first, 1 + step * 5 % 37);
        if (!velarin::matches_at(store, units.data(), n, first, count, together.data(), *space, meter)) return 1;
        for (size_t k = 0; k < count; ++k) {
            const velarin::Match whole = velarin::closest_prefix_code_points(store, units.data() + first + k, n - first - k);
            if (together[k].node != whole.node || together[k].length != whole.length || together[k].cut) {
                std::fprintf(stderr, "mismatch: window scan at %zu of %zu units (index %d)\n", first + k, n,
                             int(store.index.state));
                return 1;
            }
        }
        first += count + (step % 4 == 3 ? step % 5 : 0);
    }
    return 0;
}

// A lexicon image of the words (made UTF-8 and sorted, each once) with int
// values and a tag on every other word: read back whole, it gives what was
// written; with any byte changed, or cut anywhere, it must be refused. And
// arbitrary bytes must be refused or read without a read out of bounds.
inline int compare_image(const std::vector<std::string> &words, const unsigned char *raw, size_t raw_size) {
    velarin::LexiconImage read;
    if (velarin::read_image(raw, raw_size, read) == velarin::ImageError::ok) {
        // Read as sound: every section the reader points at lies in the block.
        for (uint64_t k = 0; k < read.num_words; ++k) (void)velarin::image_word_length(read, k);
    }
    std::set<std::string> distinct;
    for (const auto &w : words) distinct.insert(utf8(code_points(w)));
    const std::vector<std::string> sorted(distinct.begin(), distinct.end());
    std::vector<const unsigned char *> pointers;
    std::vector<int32_t> lengths;
    std::vector<int32_t> values;
    std::vector<unsigned char> tags;
    for (size_t k = 0; k < sorted.size(); ++k) {
        pointers.push_back(reinterpret_cast<const unsigned char *>(sorted[k].data()));
        lengths.push_back(int32_t(sorted[k].size()));
        values.push_back(int32_t(k * 7) - 3);
        tags.push_back(uint8_t(k % 2));
    }
    const unsigned char *name = reinterpret_cast<const unsigned char *>("n");
    const size_t name_length = 1;
    velarin::LexiconImage parts;
    parts.num_words = sorted.size();
    parts.words = pointers.data();
    parts.word_lengths = lengths.data();
    parts.values = velarin::ImageValues::int32;
    parts.int_values = values.data();
    parts.num_tags = 1;
    parts.tag_width = 1;
    parts.tag_names = &name;
    parts.tag_lengths = &name_length;
    parts.tag_numbers = tags.data();
    std::vector<unsigned char> image(velarin::image_size(parts));
    velarin::write_image(parts, image.data());
    int wrong = 0;
    if (velarin::read_image(image.data(), image.size(), read) != velarin::ImageError::ok || read.num_words != sorted.size())
        ++wrong;
    for (size_t k = 0; wrong == 0 && k < sorted.size(); ++k) {
        size_t at = 0;
        for (size_t j = 0; j < k; ++j) at += velarin::image_word_length(read, j);
        int32_t value;
        std::memcpy(&value, read.value_section + 4 * k, 4);
        if (velarin::image_word_length(read, k) != sorted[k].size() ||
            std::memcmp(read.word_section + at, sorted[k].data(), sorted[k].size()) != 0 || value != values[k] ||
            read.tag_number_section[k] != tags[k])
            ++wrong;
    }
    const size_t at = raw_size > 0 ? raw[0] * 131 % image.size() : 0;
    std::vector<unsigned char> changed(image);
    changed[at] ^= uint8_t(raw_size > 1 ? raw[1] | 1 : 1);
    if (velarin::read_image(changed.data(), changed.size(), read) == velarin::ImageError::ok) ++wrong;
    if (velarin::read_image(image.data(), at, read) == velarin::ImageError::ok) ++wrong;
    if (wrong) std::fprintf(stderr, "mismatch: lexicon image of %zu words\n", sorted.size());
    return wrong;
}

// ---- Replacement ----------------------------------------------------------

using Text = std::vector<uint32_t>;

inline Text decode_utf8(const char *bytes, size_t n) {
    Text out;
    for (size_t i = 0; i < n;) {
        const auto b = uint8_t(bytes[i]);
        const unsigned width = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        uint32_t c = width == 1 ? b : b & (0x7F >> width);
        for (unsigned k = 1; k < width; ++k) c = c << 6 | (uint8_t(bytes[i + k]) & 0x3F);
        out.push_back(c);
        i += width;
    }
    return out;
}

// Values for a store's words (of whole code points), by terminal slot, of
// every kind a replacement meets: shorter and longer than the word, empty,
// wider than the text, and, for one word in 7, none that can be written.
struct Values {
    std::vector<velarin::TerminalRun> ranks;
    std::vector<Text> by_slot;
    std::vector<std::vector<uint8_t>> narrowest;  // each value's units at the narrowest width that holds them
    std::map<Text, size_t> slot_of;
    size_t longest = 0;

    bool refusing;  // whether some values cannot be written

    Values(const TrieStore &store, bool refusing) : ranks((size_t(store.num_nodes) + 63) / 64 + 1), refusing(refusing) {
        velarin::rank_terminals(store, ranks.data());
        for (int64_t i = velarin::next_terminal(store, 0, store.num_nodes); i >= 0;
             i = velarin::next_terminal(store, i + 1, store.num_nodes)) {
            const size_t slot = by_slot.size();
            const char *word = store.nodes[i].word;
            const Text key = decode_utf8(word, velarin::word_length(word));
            Text value;
            switch (slot % 4) {
            case 0: value.assign(key.rbegin(), key.rend()); break;
            case 1: break;
            case 2: value = key, value.push_back(uint32_t(0x10000 + slot)); break;
            default: value.push_back(uint32_t('a' + slot % 26)), value.push_back(uint32_t(0x100 + slot)); break;
            }
            slot_of[key] = slot;
            longest = std::max(longest, key.size());
            by_slot.push_back(value);
            narrowest.push_back(narrow(value));
        }
    }

    static std::vector<uint8_t> narrow(const Text &value) {
        uint32_t widest = 0;
        for (uint32_t c : value) widest = std::max(widest, c);
        const unsigned width = velarin::width_for(widest);
        std::vector<uint8_t> bytes(value.size() * width + 1);
        for (size_t i = 0; i < value.size(); ++i) std::memcpy(bytes.data() + i * width, &value[i], width);  // little-endian
        bytes.back() = uint8_t(width);
        return bytes;
    }

    bool writable(size_t slot) const { return !refusing || slot % 7 != 6; }

    // The engine's interface.
    size_t slot(int32_t node) const { return velarin::terminal_slot(ranks.data(), uint32_t(node)); }
    bool units(size_t slot, velarin::ValueUnits *value) const {
        if (!writable(slot)) return false;
        const auto &bytes = narrowest[slot];
        *value = velarin::ValueUnits{bytes.data(), by_slot[slot].size(), bytes.back()};
        return true;
    }
};

// Forward longest match over `text` within the segments that `marks` begin
// (positions; none: one segment), as a plain loop over the words: the words
// taken and their ends, the output, and where in it each segment begins.
struct Replaced {
    Text text;
    std::vector<size_t> word_starts, word_ends, segment_starts;
    long unwritable = -1;  // the slot of the first word taken whose value cannot be written
};

inline Replaced replace_reference(const Values &values, const Text &text, const std::set<size_t> &marks) {
    Replaced out;
    for (size_t pos = 0; pos < text.size();) {
        if (marks.count(pos)) out.segment_starts.push_back(out.text.size());
        const auto next = marks.upper_bound(pos);
        const size_t end = next == marks.end() ? text.size() : std::min(*next, text.size());
        size_t taken = 0;
        for (size_t length = std::min(end - pos, values.longest); length > 0 && taken == 0; --length)
            if (values.slot_of.count(Text(text.begin() + long(pos), text.begin() + long(pos + length)))) taken = length;
        if (taken == 0) {
            out.text.push_back(text[pos++]);
            continue;
        }
        const size_t slot = values.slot_of.at(Text(text.begin() + long(pos), text.begin() + long(pos + taken)));
        if (out.unwritable < 0 && !values.writable(slot)) out.unwritable = long(slot);
        const Text &value = values.by_slot[slot];
        out.text.insert(out.text.end(), value.begin(), value.end());
        out.word_starts.push_back(pos), out.word_ends.push_back(pos + taken);
        pos += taken;
    }
    return out;
}

// Where a segmentation of `text` begins segments: at each word taken, and after it.
inline std::set<size_t> segmentation_reference(const Values &values, const Text &text) {
    const Replaced whole = replace_reference(values, text, {});
    std::set<size_t> marks;
    for (size_t i = 0; i < whole.word_starts.size(); ++i) marks.insert(whole.word_starts[i]), marks.insert(whole.word_ends[i]);
    return marks;
}

inline Text buffer_text(const void *data, unsigned width, size_t size) {
    return velarin::with_width(width, data, [&](const auto *units) { return Text(units, units + size); });
}

inline std::set<size_t> marked(const velarin::Marks &marks, size_t limit) {
    std::set<size_t> out;
    for (size_t p = marks.first_in(0, limit + 1); p <= limit; p = marks.first_in(p + 1, limit + 1)) out.insert(p);
    return out;
}

// Calls f with the text as code units of the narrowest width that holds it.
template <typename F>
inline auto with_narrowest(const Text &text, F &&f) {
    uint32_t widest = 0;
    for (uint32_t c : text) widest = std::max(widest, c);
    const unsigned width = velarin::width_for(widest);
    std::vector<uint8_t> bytes(text.size() * width + 1);
    velarin::with_width(width, bytes.data(), [&](const auto *units) {
        using Unit = std::remove_const_t<std::remove_reference_t<decltype(*units)>>;
        for (size_t i = 0; i < text.size(); ++i) const_cast<Unit *>(units)[i] = Unit(text[i]);
    });
    return f(static_cast<const void *>(bytes.data()), width);
}

// A replacing pass, a segmentation and whole chains (with a segmentation of
// their own, and one that the first step makes as it converts) over `text`,
// against the reference; `text` also decides, by its code points, where
// the segments of the pass given segments begin.
inline int compare_replace(const TrieStore &store, const Text &text) {
    int wrong = 0;
    auto fail = [&](const char *what) {
        if (wrong++ < 5) std::fprintf(stderr, "mismatch: %s [%zu units]\n", what, text.size());
    };
    const Values refusing(store, true), values(store, false);
    const velarin::PassPlan<Values> refusing_pass{&store, &refusing}, pass{&store, &values};
    auto space = std::make_unique<velarin::ChainSpace>();
    velarin::WorkMeter meter;
    std::set<size_t> marks;
    velarin::Marks in_marks;
    for (size_t k = 0; k < text.size(); ++k)
        if (text[k] % 5 == 0) marks.insert(k), in_marks.set(k);
    for (const auto *p : {&refusing_pass, &pass}) {
        for (bool segmented : {false, true}) {
            const Replaced expected = replace_reference(*p->values, text, segmented ? marks : std::set<size_t>{});
            velarin::TextBuffer &out = space->texts[0];
            velarin::Marks &out_marks = space->marks[0];
            bool replaced = true;
            int32_t unwritable = -1;
            const Status status = with_narrowest(text, [&](const void *data, unsigned width) {
                return velarin::with_width(width, data, [&](const auto *units) {
                    return velarin::replace_pass(*p, units, text.size(), segmented ? &in_marks : nullptr, &out_marks, out,
                                                 &replaced, &unwritable, space->cover, meter);
                });
            });
            if (expected.unwritable >= 0) {
                if (status != Status::unwritable_value || long(p->values->slot(unwritable)) != expected.unwritable)
                    fail("unwritable value");
                continue;
            }
            if (status != Status::ok) fail("replace status");
            const Text got = replaced ? buffer_text(out.data(), out.width(), out.size()) : text;
            if (got != expected.text || replaced != !expected.word_starts.empty()) fail("replaced text");
            uint32_t widest = 0;
            for (uint32_t c : got) widest = std::max(widest, c);
            if (replaced && out.width() < velarin::width_for(widest)) fail("output width");
            std::set<size_t> expected_marks(expected.segment_starts.begin(), expected.segment_starts.end());
            if (segmented && marked(out_marks, got.size()) != expected_marks) fail("output segments");
        }
    }
    // The segmentation: each word taken, and the position after it; and a
    // pass that segments so as it converts, every word being the
    // segmentation's, marks the same segments in its output.
    const std::set<size_t> segments = segmentation_reference(values, text);
    if (velarin::segment_pass(pass, text.data(), text.size(), space->marks[1], space->cover, meter) != Status::ok ||
        marked(space->marks[1], text.size()) != segments)
        fail("segmentation");
    std::vector<uint64_t> all_words(values.by_slot.size() / 64 + 1, ~uint64_t(0));
    const velarin::PassPlan<Values> fusing{&store, &values, all_words.data()};
    const Replaced segmented = replace_reference(values, text, segments);
    bool replaced;
    int32_t unwritable;
    if (velarin::replace_pass(fusing, text.data(), text.size(), nullptr, &space->marks[0], space->texts[0], &replaced,
                              &unwritable, space->cover, meter) != Status::ok ||
        marked(space->marks[0], segmented.text.size()) !=
            std::set<size_t>(segmented.segment_starts.begin(), segmented.segment_starts.end()))
        fail("segments of a segmenting pass");
    // Chains: a normalization, a segmentation and two steps, all of the one
    // store; then the first step segmenting as it converts, every word
    // being the segmentation's: the same output.
    const Replaced normalized = replace_reference(values, replace_reference(values, text, {}).text, {});
    const std::set<size_t> chain_marks = segmentation_reference(values, normalized.text);
    const Replaced first = replace_reference(values, normalized.text, chain_marks);
    const Replaced second = replace_reference(values, first.text, std::set<size_t>(first.segment_starts.begin(), first.segment_starts.end()));
    const velarin::PassPlan<Values> steps[2] = {pass, pass}, fused[2] = {fusing, pass};
    const velarin::PassPlan<Values> normalization[2] = {pass, pass};
    const velarin::ChainPlan<Values> plans[2] = {{normalization, 2, &pass, steps, 2}, {normalization, 2, nullptr, fused, 2}};
    for (const auto &plan : plans) {
        const bool same = with_narrowest(text, [&](const void *data, unsigned w) {
            const void *result;
            unsigned width;
            size_t size;
            int32_t unwritable;
            return velarin::run_chain(plan, data, w, text.size(), *space, meter, &result, &width, &size, &unwritable) ==
                       Status::ok &&
                   buffer_text(result, width, size) == second.text;
        });
        if (!same) fail("chain");
    }
    return wrong;
}

}  // namespace harness
