#include "uast/uast.hpp"

namespace velmora::uast {

void Node::rc_destroy(const Node* node) noexcept {
    // Children whose last reference was held by a dying node are detached
    // onto `pending` before the node is deleted, so deleting never recurses.
    std::vector<const Node*> pending;
    pending.push_back(node);
    while (!pending.empty()) {
        const Node* n = pending.back();
        pending.pop_back();
        auto& kids = const_cast<std::vector<NodePtr>&>(n->children);
        for (NodePtr& child : kids) {
            const Node* c = child.leak();
            if (c != nullptr && c->rc_dec()) {
                try {
                    pending.push_back(c);
                } catch (...) {
                    // Out of memory while freeing: fall back to recursion
                    // for this one subtree rather than leak it.
                    rc_destroy(c);
                }
            }
        }
        delete n;
    }
}

}  // namespace velmora::uast
