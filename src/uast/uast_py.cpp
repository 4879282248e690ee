#include "uast/uast_py.hpp"

namespace velmora::glue {

using uast::Node;
using uast::NodePtr;

// ---------------------------------------------------------------- SourceSpan

namespace {

PyObject* span_vectorcall(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static const char* const names[] = {"file",         "start_byte", "end_byte",  "start_line",
                                        "start_column", "end_line",   "end_column"};
    static const Signature sig{"SourceSpan", names, 7, 7};
    return guarded([&]() -> PyObject* {
        PyObject* a[7];
        if (!parse_args(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
        uast::SourceSpan span;
        if (a[0] != Py_None) {
            std::string file;
            if (!to_text(a[0], "file", file)) return nullptr;
            span.file = std::move(file);
        }
        if (!to_u64(a[1], "start_byte", span.start_byte) || !to_u64(a[2], "end_byte", span.end_byte) ||
            !to_u64(a[3], "start_line", span.start_line) || !to_u64(a[4], "start_column", span.start_column) ||
            !to_u64(a[5], "end_line", span.end_line) || !to_u64(a[6], "end_column", span.end_column)) {
            return nullptr;
        }
        return box_new(source_span_type.get(), std::move(span));
    });
}

using Span = uast::SourceSpan;

PyGetSetDef span_getset[] = {
    member<&Span::file>("file"),
    member<&Span::start_byte>("start_byte"),
    member<&Span::end_byte>("end_byte"),
    member<&Span::start_line>("start_line"),
    member<&Span::start_column>("start_column"),
    member<&Span::end_line>("end_line"),
    member<&Span::end_column>("end_column"),
    kGetSetEnd,
};

PyType_Slot span_slots[] = {
    {Py_tp_doc, const_cast<char*>("SourceSpan(file, start_byte, end_byte, start_line, start_column, end_line, "
                                  "end_column)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(tp_new_via<span_vectorcall>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<Span>)},
    {Py_tp_getset, span_getset},
    {0, nullptr},
};

PyType_Spec span_spec = box_spec<Span>("builtins.SourceSpan", kRecordFlags, span_slots);

// ---------------------------------------------------------------- NativeRef

PyObject* native_vectorcall(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static const char* const names[] = {"parser", "parser_version", "node_kind"};
    static const Signature sig{"NativeRef", names, 3, 3};
    return guarded([&]() -> PyObject* {
        PyObject* a[3];
        if (!parse_args(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
        uast::NativeRef native;
        if (!to_text(a[0], "parser", native.parser) || !to_text(a[1], "parser_version", native.parser_version) ||
            !to_text(a[2], "node_kind", native.node_kind)) {
            return nullptr;
        }
        return box_new(native_ref_type.get(), std::move(native));
    });
}

using Native = uast::NativeRef;

PyGetSetDef native_getset[] = {
    member<&Native::parser>("parser"),
    member<&Native::parser_version>("parser_version"),
    member<&Native::node_kind>("node_kind"),
    kGetSetEnd,
};

PyType_Slot native_slots[] = {
    {Py_tp_doc, const_cast<char*>("NativeRef(parser, parser_version, node_kind)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(tp_new_via<native_vectorcall>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<Native>)},
    {Py_tp_getset, native_getset},
    {0, nullptr},
};

PyType_Spec native_spec = box_spec<Native>("builtins.NativeRef", kRecordFlags, native_slots);

// ---------------------------------------------------------------- UASTNode

bool attributes_arg(PyObject* o, std::vector<std::pair<std::string, std::string>>& out) {
    if (o == nullptr || o == Py_None) return true;
    if (PyDict_Check(o)) out.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(o)));
    return for_each_entry(o, "attributes", [&](PyObject* key, PyObject* value) {
        std::string k;
        std::string v;
        if (!to_text(key, "attributes", k) || !to_text(value, "attributes", v)) return false;
        out.emplace_back(std::move(k), std::move(v));
        return true;
    });
}

PyObject* node_vectorcall(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static const char* const names[] = {"kind", "lang", "span", "native", "attributes", "children", "id"};
    static const Signature sig{"UASTNode", names, 7, 4};
    return guarded([&]() -> PyObject* {
        PyObject* a[7];
        if (!parse_args(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
        NodePtr node = NodePtr::adopt(new Node());
        auto& n = const_cast<Node&>(*node);
        if (!to_text(a[0], "kind", n.kind) || !to_text(a[1], "lang", n.lang)) return nullptr;
        const Span* span = record_arg<Span>(a[2], source_span_type, "span");
        if (span == nullptr) return nullptr;
        n.span = *span;
        const Native* native = record_arg<Native>(a[3], native_ref_type, "native");
        if (native == nullptr) return nullptr;
        n.native = *native;
        if (!attributes_arg(a[4], n.attributes)) return nullptr;
        if (!absent_or_none(a[5]) && !node_list_arg(a[5], "children", n.children)) return nullptr;
        if (a[6] != nullptr && !to_text(a[6], "id", n.id)) return nullptr;
        return box_new(uast_node_type.get(), std::move(node));
    });
}

PyObject* span_object(const Span& span) { return box_new(source_span_type.get(), span); }
PyObject* native_object(const Native& native) { return box_new(native_ref_type.get(), native); }

PyObject* attributes_dict(const std::vector<std::pair<std::string, std::string>>& attributes) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [k, v] : attributes) {
        Ref key = Ref::steal(from_text(k));
        Ref value = Ref::steal(from_text(v));
        if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyGetSetDef node_getset[] = {
    member<&Node::kind>("kind"),
    member<&Node::lang>("lang"),
    member<&Node::span, span_object>("span"),
    member<&Node::native, native_object>("native"),
    member<&Node::attributes, attributes_dict>("attributes"),
    member<&Node::children, node_list_to_py>("children"),
    member<&Node::id>("id"),
    kGetSetEnd,
};

PyType_Slot node_slots[] = {
    {Py_tp_doc, const_cast<char*>("UASTNode(kind, lang, span, native, attributes=None, children=None, id=...)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(tp_new_via<node_vectorcall>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<NodePtr>)},
    {Py_tp_getset, node_getset},
    {0, nullptr},
};

PyType_Spec node_spec = box_spec<NodePtr>("builtins.UASTNode", kRecordFlags, node_slots);

}  // namespace

LazyType source_span_type{&span_spec, span_vectorcall};
LazyType native_ref_type{&native_spec, native_vectorcall};
LazyType uast_node_type{&node_spec, node_vectorcall};

bool node_list_arg(PyObject* seq, const char* param, std::vector<NodePtr>& out) {
    return records_arg(seq, param, uast_node_type, out);
}

PyObject* node_list_to_py(const std::vector<NodePtr>& nodes) {
    PyTypeObject* tp = uast_node_type.get();
    if (tp == nullptr) return nullptr;
    return new_list(nodes.size(), [&](std::size_t i) { return box_new(tp, nodes[i]); });
}

}  // namespace velmora::glue
