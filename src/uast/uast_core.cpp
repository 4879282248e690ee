#include "uast/uast.hpp"

namespace velmora::uast {

void Node::rc_destroy(const Node* node) noexcept {
    // Children whose last reference was held by a dying node join the chain
    // of dying nodes (through their own link field) before the node is
    // deleted, so deleting never recurses and never allocates: a tree is
    // often freed just when memory has run out.
    const Node* dying = node;
    dying->next_dying = nullptr;
    while (dying != nullptr) {
        const Node* n = dying;
        dying = n->next_dying;
        for (NodePtr& child : const_cast<std::vector<NodePtr>&>(n->children)) {
            const Node* c = child.leak();
            if (c != nullptr && c->rc_dec()) {
                c->next_dying = dying;
                dying = c;
            }
        }
        delete n;
    }
}

}  // namespace velmora::uast
