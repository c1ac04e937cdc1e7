// Reading a Velarin without the interpreter lock, and what keeps its store
// from changing meanwhile. Every native module of the package that walks a
// trie over a whole text uses this: the scans of scan_c, and the whole-text
// calls of the modules built on it.
//
// A whole-text call spends most of its time in walks, which read only native
// memory (the trie's store) and the text's code units, which nothing
// changes. It lets other threads run during them:
//
//     UnlockedRead reading(trie);   // with the lock held; holds a reference to trie
//     ...                           // with the lock: what the walks need, such as
//                                   // the code point index (build_char_index)
//     reading.unlock();             // releases the lock, when it may
//     WorkMeter meter = reading.meter();
//     ...                           // the walks, counting their work on `meter`
//     reading.lock();               // the lock again: make the Python objects
//
// The contract:
//
// - Between unlock() and lock() the caller reads only the trie's store
//   (trie->store and what it points at) and buffers that nothing changes,
//   of objects it holds references to (a str's code units). It makes no
//   interpreter call, touches no reference count, allocates nothing from the
//   interpreter's allocators, and does not read the object's word cache
//   (word_objects, word_ranks), which threads holding the lock fill in,
//   except through the store: store.match_slots, loaded with acquire order,
//   and each slot likewise (make_word_object fills one with release order).
//   A slot's object is only borrowed: the caller takes its reference after
//   lock(), and only when the generation is still the one it started with
//   (the cache is dropped only by operations that move it on).
// - Work of any length in between counts its steps on meter(), as the
//   engine's long operations do: at every question the meter takes the lock
//   back, runs the signal handlers (and the collector's pending work, which
//   may run finalizers), lets threads waiting to change the trie do so, and
//   releases the lock again when it may. Code run then may change the trie:
//   a walk's Pace sees the store's generation differ and stops, and so does
//   a meter whose handler raised (the exception is set, the lock held). Take
//   the generation before the walks and compare it after lock(): when it
//   differs, or the walks stopped, do that piece of work again (after lock(),
//   PyErr_Occurred() tells the two apart).
// - unlock() leaves the lock held, and the walks then run as a short call's
//   do, while the trie cannot be read without it: its nodes being laid out,
//   its code point index not yet built or being built, or a thread waiting
//   to change it. The meter tries again at each question.
// - While any thread reads a trie without the lock, nothing changes it: the
//   operations that do (_cleanup, _build_trie and _build_node, so also
//   __init__ and the release) begin with wait_until_unread(), which releases
//   the lock until those reads have paused; reads that start meanwhile keep
//   the lock. A read pauses at its meter's next question (65,536 steps at
//   most) or at its lock(); at a question it waits, without the lock, until
//   the waiting thread has taken it, so that the change is made at once.
// - One guard belongs to one thread and one call. lock() may be called at any
//   time, unlock() again after it; the destructor takes the lock back.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "surface.hpp"

namespace velarin {

// Texts shorter than this are walked with the lock held: letting other
// threads run would cost more than the walks take.
constexpr size_t unlocked_text_min = 2048;

class UnlockedRead {
public:
    explicit UnlockedRead(VelarinObject *trie);
    // For a call that reads several tries (a conversion chain's), each as
    // above: the lock is released only when every one may be read without
    // it. The array is the caller's, and outlives the guard.
    UnlockedRead(VelarinObject *const *tries, size_t count);
    ~UnlockedRead();
    UnlockedRead(const UnlockedRead &) = delete;
    UnlockedRead &operator=(const UnlockedRead &) = delete;

    // Releases the lock when the trie may be read without it; see above.
    void unlock();
    // Takes the lock back, if released.
    void lock();
    // The meter for the work between them.
    WorkMeter meter() { return WorkMeter{pause, this}; }

private:
    static bool pause(void *self);
    bool may_read_unlocked() const;
    void release();
    void take_back();
    void wait_for_writers();

    VelarinObject *one_;  // the trie of a guard for one
    VelarinObject *const *tries_;
    size_t count_;
    PyThreadState *saved_ = nullptr;  // while the lock is released
    bool wanted_ = false;             // unlock() was asked for since the last lock()
};

// Waits, with the lock released, until no thread reads `self` without the
// lock; returns with the lock held. Called first by every operation that
// changes what walks read.
void wait_until_unread(VelarinObject *self);

}  // namespace velarin
