#include "glue/convert.hpp"

#include <cstdarg>
#include <cstring>
#include <vector>

namespace velmora::glue {

// ---------------------------------------------------------------- errors

void type_error(const char* param, const char* format, ...) {
    va_list va;
    va_start(va, format);
    Ref message = Ref::steal(PyUnicode_FromFormatV(format, va));
    va_end(va);
    if (!message) return;
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", param, message.get());
}

bool name_param(const char* param) {
    PyObject* type = nullptr;
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
        type = PyExc_OverflowError;
    } else if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        type = PyExc_TypeError;
    } else {
        return false;
    }
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref text = Ref::steal(PyObject_Str(exc.get()));
    if (!text) return false;
    PyErr_Format(type, "argument '%s': %U", param, text.get());
    return false;
}

// ---------------------------------------------------------------- arguments

namespace {

bool keyword_index(const Signature& sig, PyObject* key, Py_ssize_t& index) {
    if (!PyUnicode_Check(key)) {
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        return false;
    }
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) {
            index = i;
            return true;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.callable, key);
    return false;
}

bool place_keyword(const Signature& sig, PyObject* key, PyObject* value, Py_ssize_t nargs, PyObject** out) {
    Py_ssize_t index = 0;
    if (!keyword_index(sig, key, index)) return false;
    if (index < nargs || out[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.callable,
                     sig.names[index]);
        return false;
    }
    out[index] = value;
    return true;
}

bool check_positional(const Signature& sig, Py_ssize_t nargs, PyObject** out) {
    if (nargs > sig.count) {
        if (sig.count == 0) {
            PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", sig.callable, nargs);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() takes at most %zd argument%s (%zd given)", sig.callable,
                         sig.count, sig.count == 1 ? "" : "s", nargs);
        }
        return false;
    }
    for (Py_ssize_t i = 0; i < sig.count; ++i) out[i] = nullptr;
    return true;
}

bool check_required(const Signature& sig, PyObject** out) {
    for (Py_ssize_t i = 0; i < sig.required; ++i) {
        if (out[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", sig.callable,
                         sig.names[i], i + 1);
            return false;
        }
    }
    return true;
}

}  // namespace

bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out) {
    if (!check_positional(sig, nargs, out)) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, out)) return false;
        }
    }
    return check_required(sig, out);
}

// ---------------------------------------------------------------- scalars

namespace {

bool long_to_u64(PyObject* o, const char* param, std::uint64_t& out) {
    if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) {
        Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o));
        if (v >= 0) {
            out = static_cast<std::uint64_t>(v);
            return true;
        }
    }
    unsigned long long v = PyLong_AsUnsignedLongLong(o);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return name_param(param);
    out = v;
    return true;
}

}  // namespace

bool to_u64(PyObject* o, const char* param, std::uint64_t& out) {
    if (PyLong_Check(o)) return long_to_u64(o, param, out);
    if (!PyIndex_Check(o)) {
        type_error(param, "'%s' object cannot be interpreted as an integer", Py_TYPE(o)->tp_name);
        return false;
    }
    Ref index = Ref::steal(PyNumber_Index(o));
    if (!index) return name_param(param);
    return long_to_u64(index.get(), param, out);
}

bool to_f64(PyObject* o, const char* param, double& out) {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return name_param(param);
    out = v;
    return true;
}

bool to_text_view_general(PyObject* o, const char* param, std::string_view& out) {
    if (!PyUnicode_Check(o)) {
        type_error(param, "'%s' object cannot be converted to 'str'", Py_TYPE(o)->tp_name);
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(o, &size);
    if (data == nullptr) return false;  // UnicodeEncodeError, as the interpreter raises it
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool to_text(PyObject* o, const char* param, std::string& out) {
    std::string_view view;
    if (!to_text_view(o, param, view)) return false;
    out.assign(view.data(), view.size());
    return true;
}

// ---------------------------------------------------------------- containers

bool refuse_str_sequence(PyObject*, const char* param) {
    type_error(param, "Can't extract `str` to `Vec`");
    return false;
}

bool refuse_non_sequence(PyObject* seq, const char* param) {
    type_error(param, "'%s' object cannot be converted to 'Sequence'", Py_TYPE(seq)->tp_name);
    return false;
}

bool refuse_non_dict(PyObject* o, const char* param) {
    type_error(param, "'%s' object cannot be converted to 'dict'", Py_TYPE(o)->tp_name);
    return false;
}

}  // namespace velmora::glue
