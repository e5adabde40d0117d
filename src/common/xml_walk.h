// Walking a libxml2 tree without recursion: documents from outside may nest deeper than a stack
// should follow. Header-only; the code that includes it links libxml2.
#pragma once

#include <libxml/tree.h>

namespace velin {

// Every element of the tree below and including root, in document order.
template <class Visit>
void walk_elements(xmlNode* root, Visit visit)
{
    xmlNode* node = root;
    while (node) {
        if (node->type == XML_ELEMENT_NODE)
            visit(node);
        if (node->children && node->type == XML_ELEMENT_NODE) {
            node = node->children;
            continue;
        }
        while (node && node != root && !node->next)
            node = node->parent;
        if (!node || node == root)
            break;
        node = node->next;
    }
}

} // namespace velin
