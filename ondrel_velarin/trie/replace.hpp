// Replacement by longest match, and the passes a conversion chain is made
// of: from the start of a text, the longest word of a store that the text
// there begins with is replaced by its value, otherwise the character is
// kept, then on from the end of what was taken.
//
// A text may be cut into segments (a bit per position marks where one
// starts): a word is then taken only within the segment it starts in, and
// the output keeps the boundaries, so that the next pass of a chain sees the
// same segments. The walks are those of the whole-text scans (matches_at),
// in windows; a match that a segment boundary cuts is walked again within
// the segment.
//
// Output goes to a native buffer whose code units are as wide as the widest
// character written needs: it starts at the input's width and is widened in
// place when a value needs more. Kept text is copied a run at a time, and a
// pass that replaces nothing writes nothing: its output is its input.
// Nothing here calls the interpreter; the caller turns the buffer into a
// string.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>

#include "scan.hpp"

namespace velarin {

// A value to write: `length` code units of `width` bytes at `data`.
struct ValueUnits {
    const void *data;
    size_t length;
    unsigned width;
};

// What each word of a store is replaced by comes from the caller's Values:
//
//     size_t slot(int32_t node) const;   // a terminal node's slot
//     bool units(size_t slot, ValueUnits *value) const;
//
// units() is false for a value that cannot be written (the pass then stops
// and names its node); the slot also indexes a pass's segment_words.

// The bytes of a code unit that holds c, as the interpreter sizes a string's.
inline unsigned width_for(uint32_t c) { return c < 0x100 ? 1 : c < 0x10000 ? 2 : 4; }

template <unsigned Width>
using UnitOf = std::conditional_t<Width == 1, uint8_t, std::conditional_t<Width == 2, uint16_t, uint32_t>>;

// Calls f with `data` as a pointer to code units of `width` bytes.
template <typename F>
inline auto with_width(unsigned width, const void *data, F &&f) {
    switch (width) {
    case 1:
        return f(static_cast<const uint8_t *>(data));
    case 2:
        return f(static_cast<const uint16_t *>(data));
    default:
        return f(static_cast<const uint32_t *>(data));
    }
}

// Copies n code units, widening each where To is wider.
template <typename To, typename From>
inline void copy_units(To *to, const From *from, size_t n) {
    if constexpr (sizeof(To) == sizeof(From)) {
        if (n > 0) std::memcpy(to, from, n * sizeof(To));
    } else {
        for (size_t i = 0; i < n; ++i) to[i] = To(from[i]);
    }
}

// A text being written: code units of width() bytes, on the heap.
class TextBuffer {
public:
    TextBuffer() = default;
    TextBuffer(const TextBuffer &) = delete;
    TextBuffer &operator=(const TextBuffer &) = delete;
    ~TextBuffer() { std::free(data_); }

    unsigned width() const { return width_; }
    size_t size() const { return size_; }
    const void *data() const { return data_; }
    size_t bytes_held() const { return bytes_; }

    // Empties it and gives its memory back.
    void release() {
        std::free(data_);
        data_ = nullptr, size_ = bytes_ = 0;
    }

    // Empties it for units of `width` bytes, keeping its memory.
    void reset(unsigned width) { width_ = width, size_ = 0; }

    // Makes room for `more` units past the end; false when there is no memory.
    bool reserve(size_t more) {
        const size_t needed = (size_ + more) * width_;
        if (needed <= bytes_) return true;
        return reallocate(std::max({needed, 2 * bytes_, size_t(256)}));
    }

    // The end, as units of `Unit`, and the count of units written there.
    template <typename Unit>
    Unit *end() {
        return static_cast<Unit *>(data_) + size_;
    }
    void grow(size_t units) { size_ += units; }

    // Makes every unit `width` bytes wide, wider than now; false when there
    // is no memory (the text is then as it was). Into a new block: the units
    // of two widths never share memory.
    bool widen(unsigned width) {
        const size_t bytes = bytes_ / width_ * width;
        void *wide = std::malloc(std::max<size_t>(bytes, 1));
        if (wide == nullptr) return false;
        with_width(width_, data_, [&](const auto *narrow) {
            with_width(width, wide, [&](const auto *to) {
                using Unit = std::remove_const_t<std::remove_reference_t<decltype(*to)>>;
                copy_units(const_cast<Unit *>(to), narrow, size_);
            });
        });
        std::free(data_);
        data_ = wide, bytes_ = bytes, width_ = width;
        return true;
    }

    void swap(TextBuffer &other) {
        std::swap(data_, other.data_), std::swap(size_, other.size_), std::swap(bytes_, other.bytes_);
        std::swap(width_, other.width_);
    }

private:
    bool reallocate(size_t bytes) {
        void *data = std::realloc(data_, bytes);
        if (data == nullptr) return false;
        data_ = data, bytes_ = bytes;
        return true;
    }

    void *data_ = nullptr;
    size_t size_ = 0, bytes_ = 0;
    unsigned width_ = 1;
};

// A bit per position of a text: where its segments begin.
class Marks {
public:
    Marks() = default;
    Marks(const Marks &) = delete;
    Marks &operator=(const Marks &) = delete;
    ~Marks() { std::free(words_); }

    // Marks position p; false when there is no memory.
    bool set(size_t p) {
        if (p / 64 >= count_ && !grow(p / 64 + 1)) return false;
        words_[p / 64] |= uint64_t(1) << (p % 64);
        used_ = std::max(used_, p / 64 + 1);
        return true;
    }

    bool test(size_t p) const { return p / 64 < used_ && (words_[p / 64] >> (p % 64) & 1) != 0; }

    size_t bytes_held() const { return count_ * sizeof(uint64_t); }

    // Unmarks every position and gives the memory back.
    void release() {
        std::free(words_);
        words_ = nullptr, count_ = used_ = 0;
    }

    // The first marked position in [from, to), or `to` when there is none.
    size_t first_in(size_t from, size_t to) const {
        for (size_t p = from; p < to;) {
            const size_t word = p / 64;
            if (word >= used_) return to;
            const uint64_t bits = words_[word] >> (p % 64);
            if (bits != 0) return std::min(to, p + size_t(__builtin_ctzll(bits)));
            p = (word + 1) * 64;
        }
        return to;
    }

    // Unmarks every position, keeping the memory.
    void clear() {
        if (used_ > 0) std::memset(words_, 0, used_ * sizeof(uint64_t));
        used_ = 0;
    }

    void swap(Marks &other) {
        std::swap(words_, other.words_), std::swap(count_, other.count_), std::swap(used_, other.used_);
    }

private:
    bool grow(size_t words) {
        const size_t count = std::max(words, 2 * count_);
        auto *grown = static_cast<uint64_t *>(std::realloc(words_, count * sizeof(uint64_t)));
        if (grown == nullptr) return false;
        std::memset(grown + count_, 0, (count - count_) * sizeof(uint64_t));
        words_ = grown, count_ = count;
        return true;
    }

    uint64_t *words_ = nullptr;
    size_t count_ = 0;  // words allocated
    size_t used_ = 0;   // words that may hold a mark
};

// Positions whose matches a cover finds together, as the segmentation does:
// a window doubles after one with at least a quarter as many steps as
// positions, and is otherwise back to the narrowest. Walks of a window stop
// after cover_walk_limit code points; a step whose walk stopped there is
// walked again in full.
constexpr size_t cover_min_window = 8;
constexpr size_t cover_max_window = 256;
constexpr size_t cover_walk_limit = 32;

// The working room of a cover.
struct CoverSpace {
    ScanSpace scan;
    MatchRoom<cover_max_window> window;
};

// The rule for runs of letters and digits, which the caller gives: where
// Runs::enabled, the step at `pos` is Runs::step_length(units, n, pos,
// characters, &word) code points, `characters` being those of the longest
// word there (0 for none); the word is taken only if `word` stays true.
struct NoRuns {
    static constexpr bool enabled = false;
};

enum class CoverEnd {
    done,         // the text is covered
    stopped,      // the step said to stop, at `pos`
    interrupted,  // the meter said to stop, or the table changed meanwhile
};

namespace detail {

// The cover in windows of positions walked together (see cover).
template <typename CodePoint, typename Step>
CoverEnd cover_in_windows(const TrieStore &store, const CodePoint *units, size_t n, size_t &pos, const Marks *segments,
                          Step &step, CoverSpace &space, WorkMeter &meter) {
    Match *window = space.window.data();
    size_t width = cover_min_window;
    while (pos < n) {
        const size_t first = pos, count = std::min(width, n - pos);
        if (!matches_at(store, units, n, first, count, window, space.scan, meter, cover_walk_limit))
            return CoverEnd::interrupted;
        size_t made = 0;
        for (; pos < first + count; ++made) {
            Match &match = window[pos - first];
            if (match.cut && !matches_at(store, units, n, pos, 1, &match, space.scan, meter))
                return CoverEnd::interrupted;
            bool word = match.node >= 0 && match.length > 0;
            size_t characters = word ? match.characters : 0;
            if (segments != nullptr && characters > 1) {
                const size_t end = segments->first_in(pos + 1, pos + characters);
                if (end < pos + characters) {
                    if (!matches_at(store, units, end, pos, 1, &match, space.scan, meter)) return CoverEnd::interrupted;
                    word = match.node >= 0 && match.length > 0;
                    characters = word ? match.characters : 0;
                }
            }
            if (!step(pos, word ? characters : 1, word ? match.node : -1)) return CoverEnd::stopped;
            pos += word ? characters : 1;
        }
        width = 4 * made >= count ? std::min(2 * width, cover_max_window) : cover_min_window;
    }
    return CoverEnd::done;
}

// The cover where runs of letters and digits stay whole: a step then begins
// at a run's start, never inside one (a word that ends inside a run is not
// taken, and a run that no word takes is one step), so one walk at each
// step's start costs less than walking, in windows, every position the runs
// cover.
template <typename Runs, typename CodePoint, typename Step>
CoverEnd cover_by_steps(const TrieStore &store, const CodePoint *units, size_t n, size_t &pos, Step &step,
                        WorkMeter &meter) {
    Pace pace(meter, store);
    while (pos < n) {
        // The lookup's own walk: a window's machinery costs more than it
        // overlaps for a walk whose successor waits for its answer.
        const Match match = closest_prefix_code_points(store, units + pos, n - pos);
        bool word = match.node >= 0 && match.length > 0;
        size_t touched = 0;
        if (word) code_points_in(units + pos, n - pos, match.length, &touched);
        const size_t characters = Runs::step_length(units, n, pos, touched, &word);
        if (!pace.go_on(characters)) return CoverEnd::interrupted;  // the run's characters were read
        if (!step(pos, characters, word ? match.node : -1)) return CoverEnd::stopped;
        pos += characters;
    }
    return CoverEnd::done;
}

}  // namespace detail

// Forward longest match over units[pos..n), in steps: step(pos, characters,
// node) for each, where node is the word's terminal node, or -1 where no
// word is taken and the `characters` there are kept. With `segments`, a
// word is taken only within the segment it starts in (runs are not kept
// whole then). A step returning false stops the cover with `pos` at that
// step, to be resumed there.
template <typename Runs, typename CodePoint, typename Step>
CoverEnd cover(const TrieStore &store, const CodePoint *units, size_t n, size_t &pos, const Marks *segments,
               Step &step, CoverSpace &space, WorkMeter &meter) {
    // A pass's text may lie where an earlier pass's did.
    space.scan.forget_text();
    if constexpr (Runs::enabled) return detail::cover_by_steps<Runs>(store, units, n, pos, step, meter);
    else return detail::cover_in_windows(store, units, n, pos, segments, step, space, meter);
}

// One pass of a chain over a store's words.
template <typename Values>
struct PassPlan {
    const TrieStore *store = nullptr;
    // Null for a segmentation, which marks where segments begin: at each
    // word it takes and after it (the characters between words are one
    // segment).
    const Values *values = nullptr;
    // Null, or a bit per slot: the words that a segmentation's dictionary
    // holds. The pass then segments the text as it converts it, as that
    // segmentation would (its caller knows that it does).
    const uint64_t *segment_words = nullptr;
};

namespace detail {

// What a pass's writer has done so far, whatever the width it writes.
struct WriteState {
    size_t kept_from = 0;          // the input from here on is still to be copied
    bool replaced = false;         // a word was replaced: the output is not the input
    bool segment_after = false;    // the last step took a segmentation's word
    unsigned needed_width = 0;     // the width the value that stopped it needs
    int32_t unwritable = -1;       // the node whose value units() refused
    bool no_memory = false;
};

// The step of a replacing pass: writes values and the kept text before them
// into `out`, units of type Out; marks, in `out_marks`, where the output's
// segments begin. Stops where a value needs wider units than Out.
template <typename Values, typename In, typename Out>
class ValueWriter {
public:
    ValueWriter(const PassPlan<Values> &pass, const In *units, const Marks *in_marks, Marks *out_marks, TextBuffer &out,
                WriteState &state)
        : values_(*pass.values), segment_words_(pass.segment_words), units_(units), in_marks_(in_marks),
          out_marks_(out_marks), out_(out), state_(state) {}

    bool operator()(size_t pos, size_t characters, int32_t node) {
        if (node < 0) return out_marks_ == nullptr || mark(pos, false);  // kept: copied with the text after it
        const size_t slot = values_.slot(node);
        ValueUnits value;
        if (!values_.units(slot, &value)) {
            state_.unwritable = node;
            return false;
        }
        if (value.width > sizeof(Out)) {
            state_.needed_width = value.width;
            return false;
        }
        if (out_marks_ != nullptr &&
            !mark(pos, segment_words_ != nullptr && (segment_words_[slot / 64] >> (slot % 64) & 1) != 0))
            return false;
        const size_t kept = pos - state_.kept_from;
        if (!out_.reserve(kept + value.length)) return state_.no_memory = true, false;
        Out *to = out_.end<Out>();
        copy_units(to, units_ + state_.kept_from, kept);
        with_width(value.width, value.data, [&](const auto *from) { copy_units(to + kept, from, value.length); });
        out_.grow(kept + value.length);
        state_.kept_from = pos + characters;
        state_.replaced = true;
        return true;
    }

    // Copies the kept text up to `n`; false when there is no memory.
    bool finish(size_t n) {
        if (!state_.replaced) return true;  // the output is the input, which nothing need copy
        const size_t kept = n - state_.kept_from;
        if (!out_.reserve(kept)) return false;
        copy_units(out_.end<Out>(), units_ + state_.kept_from, kept);
        out_.grow(kept);
        state_.kept_from = n;
        return true;
    }

private:
    // Marks the output position of input position `pos` where a segment
    // begins there; `segment_word` tells whether the step there takes a word
    // of the segmentation's dictionary.
    bool mark(size_t pos, bool segment_word) {
        bool begins;
        if (segment_words_ != nullptr) {
            begins = segment_word || state_.segment_after;
            state_.segment_after = segment_word;
        } else {
            begins = in_marks_ != nullptr && in_marks_->test(pos);
        }
        if (begins && !out_marks_->set(out_.size() + (pos - state_.kept_from))) return state_.no_memory = true, false;
        return true;
    }

    const Values &values_;
    const uint64_t *segment_words_;
    const In *units_;
    const Marks *in_marks_;
    Marks *out_marks_;
    TextBuffer &out_;
    WriteState &state_;
};

// The step of a segmentation: marks each word and the position after it.
class SegmentMarker {
public:
    explicit SegmentMarker(Marks &marks) : marks_(marks) {}

    bool operator()(size_t pos, size_t characters, int32_t node) {
        if (node < 0) return true;
        no_memory = !marks_.set(pos) || !marks_.set(pos + characters);
        return !no_memory;
    }

    bool no_memory = false;

private:
    Marks &marks_;
};

template <typename Runs, typename Values, typename In, typename Out>
CoverEnd replace_at_width(const PassPlan<Values> &pass, const In *units, size_t n, size_t &pos, const Marks *in_marks,
                          Marks *out_marks, TextBuffer &out, WriteState &state, CoverSpace &space, WorkMeter &meter) {
    ValueWriter<Values, In, Out> writer(pass, units, in_marks, out_marks, out, state);
    const CoverEnd end = cover<Runs>(*pass.store, units, n, pos, in_marks, writer, space, meter);
    if (end == CoverEnd::done && !writer.finish(n)) {
        state.no_memory = true;
        return CoverEnd::stopped;
    }
    return end;
}

}  // namespace detail

// Replaces, in units[0..n), each word of the pass's store by its value, as
// the file's opening says, into `out` (emptied first), keeping the segments
// that `in_marks` marks (none: the text is one segment) and marking the
// output's in `out_marks` (when given; emptied first). *replaced turns false
// when no word was taken: `out` is then empty and the output is the input.
// A value that cannot be written fails the pass with unwritable_value, its
// node in *unwritable.
template <typename Runs = NoRuns, typename Values, typename In>
Status replace_pass(const PassPlan<Values> &pass, const In *units, size_t n, const Marks *in_marks, Marks *out_marks,
                    TextBuffer &out, bool *replaced, int32_t *unwritable, CoverSpace &space, WorkMeter &meter) {
    out.reset(sizeof(In));
    if (out_marks != nullptr) out_marks->clear();
    detail::WriteState state;
    size_t pos = 0;
    // The cover at the output's width, which is never narrower than the input's.
    auto at_width = [&]<typename Out>(const Out *) {
        return detail::replace_at_width<Runs, Values, In, Out>(pass, units, n, pos, in_marks, out_marks, out, state, space,
                                                               meter);
    };
    using Two = UnitOf<std::max<unsigned>(sizeof(In), 2)>;
    for (;;) {
        CoverEnd end;
        if (out.width() == sizeof(In)) end = at_width(units);
        else if (out.width() == 2) end = at_width(static_cast<const Two *>(nullptr));
        else end = at_width(static_cast<const uint32_t *>(nullptr));
        if (state.no_memory) return Status::no_memory_text;
        if (state.unwritable >= 0) return *unwritable = state.unwritable, Status::unwritable_value;
        if (end == CoverEnd::interrupted) return Status::interrupted;
        if (end == CoverEnd::done) break;
        if (!out.widen(state.needed_width)) return Status::no_memory_text;  // a value needs wider units
    }
    *replaced = state.replaced;
    if (!state.replaced) out.reset(sizeof(In));
    return Status::ok;
}

// Marks, in `marks` (emptied first), where the segments of units[0..n)
// begin under the pass's store: each word that forward longest match takes,
// and the text after it.
template <typename Values, typename In>
Status segment_pass(const PassPlan<Values> &pass, const In *units, size_t n, Marks &marks, CoverSpace &space,
                    WorkMeter &meter) {
    marks.clear();
    detail::SegmentMarker marker(marks);
    size_t pos = 0;
    const CoverEnd end = cover<NoRuns>(*pass.store, units, n, pos, nullptr, marker, space, meter);
    if (marker.no_memory) return Status::no_memory_text;
    return end == CoverEnd::interrupted ? Status::interrupted : Status::ok;
}

// A conversion chain: normalization passes over the whole text, then a
// segmentation, then the conversion steps, each over every segment.
template <typename Values>
struct ChainPlan {
    const PassPlan<Values> *normalization = nullptr;
    size_t num_normalization = 0;
    const PassPlan<Values> *segmentation = nullptr;  // null: one segment, unless the first step segments
    const PassPlan<Values> *steps = nullptr;
    size_t num_steps = 0;
};

// The working room of a chain: two texts and two sets of marks, each the
// input of one pass and the output of the other.
struct ChainSpace {
    CoverSpace cover;
    TextBuffer texts[2];
    Marks marks[2];

    // Gives back the memory of buffers that hold more than `bytes`, so that a
    // space kept for later calls keeps no large text's; returns how much.
    size_t trim(size_t bytes) {
        size_t released = 0;
        for (TextBuffer &text : texts)
            if (text.bytes_held() > bytes) released += text.bytes_held(), text.release();
        for (Marks &m : marks)
            if (m.bytes_held() > bytes) released += m.bytes_held(), m.release();
        return released;
    }
};

// Converts the text (n code units of `width` bytes at `data`) through the
// chain. On success *result points at the output: the input itself when no
// pass replaced anything, else one of space.texts, with *result_width and
// *result_size set. Fails as a pass does (*unwritable as replace_pass sets it).
template <typename Values>
Status run_chain(const ChainPlan<Values> &plan, const void *data, unsigned width, size_t n, ChainSpace &space,
                 WorkMeter &meter, const void **result, unsigned *result_width, size_t *result_size,
                 int32_t *unwritable) {
    const void *text = data;
    size_t size = n;
    int free_text = 0;  // the buffer the next pass writes into
    Marks *in_marks = nullptr;
    // One pass over the current text; its output, when it replaced a word, is the next text.
    auto pass = [&](const PassPlan<Values> &plan_of_pass, Marks *out_marks) {
        TextBuffer &out = space.texts[free_text];
        bool replaced = false;
        const Status status = with_width(width, text, [&](const auto *units) {
            return replace_pass(plan_of_pass, units, size, in_marks, out_marks, out, &replaced, unwritable, space.cover,
                                meter);
        });
        if (status == Status::ok && replaced) {
            text = out.data(), width = out.width(), size = out.size();
            free_text = 1 - free_text;
        }
        return status;
    };
    for (size_t i = 0; i < plan.num_normalization; ++i) {
        const Status status = pass(plan.normalization[i], nullptr);
        if (status != Status::ok) return status;
    }
    if (plan.segmentation != nullptr) {
        const Status status = with_width(width, text, [&](const auto *units) {
            return segment_pass(*plan.segmentation, units, size, space.marks[0], space.cover, meter);
        });
        if (status != Status::ok) return status;
        in_marks = &space.marks[0];
    }
    for (size_t i = 0; i < plan.num_steps; ++i) {
        const PassPlan<Values> &step = plan.steps[i];
        const bool segmented = in_marks != nullptr || step.segment_words != nullptr;
        Marks *out_marks = segmented && i + 1 < plan.num_steps ? &space.marks[in_marks == &space.marks[0]] : nullptr;
        const Status status = pass(step, out_marks);
        if (status != Status::ok) return status;
        in_marks = out_marks;
    }
    *result = text, *result_width = width, *result_size = size;
    return Status::ok;
}

}  // namespace velarin
