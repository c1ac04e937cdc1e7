// Building the node table from a set of byte strings, without recursion.
//
// The strings are sorted once and deduplicated; then every node is a range of
// that sorted view whose members share the node's path, and its children are
// the sub-ranges that agree on one more byte. The table is sized exactly before
// any record is laid out, and an explicit stack of pending nodes reproduces the
// numbering of a recursive build: a node's children take consecutive indices
// when the node is built, then each child's subtree is built in byte order.
#include "trie.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace velarin {
namespace {

struct Entry {
    uint64_t head;  // the first 8 bytes after the node's path, big-endian, zero-padded
    const unsigned char *data;
    int32_t length;
    uint32_t index;  // among the strings given
};

uint64_t head_of(const unsigned char *data, int32_t length, int32_t position) {
    uint64_t head = 0;
    const int32_t end = std::min(length, position + 8);
    for (int32_t i = position; i < end; ++i) head |= uint64_t(data[i]) << (8 * (7 - (i - position)));
    return head;
}

// A node still to be built: its record, its range [lo, hi) of the sorted view,
// and its depth.
struct Pending {
    uint32_t node;
    uint32_t lo;
    uint32_t hi;
    uint32_t depth;
};

// Thrown out of the sort when the meter says to stop.
struct Stopped {};

// The pace of a layout. When the meter has let the caller run code, walks
// that code began may still be in progress (another thread's, which took
// the interpreter lock meanwhile): the records about to be laid out change
// what they read, so the generation moves on, for them to see.
class LayoutPace {
public:
    LayoutPace(WorkMeter &meter, TrieStore &store) : meter_(meter), store_(store), generation_(store.generation) {}

    bool go_on(size_t steps) {
        const bool asks = meter_.asks(steps);
        if (!meter_.spend(steps) || store_.generation != generation_) return false;
        if (asks) generation_ = ++store_.generation;
        return true;
    }

private:
    WorkMeter &meter_;
    TrieStore &store_;
    uint64_t generation_;
};

// Orders strings that share their first `position` bytes: by the bytes that
// follow, a string before its extensions. The heads settle most comparisons
// without touching the strings; equal heads (which padding can also make)
// fall back to the bytes themselves. Each comparison is a step of work.
struct After {
    int32_t position;
    LayoutPace *pace;
    bool operator()(const Entry &a, const Entry &b) const {
        if (!pace->go_on(1)) throw Stopped{};
        if (a.head != b.head) return a.head < b.head;
        const int32_t common = std::min(a.length, b.length) - position;
        const int order = common > 0 ? std::memcmp(a.data + position, b.data + position, size_t(common)) : 0;
        return order != 0 ? order < 0 : a.length < b.length;
    }
};

bool same(const Entry &a, const Entry &b) {
    return a.length == b.length && std::memcmp(a.data, b.data, size_t(a.length)) == 0;
}

// Bytes shared by two strings beyond the first `position`.
uint32_t shared_after(const Entry &a, const Entry &b, int32_t position) {
    const int32_t limit = std::min(a.length, b.length);
    int32_t i = position;
    while (i < limit && a.data[i] == b.data[i]) ++i;
    return uint32_t(i - position);
}

// Grows `array` from `used` to `count` zeroed entries. A large growth takes a
// fresh zeroed block, which the system hands out without writing it.
template <typename T>
bool grow_zeroed(T *&array, size_t used, size_t count) {
    if (count - used > 4096) {
        auto *fresh = static_cast<T *>(std::calloc(count, sizeof(T)));
        if (fresh == nullptr) return false;
        std::memcpy(static_cast<void *>(fresh), array, used * sizeof(T));
        std::free(array);
        array = fresh;
        return true;
    }
    void *grown = std::realloc(array, count * sizeof(T));
    if (grown == nullptr) return false;
    array = static_cast<T *>(grown);
    std::memset(static_cast<void *>(array + used), 0, (count - used) * sizeof(T));
    return true;
}

class Builder {
public:
    Builder(TrieStore &store, int32_t position, WorkMeter &meter, uint32_t *terminal_nodes)
        : store_(store), position_(position), pace_(meter, store), terminal_nodes_(terminal_nodes) {}

    Status run(int32_t node_index, unsigned char *const *strings, const int32_t *lengths, int32_t num_strings) {
        try {
            if (!collect(strings, lengths, num_strings)) return Status::interrupted;
            if (view_.empty()) return Status::ok;
            Status status = reserve();
            if (status != Status::ok) return status;
            return lay_out(uint32_t(node_index));
        } catch (const std::bad_alloc &) {
            return Status::no_memory_working;
        } catch (const Stopped &) {
            return Status::interrupted;
        }
    }

private:
    bool collect(unsigned char *const *strings, const int32_t *lengths, int32_t num_strings) {
        view_.reserve(size_t(num_strings));
        for (int32_t i = 0; i < num_strings; ++i) {
            if (!pace_.go_on(1)) return false;
            if (lengths[i] >= position_)
                view_.push_back(Entry{head_of(strings[i], lengths[i], position_), strings[i], lengths[i], uint32_t(i)});
        }
        // Strings given in strictly ascending order (a lexicon's, sorted
        // already) are the sorted view as they are: one comparison per pair
        // tells, where a sort of them would still take n log n.
        const After before{position_, &pace_};
        size_t ascending = 1;
        while (ascending < view_.size() && before(view_[ascending - 1], view_[ascending])) ++ascending;
        if (ascending < view_.size()) {
            std::sort(view_.begin(), view_.end(), before);
            auto same_metered = [this](const Entry &a, const Entry &b) {
                if (!pace_.go_on(1)) throw Stopped{};
                return same(a, b);
            };
            view_.erase(std::unique(view_.begin(), view_.end(), same_metered), view_.end());
        }
        // shared_[i]: path bytes entry i shares with entry i - 1 below the node.
        shared_.resize(view_.size());
        shared_[0] = 0;
        for (size_t i = 1; i < view_.size(); ++i) {
            if (!pace_.go_on(1)) return false;
            shared_[i] = shared_after(view_[i - 1], view_[i], position_);
        }
        return true;
    }

    // Each sorted string adds one record per byte beyond what it shares with
    // its predecessor, and one word: the table, its children array and its
    // words block grow by exactly that much.
    Status reserve() {
        uint64_t added = 0, word_bytes = 0;
        for (size_t i = 0; i < view_.size(); ++i) {
            added += uint64_t(view_[i].length - position_) - shared_[i];
            if (!is_stored_entry(view_[i])) word_bytes += word_entry_bytes(size_t(view_[i].length));
        }
        const uint64_t total = uint64_t(store_.num_nodes) + added;
        if (total > uint64_t(INT32_MAX)) return Status::too_many_nodes;
        const size_t old = size_t(store_.num_nodes);
        if (added > 0) {
            if (!grow_zeroed(store_.nodes, old, total)) return Status::no_memory_nodes_grow;
            if (store_.node_planes != nullptr && !grow_zeroed(store_.node_planes, (old + 1) / 2, (total + 1) / 2))
                return Status::no_memory_nodes_grow;
            children_ = static_cast<uint32_t *>(add_store_block(store_, added * sizeof(uint32_t)));
            if (children_ == nullptr) return Status::no_memory_children_indices;
        }
        if (word_bytes > 0) {
            words_ = static_cast<unsigned char *>(add_store_block(store_, word_bytes));
            if (words_ == nullptr) return Status::no_memory_word;
        }
        next_ = uint32_t(old);
        store_.num_nodes = int32_t(total);
        return Status::ok;
    }

    Status lay_out(uint32_t root) {
        std::vector<Pending> stack{Pending{root, 0, uint32_t(view_.size()), uint32_t(position_)}};
        std::vector<uint32_t> starts;
        while (!stack.empty()) {
            Pending pending = stack.back();
            stack.pop_back();
            Status status = build_one(pending, starts);
            // An only child is built next in any case: go down chains directly.
            while (status == Status::ok && starts.size() == 1) {
                pending = Pending{store_.nodes[pending.node].children_indices[0], starts[0], pending.hi, pending.depth + 1};
                status = build_one(pending, starts);
            }
            if (status != Status::ok) return status;
            // Reverse order, so the first child's subtree is built next.
            const uint32_t first = starts.empty() ? 0 : store_.nodes[pending.node].children_indices[0];
            for (size_t k = starts.size(); k-- > 0;) {
                const uint32_t hi = k + 1 < starts.size() ? starts[k + 1] : pending.hi;
                stack.push_back(Pending{first + uint32_t(k), starts[k], hi, pending.depth + 1});
            }
        }
        return Status::ok;
    }

    // Fills one record and creates its children's records; `starts` receives
    // the first sorted entry of each child. A record laid out again (by a
    // native caller) leaves what it pointed at to the store's blocks.
    Status build_one(const Pending &pending, std::vector<uint32_t> &starts) {
        if (!pace_.go_on(1)) return Status::interrupted;
        VelarinNode &node = store_.nodes[pending.node];
        uint32_t lo = pending.lo;
        starts.clear();
        node = VelarinNode{};
        if (uint32_t(view_[lo].length) == pending.depth) {
            // Sorted before its extensions, a string ending here comes first.
            node.word = take_word(view_[lo]);
            node.is_terminal = 1;
            if (terminal_nodes_ != nullptr) terminal_nodes_[view_[lo].index] = pending.node;
            ++lo;
        }
        for (uint32_t i = lo; i < pending.hi; ++i)
            if (i == lo || shared_[i] == pending.depth - uint32_t(position_)) starts.push_back(i);
        if (starts.empty()) return Status::ok;

        const int32_t count = int32_t(starts.size());
        const unsigned first_plane = plane_of(view_[starts.front()].data[pending.depth]);
        const bool multi = store_.node_planes != nullptr &&
                           plane_of(view_[starts.back()].data[pending.depth]) != first_plane;
        uint32_t *children = children_;
        WideMask *wide = nullptr;
        if (multi) {
            children = static_cast<uint32_t *>(spill(wide_mask_offset(count) + sizeof(WideMask)));
            if (children == nullptr) return Status::no_memory_children_indices;
            wide = reinterpret_cast<WideMask *>(reinterpret_cast<char *>(children) + wide_mask_offset(count));
            *wide = WideMask{};
        }
        children_ += count;  // a multi-plane node leaves its share of the array unused
        if (store_.node_planes != nullptr) set_plane(pending.node, multi ? multi_plane : first_plane);
        uint64_t mask = 0;
        for (size_t k = 0; k < starts.size(); ++k) {
            const unsigned char b = view_[starts[k]].data[pending.depth];
            mask |= store_.byte_to_mask[b];
            if (wide != nullptr) wide->words[plane_of(b)] |= store_.byte_to_mask[b];
            children[k] = next_++;
        }
        node.mask = mask;
        node.children_indices = children;
        node.num_children = count;
        return Status::ok;
    }

    // Whether a string is an entry of the store's strings block: its length
    // before it and a 0 byte after.
    bool is_stored_entry(const Entry &entry) const {
        const auto at = reinterpret_cast<uintptr_t>(entry.data), block = reinterpret_cast<uintptr_t>(store_.strings_block);
        if (store_.strings_block == nullptr || at <= block || at - block + size_t(entry.length) >= store_.strings_bytes)
            return false;
        const size_t header = entry.data[-1] == long_word_mark ? 5 : 1;
        return at - block >= header && word_length(reinterpret_cast<const char *>(entry.data)) == uint32_t(entry.length) &&
               entry.data[entry.length] == 0;
    }

    // The word of a string: its entry in the strings block, or a copy in the
    // words block.
    char *take_word(const Entry &entry) {
        if (is_stored_entry(entry)) return const_cast<char *>(reinterpret_cast<const char *>(entry.data));
        const auto length = uint32_t(entry.length);
        unsigned char *word = start_word_entry(words_, length);
        std::memcpy(word, entry.data, length);
        word[length] = 0;
        words_ = word + length + 1;
        return reinterpret_cast<char *>(word);
    }

    void set_plane(uint32_t index, unsigned plane) {
        uint8_t &pair = store_.node_planes[index / 2];
        const unsigned shift = index % 2 * 4;
        pair = uint8_t((pair & ~(0xF << shift)) | plane << shift);
    }

    // Room for a multi-plane node's children and bitmap, from blocks that
    // grow with their number; null when there is no memory.
    void *spill(size_t bytes) {
        if (spill_left_ < bytes) {
            spill_chunk_ = std::min<size_t>(spill_chunk_ * 2, size_t(1) << 18);
            const size_t size = std::max(spill_chunk_, bytes);
            spill_ = static_cast<char *>(add_store_block(store_, size));
            if (spill_ == nullptr) return nullptr;
            spill_left_ = size;
        }
        void *at = spill_;
        spill_ += bytes;
        spill_left_ -= bytes;
        return at;
    }

    TrieStore &store_;
    int32_t position_;
    LayoutPace pace_;
    uint32_t *terminal_nodes_;
    std::vector<Entry> view_;
    std::vector<uint32_t> shared_;
    uint32_t next_ = 0;
    uint32_t *children_ = nullptr;  // the children array's next free entry
    unsigned char *words_ = nullptr;  // the words block's next free byte
    char *spill_ = nullptr;
    size_t spill_left_ = 0, spill_chunk_ = 256;
};

}  // namespace

Status build_node(TrieStore &store, int32_t node_index, unsigned char *const *strings,
                  const int32_t *lengths, int32_t num_strings, int32_t position, WorkMeter *meter,
                  uint32_t *terminal_nodes) {
    if (store.nodes == nullptr || node_index < 0 || node_index >= store.num_nodes || num_strings <= 0 || position < 0)
        return Status::ok;
    ++store.generation;
    drop_char_index(store);
    ++store.layouts;
    WorkMeter unmetered;
    Status status;
    {
        Builder builder(store, position, meter != nullptr ? *meter : unmetered, terminal_nodes);
        status = builder.run(node_index, strings, lengths, num_strings);
    }
    --store.layouts;
    if (num_strings >= large_build) return_free_memory();
    return status;
}

}  // namespace velarin
