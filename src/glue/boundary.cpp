#include "glue/boundary.hpp"

namespace velmora::glue {

namespace {
PyObject* g_panic = nullptr;  // kept for the life of the process

bool signals_pending(void*) { return PyErr_CheckSignals() != 0; }
}  // namespace

PyObject* panic_exception_type() {
    if (g_panic == nullptr) {
        g_panic = PyErr_NewException("velmora.PanicException", PyExc_BaseException, nullptr);
    }
    return g_panic;
}

void raise_panic(const char* message) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // MemoryError already set
    Ref text = Ref::steal(PyUnicode_FromString(message));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

core::Cancel signal_cancel(std::uint64_t every) { return core::Cancel(&signals_pending, nullptr, every); }

}  // namespace velmora::glue
