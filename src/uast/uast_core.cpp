#include "uast/uast.hpp"

namespace velmora::uast {

void Node::rc_destroy(const Node* node) noexcept {
    // Children whose last reference was held by a dying node join the chain
    // of dying nodes (linked through their spent counts) before the node is
    // deleted, so deleting never recurses and never allocates: a tree is
    // often freed just when memory has run out.
    node->rc_link(nullptr);
    const Node* dying = node;
    while (dying != nullptr) {
        const Node* n = dying;
        dying = static_cast<const Node*>(n->rc_next());
        for (NodePtr& child : const_cast<std::vector<NodePtr>&>(n->children)) {
            const Node* c = child.leak();
            if (c != nullptr && c->rc_dec()) {
                c->rc_link(dying);
                dying = c;
            }
        }
        delete n;
    }
}

}  // namespace velmora::uast
