// The engine under native allocation failures. This program interposes
// malloc, calloc, realloc and free (operator new reaches them too) and the
// engine's own mappings (mmap, munmap), makes the
// n-th allocation fail, once or from then on, for every n across a build, and
// checks: the build reports ok or a no-memory status, a successful build
// answers like the reference, release() returns every block, and a second
// release frees nothing. Built without sanitizers, which bring allocators of
// their own.
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "harness.hpp"

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
}

using namespace std::string_literals;

namespace {
long calls = 0;        // allocations asked for since the counter was reset
long fail_from = -1;   // the first call to fail; -1: none
long fail_until = -1;  // calls from here on succeed again; -1: never
long live = 0;         // blocks handed out and not yet freed
long mapped = 0;       // pages mapped and not yet unmapped
long mappings = 0;     // mappings made in all

bool should_fail() {
    ++calls;
    return fail_from >= 0 && calls >= fail_from && (fail_until < 0 || calls < fail_until);
}
}  // namespace

extern "C" void *malloc(size_t n) {
    if (should_fail()) return nullptr;
    void *p = __libc_malloc(n);
    live += p != nullptr;
    return p;
}

extern "C" void *calloc(size_t count, size_t n) {
    if (should_fail()) return nullptr;
    void *p = __libc_calloc(count, n);
    live += p != nullptr;
    return p;
}

extern "C" void *realloc(void *old, size_t n) {
    if (should_fail()) return nullptr;
    void *p = __libc_realloc(old, n);
    if (old == nullptr) live += p != nullptr;
    return p;
}

extern "C" void free(void *p) {
    live -= p != nullptr;
    __libc_free(p);
}

// The allocator maps through its own internal entry, so these see only the
// engine's tables.
extern "C" void *mmap(void *address, size_t n, int protection, int flags, int fd, off_t offset) {
    if (should_fail()) {
        errno = ENOMEM;
        return MAP_FAILED;
    }
    void *p = reinterpret_cast<void *>(syscall(SYS_mmap, address, n, protection, flags, fd, offset));
    if (p != MAP_FAILED) {
        mapped += long((n + 4095) / 4096);
        ++mappings;
    }
    return p;
}

extern "C" int munmap(void *p, size_t n) {
    const int result = int(syscall(SYS_munmap, p, n));
    if (result == 0) mapped -= long((n + 4095) / 4096);
    return result;
}

namespace {

bool is_no_memory(velarin::Status s) {
    using velarin::Status;
    return s == Status::no_memory_nodes || s == Status::no_memory_nodes_grow || s == Status::no_memory_word ||
           s == Status::no_memory_children_indices || s == Status::no_memory_working;
}

struct Figures {
    long injected = 0;
    long problems = 0;
};

// One build with calls [from, until) failing; counts what went wrong.
void attempt(const std::vector<std::string> &words, const harness::Reference &ref,
             const std::vector<std::string> &keys, long from, long until, Figures &figures, bool &failed) {
    velarin::TrieStore store{};
    const long live_before = live, mapped_before = mapped;
    calls = 0;
    fail_from = from;
    fail_until = until;
    const velarin::Status status = harness::build(store, words);
    // The code point index is built after the store, under the same failures
    // (small as these tables are, they get one); without it the store still
    // answers, by bytes.
    const velarin::Status index =
        status == velarin::Status::ok ? velarin::build_char_index(store, nullptr, velarin::IndexTables::any) : status;
    fail_from = fail_until = -1;
    failed = status != velarin::Status::ok || index != velarin::Status::ok;
    if (status != velarin::Status::ok && !is_no_memory(status)) ++figures.problems;
    if (index != velarin::Status::ok && index != velarin::Status::no_memory_char_index && index != status)
        ++figures.problems;
    if (status == velarin::Status::ok) {
        const bool built = store.index.state == velarin::CharIndexState::built;
        if (built && index != velarin::Status::ok) ++figures.problems;
        if (harness::compare(store, ref, keys) != 0) ++figures.problems;
        for (const auto &k : keys) figures.problems += harness::compare_scan(store, harness::code_points(k));
    }
    velarin::release(store, harness::free_copy);
    velarin::release(store, harness::free_copy);
    if (live != live_before || mapped != mapped_before) {
        std::fprintf(stderr, "leak: %ld blocks, %ld pages with calls %ld..%ld failing\n", live - live_before,
                     mapped - mapped_before, from, until);
        ++figures.problems;
    }
    ++figures.injected;
}

Figures sweep(const std::vector<std::string> &words) {
    const harness::Reference ref(words);
    std::vector<std::string> keys;
    for (const auto &w : words) keys.push_back(w + "zz");
    Figures figures;
    bool failed = true;
    long n = 1;
    for (; failed; ++n) attempt(words, ref, keys, n, -1, figures, failed);
    const long total = n - 1;  // the first n whose failure came after the whole build
    for (long k = 1; k < total; ++k) attempt(words, ref, keys, k, k + 1, figures, failed);
    return figures;
}

}  // namespace

int main() {
    std::vector<std::vector<std::string>> lists = {
        {"a"},
        {"abc", "abd", "b", "ba", "abc"},
        {"", "\0"s, "\0\0"s, "x\0y"s},
        // U+10FFFF starts a word: the index ranks root edges up to it, in a mapped table.
        {"\xe4\xb8\xad", "\xe4\xb8\xad\xe6\x96\x87", "\xf0\x9f\x98\x80", "\xf4\x8f\xbf\xbf"},
        // Tails: one path below a branch, with words along it.
        {"tail", "tailgate", "tailgates", "tally", "t"},
    };
    std::vector<std::string> wide;
    for (int b = 0; b < 256; ++b) wide.push_back(std::string(1, char(b)) + char(255 - b));
    lists.push_back(wide);
    Figures total;
    for (const auto &words : lists) {
        const Figures f = sweep(words);
        total.injected += f.injected;
        total.problems += f.problems;
    }
    std::printf("native allocation failures: %ld builds with failures injected, %ld tables mapped, %ld problems\n",
                total.injected, mappings, total.problems);
    return total.problems == 0 ? 0 : 1;
}
