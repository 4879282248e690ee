// The one set of argument and result conversions that every constructor,
// method and function uses. Every helper returns false (or nullptr) with a
// Python exception set; every TypeError names the parameter in CPython's
// own voice: "argument 'id': 'float' object cannot be interpreted as an
// integer".
#pragma once

#include "glue/ref.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace velmora::glue {

// ---------------------------------------------------------------- arguments

// The parameters of one callable, for the fast calling convention.
struct Signature {
    const char* callable;          // "SourceSpan", "cycle_basis", ...
    const char* const* names;      // parameter names in order
    Py_ssize_t count;              // number of parameters
    Py_ssize_t required;           // the first `required` have no default
};

// Maps positional and keyword arguments onto the parameters: out[i] is a
// borrowed reference, or nullptr for an omitted optional parameter.
bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out);

inline bool absent_or_none(PyObject* o) { return o == nullptr || o == Py_None; }

// ---------------------------------------------------------------- errors

// TypeError "argument '<param>': <message>".
void type_error(const char* param, const char* format, ...);
// Rewrites a pending TypeError or OverflowError so it names `param`;
// other exceptions pass unchanged. Always returns false.
bool name_param(const char* param);

// ---------------------------------------------------------------- scalars

// Unsigned 64-bit: int or any object with __index__; negative or >= 2**64
// raises OverflowError, anything else TypeError.
bool to_u64(PyObject* o, const char* param, std::uint64_t& out);
// IEEE double: float or anything float() accepts.
bool to_f64(PyObject* o, const char* param, double& out);
// str only, as UTF-8 (UnicodeEncodeError for unpaired surrogates). The view
// lives as long as the str object.
bool to_text_view_general(PyObject* o, const char* param, std::string_view& out);
inline bool to_text_view(PyObject* o, const char* param, std::string_view& out) {
    // ASCII text is its own UTF-8: the common case needs no call at all.
    if (PyUnicode_Check(o) && PyUnicode_IS_ASCII(o)) {
        out = std::string_view(static_cast<const char*>(PyUnicode_DATA(o)),
                               static_cast<std::size_t>(PyUnicode_GET_LENGTH(o)));
        return true;
    }
    return to_text_view_general(o, param, out);
}
bool to_text(PyObject* o, const char* param, std::string& out);

// ---------------------------------------------------------------- containers

// Calls item(PyObject* borrowed) for every item of a sequence argument, in
// order. A str is refused with "Can't extract `str` to `Vec`"; a
// non-sequence with TypeError. `reserve(n)` is called once with the
// reported length (a hint only).
template <class Reserve, class Item>
bool for_each_item(PyObject* seq, const char* param, Reserve&& reserve, Item&& item);

// Calls pair(key, value) (borrowed) for every entry of a dict argument,
// in the dict's own order (a subclass's overridden methods are not used).
template <class Pair>
bool for_each_entry(PyObject* dict, const char* param, Pair&& pair);

// ---------------------------------------------------------------- results

inline PyObject* from_u64(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
inline PyObject* from_f64(double v) { return PyFloat_FromDouble(v); }
inline PyObject* from_text(std::string_view s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// A new list of n items made by make(i), which returns a new reference or
// nullptr with an error set.
template <class Make>
PyObject* new_list(std::size_t n, Make&& make);

// ---------------------------------------------------------------- templates

bool refuse_str_sequence(PyObject* seq, const char* param);
bool refuse_non_sequence(PyObject* seq, const char* param);

template <class Reserve, class Item>
bool for_each_item(PyObject* seq, const char* param, Reserve&& reserve, Item&& item) {
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
        // Items are held while converted: a conversion may run Python code
        // (__index__) that shrinks the list under us.
        reserve(static_cast<std::size_t>(Py_SIZE(seq)));
        const bool is_list = PyList_CheckExact(seq);
        for (Py_ssize_t i = 0; i < Py_SIZE(seq); ++i) {
            Ref it = Ref::borrow(is_list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i));
            if (!item(it.get())) return false;
        }
        return true;
    }
    if (PyUnicode_Check(seq)) return refuse_str_sequence(seq, param);
    if (!PySequence_Check(seq)) return refuse_non_sequence(seq, param);
    Py_ssize_t hint = PyObject_LengthHint(seq, 0);
    if (hint < 0) return name_param(param);
    // A hint is not a promise: never trust it with more than a modest
    // reservation.
    reserve(static_cast<std::size_t>(hint < (1 << 20) ? hint : (1 << 20)));
    Ref iter = Ref::steal(PyObject_GetIter(seq));
    if (!iter) return name_param(param);
    while (true) {
        Ref it = Ref::steal(PyIter_Next(iter.get()));
        if (!it) break;
        if (!item(it.get())) return false;
    }
    return !PyErr_Occurred();
}

bool refuse_non_dict(PyObject* o, const char* param);

// True when converting `o` cannot run Python code: exact ints, floats and
// strs, and final immutable types (the module's own records). Anything
// else may carry an __index__ or __float__ that mutates the dict being read.
inline bool inert(PyObject* o) {
    if (PyLong_CheckExact(o) || PyUnicode_CheckExact(o) || PyFloat_CheckExact(o)) return true;
    const unsigned long flags = Py_TYPE(o)->tp_flags;
    return (flags & Py_TPFLAGS_IMMUTABLETYPE) != 0 && (flags & Py_TPFLAGS_BASETYPE) == 0;
}

template <class Pair>
bool for_each_entry(PyObject* dict, const char* param, Pair&& pair) {
    if (!PyDict_Check(dict)) return refuse_non_dict(dict, param);
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    bool plain = true;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!inert(key) || !inert(value)) {
            plain = false;
            break;
        }
    }
    if (plain) {
        pos = 0;
        while (PyDict_Next(dict, &pos, &key, &value)) {
            if (!pair(key, value)) return false;
        }
        return true;
    }
    // Conversions may run Python code: read a snapshot that owns its
    // entries, so the dict can change (or die) meanwhile without harm.
    Ref items = Ref::steal(PyDict_Items(dict));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* kv = PyList_GET_ITEM(items.get(), i);
        if (!pair(PyTuple_GET_ITEM(kv, 0), PyTuple_GET_ITEM(kv, 1))) return false;
    }
    return true;
}

template <class Make>
PyObject* new_list(std::size_t n, Make&& make) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = make(i);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

}  // namespace velmora::glue
