#include "context/object_locks.hpp"

namespace zq {
namespace {

// How long a waiter sleeps between looks at pending signals: Ctrl-C must
// reach a thread waiting for the lock, and a simulated interrupt does not
// wake a blocked wait.
constexpr PY_TIMEOUT_T kWaitSliceMicroseconds = 20000;

}  // namespace

ObjectLocks::~ObjectLocks() {
    for (auto& entry : entries_) PyThread_free_lock(entry->lock);
}

ObjectLocks::Entry* ObjectLocks::find(const PyObject* object) {
    for (auto& entry : entries_) {
        if (entry->object == object) return entry.get();
    }
    return nullptr;
}

ObjectLocks::Entry* ObjectLocks::entry_for(const PyObject* object) {
    if (Entry* entry = find(object)) return entry;
    if (Entry* free_entry = find(nullptr)) {
        free_entry->object = object;
        return free_entry;
    }
    auto entry = std::make_unique<Entry>();
    entry->lock = PyThread_allocate_lock();
    if (!entry->lock) {
        PyErr_NoMemory();
        return nullptr;
    }
    entry->object = object;
    entries_.push_back(std::move(entry));
    return entries_.back().get();
}

void ObjectLocks::forget_if_idle(Entry& entry) {
    if (entry.depth == 0 && entry.waiters == 0) entry.object = nullptr;
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
                forget_if_idle(*entry);
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
    Entry* entry = find(object);
    if (!entry || --entry->depth > 0) return;
    entry->owner = 0;
    PyThread_release_lock(entry->lock);
    forget_if_idle(*entry);
}

}  // namespace zq
