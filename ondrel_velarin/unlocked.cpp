// Reads of a Velarin without the interpreter lock (unlocked.hpp): the count
// of such reads on each object, the threads waiting to change it, and the
// waits on both. The counts live in the object and the waits are futexes on
// their addresses, so every native module that links this file shares them.
#include "unlocked.hpp"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>

namespace velarin {
namespace {

int32_t load(const int32_t &count) { return __atomic_load_n(&count, __ATOMIC_SEQ_CST); }

// Sleeps while `count` holds `seen`; wakes early on a signal or a wake, so
// callers test again.
void wait_while(int32_t &count, int32_t seen) {
    syscall(SYS_futex, &count, FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr, 0);
}

void wake_all(int32_t &count) { syscall(SYS_futex, &count, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0); }

}  // namespace

UnlockedRead::UnlockedRead(VelarinObject *trie) : UnlockedRead(trie, nullptr) {}

UnlockedRead::UnlockedRead(VelarinObject *first, VelarinObject *second) : tries_{first, second} {
    for (VelarinObject *trie : tries_) Py_XINCREF(reinterpret_cast<PyObject *>(trie));
}

UnlockedRead::~UnlockedRead() {
    lock();
    for (VelarinObject *trie : tries_) Py_XDECREF(reinterpret_cast<PyObject *>(trie));
}

bool UnlockedRead::may_read_unlocked() const {
    for (const VelarinObject *trie : tries_) {
        if (trie == nullptr) continue;
        const TrieStore &store = trie->store;
        const CharIndexState state = store.index.state;
        const bool settled =
            store.nodes == nullptr || state == CharIndexState::built || state == CharIndexState::unavailable;
        if (!settled || store.layouts != 0 || load(trie->waiting_writers) != 0) return false;
    }
    return true;
}

void UnlockedRead::unlock() {
    wanted_ = true;
    if (saved_ == nullptr && may_read_unlocked()) release();
}

void UnlockedRead::lock() {
    take_back();
    wanted_ = false;
}

void UnlockedRead::release() {
    for (VelarinObject *trie : tries_)
        if (trie != nullptr) __atomic_add_fetch(&trie->unlocked_readers, 1, __ATOMIC_SEQ_CST);
    saved_ = PyEval_SaveThread();
}

// The read ends before the lock is taken back, so that a waiting writer need
// not wait for this thread to get the lock; the caller checks the generation.
void UnlockedRead::take_back() {
    if (saved_ == nullptr) return;
    for (VelarinObject *trie : tries_)
        if (trie != nullptr && __atomic_sub_fetch(&trie->unlocked_readers, 1, __ATOMIC_SEQ_CST) == 0 &&
            load(trie->waiting_writers) > 0)
            wake_all(trie->unlocked_readers);
    PyEval_RestoreThread(saved_);
    saved_ = nullptr;
}

// Lets a thread waiting to change the trie take the lock before this one
// reads on: waits, without the lock, until no thread waits any more.
void UnlockedRead::wait_for_writers() {
    for (VelarinObject *trie : tries_) {
        if (trie == nullptr || load(trie->waiting_writers) == 0) continue;
        Py_BEGIN_ALLOW_THREADS
        for (int32_t waiting; (waiting = load(trie->waiting_writers)) != 0;) wait_while(trie->waiting_writers, waiting);
        Py_END_ALLOW_THREADS
    }
}

bool UnlockedRead::pause(void *self) {
    auto &reading = *static_cast<UnlockedRead *>(self);
    reading.take_back();
    if (PyErr_CheckSignals() < 0) return false;
    if (reading.wanted_) {
        reading.wait_for_writers();
        if (reading.may_read_unlocked()) reading.release();
    }
    return true;
}

void wait_until_unread(VelarinObject *self) {
    if (load(self->unlocked_readers) == 0) return;
    __atomic_add_fetch(&self->waiting_writers, 1, __ATOMIC_SEQ_CST);
    Py_BEGIN_ALLOW_THREADS
    for (int32_t readers; (readers = load(self->unlocked_readers)) != 0;) wait_while(self->unlocked_readers, readers);
    Py_END_ALLOW_THREADS
    // Reads that paused for this thread go on.
    if (__atomic_sub_fetch(&self->waiting_writers, 1, __ATOMIC_SEQ_CST) == 0) wake_all(self->waiting_writers);
}

}  // namespace velarin
