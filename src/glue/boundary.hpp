// The boundary between the C++ core and CPython: no C++ exception crosses
// it, failed internal checks become PanicException, and long loops answer
// Ctrl-C through a Cancel hook that asks the interpreter for signals.
#pragma once

#include "glue/ref.hpp"
#include "core/errors.hpp"

#include <cassert>
#include <new>
#include <stdexcept>

namespace velmora::glue {

// Raises PanicException(message). The class derives from BaseException, is
// created on first use and kept for the life of the process.
void raise_panic(const char* message);

// The exception class itself (created on first use); nullptr with an error
// set if it cannot be created.
PyObject* panic_exception_type();

// A hook for core::Cancel: true (stop) when a signal handler raised.
core::Cancel signal_cancel(std::uint64_t every);

// Runs `f`, which returns a new reference or nullptr with an error set, and
// translates every C++ exception into the matching Python exception.
template <class F>
PyObject* guarded(F&& f) noexcept {
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
    } catch (const core::Panic& e) {
        raise_panic(e.what());
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

// The same for slots that return an int status (0 ok, -1 error).
template <class F>
int guarded_status(F&& f) noexcept {
    PyObject* r = guarded([&]() -> PyObject* {
        if (f() < 0) return nullptr;
        Py_RETURN_NONE;
    });
    if (r == nullptr) return -1;
    Py_DECREF(r);
    return 0;
}

}  // namespace velmora::glue
