// Sorting strings into byte order, keeping the last of equal ones.
#include "order.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace velarin {
namespace {

// A string's first 8 bytes, big-endian and zero-padded, settle most
// comparisons without touching the string; its index breaks ties between
// equal strings, so that the last given sorts last among them.
struct Keyed {
    uint64_t head;
    uint32_t index;
};

uint64_t head_of(const unsigned char *data, int32_t length) {
    uint64_t head = 0;
    for (int32_t i = 0; i < length && i < 8; ++i) head |= uint64_t(data[i]) << (8 * (7 - i));
    return head;
}

struct Stopped {};

// Compares what follows the heads; 0 for equal strings.
int compare_rest(const unsigned char *a, int32_t a_length, const unsigned char *b, int32_t b_length) {
    const int32_t common = std::min(a_length, b_length) - 8;
    const int order = common > 0 ? std::memcmp(a + 8, b + 8, size_t(common)) : 0;
    return order != 0 ? order : (a_length > b_length) - (a_length < b_length);
}

}  // namespace

Status sort_distinct(const unsigned char *const *strings, const int32_t *lengths, uint32_t count,
                     std::vector<uint32_t> &order, WorkMeter *meter) {
    WorkMeter unmetered;
    WorkMeter &used = meter != nullptr ? *meter : unmetered;
    try {
        std::vector<Keyed> keyed(count);
        for (uint32_t i = 0; i < count; ++i) keyed[i] = Keyed{head_of(strings[i], lengths[i]), i};
        auto same = [&](const Keyed &a, const Keyed &b) {
            return a.head == b.head &&
                   compare_rest(strings[a.index], lengths[a.index], strings[b.index], lengths[b.index]) == 0;
        };
        std::sort(keyed.begin(), keyed.end(), [&](const Keyed &a, const Keyed &b) {
            if (!used.spend(1)) throw Stopped{};
            if (a.head != b.head) return a.head < b.head;
            const int rest = compare_rest(strings[a.index], lengths[a.index], strings[b.index], lengths[b.index]);
            return rest != 0 ? rest < 0 : a.index < b.index;
        });
        order.clear();
        order.reserve(count);
        for (uint32_t i = 0; i < count; ++i)
            if (i + 1 == count || !same(keyed[i], keyed[i + 1])) order.push_back(keyed[i].index);
    } catch (const std::bad_alloc &) {
        return Status::no_memory_working;
    } catch (const Stopped &) {
        return Status::interrupted;
    }
    return Status::ok;
}

}  // namespace velarin
