#include "glue/types.hpp"

#include <vector>

namespace velmora::glue {

PyTypeObject* LazyType::get() {
    if (type_ != nullptr) return type_;
    Ref t = Ref::steal(PyType_FromSpec(spec_));
    if (!t) return nullptr;
    auto* tp = reinterpret_cast<PyTypeObject*>(t.get());
    if (vectorcall_ != nullptr) tp->tp_vectorcall = vectorcall_;
    if (setup_ != nullptr) {
        // Published before setup so that setup can build instances of it.
        type_ = tp;
        if (!setup_(tp)) {
            type_ = nullptr;
            return nullptr;
        }
        PyType_Modified(tp);
    }
    type_ = reinterpret_cast<PyTypeObject*>(t.release());
    return type_;
}

PyObject* new_from_tuple(vectorcallfunc vectorcall, PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs != nullptr ? PyDict_GET_SIZE(kwargs) : 0;
    if (nkw == 0) {
        return vectorcall(reinterpret_cast<PyObject*>(tp), &PyTuple_GET_ITEM(args, 0),
                          static_cast<size_t>(nargs), nullptr);
    }
    return guarded([&]() -> PyObject* {
        std::vector<PyObject*> stack(static_cast<std::size_t>(nargs + nkw));
        for (Py_ssize_t i = 0; i < nargs; ++i) stack[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
        Ref names = Ref::steal(PyTuple_New(nkw));
        if (!names) return nullptr;
        Py_ssize_t pos = 0;
        Py_ssize_t k = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            PyTuple_SET_ITEM(names.get(), k, Py_NewRef(key));
            stack[static_cast<std::size_t>(nargs + k)] = value;
            ++k;
        }
        return vectorcall(reinterpret_cast<PyObject*>(tp), stack.data(), static_cast<size_t>(nargs), names.get());
    });
}

bool refuse_record(PyObject* o, const LazyType& type, const char* param) {
    type_error(param, "'%s' object cannot be converted to '%s'", Py_TYPE(o)->tp_name, type.name());
    return false;
}

}  // namespace velmora::glue
