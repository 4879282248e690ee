// Values of the language-independent syntax tree. Nodes are immutable, so
// a parent shares its children instead of copying them: building a tree
// bottom-up costs one reference per child, and every Python read makes new
// wrapper objects around the same shared values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/rc.hpp"

namespace velmora::uast {

struct SourceSpan {
    std::optional<std::string> file;
    std::uint64_t start_byte = 0;
    std::uint64_t end_byte = 0;
    std::uint64_t start_line = 0;
    std::uint64_t start_column = 0;
    std::uint64_t end_line = 0;
    std::uint64_t end_column = 0;
};

struct NativeRef {
    std::string parser;
    std::string parser_version;
    std::string node_kind;
};

struct Node;
using NodePtr = core::Rc<const Node>;

struct Node : core::RcBase {
    std::string kind;
    std::string lang;
    SourceSpan span;
    NativeRef native;
    // Pairs in the order the caller's dict gave them; keys are unique.
    std::vector<std::pair<std::string, std::string>> attributes;
    std::vector<NodePtr> children;
    std::string id;
    // Links the nodes that are being freed (see rc_destroy).
    mutable const Node* next_dying = nullptr;

    // Frees a subtree without recursion and without allocating: a chain of
    // a million nested nodes must not take a million C stack frames, and
    // freeing must work when memory has run out.
    static void rc_destroy(const Node* node) noexcept;
};

}  // namespace velmora::uast
