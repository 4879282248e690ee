#include "glue/boundary.hpp"

#include <iterator>

namespace velmora::glue {

namespace {
PyObject* g_panic = nullptr;  // kept for the life of the process

bool signals_pending(void*) { return PyErr_CheckSignals() != 0; }

void raise_panic_object(PyObject* text) {
    if (text == nullptr) return;  // MemoryError already set
    Ref owned = Ref::steal(text);
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;
    PyErr_SetObject(type, owned.get());
}

// The text of every check the core can fail, indexed by core::Fault. The
// core names the check; the words, fixed by the module's contract where
// users can meet them, live here.
constexpr const char* kFaultText[] = {
    "CFG has a back-edge not tagged LOOPBACK/CONTINUE \xE2\x80\x94 builder invariant violated",
    "no entry found for key",
    "called `Result::unwrap()` on an `Err` value",
    "compressed_ratio of an empty text",
    "cycle search lost its way",
    "graph exceeds the 32-bit node and edge numbering",
    "number of blocks exceeds the 32-bit index range",
    "number of admitted edges exceeds the 32-bit index range",
    "number of distinct ids exceeds the 32-bit index range",
    "number of distinct texts exceeds the 32-bit index range",
};
static_assert(std::size(kFaultText) == static_cast<std::size_t>(core::Fault::kTooManyTexts) + 1,
              "one text per fault");

}  // namespace

PyObject* panic_exception_type() {
    if (g_panic == nullptr) {
        g_panic = PyErr_NewException("velmora.PanicException", PyExc_BaseException, nullptr);
    }
    return g_panic;
}

void raise_panic(const char* message) { raise_panic_object(PyUnicode_FromString(message)); }

void raise_failure(const core::Failure& failure) {
    const char* text = kFaultText[static_cast<std::size_t>(failure.fault)];
    switch (failure.fault) {
        case core::Fault::kCycle:
            raise_panic_object(PyUnicode_FromFormat("%s: Cycle(NodeIndex(%llu))", text,
                                                    static_cast<unsigned long long>(failure.node)));
            return;
        case core::Fault::kCompressor:
            raise_panic_object(PyUnicode_FromFormat("%s: %s", text, failure.detail != nullptr ? failure.detail : ""));
            return;
        default:
            raise_panic(text);
            return;
    }
}

core::Cancel signal_cancel() { return core::Cancel(&signals_pending, nullptr, kSignalPollInterval); }

}  // namespace velmora::glue
