// The Python front end: one call per parsed file.
//
// The syntax tree is read through the node objects' own attribute
// dictionaries. The parser fills each dictionary with the class's fields in
// declaration order, so the fields are read by walking the dictionary's
// entries in order and checking each key against the field name; a
// dictionary laid out any other way is read by look-ups instead. Nothing
// here calls back into Python code, so borrowed references into the tree
// stay valid for the whole call.
//
// Every walk uses an explicit stack: the parser accepts nesting (a left-deep
// chain of binary operators, an elif chain) far beyond the C stack.
#include "frontends/python/python_frontend_py.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "flow/flow.hpp"
#include "glue/boundary.hpp"
#include "glue/convert.hpp"
#include "probes_ast/compression.hpp"

namespace velmora::frontends::python {

namespace {

using glue::Ref;

// A Python exception is set; unwinds to the entry point.
struct PythonError {};

[[noreturn]] void python_error() { throw PythonError{}; }
// An input the front end cannot read: PanicException, as for any other
// internal fault.
[[noreturn]] void fault(const char* what) {
    glue::raise_panic(what);
    throw PythonError{};
}
PyObject* check(PyObject* o) {
    if (o == nullptr) python_error();
    return o;
}

enum class Role : std::uint8_t {
    Generic,
    Skip,  // context and operator nodes: no structure of their own
    FunctionDef,
    ClassDef,
    Return,
    Raise,
    Break,
    Continue,
    If,
    For,
    While,
    Try,
    With,
    Match,
    Import,
    ImportFrom,
    ExceptHandler,
    MatchCase,
    IfExp,
    BoolOp,
    Lambda,
    Comprehension,
    Call,
    Name,
    Attribute,
    Constant,
    Expr,
    Assign,
    AnnAssign,
    Pass,
    MatchAs,
    MatchOr,
    Sequence,  // a tuple or list display
    Comp,      // a list, set or generator comprehension
    DictComp,
    TypeAlias,
    Compare,
};

struct RoleName {
    const char* name;
    Role role;
};

constexpr RoleName kRoles[] = {
    {"FunctionDef", Role::FunctionDef}, {"AsyncFunctionDef", Role::FunctionDef},
    {"ClassDef", Role::ClassDef},       {"Return", Role::Return},
    {"Raise", Role::Raise},             {"Break", Role::Break},
    {"Continue", Role::Continue},       {"If", Role::If},
    {"For", Role::For},                 {"AsyncFor", Role::For},
    {"While", Role::While},             {"Try", Role::Try},
    {"TryStar", Role::Try},             {"With", Role::With},
    {"AsyncWith", Role::With},          {"Match", Role::Match},
    {"Import", Role::Import},           {"ImportFrom", Role::ImportFrom},
    {"ExceptHandler", Role::ExceptHandler}, {"match_case", Role::MatchCase},
    {"IfExp", Role::IfExp},             {"BoolOp", Role::BoolOp},
    {"Lambda", Role::Lambda},           {"comprehension", Role::Comprehension},
    {"Call", Role::Call},               {"Name", Role::Name},
    {"Attribute", Role::Attribute},     {"Constant", Role::Constant},
    {"Expr", Role::Expr},               {"Assign", Role::Assign},
    {"AnnAssign", Role::AnnAssign},     {"Pass", Role::Pass},
    {"MatchAs", Role::MatchAs},         {"MatchOr", Role::MatchOr},
    {"Tuple", Role::Sequence},          {"List", Role::Sequence},
    {"ListComp", Role::Comp},           {"SetComp", Role::Comp},
    {"GeneratorExp", Role::Comp},       {"DictComp", Role::DictComp},
    {"TypeAlias", Role::TypeAlias},       {"Compare", Role::Compare},
};

// Fields the front end reads by name.
enum Slot : std::uint8_t {
    kTest, kBody, kOrelse, kHandlers, kFinalbody, kTarget, kIter, kItems, kSubject, kCases, kPattern, kGuard,
    kType, kFunc, kValues, kIfs, kArgs, kDefaults, kKwDefaults, kDecorators, kBases, kKeywords, kValue,
    kTargets, kAttr, kId, kName, kNames, kModule, kLevel, kAsname, kPatterns, kAnnotation, kElts, kElt, kKey,
    kGenerators, kOp, kLeft, kOps, kComparators, kSlotCount
};
constexpr const char* kSlotNames[kSlotCount] = {
    "test", "body", "orelse", "handlers", "finalbody", "target", "iter", "items", "subject", "cases", "pattern",
    "guard", "type", "func", "values", "ifs", "args", "defaults", "kw_defaults", "decorator_list", "bases",
    "keywords", "value", "targets", "attr", "id", "name", "names", "module", "level", "asname", "patterns",
    "annotation", "elts", "elt", "key", "generators", "op", "left", "ops", "comparators"};

constexpr std::size_t kMaxFields = 8;

struct TypeInfo {
    PyTypeObject* type = nullptr;
    std::uint8_t code = 0;
    Role role = Role::Generic;
    bool statement = false;
    std::uint8_t field_count = 0;
    std::array<PyObject*, kMaxFields> fields{};  // interned names, owned by the state
    std::array<std::int8_t, kSlotCount> slot{};  // field position of each slot, -1 if none
};

// The classes of the running interpreter's syntax tree, looked up by type
// pointer in an open-addressing table.
struct State {
    std::vector<TypeInfo> types;
    std::array<std::uint16_t, 1024> table{};  // index + 1 into types; 0 empty
    std::vector<Ref> owned;                   // field names and constants
    PyObject* s_lineno = nullptr;
    PyObject* s_col_offset = nullptr;
    PyObject* s_end_lineno = nullptr;
    PyObject* s_end_col_offset = nullptr;
    PyObject* s_name = nullptr;     // "name" (call form)
    PyObject* s_selfform = nullptr; // "self"
    PyObject* s_attr = nullptr;     // "attr"
    PyObject* s_super = nullptr;    // "super"
    PyObject* s_other = nullptr;    // "other"
    PyObject* s_empty = nullptr;
    PyObject* s_cls = nullptr;
    PyTypeObject* eq = nullptr;  // the == operator's class
    std::array<PyObject*, 4> labels{};
    bool ready = false;
};

// Never destroyed: it holds references into the interpreter, which is gone
// by the time static destructors run at exit.
State& g_state = *new State();

std::size_t hash_type(const void* p) {
    return static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(p) >> 4) * 0x9E3779B97F4A7C15ull >> 54);
}

const TypeInfo* lookup(PyTypeObject* tp) {
    const std::size_t mask = g_state.table.size() - 1;
    for (std::size_t i = hash_type(tp) & mask;; i = (i + 1) & mask) {
        const std::uint16_t at = g_state.table[i];
        if (at == 0) return nullptr;
        const TypeInfo& info = g_state.types[at - 1u];
        if (info.type == tp) return &info;
    }
}

PyObject* keep(PyObject* o) {
    g_state.owned.push_back(Ref::steal(check(o)));
    return o;
}
PyObject* interned(const char* text) { return keep(PyUnicode_InternFromString(text)); }

// ------------------------------------------------------------------ fields

// A node's fields in declaration order (borrowed; nullptr when missing).
struct Fields {
    std::array<PyObject*, kMaxFields> v{};
    const TypeInfo* info = nullptr;
    PyObject* get(Slot s) const {
        const std::int8_t at = info->slot[s];
        if (at < 0) return nullptr;
        PyObject* o = v[static_cast<std::uint8_t>(at)];
        return o == Py_None ? nullptr : o;
    }
};

// The node's attribute dictionary, borrowed: the node owns it. Syntax-tree
// classes keep it at tp_dictoffset; anything else takes the generic road.
PyObject* node_dict(PyObject* node) {
    const Py_ssize_t offset = Py_TYPE(node)->tp_dictoffset;
    if (offset > 0) {
        PyObject* d = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(node) + offset);
        if (d != nullptr && PyDict_CheckExact(d)) return d;
    }
    Ref dict = Ref::steal(check(PyObject_GenericGetDict(node, nullptr)));
    return dict.get();  // still owned by the node
}

void read_fields(PyObject* node, const TypeInfo& info, Fields& out) {
    out.info = &info;
    if (info.field_count == 0) return;
    PyObject* dict = node_dict(node);
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    std::size_t i = 0;
    for (; i < info.field_count; ++i) {
        if (!PyDict_Next(dict, &pos, &key, &value) || key != info.fields[i]) break;
        out.v[i] = value;
    }
    // A dictionary not in declaration order: look the rest up by name.
    for (; i < info.field_count; ++i) {
        out.v[i] = PyDict_GetItemWithError(dict, info.fields[i]);
        if (out.v[i] == nullptr && PyErr_Occurred()) python_error();
    }
}

// An attribute that is not a field (lineno and the like), as an integer.
long attribute_int(PyObject* node, PyObject* name, long fallback) {
    PyObject* v = PyDict_GetItemWithError(node_dict(node), name);
    if (v == nullptr) {
        if (PyErr_Occurred()) python_error();
        return fallback;
    }
    if (!PyLong_Check(v)) return fallback;
    const long x = PyLong_AsLong(v);
    if (x == -1 && PyErr_Occurred()) python_error();
    return x;
}

bool non_empty(PyObject* list) { return list != nullptr && PyList_CheckExact(list) && PyList_GET_SIZE(list) > 0; }

const TypeInfo* info_of(PyObject* o) {
    if (o == nullptr || o == Py_None) return nullptr;
    return lookup(Py_TYPE(o));
}

Role role_of(PyObject* o) {
    const TypeInfo* t = info_of(o);
    return t == nullptr ? Role::Skip : t->role;
}

// The fields of a syntax-tree node; false for anything else (None, a
// missing field, a class the front end does not know).
bool read_node(PyObject* node, Fields& out) {
    const TypeInfo* t = info_of(node);
    if (t == nullptr) return false;
    read_fields(node, *t, out);
    return true;
}

// The same for a node of one role only.
bool read_node(PyObject* node, Role role, Fields& out) {
    const TypeInfo* t = info_of(node);
    if (t == nullptr || t->role != role) return false;
    read_fields(node, *t, out);
    return true;
}

std::string_view utf8(PyObject* s) {
    if (s == nullptr || !PyUnicode_Check(s)) return {};
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    if (p == nullptr) python_error();
    return {p, static_cast<std::size_t>(n)};
}

PyObject* new_str(std::string_view s) {
    return check(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass"));
}

// A str field or the empty string, as a new reference.
PyObject* str_or_empty(PyObject* s) {
    PyObject* o = (s != nullptr && PyUnicode_Check(s)) ? s : g_state.s_empty;
    Py_INCREF(o);
    return o;
}

// ------------------------------------------------------------------ text

// Byte offsets of line starts; lines end at LF, CR LF or a lone CR, as the
// tokenizer has them.
struct Lines {
    std::string_view text;
    std::vector<std::size_t> starts;

    explicit Lines(std::string_view t) : text(t) {
        starts.push_back(0);
        const char* p = t.data();
        const std::size_t n = t.size();
        for (std::size_t i = 0; i < n; ++i) {
            if (p[i] == '\n') {
                starts.push_back(i + 1);
            } else if (p[i] == '\r') {
                if (i + 1 < n && p[i + 1] == '\n') ++i;
                starts.push_back(i + 1);
            }
        }
    }
    std::size_t offset(long line, long column) const {
        if (line < 1) return 0;
        if (static_cast<std::size_t>(line) > starts.size()) return text.size();
        const std::size_t at = starts[static_cast<std::size_t>(line) - 1] + static_cast<std::size_t>(std::max(column, 0L));
        return std::min(at, text.size());
    }
    // Lines of the text: a last line without its end counts.
    std::size_t count() const {
        if (text.empty()) return 0;
        return starts.back() == text.size() ? starts.size() - 1 : starts.size();
    }
};

// ------------------------------------------------------------------ walking a function

// Flags of a node on the walk stack.
constexpr std::uint8_t kNoKinds = 1;    // a part of a nested def or class: measured, not listed in kinds
constexpr std::uint8_t kIsElif = 2;     // an if that is an elif of its parent if
constexpr std::uint8_t kNoScope = 4;    // not evaluated when the function runs (an annotation): listed only
constexpr std::uint8_t kNested = 8;     // the body of a nested def or class: cognitive complexity only
constexpr std::uint8_t kFlattened = 16; // a boolean operation that is an operand of a like one

struct Item {
    PyObject* node = nullptr;  // nullptr: a construct marker
    flow::Op op = flow::Op::Simple;
    std::uint8_t flags = 0;
    std::uint32_t xdepth = 0;  // enclosing conditional expressions and lambdas
};

struct Options {
    flow::Options flow;
    std::uint64_t block_size = 512;
};

struct FileResult {
    std::vector<Ref> functions;
    std::vector<std::pair<long, Ref>> imports;  // (line, record)
};

class Walker {
public:
    Walker(const Options& options, core::Cancel& cancel)
        : options_(options), cancel_(cancel), call_sites_(Ref::steal(check(PyDict_New()))) {}

    // Measures one function.
    Ref function(PyObject* def, const Fields& f, std::string_view qualname, PyObject* owner, const Lines& lines,
                 probes::Compressor& compressor);


private:
    const Options& options_;
    core::Cancel& cancel_;
    flow::Workspace workspace_;
    std::vector<Item> stack_;
    std::vector<flow::Step> tape_;
    std::string kinds_;
    std::vector<Ref> calls_;
    // The file's distinct call sites, each the one tuple every function of
    // the file that makes the same call refers to: a file calls the same
    // few names over and over, and the records live for the whole run.
    Ref call_sites_;
    std::uint64_t statements_ = 0;
    std::string_view name_;
    bool method_ = false;
    bool recursive_ = false;

    void marker(flow::Op op, std::uint8_t flags = 0) { stack_.push_back(Item{nullptr, op, flags, 0}); }
    void node(PyObject* n, std::uint8_t flags, std::uint32_t xdepth) {
        if (n != nullptr && n != Py_None) stack_.push_back(Item{n, flow::Op::Simple, flags, xdepth});
    }
    // A field's value (a node or a list of them), for a walk in order.
    void value(PyObject* v, std::uint8_t flags, std::uint32_t xdepth) {
        if (v == nullptr || v == Py_None) return;
        if (PyList_CheckExact(v)) {
            for (Py_ssize_t i = PyList_GET_SIZE(v); i-- > 0;) {
                PyObject* it = PyList_GET_ITEM(v, i);
                if (info_of(it) != nullptr) node(it, flags, xdepth);
            }
            return;
        }
        if (info_of(v) != nullptr) node(v, flags, xdepth);
    }
    // A statement list.
    void body(PyObject* list, std::uint8_t flags) {
        if (list == nullptr || !PyList_CheckExact(list)) return;
        const std::uint8_t keep = flags & (kNoKinds | kNoScope | kNested);
        for (Py_ssize_t i = PyList_GET_SIZE(list); i-- > 0;) node(PyList_GET_ITEM(list, i), keep, 0);
    }
    void children(const Fields& f, std::uint8_t flags, std::uint32_t xdepth) {
        const std::uint8_t keep = flags & (kNoKinds | kNoScope | kNested);
        for (std::size_t i = f.info->field_count; i-- > 0;) value(f.v[i], keep, xdepth);
    }
    void decision(flow::Decision d, std::uint32_t depth, std::uint32_t count = 1, std::uint32_t runs = 0) {
        flow::Step s;
        s.op = flow::Op::Decision;
        s.decision = d;
        s.depth = depth;
        s.count = count;
        s.runs = runs;
        tape_.push_back(s);
    }

    void visit(const Item& it);
    void note_call(const Fields& call);
};

bool is_str(PyObject* o, const char* text) {
    return o != nullptr && PyUnicode_Check(o) && PyUnicode_CompareWithASCIIString(o, text) == 0;
}

bool is_name(PyObject* node, const char* id) {
    Fields f;
    return read_node(node, Role::Name, f) && is_str(f.get(kId), id);
}

// The test of an if whose body does not run when the module is imported:
// __name__ == "__main__" (either way round), TYPE_CHECKING and
// <name>.TYPE_CHECKING, as the reference has them.
bool not_imported(PyObject* test) {
    Fields f;
    if (!read_node(test, f)) return false;
    switch (f.info->role) {
        case Role::Name:
            return is_str(f.get(kId), "TYPE_CHECKING");
        case Role::Attribute:
            return is_str(f.get(kAttr), "TYPE_CHECKING") && role_of(f.get(kValue)) == Role::Name;
        case Role::Compare: {
            PyObject* ops = f.get(kOps);
            PyObject* rest = f.get(kComparators);
            if (ops == nullptr || rest == nullptr || !PyList_CheckExact(ops) || !PyList_CheckExact(rest) ||
                PyList_GET_SIZE(ops) != 1 || PyList_GET_SIZE(rest) != 1 ||
                Py_TYPE(PyList_GET_ITEM(ops, 0)) != g_state.eq) {
                return false;
            }
            PyObject* sides[2] = {f.get(kLeft), PyList_GET_ITEM(rest, 0)};
            for (int i = 0; i < 2; ++i) {
                PyObject* other = sides[1 - i];
                Fields c;
                if (!is_name(sides[i], "__name__") || !read_node(other, Role::Constant, c)) continue;
                PyObject* value = c.get(kValue);
                if (value != nullptr && PyUnicode_CheckExact(value) && is_str(value, "__main__")) return true;
            }
            return false;
        }
        default:
            return false;
    }
}

// One record per imported name: (level, module, name, asname, top_level, line).
void add_imports(PyObject* stmt, const Fields& f, bool from, bool top, FileResult& result) {
    const long line = attribute_int(stmt, g_state.s_lineno, 0);
    PyObject* names = f.get(kNames);
    if (names == nullptr || !PyList_CheckExact(names)) return;
    long level = 0;
    if (from) {
        PyObject* lv = f.get(kLevel);
        if (lv != nullptr && PyLong_Check(lv)) level = PyLong_AsLong(lv);
        if (level == -1 && PyErr_Occurred()) python_error();
    }
    PyObject* top_value = top ? Py_True : Py_False;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); ++i) {
        Fields af;
        if (!read_node(PyList_GET_ITEM(names, i), af)) continue;
        PyObject* module = from ? str_or_empty(f.get(kModule)) : str_or_empty(af.get(kName));
        PyObject* name = from ? str_or_empty(af.get(kName)) : Py_NewRef(g_state.s_empty);
        Ref record = Ref::steal(check(Py_BuildValue("(lNNNNl)", level, module, name, str_or_empty(af.get(kAsname)),
                                                    Py_NewRef(top_value), line)));
        result.imports.emplace_back(line, std::move(record));
    }
}

// (form, base, name) of one call site.
void Walker::note_call(const Fields& call) {
    PyObject* form = g_state.s_other;
    Ref base = Ref::borrow(g_state.s_empty);
    Ref name = Ref::borrow(g_state.s_empty);
    bool recursive = false;
    Fields ff;
    const Role role = read_node(call.get(kFunc), ff) ? ff.info->role : Role::Skip;
    if (role == Role::Name) {
        form = g_state.s_name;
        name = Ref::steal(str_or_empty(ff.get(kId)));
        recursive = !method_ && utf8(name.get()) == name_;
    } else if (role == Role::Attribute) {
        name = Ref::steal(str_or_empty(ff.get(kAttr)));
        PyObject* v = ff.get(kValue);
        Fields vf;
        const Role value_role = read_node(v, vf) ? vf.info->role : Role::Skip;
        if (value_role == Role::Name) {
            PyObject* id = vf.get(kId);
            const std::string_view idv = utf8(id);
            if (idv == "self" || idv == "cls") {
                form = g_state.s_selfform;
                base = Ref::steal(str_or_empty(id));
                recursive = method_ && utf8(name.get()) == name_;
            } else {
                form = g_state.s_attr;
                base = Ref::steal(str_or_empty(id));
            }
        } else if (value_role == Role::Call) {
            if (is_name(vf.get(kFunc), "super")) form = g_state.s_super;
        } else if (value_role == Role::Attribute) {
            // a.b.f(): the dotted chain when every link is a name.
            std::vector<std::string_view> parts;
            PyObject* cur = v;
            bool plain = false;
            while (true) {
                Fields cf;
                if (!read_node(cur, cf)) break;
                if (cf.info->role == Role::Attribute) {
                    parts.push_back(utf8(cf.get(kAttr)));
                    cur = cf.get(kValue);
                } else {
                    if (cf.info->role == Role::Name) {
                        parts.push_back(utf8(cf.get(kId)));
                        plain = true;
                    }
                    break;
                }
            }
            if (plain) {
                std::string dotted;
                for (std::size_t i = parts.size(); i-- > 0;) {
                    dotted.append(parts[i]);
                    if (i != 0) dotted.push_back('.');
                }
                form = g_state.s_attr;
                base = Ref::steal(new_str(dotted));
            }
        }
    }
    recursive_ = recursive_ || recursive;
    Ref t = Ref::steal(check(PyTuple_New(3)));
    PyTuple_SET_ITEM(t.get(), 0, Py_NewRef(form));
    PyTuple_SET_ITEM(t.get(), 1, base.release());
    PyTuple_SET_ITEM(t.get(), 2, name.release());
    calls_.push_back(Ref::borrow(check(PyDict_SetDefault(call_sites_.get(), t.get(), t.get()))));
}

bool irrefutable(PyObject* pattern) {
    // A capture or wildcard, an `as` around an irrefutable pattern, or an
    // alternative one of whose arms is irrefutable.
    std::vector<PyObject*> work{pattern};
    while (!work.empty()) {
        PyObject* p = work.back();
        work.pop_back();
        Fields f;
        if (read_node(p, Role::MatchAs, f)) {
            if (f.get(kPattern) == nullptr) return true;
            work.push_back(f.get(kPattern));
        } else if (read_node(p, Role::MatchOr, f)) {
            PyObject* arms = f.get(kPatterns);
            if (arms != nullptr && PyList_CheckExact(arms)) {
                for (Py_ssize_t i = 0; i < PyList_GET_SIZE(arms); ++i) work.push_back(PyList_GET_ITEM(arms, i));
            }
        }
    }
    return false;
}

// An elif: the else branch is one if that starts in the column of its
// parent (an if nested under `else:` is indented).
bool is_elif(PyObject* node, const Fields& f) {
    PyObject* orelse = f.get(kOrelse);
    if (orelse == nullptr || !PyList_CheckExact(orelse) || PyList_GET_SIZE(orelse) != 1) return false;
    PyObject* inner = PyList_GET_ITEM(orelse, 0);
    if (role_of(inner) != Role::If) return false;
    return attribute_int(inner, g_state.s_col_offset, -1) == attribute_int(node, g_state.s_col_offset, -2);
}

// Runs of like operators in a boolean operation flattened through operands
// that are boolean operations themselves, left to right.
std::uint32_t boolean_runs(PyObject* root) {
    struct Open {
        PyObject* values;
        PyTypeObject* op;
        Py_ssize_t next;
    };
    std::vector<Open> stack;
    std::uint32_t runs = 0;
    PyTypeObject* last = nullptr;
    auto enter = [&](PyObject* node) {
        Fields f;
        if (!read_node(node, f)) return;
        PyObject* values = f.get(kValues);
        PyObject* op = f.get(kOp);
        if (values == nullptr || !PyList_CheckExact(values) || op == nullptr) return;
        stack.push_back(Open{values, Py_TYPE(op), 0});
    };
    enter(root);
    while (!stack.empty()) {
        Open& top = stack.back();
        if (top.next >= PyList_GET_SIZE(top.values)) {
            stack.pop_back();
            continue;
        }
        const Py_ssize_t i = top.next++;
        if (i > 0 && top.op != last) {
            ++runs;
            last = top.op;
        }
        PyObject* operand = PyList_GET_ITEM(top.values, i);
        if (role_of(operand) == Role::BoolOp) enter(operand);
    }
    return runs;
}

void Walker::visit(const Item& it) {
    using flow::Op;
    if (it.node == nullptr) {
        flow::Step s;
        s.op = it.op;
        s.flags = it.flags;
        tape_.push_back(s);
        return;
    }
    const TypeInfo* info = lookup(Py_TYPE(it.node));
    if (info == nullptr) fault("unknown syntax tree node");
    if (info->role == Role::Skip) return;
    const bool listed = (it.flags & (kNoKinds | kNested)) == 0;
    const bool in_scope = (it.flags & kNoScope) == 0;
    if (listed) {
        kinds_.push_back(static_cast<char>(info->code));
        if (info->statement) ++statements_;
    }
    Fields f;
    read_fields(it.node, *info, f);
    if (!in_scope) {
        // An annotation: listed in the kinds, not measured.
        children(f, it.flags, it.xdepth);
        return;
    }
    const std::uint8_t nk = it.flags & (kNoKinds | kNoScope | kNested);
    const std::uint32_t x = it.xdepth;
    switch (info->role) {
        case Role::Return:
            marker(Op::Return);
            children(f, nk, 0);
            return;
        case Role::Raise:
            marker(Op::Raise);
            children(f, nk, 0);
            return;
        case Role::Break:
            marker(Op::Break);
            return;
        case Role::Continue:
            marker(Op::Continue);
            return;
        case Role::TypeAlias:
            // The alias's value is evaluated lazily, not when the statement
            // runs: listed, not measured.
            marker(Op::Simple);
            children(f, static_cast<std::uint8_t>(nk | kNoScope), 0);
            return;
        case Role::AnnAssign:
            // A local annotation is never evaluated: listed, not measured.
            marker(Op::Simple);
            value(f.get(kValue), nk, 0);
            value(f.get(kAnnotation), static_cast<std::uint8_t>(nk | kNoScope), 0);
            value(f.get(kTarget), nk, 0);
            return;
        case Role::If: {
            marker(Op::IfEnd);
            PyObject* orelse = f.get(kOrelse);
            if (non_empty(orelse)) {
                const bool elif = is_elif(it.node, f);
                if (elif) {
                    node(PyList_GET_ITEM(orelse, 0), static_cast<std::uint8_t>(nk | kIsElif), 0);
                } else {
                    body(orelse, nk);
                }
                marker(Op::Else, elif ? flow::kElif : 0);
            }
            body(f.get(kBody), nk);
            marker(Op::IfBegin, (it.flags & kIsElif) != 0 ? flow::kElif : 0);
            value(f.get(kTest), nk, 0);
            return;
        }
        case Role::For:
        case Role::While: {
            marker(Op::LoopEnd);
            PyObject* orelse = f.get(kOrelse);
            if (non_empty(orelse)) {
                body(orelse, nk);
                marker(Op::LoopElse);
            }
            body(f.get(kBody), nk);
            marker(Op::LoopTest);
            if (info->role == Role::For) {
                // The iterable is evaluated once, before the loop.
                marker(Op::LoopBegin);
                value(f.get(kIter), nk, 0);
                value(f.get(kTarget), nk, 0);
            } else {
                value(f.get(kTest), nk, 0);
                marker(Op::LoopBegin);
            }
            return;
        }
        case Role::Try: {
            marker(Op::TryEnd);
            PyObject* final = f.get(kFinalbody);
            if (non_empty(final)) {
                body(final, nk);
                marker(Op::Finally);
            }
            PyObject* orelse = f.get(kOrelse);
            if (non_empty(orelse)) {
                body(orelse, nk);
                marker(Op::TryElse);
            }
            value(f.get(kHandlers), nk, 0);
            body(f.get(kBody), nk);
            marker(Op::TryBegin);
            return;
        }
        case Role::ExceptHandler:
            body(f.get(kBody), nk);
            marker(Op::Handler);
            value(f.get(kType), nk, 0);
            return;
        case Role::With:
            marker(Op::BlockEnd);
            body(f.get(kBody), nk);
            marker(Op::BlockBegin);
            value(f.get(kItems), nk, 0);
            return;
        case Role::Match:
            marker(Op::SwitchEnd);
            value(f.get(kCases), nk, 0);
            marker(Op::SwitchBegin);
            value(f.get(kSubject), nk, 0);
            return;
        case Role::MatchCase: {
            body(f.get(kBody), nk);
            marker(Op::CaseBody);
            PyObject* guard = f.get(kGuard);
            value(guard, nk, 0);
            std::uint8_t flags = 0;
            if (!irrefutable(f.get(kPattern))) flags |= flow::kRefutable;
            if (guard != nullptr) flags |= flow::kGuarded;
            marker(Op::Case, flags);
            value(f.get(kPattern), nk, 0);
            return;
        }
        case Role::FunctionDef:
        case Role::ClassDef: {
            // Another scope: its body is measured on its own and counts
            // here only toward the cognitive complexity; what the enclosing
            // function evaluates (decorators, default values, bases) is
            // measured here, without listing its kinds.
            const std::uint8_t inner = static_cast<std::uint8_t>((nk & kNested) | kNoKinds);
            marker(Op::NestedEnd);
            body(f.get(kBody), static_cast<std::uint8_t>(kNested | kNoKinds));
            marker(Op::NestedBegin, info->role == Role::FunctionDef ? flow::kFunctionScope : 0);
            marker(Op::Scope);
            value(f.get(kDecorators), inner, x);
            if (info->role == Role::ClassDef) {
                value(f.get(kKeywords), inner, x);
                value(f.get(kBases), inner, x);
            } else {
                Fields af;
                if (read_node(f.get(kArgs), af)) {
                    value(af.get(kDefaults), inner, x);
                    value(af.get(kKwDefaults), inner, x);
                }
            }
            return;
        }
        case Role::IfExp:
            decision(flow::Decision::Conditional, x);
            value(f.get(kOrelse), nk, x + 1);
            value(f.get(kBody), nk, x + 1);
            value(f.get(kTest), nk, x);
            return;
        case Role::Lambda:
            value(f.get(kBody), nk, x + 1);
            value(f.get(kArgs), nk, x);
            return;
        case Role::Comp:
        case Role::DictComp:
            // Fields: elt (or key, value), generators.
            value(f.get(kGenerators), nk, x);
            value(f.get(kValue), nk, x + 1);
            value(f.get(kKey), nk, x + 1);
            value(f.get(kElt), nk, x + 1);
            return;
        case Role::Comprehension: {
            PyObject* ifs = f.get(kIfs);
            decision(flow::Decision::ForClause, x);
            if (ifs != nullptr && PyList_CheckExact(ifs)) {
                for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ifs); ++i) decision(flow::Decision::IfClause, x);
            }
            value(ifs, nk, x + 1);
            value(f.get(kIter), nk, x);
            value(f.get(kTarget), nk, x);
            return;
        }
        case Role::BoolOp: {
            PyObject* values = f.get(kValues);
            if (values != nullptr && PyList_CheckExact(values) && PyList_GET_SIZE(values) > 1) {
                const std::uint32_t runs = (it.flags & kFlattened) != 0 ? 0 : boolean_runs(it.node);
                decision(flow::Decision::BoolOps, x, static_cast<std::uint32_t>(PyList_GET_SIZE(values) - 1), runs);
                for (Py_ssize_t i = PyList_GET_SIZE(values); i-- > 0;) {
                    PyObject* v = PyList_GET_ITEM(values, i);
                    const bool flat = role_of(v) == Role::BoolOp;
                    node(v, static_cast<std::uint8_t>(nk | (flat ? kFlattened : 0)), x);
                }
                return;
            }
            children(f, nk, x);
            return;
        }
        case Role::Call:
            if ((it.flags & kNested) == 0) note_call(f);
            children(f, nk, x);
            return;
        default:
            if (info->statement) marker(Op::Simple);
            children(f, nk, x);
            return;
    }
}

// An attribute, or a tuple or list of attributes (at least one).
bool attribute_target(PyObject* t) {
    if (role_of(t) == Role::Attribute) return true;
    Fields f;
    if (!read_node(t, Role::Sequence, f)) return false;
    PyObject* elts = f.get(kElts);
    if (elts == nullptr || !PyList_CheckExact(elts) || PyList_GET_SIZE(elts) == 0) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(elts); ++i) {
        if (role_of(PyList_GET_ITEM(elts, i)) != Role::Attribute) return false;
    }
    return true;
}

// True when a body only sets attributes (with a docstring, pass and
// super().__init__(...) calls besides), and sets at least one.
bool assign_only(PyObject* body) {
    if (body == nullptr || !PyList_CheckExact(body)) return false;
    bool assigned = false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(body); ++i) {
        Fields f;
        if (!read_node(PyList_GET_ITEM(body, i), f)) return false;
        switch (f.info->role) {
            case Role::Pass:
                continue;
            case Role::Assign: {
                PyObject* targets = f.get(kTargets);
                if (targets == nullptr || !PyList_CheckExact(targets)) return false;
                for (Py_ssize_t k = 0; k < PyList_GET_SIZE(targets); ++k) {
                    if (!attribute_target(PyList_GET_ITEM(targets, k))) return false;
                }
                assigned = true;
                continue;
            }
            case Role::AnnAssign:
                if (role_of(f.get(kTarget)) != Role::Attribute || f.get(kValue) == nullptr) return false;
                assigned = true;
                continue;
            case Role::Expr: {
                Fields vf;
                if (!read_node(f.get(kValue), vf)) return false;
                if (vf.info->role == Role::Constant && PyUnicode_Check(vf.get(kValue) ? vf.get(kValue) : Py_None)) {
                    continue;
                }
                if (vf.info->role != Role::Call) return false;
                // super().__init__(...)
                Fields af;
                Fields cf;
                if (!read_node(vf.get(kFunc), Role::Attribute, af) || utf8(af.get(kAttr)) != "__init__" ||
                    !read_node(af.get(kValue), Role::Call, cf) || !is_name(cf.get(kFunc), "super")) {
                    return false;
                }
                continue;
            }
            default:
                return false;
        }
    }
    return assigned;
}

Ref Walker::function(PyObject* def, const Fields& f, std::string_view qualname, PyObject* owner, const Lines& lines,
                     probes::Compressor& compressor) {
    stack_.clear();
    tape_.clear();
    kinds_.clear();
    calls_.clear();
    statements_ = 0;
    name_ = utf8(f.get(kName));
    method_ = owner != nullptr && PyUnicode_GET_LENGTH(owner) > 0;

    PyObject* stmts = f.get(kBody);
    const bool only_assigns = assign_only(stmts);
    recursive_ = false;
    body(stmts, 0);
    while (!stack_.empty()) {
        const Item it = stack_.back();
        stack_.pop_back();
        visit(it);
        cancel_.tick();
    }
    flow::Measures m = flow::measure(tape_, options_.flow, workspace_);
    // A direct recursive call adds one, once.
    m.cognitive += recursive_ ? 1 : 0;

    const long line = attribute_int(def, g_state.s_lineno, 0);
    const long column = attribute_int(def, g_state.s_col_offset, 0);
    const long end_line = attribute_int(def, g_state.s_end_lineno, line);
    const long end_column = attribute_int(def, g_state.s_end_col_offset, column);
    long first_line = line;
    PyObject* decorators = f.get(kDecorators);
    if (decorators != nullptr && PyList_CheckExact(decorators)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(decorators); ++i) {
            first_line = std::min(first_line, attribute_int(PyList_GET_ITEM(decorators, i), g_state.s_lineno, line));
        }
    }
    const std::size_t a = lines.offset(line, column);
    const std::size_t b = std::max(a, lines.offset(end_line, end_column));
    double ratio = 0.0;
    PyObject* label = g_state.labels[0];
    if (b > a) {
        const probes::Measure em = compressor.measure(lines.text.substr(a, b - a));
        ratio = em.ratio;
        label = ratio < 0.2 ? g_state.labels[0] : ratio < 0.5 ? g_state.labels[1] : ratio < 0.8 ? g_state.labels[2] : g_state.labels[3];
    }

    Ref calls = Ref::steal(check(PyTuple_New(static_cast<Py_ssize_t>(calls_.size()))));
    for (std::size_t i = 0; i < calls_.size(); ++i) {
        PyTuple_SET_ITEM(calls.get(), static_cast<Py_ssize_t>(i), calls_[i].release());
    }
    Ref kinds = Ref::steal(check(PyBytes_FromStringAndSize(kinds_.data(), static_cast<Py_ssize_t>(kinds_.size()))));
    Ref qual = Ref::steal(new_str(qualname));
    // Undecorated, the first line is the def's line: one int for both.
    Ref line_number = Ref::steal(check(PyLong_FromLong(line)));
    Ref first = first_line == line ? Ref::borrow(line_number.get()) : Ref::steal(check(PyLong_FromLong(first_line)));
    return Ref::steal(check(Py_BuildValue(
        "(NONNllKKKKKKKdOKKKNNN)", qual.release(), owner, line_number.release(), first.release(), column, end_line,
        static_cast<unsigned long long>(m.cyclomatic), static_cast<unsigned long long>(m.cognitive),
        static_cast<unsigned long long>(m.essential), static_cast<unsigned long long>(m.nesting),
        static_cast<unsigned long long>(m.longest_path), static_cast<unsigned long long>(m.betti_1),
        static_cast<unsigned long long>(m.components), ratio, label, static_cast<unsigned long long>(m.blocks),
        static_cast<unsigned long long>(m.edges), static_cast<unsigned long long>(statements_),
        Py_NewRef(only_assigns ? Py_True : Py_False), kinds.release(), calls.release())));
}

// ------------------------------------------------------------------ the file

struct Scope {
    std::string prefix;  // qualname prefix of what is defined here
    Ref owner;           // qualname of the directly enclosing class, "" if none
    bool top = false;    // module level
};

struct ScopeItem {
    PyObject* node;
    std::uint32_t scope;
};

void analyze_tree(PyObject* tree, const Lines& lines, const Options& options, FileResult& result,
                  core::Cancel& cancel, probes::Compressor& compressor) {
    const TypeInfo* mi = info_of(tree);
    if (mi == nullptr) fault("not a syntax tree");
    Fields mf;
    read_fields(tree, *mi, mf);
    std::vector<Scope> scopes;
    scopes.push_back(Scope{"", Ref::borrow(g_state.s_empty), true});
    std::vector<ScopeItem> work;
    auto push_list = [&](PyObject* list, std::uint32_t scope) {
        if (list == nullptr || !PyList_CheckExact(list)) return;
        for (Py_ssize_t i = PyList_GET_SIZE(list); i-- > 0;) work.push_back({PyList_GET_ITEM(list, i), scope});
    };
    push_list(mf.get(kBody), 0);
    Walker walker(options, cancel);
    // The statements below a node in source order, as the reference walk
    // takes them: body, handlers, orelse, finalbody, cases (handlers and
    // cases are items of their own whose body follows).
    auto push_children = [&](const Fields& f, std::uint32_t scope) {
        std::array<PyObject*, 5> lists{f.get(kBody), f.get(kHandlers), f.get(kOrelse), f.get(kFinalbody), f.get(kCases)};
        for (std::size_t k = lists.size(); k-- > 0;) push_list(lists[k], scope);
    };
    while (!work.empty()) {
        const ScopeItem item = work.back();
        work.pop_back();
        cancel.tick();
        const TypeInfo* si = info_of(item.node);
        if (si == nullptr) continue;
        if (!si->statement && si->role != Role::ExceptHandler && si->role != Role::MatchCase) continue;
        Fields f;
        read_fields(item.node, *si, f);
        switch (si->role) {
            case Role::FunctionDef: {
                std::string qual = scopes[item.scope].prefix;
                qual.append(utf8(f.get(kName)));
                result.functions.push_back(
                    walker.function(item.node, f, qual, scopes[item.scope].owner.get(), lines, compressor));
                scopes.push_back(Scope{qual + ".<locals>.", Ref::borrow(g_state.s_empty), false});
                push_children(f, static_cast<std::uint32_t>(scopes.size() - 1));
                break;
            }
            case Role::ClassDef: {
                std::string qual = scopes[item.scope].prefix;
                qual.append(utf8(f.get(kName)));
                Ref owner = Ref::steal(new_str(qual));
                scopes.push_back(Scope{qual + ".", std::move(owner), false});
                push_children(f, static_cast<std::uint32_t>(scopes.size() - 1));
                break;
            }
            case Role::Import:
            case Role::ImportFrom:
                add_imports(item.node, f, si->role == Role::ImportFrom, scopes[item.scope].top, result);
                break;
            case Role::If:
                if (scopes[item.scope].top && not_imported(f.get(kTest))) {
                    // The body runs as a script or under a type checker; the
                    // else branch runs on import.
                    push_list(f.get(kOrelse), item.scope);
                    Scope guarded{scopes[item.scope].prefix, Ref::borrow(scopes[item.scope].owner.get()), false};
                    scopes.push_back(std::move(guarded));
                    push_list(f.get(kBody), static_cast<std::uint32_t>(scopes.size() - 1));
                } else {
                    push_children(f, item.scope);
                }
                break;
            default:
                push_children(f, item.scope);
                break;
        }
    }
}

}  // namespace

// ------------------------------------------------------------------ entry points

PyObject* configure(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return glue::guarded([&]() -> PyObject* {
        try {
            if (nargs != 1 || !PyTuple_Check(args[0])) {
                PyErr_SetString(PyExc_TypeError, "configure(classes): a tuple of syntax-tree classes");
                return nullptr;
            }
            PyObject* classes = args[0];
            const Py_ssize_t n = PyTuple_GET_SIZE(classes);
            if (n > 255) {
                PyErr_SetString(PyExc_ValueError, "more than 255 syntax-tree classes");
                return nullptr;
            }
            g_state = State{};
            Ref ast = Ref::steal(check(PyImport_ImportModule("_ast")));
            Ref ast_base = Ref::steal(check(PyObject_GetAttrString(ast.get(), "AST")));
            Ref stmt_base = Ref::steal(check(PyObject_GetAttrString(ast.get(), "stmt")));
            std::vector<Ref> skip_bases;
            for (const char* name : {"expr_context", "operator", "boolop", "unaryop", "cmpop"}) {
                skip_bases.push_back(Ref::steal(check(PyObject_GetAttrString(ast.get(), name))));
            }
            std::array<PyObject*, kSlotCount> slot_names{};
            for (std::size_t s = 0; s < kSlotCount; ++s) slot_names[s] = interned(kSlotNames[s]);
            g_state.types.resize(static_cast<std::size_t>(n));
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject* cls = PyTuple_GET_ITEM(classes, i);
                if (!PyType_Check(cls) ||
                    !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls), reinterpret_cast<PyTypeObject*>(ast_base.get()))) {
                    PyErr_SetString(PyExc_TypeError, "configure(classes): every item must be a syntax-tree class");
                    return nullptr;
                }
                auto* tp = reinterpret_cast<PyTypeObject*>(keep(Py_NewRef(cls)));
                TypeInfo& t = g_state.types[static_cast<std::size_t>(i)];
                t.type = tp;
                t.code = static_cast<std::uint8_t>(i);
                t.slot.fill(-1);
                t.statement = PyType_IsSubtype(tp, reinterpret_cast<PyTypeObject*>(stmt_base.get())) != 0;
                for (const Ref& b : skip_bases) {
                    if (PyType_IsSubtype(tp, reinterpret_cast<PyTypeObject*>(b.get())) != 0) t.role = Role::Skip;
                }
                const std::string_view name = tp->tp_name;
                const std::string_view bare = name.substr(name.rfind('.') == std::string_view::npos ? 0 : name.rfind('.') + 1);
                for (const RoleName& r : kRoles) {
                    if (bare == r.name) t.role = r.role;
                }
                if (bare == "Eq") g_state.eq = tp;
                Ref fields = Ref::steal(check(PyObject_GetAttrString(cls, "_fields")));
                if (!PyTuple_Check(fields.get()) || PyTuple_GET_SIZE(fields.get()) > static_cast<Py_ssize_t>(kMaxFields)) {
                    PyErr_SetString(PyExc_ValueError, "a syntax-tree class with unexpected fields");
                    return nullptr;
                }
                t.field_count = static_cast<std::uint8_t>(PyTuple_GET_SIZE(fields.get()));
                for (std::size_t k = 0; k < t.field_count; ++k) {
                    PyObject* fname = Py_NewRef(PyTuple_GET_ITEM(fields.get(), static_cast<Py_ssize_t>(k)));
                    if (!PyUnicode_CheckExact(fname)) {
                        Py_DECREF(fname);
                        PyErr_SetString(PyExc_ValueError, "a syntax-tree field name that is not a str");
                        return nullptr;
                    }
                    PyUnicode_InternInPlace(&fname);
                    t.fields[k] = keep(fname);
                    for (std::size_t s = 0; s < kSlotCount; ++s) {
                        if (fname == slot_names[s]) t.slot[s] = static_cast<std::int8_t>(k);
                    }
                }
                const std::size_t mask = g_state.table.size() - 1;
                std::size_t at = hash_type(tp) & mask;
                while (g_state.table[at] != 0) at = (at + 1) & mask;
                g_state.table[at] = static_cast<std::uint16_t>(i + 1);
            }
            g_state.s_lineno = interned("lineno");
            g_state.s_col_offset = interned("col_offset");
            g_state.s_end_lineno = interned("end_lineno");
            g_state.s_end_col_offset = interned("end_col_offset");
            g_state.s_name = interned("name");
            g_state.s_selfform = interned("self");
            g_state.s_attr = interned("attr");
            g_state.s_super = interned("super");
            g_state.s_other = interned("other");
            g_state.s_empty = interned("");
            g_state.s_cls = interned("cls");
            for (std::size_t i = 0; i < 4; ++i) {
                const double probe[4] = {0.1, 0.3, 0.6, 0.9};
                g_state.labels[i] = interned(probes::interpret(probe[i]));
            }
            g_state.ready = true;
            Py_RETURN_NONE;
        } catch (const PythonError&) {
            g_state.ready = false;
            return nullptr;
        }
    });
}

PyObject* analyze(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return glue::guarded([&]() -> PyObject* {
        try {
            if (!g_state.ready) {
                PyErr_SetString(PyExc_RuntimeError, "analyze() before configure()");
                return nullptr;
            }
            if (nargs != 4) {
                PyErr_SetString(PyExc_TypeError, "analyze(tree, source, block_size, count_bool_ops)");
                return nullptr;
            }
            std::string_view source;
            if (!glue::to_text_view(args[1], "source", source)) return nullptr;
            std::uint64_t block_size = 0;
            if (!glue::to_u64(args[2], "block_size", block_size)) return nullptr;
            const int bool_ops = PyObject_IsTrue(args[3]);
            if (bool_ops < 0) return nullptr;
            Options options;
            options.block_size = block_size;
            options.flow.count_bool_ops = bool_ops != 0;

            core::Cancel cancel = glue::signal_cancel();
            probes::Compressor compressor(cancel);
            const Lines lines(source);
            FileResult result;
            analyze_tree(args[0], lines, options, result, cancel, compressor);
            const double variance = probes::variance(probes::block_entropy(source, block_size, cancel));

            Ref functions = Ref::steal(check(PyTuple_New(static_cast<Py_ssize_t>(result.functions.size()))));
            for (std::size_t i = 0; i < result.functions.size(); ++i) {
                PyTuple_SET_ITEM(functions.get(), static_cast<Py_ssize_t>(i), result.functions[i].release());
            }
            Ref imports = Ref::steal(check(PyTuple_New(static_cast<Py_ssize_t>(result.imports.size()))));
            for (std::size_t i = 0; i < result.imports.size(); ++i) {
                PyTuple_SET_ITEM(imports.get(), static_cast<Py_ssize_t>(i), result.imports[i].second.release());
            }
            return Py_BuildValue("(NNnd)", functions.release(), imports.release(),
                                 static_cast<Py_ssize_t>(lines.count()), variance);
        } catch (const PythonError&) {
            return nullptr;
        } catch (const flow::MalformedTape& e) {
            glue::raise_panic(e.what);
            return nullptr;
        }
    });
}

}  // namespace velmora::frontends::python
