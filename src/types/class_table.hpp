// The class objects of one catalogue, each built on its first request and
// then kept for the process (until the interpreter that built it finalises).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <utility>

#include "call.hpp"

namespace tavik {

// Safe without the interpreter lock in its own right (a free-threaded
// interpreter has none, and the import lock covers imports only):
// - a class is published with a release store once complete, and every
//   reader loads it with acquire, so whoever sees it sees it whole;
// - builds are serialised by the table's PyMutex, which detaches a waiting
//   thread from the interpreter (it releases the GIL, or lets a
//   stop-the-world pause of a free-threaded interpreter go ahead), so waiting
//   can deadlock neither against a thread holding the GIL nor against the
//   collector;
// - the mutex is not re-entrant: a request from the building thread itself
//   (its build ran a finaliser that asks for the class) is answered without
//   it, with the class as far as it is built.
template <std::size_t N>
class ClassTable {
public:
    // The class of row `index`.  `build(index, made)` builds it, or completes
    // a class left in `made` by an earlier, failed or unfinished, build; it
    // stores the class in `made` as soon as it exists.  Borrowed; null with
    // an exception set.
    template <class Build>
    PyTypeObject* get(std::size_t index, Build build) noexcept {
        if (PyTypeObject* type = ready_[index].load(std::memory_order_acquire)) [[likely]]
            return type;
        const unsigned long me = PyThread_get_thread_ident();
        // Only this thread ever stores its own ID here, and it clears it before it unlocks.
        if (builder_.load(std::memory_order_relaxed) == me) {
            if (made_[index] != nullptr) return made_[index];
            return build(index, made_[index]) ? made_[index] : nullptr;
        }
        PyMutex_Lock(&lock_);
        builder_.store(me, std::memory_order_relaxed);
        PyTypeObject* type = ready_[index].load(std::memory_order_acquire);  // another thread's, meanwhile
        if (type == nullptr && build(index, made_[index])) {
            type = made_[index];
            ready_[index].store(type, std::memory_order_release);
        }
        builder_.store(0, std::memory_order_relaxed);
        PyMutex_Unlock(&lock_);
        return type;
    }

    // The class of row `index` if it is built, else null.  Borrowed.
    PyTypeObject* built(std::size_t index) const noexcept { return ready_[index].load(std::memory_order_acquire); }

    // Drops the classes of an interpreter that has finalised (no Python API
    // is called; no other thread runs then): the next request builds anew.
    void forget() noexcept {
        for (std::size_t i = 0; i < N; ++i) {
            ready_[i].store(nullptr, std::memory_order_relaxed);
            made_[i] = nullptr;
        }
    }

private:
    std::atomic<PyTypeObject*> ready_[N] = {};
    PyTypeObject* made_[N] = {};  // written under lock_, or by its holder
    std::atomic<unsigned long> builder_{0};
    PyMutex lock_ = {};
};

// The type specs of a catalogue's classes, one per row, in row order:
// `spec.template operator()<I>()` gives row I's.
template <std::size_t N, class Spec>
constexpr std::array<PyType_Spec*, N> spec_table(Spec spec) {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return std::array<PyType_Spec*, N>{spec.template operator()<I>()...};
    }(std::make_index_sequence<N>{});
}

// Creates the class of `spec` into `made`, unless a request from inside the
// creation made one already.  False with RuntimeError naming the class.
inline bool create_class(PyType_Spec* spec, const char* name, PyTypeObject*& made) noexcept {
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
    if (type == nullptr) return raise_init_error("An error occurred while initializing class ", name);
    if (made != nullptr) {
        Py_DECREF(type);
    } else {
        made = type;
    }
    return true;
}

// The last step of every tp_dealloc here: the instance's memory, then the
// reference every instance holds to its heap type.
inline void free_instance(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace tavik
