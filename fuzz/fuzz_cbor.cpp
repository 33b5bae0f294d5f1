// Decodes arbitrary bytes and walks the tree with every lookup.
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "cn-cbor/CborDecoder.h"

using namespace trn;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A private copy, so that a read past the input is caught exactly at its end.
    std::vector<uint8_t> input(data, data + size);
    CborErrorInfo info{};
    CborNode* root = cborDecode(input.data(), input.size(), &info);
    if (root == nullptr) {
        assert(info.err != CborError::NoError && info.pos >= 0 &&
               static_cast<size_t>(info.pos) <= size);
        return 0;
    }
    // Iterative walk touching every node and the bytes of every string.
    unsigned checksum = 0;
    const CborNode* node = root;
    while (node != nullptr) {
        if (node->type == CborType::Bytes || node->type == CborType::Text) {
            for (int i = 0; i < node->length; ++i) {
                checksum += node->value.str[i];
            }
        }
        if (node->type == CborType::Map) {
            checksum += cborMapGetString(node, "type") != nullptr;
            checksum += cborMapGetName(node, "count") != nullptr;
            checksum += cborMapGetInt(node, 1) != nullptr;
        }
        checksum += cborArrayGet(node, 2) != nullptr;
        if (node->firstChild != nullptr) {
            node = node->firstChild;
            continue;
        }
        while (node != nullptr && node->next == nullptr) {
            node = node->parent;
        }
        if (node != nullptr) {
            node = node->next;
        }
    }
    volatile unsigned sink = checksum;
    (void)sink;
    cborFree(root);
    return 0;
}
