#include "context/object_locks.hpp"

namespace zq {
namespace {

// How long a waiter sleeps between looks at pending signals: Ctrl-C must
// reach a thread waiting for the lock, and a simulated interrupt does not
// wake a blocked wait.
constexpr PY_TIMEOUT_T kWaitSliceMicroseconds = 20000;

}  // namespace

ObjectLocks::~ObjectLocks() {
    for (auto& [object, entry] : entries_) {
        if (entry->lock) PyThread_free_lock(entry->lock);
    }
    for (PyThread_type_lock lock : spare_locks_) PyThread_free_lock(lock);
}

ObjectLocks::Entry* ObjectLocks::entry_for(const PyObject* object) {
    auto found = entries_.find(object);
    if (found != entries_.end()) return found->second.get();
    auto entry = std::make_unique<Entry>();
    if (!spare_locks_.empty()) {
        entry->lock = spare_locks_.back();
        spare_locks_.pop_back();
    } else {
        entry->lock = PyThread_allocate_lock();
        if (!entry->lock) {
            PyErr_NoMemory();
            return nullptr;
        }
    }
    Entry* raw = entry.get();
    entries_.emplace(object, std::move(entry));
    return raw;
}

void ObjectLocks::forget_if_idle(const PyObject* object, Entry& entry) {
    if (entry.depth > 0 || entry.waiters > 0) return;
    // Runs from a scope guard's destructor: keeping the lock for reuse is an
    // optimisation, so a failed allocation just frees it.
    try {
        spare_locks_.push_back(entry.lock);
    } catch (...) {
        PyThread_free_lock(entry.lock);
    }
    entries_.erase(object);
}

bool ObjectLocks::acquire(const PyObject* object) {
    Entry* entry = entry_for(object);
    if (!entry) return false;
    const unsigned long me = PyThread_get_thread_ident();
    if (entry->depth > 0 && entry->owner == me) {
        ++entry->depth;
        return true;
    }
    if (PyThread_acquire_lock(entry->lock, NOWAIT_LOCK) != PY_LOCK_ACQUIRED) {
        ++entry->waiters;
        for (;;) {
            PyLockStatus status;
            Py_BEGIN_ALLOW_THREADS
            status = PyThread_acquire_lock_timed(entry->lock, kWaitSliceMicroseconds, 0);
            Py_END_ALLOW_THREADS
            if (status == PY_LOCK_ACQUIRED) break;
            if (PyErr_CheckSignals() < 0) {
                --entry->waiters;
                forget_if_idle(object, *entry);
                return false;
            }
        }
        --entry->waiters;
    }
    entry->owner = me;
    entry->depth = 1;
    return true;
}

void ObjectLocks::release(const PyObject* object) {
    auto found = entries_.find(object);
    if (found == entries_.end()) return;
    Entry& entry = *found->second;
    if (--entry.depth > 0) return;
    entry.owner = 0;
    PyThread_release_lock(entry.lock);
    forget_if_idle(object, entry);
}

}  // namespace zq
