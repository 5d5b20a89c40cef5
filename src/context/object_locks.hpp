// One exchange at a time per driver object.
//
// The driver waits with the interpreter lock released (time.sleep), so two
// threads calling one object would interleave their frames and take each
// other's replies.  Each call on an object therefore holds that object's
// lock.  The lock is re-entrant (open runs the identity read-out, which
// runs the exchange, all on one thread), waited for without the
// interpreter lock, and interruptible by Ctrl-C.  It lives in a side table
// keyed by the object's identity and is there only while some thread holds
// or waits for it, so the objects themselves carry nothing extra.
#pragma once

#include <memory>
#include <vector>

#include "pyref/ref.hpp"
#include "pythread.h"

namespace zq {

class ObjectLocks {
public:
    ObjectLocks() = default;
    ObjectLocks(const ObjectLocks&) = delete;
    ObjectLocks& operator=(const ObjectLocks&) = delete;
    ~ObjectLocks();

    // Call with the interpreter lock held.  Returns once the calling thread
    // holds the lock of `object`; false with KeyboardInterrupt (or another
    // signal handler's error) set when interrupted while waiting.
    bool acquire(const PyObject* object);
    // Call with the interpreter lock held, once per successful acquire.
    void release(const PyObject* object);

private:
    struct Entry {
        const PyObject* object = nullptr;  // null: the entry is free for reuse
        PyThread_type_lock lock = nullptr;
        unsigned long owner = 0;  // thread holding it, when depth > 0
        long depth = 0;           // re-entries by the owner
        long waiters = 0;         // threads blocked in acquire
    };
    Entry* find(const PyObject* object);
    Entry* entry_for(const PyObject* object);
    static void forget_if_idle(Entry& entry);

    // As many entries as objects ever in use at once (a handful: one per
    // thread at most), searched linearly.  Entries are never freed before
    // the table, so a waiter's entry stays put while it sleeps, and a call
    // on an idle object allocates nothing.
    std::vector<std::unique_ptr<Entry>> entries_;
};

// Holds an object's lock for one scope.
class ObjectLockGuard {
public:
    ObjectLockGuard(ObjectLocks& locks, const PyObject* object)
        : locks_(locks), object_(object), held_(locks.acquire(object)) {}
    ~ObjectLockGuard() {
        if (held_) locks_.release(object_);
    }
    ObjectLockGuard(const ObjectLockGuard&) = delete;
    ObjectLockGuard& operator=(const ObjectLockGuard&) = delete;
    bool held() const { return held_; }

private:
    ObjectLocks& locks_;
    const PyObject* object_;
    bool held_;
};

}  // namespace zq
