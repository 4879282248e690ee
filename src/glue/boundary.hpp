// The boundary between the C++ core and CPython: no C++ exception crosses
// it, failed internal checks become PanicException with the wording this
// file owns, and long loops answer Ctrl-C through a Cancel hook that asks
// the interpreter for signals.
#pragma once

#include "glue/ref.hpp"
#include "core/errors.hpp"

#include <cassert>
#include <exception>
#include <new>
#include <stdexcept>

namespace velmora::glue {

// Raises PanicException(message). The class derives from BaseException, is
// created on first use and kept for the life of the process.
void raise_panic(const char* message);

// Raises PanicException with the message of a failed core check.
void raise_failure(const core::Failure& failure);

// The exception class itself (created on first use); nullptr with an error
// set if it cannot be created.
PyObject* panic_exception_type();

// Units of work between two looks for a pending signal. A unit is about a
// nanosecond of work in every loop that ticks (an edge visited, a byte
// compressed, a 64-cell word of the edit table), so Ctrl-C is answered
// within a few milliseconds while the look itself costs nothing measurable.
inline constexpr std::uint64_t kSignalPollInterval = std::uint64_t{1} << 20;

// A hook for core::Cancel: true (stop) when a signal handler raised.
core::Cancel signal_cancel();

// The C++ runtime keeps each thread's exception state in thread-local
// storage that the C library allocates on the thread's first throw, and the
// C library ends the process when that allocation fails. A first throw is
// often a std::bad_alloc, thrown just when memory has run out; so every
// entry into the module touches the state, which creates it on a thread's
// first entry while memory is still there and is a plain look-up after.
inline void prepare_thread() noexcept {
    // Kept through a volatile: the function is declared pure, so a result
    // left unused would let the compiler drop the call.
    volatile int pending = std::uncaught_exceptions();
    static_cast<void>(pending);
}

// Runs `f`, which returns a new reference or nullptr with an error set, and
// translates every C++ exception into the matching Python exception.
template <class F>
PyObject* guarded(F&& f) noexcept {
    prepare_thread();
    PyObject* result = nullptr;
    try {
        result = f();
    } catch (const std::bad_alloc&) {
        result = PyErr_NoMemory();
    } catch (const std::length_error&) {
        result = PyErr_NoMemory();
    } catch (const core::Interrupted&) {
        // The hook has set the error (KeyboardInterrupt or whatever the
        // signal handler raised).
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
        result = nullptr;
    } catch (const core::Failure& e) {
        raise_failure(e);
        result = nullptr;
    } catch (const std::exception& e) {
        raise_panic(e.what());
        result = nullptr;
    } catch (...) {
        raise_panic("unexpected C++ exception");
        result = nullptr;
    }
    assert((result == nullptr) == (PyErr_Occurred() != nullptr));
    return result;
}

}  // namespace velmora::glue
