// Fuzz harness for the engine alone: the input is split into words and keys,
// the store is built from the words and every answer is compared with the
// reference; the subword matcher over two tries of the words is compared
// with plain greedy matching. Any difference or failed build stops the run.
//
// With clang: clang++ -fsanitize=fuzzer,address,undefined (./dev fuzz with
// clang installed). With g++, fuzz_main.cpp drives the same entry point.
#include <cstdint>
#include <cstdlib>
#include <set>

#include "automaton.hpp"
#include "harness.hpp"
#include "scan.hpp"
#include "wordpiece.hpp"

namespace {

// A meter's caller that does, when asked, what a signal handler may: say
// stop, or release the store and build it again from other words under the
// operation that asked.
struct Hostile {
    velarin::TrieStore *store;
    const std::vector<std::string> *other;
    bool rebuild;
    int asked = 0;
};

bool hostile_go_on(void *context) {
    auto &hostile = *static_cast<Hostile *>(context);
    ++hostile.asked;
    if (!hostile.rebuild) return false;
    velarin::release(*hostile.store, harness::free_copy);
    return harness::build(*hostile.store, *hostile.other) == velarin::Status::ok;
}

// Builds, builds the index and scans with a hostile meter first asked after
// `steps` steps: each operation must stop without touching a released
// table, and the store must then answer as the words it holds say.
int hostile_runs(const std::vector<std::string> &words, const std::vector<std::string> &other,
                 const std::vector<std::string> &keys, const std::vector<uint32_t> &text, size_t steps) {
    constexpr auto any = velarin::IndexTables::any;  // small as the tables are
    int wrong = 0;
    for (int operation = 0; operation < 3; ++operation) {
        for (bool rebuild : {false, true}) {
            velarin::TrieStore store{};
            Hostile hostile{&store, &other, rebuild};
            velarin::WorkMeter meter{hostile_go_on, &hostile, steps};
            velarin::Status status = velarin::Status::ok;
            if (operation == 0) {
                status = harness::build(store, words, &meter);
            } else if (harness::build(store, words) == velarin::Status::ok) {
                if (operation == 1) {
                    status = velarin::build_char_index(store, &meter, any);
                } else if (velarin::build_char_index(store, nullptr, any) == velarin::Status::ok && !text.empty()) {
                    std::vector<velarin::Match> out(text.size());
                    const auto space = std::make_unique<velarin::ScanSpace>();
                    if (!velarin::matches_at(store, text.data(), text.size(), 0, text.size(), out.data(), *space, meter))
                        status = velarin::Status::interrupted;
                }
            }
            if ((status == velarin::Status::interrupted) != (hostile.asked > 0)) ++wrong;
            if (!rebuild && hostile.asked > 0) {
                // Stopped: what the build left (records not laid out are
                // empty) can be indexed and walked, then is released whole
                // and built again.
                if (operation == 0 && velarin::build_char_index(store, nullptr, any) != velarin::Status::ok) ++wrong;
                wrong += harness::compare_scan(store, text);
                for (const auto &k : keys) wrong += harness::compare_code_points(store, harness::code_points(k));
                velarin::release(store, harness::free_copy);
                if (harness::build(store, words) != velarin::Status::ok) ++wrong;
            }
            const harness::Reference ref(rebuild && hostile.asked > 0 ? other : words);
            wrong += harness::compare(store, ref, keys);
            wrong += harness::compare_scan(store, text);
            velarin::release(store, harness::free_copy);
        }
    }
    return wrong;
}

// The pieces greedy matching gives a word, trying every end from the
// longest: initial tokens at the start, continuation tokens after; false
// when the word is unknown.
bool greedy_pieces(const std::set<std::string> &initial, const std::set<std::string> &continuation,
                   const std::vector<uint32_t> &word, std::vector<velarin::Piece> &out) {
    for (size_t start = 0; start < word.size();) {
        size_t end = word.size();
        const auto &tokens = start == 0 ? initial : continuation;
        for (; end > start; --end)
            if (tokens.count(harness::utf8(std::vector<uint32_t>(word.begin() + long(start), word.begin() + long(end)))))
                break;
        if (end == start) return false;
        out.push_back(velarin::Piece{0, uint32_t(start), uint32_t(end)});
        start = end;
    }
    return true;
}

// The matcher over the words (UTF-8; the even ones initial tokens, the odd
// ones continuation tokens) against greedy matching, on every key (code
// points). A token's id is its length in bytes.
int compare_pieces(const std::vector<std::string> &words, const std::vector<std::vector<uint32_t>> &keys) {
    std::vector<std::string> lists[2];
    for (size_t i = 0; i < words.size(); ++i) lists[i % 2].push_back(words[i]);
    velarin::TrieStore stores[2] = {};
    for (int t = 0; t < 2; ++t)
        if (harness::build(stores[t], lists[t]) != velarin::Status::ok) std::abort();
    const std::set<std::string> tokens[2] = {{lists[0].begin(), lists[0].end()}, {lists[1].begin(), lists[1].end()}};
    struct Ids {
        const velarin::TrieStore *stores;
        static int64_t of(const void *context, int trie, uint32_t node) {
            const auto &store = static_cast<const Ids *>(context)->stores[trie];
            return int64_t(velarin::word_length(store.nodes[node].word));
        }
    } ids{stores};
    const velarin::PieceMatcher matcher(stores[0], stores[1], Ids::of, &ids);
    int wrong = matcher.ok() ? 0 : 1;
    for (const auto &word : keys) {
        std::vector<velarin::Piece> expected, found;
        const bool known = greedy_pieces(tokens[0], tokens[1], word, expected);
        if (matcher.match(word.data(), word.size(), found) != known) ++wrong;
        if (!known) continue;
        if (found.size() != expected.size()) ++wrong;
        for (size_t i = 0; i < found.size() && i < expected.size(); ++i) {
            const std::vector<uint32_t> piece(word.begin() + long(expected[i].start), word.begin() + long(expected[i].end));
            if (found[i].start != expected[i].start || found[i].end != expected[i].end ||
                found[i].id != int32_t(harness::utf8(piece).size()))
                ++wrong;
        }
    }
    for (auto &store : stores) velarin::release(store, harness::free_copy);
    return wrong;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    // The first byte separates the pieces; the second says how many are words.
    const uint8_t separator = data[0];
    const size_t word_count = data[1];
    std::vector<std::string> pieces(1);
    for (size_t i = 2; i < size; ++i) {
        if (data[i] == separator) pieces.emplace_back();
        else pieces.back().push_back(char(data[i]));
    }
    const size_t split = std::min(word_count, pieces.size());
    std::vector<std::string> words(pieces.begin(), pieces.begin() + long(split));
    std::vector<std::string> keys(pieces.begin() + long(split), pieces.end());
    for (const auto &w : words) {
        keys.push_back(w);
        keys.push_back(w + "\x80tail");
        if (!w.empty()) keys.push_back(w.substr(0, w.size() - 1));
    }

    velarin::TrieStore store{};
    if (harness::build(store, words) != velarin::Status::ok) std::abort();
    const harness::Reference ref(words);
    int wrong = harness::compare(store, ref, keys);
    for (const auto &k : keys) wrong += harness::compare_code_points(store, harness::code_points(k));
    for (const auto &k : keys) wrong += harness::compare_prefixes(store, ref, harness::code_points(k));
    // Scans by bytes, then (where the words allow it) through the code point
    // index, over a text made of every key.
    std::vector<uint32_t> text;
    for (const auto &k : keys) {
        const auto units = harness::code_points(k);
        text.insert(text.end(), units.begin(), units.end());
    }
    wrong += harness::compare_scan(store, text);
    if (velarin::build_char_index(store) != velarin::Status::ok) ++wrong;
    wrong += harness::compare_scan(store, text);
    // A table whose index would rank first code points in more bytes than
    // its records take gets none by default (it walks bytes, as above): then
    // it gets one all the same, so that the index's walks meet every table.
    if (store.nodes != nullptr && store.index.state == velarin::CharIndexState::unavailable) {
        velarin::drop_char_index(store);
        if (velarin::build_char_index(store, nullptr, velarin::IndexTables::any) != velarin::Status::ok) ++wrong;
        wrong += harness::compare_scan(store, text);
    }
    // With the index built, lookups walk it: against the byte walk again.
    for (const auto &k : keys) wrong += harness::compare_code_points(store, harness::code_points(k));
    for (const auto &k : keys) wrong += harness::compare_prefixes(store, ref, harness::code_points(k));
    velarin::release(store, harness::free_copy);
    // The same scans over words made of whole code points, which the index
    // always covers.
    std::vector<std::string> encoded;
    for (const auto &w : words) {
        const auto units = harness::code_points(w);
        encoded.push_back(harness::utf8(units));
        text.insert(text.end(), units.begin(), units.end());
    }
    constexpr auto any = velarin::IndexTables::any;
    if (harness::build(store, encoded) != velarin::Status::ok ||
        velarin::build_char_index(store, nullptr, any) != velarin::Status::ok)
        std::abort();
    // The keys, and words made of three words, which are cut into several tokens.
    std::vector<std::vector<uint32_t>> words_keys;
    for (const auto &k : keys) words_keys.push_back(harness::code_points(k));
    for (size_t i = 0; i < words.size() && i < 8; ++i)
        for (size_t j = 0; j < words.size() && j < 8; ++j) {
            auto made = harness::code_points(words[i]);
            for (size_t w : {j, (i * 7 + j) % words.size()}) {
                const auto more = harness::code_points(words[w]);
                made.insert(made.end(), more.begin(), more.end());
            }
            words_keys.push_back(made);
        }
    wrong += compare_pieces(encoded, words_keys);
    if (store.nodes != nullptr && store.index.state != velarin::CharIndexState::built) ++wrong;
    wrong += harness::compare_scan(store, text);
    wrong += harness::compare_replace(store, text);
    const harness::Reference encoded_ref(encoded);
    for (size_t k = 0; k < text.size(); ++k) {
        const std::vector<uint32_t> rest(text.begin() + long(k), text.end());
        wrong += harness::compare_code_points(store, rest);
        wrong += harness::compare_prefixes(store, encoded_ref, rest);
    }
    velarin::release(store, harness::free_copy);
    // A few of the words made deep, each repeated past the length from which
    // a table has an automaton, over a text that follows each one far (and
    // leaves it) before it runs through it whole. Few: every position of
    // such a text costs the reference a walk as deep as the words.
    std::vector<std::string> deep;
    std::vector<uint32_t> deep_text;
    for (const auto &w : encoded) {
        if (w.empty() || w.size() > velarin::automaton_word_bytes) continue;
        if (deep.size() == 3) break;
        std::string made = w;
        while (made.size() < 2 * velarin::automaton_word_bytes) made += w;
        deep.push_back(made);
        const auto units = harness::code_points(made);
        deep_text.insert(deep_text.end(), units.begin(), units.begin() + long(units.size() * 3 / 4));
        deep_text.insert(deep_text.end(), units.begin(), units.end());
    }
    if (harness::build(store, deep) != velarin::Status::ok ||
        velarin::build_char_index(store, nullptr, any) != velarin::Status::ok)
        std::abort();
    if (!deep.empty() && store.index.state == velarin::CharIndexState::built && store.index.automaton.nodes == nullptr)
        ++wrong;
    wrong += harness::compare_scan(store, deep_text, true);
    velarin::release(store, harness::free_copy);
    // Replacement over words and text of one-byte code points, whose values
    // widen the output.
    auto narrow = [](std::vector<uint32_t> units) {
        for (auto &c : units) c = 0x20 + c % 0xE0;
        return units;
    };
    std::vector<std::string> narrow_words;
    for (const auto &w : words) narrow_words.push_back(harness::utf8(narrow(harness::code_points(w))));
    if (harness::build(store, narrow_words) != velarin::Status::ok ||
        velarin::build_char_index(store, nullptr, any) != velarin::Status::ok)
        std::abort();
    wrong += harness::compare_replace(store, narrow(text));
    velarin::release(store, harness::free_copy);
    if (store.nodes != nullptr || store.bytes_strings != nullptr || store.num_nodes != 0) ++wrong;
    velarin::release(store, harness::free_copy);  // a second release frees nothing
    wrong += hostile_runs(words, std::vector<std::string>(words.rbegin(), words.rend() - long(words.size() / 2)), keys,
                          std::vector<uint32_t>(text.begin(), text.begin() + long(std::min<size_t>(text.size(), 200))),
                          1 + size % 97);
    wrong += harness::compare_image(words, data, size);
    if (wrong) std::abort();
    return 0;
}
