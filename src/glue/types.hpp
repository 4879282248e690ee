// How the module's classes are laid out and created. Every instance is a
// Box: the object header followed by one plain C++ value. Records hold no
// PyObject*, so no class needs GC support. Class objects are created from
// PyType_Spec descriptions once per process, on first use, and kept.
#pragma once

#include "core/rc.hpp"
#include "glue/boundary.hpp"
#include "glue/convert.hpp"

#include <cstring>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

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

// The record a Box holds: the value itself, or for values that records
// share (nodes, blocks, a cycle basis: those counted by core::Rc) the value
// its Rc points to.
template <class T>
const T& record_of(PyObject* o) noexcept {
    if constexpr (std::is_base_of_v<core::RcBase, T>) {
        return *unbox<core::Rc<const T>>(o);
    } else {
        return unbox<T>(o);
    }
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

// The PyType_Spec of a class whose instances are Box<Stored>.
template <class Stored>
constexpr PyType_Spec box_spec(const char* name, unsigned long flags, PyType_Slot* slots) {
    return {
        .name = name,
        .basicsize = sizeof(Box<Stored>),
        .itemsize = 0,
        .flags = static_cast<unsigned int>(flags),
        .slots = slots,
    };
}

// A class object created on first use from its PyType_Spec and then kept
// for the life of the process. `vectorcall` (optional) is the fast
// constructor; `setup` (optional) adds class attributes before first use.
class LazyType {
public:
    using Setup = bool (*)(PyTypeObject*);
    constexpr LazyType(PyType_Spec* spec, vectorcallfunc vectorcall = nullptr, Setup setup = nullptr)
        : spec_(spec), vectorcall_(vectorcall), setup_(setup) {}

    // Borrowed; nullptr with an error set when creation fails.
    PyTypeObject* get();
    // The bare class name, as users write it ("CFGEdge").
    const char* name() const noexcept {
        const char* dot = std::strrchr(spec_->name, '.');
        return dot != nullptr ? dot + 1 : spec_->name;
    }
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

// Refuses `o` where an instance of exactly `type` was expected, naming the
// parameter: "argument 'edges': 'int' object cannot be converted to
// 'CFGEdge'". Always returns false.
bool refuse_record(PyObject* o, const LazyType& type, const char* param);

// A record parameter: an instance of exactly `type`, else TypeError.
template <class T>
const T* record_arg(PyObject* o, LazyType& type, const char* param) {
    if (!type.is(o)) {
        refuse_record(o, type, param);
        return nullptr;
    }
    return &unbox<T>(o);
}

// A sequence parameter of records of exactly `type`: appends what each Box
// holds (for shared values, a new reference to the value), in order.
template <class Stored>
bool records_arg(PyObject* seq, const char* param, LazyType& type, std::vector<Stored>& out) {
    PyTypeObject* tp = type.get();
    if (tp == nullptr) return false;
    return for_each_item(
        seq, param, [&](std::size_t n) { out.reserve(n); },
        [&](PyObject* item) {
            if (!Py_IS_TYPE(item, tp)) return refuse_record(item, type, param);
            out.push_back(unbox<Stored>(item));
            return true;
        });
}

// ---------------------------------------------------------------- attributes

// New Python objects for the plain field types of records. None of them
// throws, so their getters need no guard.
inline PyObject* to_python(std::uint64_t v) noexcept { return from_u64(v); }
inline PyObject* to_python(double v) noexcept { return from_f64(v); }
inline PyObject* to_python(const std::string& s) noexcept { return from_text(s); }
inline PyObject* to_python(const char* s) noexcept { return from_text(s); }
inline PyObject* to_python(const std::optional<std::string>& s) noexcept {
    if (!s) Py_RETURN_NONE;
    return from_text(*s);
}

template <class M>
struct MemberOf;
template <class C, class V>
struct MemberOf<V C::*> {
    using Record = C;
};

// The getter of a record attribute: `Field` is a data member or a const
// member function of the stored record, and its value becomes a Python
// object through `Convert` (a function of the value) or, by default, the
// to_python overload of its type. Only a conversion that may throw (one
// that copies C++ values) runs guarded: a plain field is read directly.
template <auto Field, auto Convert = nullptr>
PyObject* member_get(PyObject* self, void*) {
    using Record = typename MemberOf<decltype(Field)>::Record;
    static_assert(std::is_nothrow_invocable_v<decltype(Field), const Record&>);
    const auto& value = std::invoke(Field, record_of<Record>(self));
    if constexpr (std::is_same_v<decltype(Convert), std::nullptr_t>) {
        static_assert(noexcept(to_python(value)));
        return to_python(value);
    } else if constexpr (noexcept(Convert(value))) {
        return Convert(value);
    } else {
        return guarded([&] { return Convert(value); });
    }
}

// One read-only attribute entry of a getset table.
template <auto Field, auto Convert = nullptr>
constexpr PyGetSetDef member(const char* name, const char* doc = nullptr) {
    return {name, member_get<Field, Convert>, nullptr, doc, nullptr};
}

// The getset table's end marker.
inline constexpr PyGetSetDef kGetSetEnd = {nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace velmora::glue
