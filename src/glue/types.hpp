// How the module's classes are laid out and created. Every instance is a
// Box: the object header followed by one plain C++ value. Records hold no
// PyObject*, so no class needs GC support. Class objects are created from
// type specs once per process, on first use, and kept.
#pragma once

#include "glue/boundary.hpp"
#include "glue/convert.hpp"

#include <new>
#include <utility>

namespace velmora::glue {

template <class T>
struct Box {
    PyObject_HEAD
    T value;
};

template <class T>
T& unbox(PyObject* o) noexcept {
    return reinterpret_cast<Box<T>*>(o)->value;
}

template <class T>
void box_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    reinterpret_cast<Box<T>*>(self)->value.~T();
    tp->tp_free(self);
    Py_DECREF(tp);  // heap-type instances own a reference to their class
}

// A new instance of `tp` holding `value`; nullptr with MemoryError set.
template <class T>
PyObject* box_new(PyTypeObject* tp, T value) {
    if (tp == nullptr) return nullptr;
    void* mem = PyObject_Malloc(sizeof(Box<T>));
    if (mem == nullptr) return PyErr_NoMemory();
    PyObject* o = PyObject_Init(static_cast<PyObject*>(mem), tp);
    new (&reinterpret_cast<Box<T>*>(o)->value) T(std::move(value));
    return o;
}

// Flags shared by every class: final (no Py_TPFLAGS_BASETYPE) and immutable,
// so neither a subclass nor an assignment to a class attribute can change a
// class (the cached EdgeKind members above all).
inline constexpr unsigned long kRecordFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
// Result classes, which Python cannot instantiate.
inline constexpr unsigned long kResultFlags = kRecordFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION;

// A class object created on first use from its spec and then kept for the
// life of the process. `vectorcall` (optional) is the fast constructor;
// `setup` (optional) adds class attributes before first use.
class LazyType {
public:
    using Setup = bool (*)(PyTypeObject*);
    constexpr LazyType(PyType_Spec* spec, vectorcallfunc vectorcall = nullptr, Setup setup = nullptr)
        : spec_(spec), vectorcall_(vectorcall), setup_(setup) {}

    // Borrowed; nullptr with an error set when creation fails.
    PyTypeObject* get();
    // True when `o` is an instance (the classes are final, so this is the
    // exact-type test).
    bool is(PyObject* o) { return type_ != nullptr && Py_IS_TYPE(o, type_); }

private:
    PyType_Spec* spec_;
    vectorcallfunc vectorcall_;
    Setup setup_;
    PyTypeObject* type_ = nullptr;
};

// Adapts a vectorcall constructor to tp_new (used by type.__call__ and
// explicit __new__ calls), so both roads parse arguments the same way.
PyObject* new_from_tuple(vectorcallfunc vectorcall, PyTypeObject* tp, PyObject* args, PyObject* kwargs);

// The tp_new slot of a class whose constructor is `Vectorcall`.
template <vectorcallfunc Vectorcall>
PyObject* tp_new_via(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
    return new_from_tuple(Vectorcall, tp, args, kwargs);
}

// A record parameter: an instance of exactly `type`, else TypeError naming
// the parameter ("'int' object cannot be converted to 'CFGEdge'").
template <class T>
const T* record_arg(PyObject* o, LazyType& type, const char* param, const char* class_name) {
    if (!type.is(o)) {
        type_error(param, "'%s' object cannot be converted to '%s'", Py_TYPE(o)->tp_name, class_name);
        return nullptr;
    }
    return &unbox<T>(o);
}

}  // namespace velmora::glue
