#include "CborDecoder.h"

#include <cassert>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

namespace trn {

const char* const kCborErrorNames[11] = {
    "NoError",
    "OutOfData",
    "NotAllDataConsumed",
    "OddSizeIndefiniteMap",
    "BreakOutsideIndefinite",
    "MajorTypeUndefinedForIndefinite",
    "ReservedAdditionalInfo",
    "WrongNestingInIndefiniteString",
    "InvalidParameter",
    "OutOfMemory",
    "FloatNotSupported",
};

namespace {

constexpr CborType kTypeOfMajor[8] = {CborType::Uint, CborType::Int,   CborType::Bytes,
                                      CborType::Text, CborType::Array, CborType::Map,
                                      CborType::Tag,  CborType::Simple};

// Post-order walk without recursion; also used on partial trees whose root still has a parent.
void freeTree(CborNode* root) {
    CborNode* node = root;
    while (node != nullptr) {
        while (node->firstChild != nullptr) {
            node = node->firstChild;
        }
        CborNode* next = node->next;
        CborNode* parent = node->parent;
        const bool isRoot = node == root;
        delete node;
        if (isRoot) {
            return;
        }
        if (next != nullptr) {
            node = next;
        } else {
            parent->firstChild = nullptr;
            node = parent;
        }
    }
}

uint64_t readBigEndian(const uint8_t* p, size_t bytes) {
    uint64_t v = 0;
    for (size_t i = 0; i < bytes; ++i) {
        v = (v << 8) | p[i];
    }
    return v;
}

double decodeHalf(uint16_t half) {
    const int exponent = (half >> 10) & 0x1F;
    const int mantissa = half & 0x3FF;
    double value;
    if (exponent == 0) {
        value = std::ldexp(mantissa, -24);
    } else if (exponent != 31) {
        value = std::ldexp(mantissa + 1024, exponent - 25);
    } else {
        value = mantissa == 0 ? std::numeric_limits<double>::infinity()
                              : std::numeric_limits<double>::quiet_NaN();
    }
    return (half & 0x8000) != 0 ? -value : value;
}

bool isString(CborType t) {
    return t == CborType::Bytes || t == CborType::Text;
}

bool keyIsString(const CborNode* key) {
    return isString(key->type);
}

// A string key that holds the n bytes of `text`; with `nulEnded`, also one that holds them
// followed by a NUL, as some units send their names.
bool keyEquals(const CborNode* key, const char* text, size_t n, bool nulEnded) {
    if (!keyIsString(key)) {
        return false;
    }
    const size_t length = static_cast<size_t>(key->length);
    const bool sameLength = length == n || (nulEnded && length == n + 1 && key->value.str[n] == 0);
    return sameLength && (n == 0 || std::memcmp(key->value.str, text, n) == 0);
}

// The value of the first key of a map that `matches`; null when none does or the map ends in a
// key without its value.
template <typename Matches>
const CborNode* findValue(const CborNode* map, Matches matches) {
    for (const CborNode* k = map->firstChild; k != nullptr; k = k->next->next) {
        if (k->next == nullptr) {
            return nullptr;
        }
        if (matches(k)) {
            return k->next;
        }
    }
    return nullptr;
}

const CborNode* findTextKey(const CborNode* map, const char* key, bool nulEnded) {
    assert(map != nullptr && key != nullptr);
    if (map == nullptr || key == nullptr) {
        return nullptr;
    }
    const size_t n = std::strlen(key);
    return findValue(map, [&](const CborNode* k) { return keyEquals(k, key, n, nulEnded); });
}

}  // namespace

CborNode* cborDecode(const uint8_t* data, size_t length, CborErrorInfo* error) {
    CborNode sentinel{};
    sentinel.type = CborType::Invalid;

    const uint8_t* pos = data;
    const uint8_t* const end = data + length;
    CborNode* parent = &sentinel;
    CborError err = CborError::NoError;

    auto remaining = [&]() { return static_cast<size_t>(end - pos); };

    for (;;) {
        // Step 1: the next initial byte.
        if (pos == nullptr || pos >= end) {
            err = CborError::OutOfData;
            break;
        }
        const uint8_t ib = *pos++;
        CborNode* finished = nullptr;

        if (ib == 0xFF) {
            // Break: completes the indefinite parent.
            if ((parent->flags & FlagIndefinite) == 0) {
                err = CborError::BreakOutsideIndefinite;
                break;
            }
            if (isString(parent->type)) {
                parent->type = static_cast<CborType>(static_cast<int>(parent->type) + 2);
            }
            if (parent->type == CborType::Map && (parent->length & 1) != 0) {
                err = CborError::OddSizeIndefiniteMap;
                break;
            }
            finished = parent;
            parent = parent->parent;
        } else {
            const int major = ib >> 5;
            const int info = ib & 0x1F;
            CborNode* node = new (std::nothrow) CborNode{};
            if (node == nullptr) {
                err = CborError::OutOfMemory;
                break;
            }
            node->type = kTypeOfMajor[major];
            node->parent = parent;
            if (parent->lastChild != nullptr) {
                parent->lastChild->next = node;
            } else {
                parent->firstChild = node;
            }
            parent->lastChild = node;
            parent->length++;

            uint64_t arg = 0;
            if (info < 24) {
                arg = static_cast<uint64_t>(info);
            } else if (info <= 27) {
                const size_t bytes = size_t{1} << (info - 24);
                if (remaining() < bytes) {
                    err = CborError::OutOfData;
                    break;
                }
                arg = readBigEndian(pos, bytes);
                pos += bytes;
            } else if (info <= 30) {
                err = CborError::ReservedAdditionalInfo;
                break;
            } else {
                if (major <= 1) {
                    err = CborError::MajorTypeUndefinedForIndefinite;
                    break;
                }
                node->flags |= FlagIndefinite;
                parent = node;
                continue;
            }

            const uint32_t low = static_cast<uint32_t>(arg);
            switch (major) {
                case 0:
                    node->value.uint = low;
                    break;
                case 1:
                    node->value.sint = static_cast<int32_t>(~low);
                    break;
                case 2:
                case 3:
                    if (arg > remaining()) {
                        err = CborError::OutOfData;
                        break;
                    }
                    node->value.str = pos;
                    node->length = static_cast<int>(arg);
                    pos += static_cast<size_t>(arg);
                    break;
                case 4:
                case 5:
                    node->value.count = major == 4 ? low : 2 * low;
                    if (node->value.count != 0) {
                        node->flags |= FlagCount;
                        parent = node;
                    }
                    break;
                case 6:
                    node->value.uint = low;
                    parent = node;
                    break;
                default:
                    switch (info) {
                        case 20:
                        case 21:
                        case 22:
                        case 23:
                            node->type = static_cast<CborType>(info - 20);
                            break;
                        case 25:
                            node->type = CborType::Double;
                            node->value.dbl = decodeHalf(static_cast<uint16_t>(arg));
                            break;
                        case 26: {
                            float f;
                            const uint32_t bits = low;
                            std::memcpy(&f, &bits, sizeof f);
                            node->type = CborType::Double;
                            node->value.dbl = f;
                            break;
                        }
                        case 27:
                            node->type = CborType::Double;
                            std::memcpy(&node->value.dbl, &arg, sizeof arg);
                            break;
                        default:
                            node->value.uint = low;
                            break;
                    }
                    break;
            }
            if (err != CborError::NoError) {
                break;
            }
            if (parent == node) {
                continue;  // a container or tag waits for its children
            }
            finished = node;
        }

        // Steps 7 and 8: hand finished items up until a parent still waits for more.
        bool done = false;
        for (;;) {
            if ((parent->flags & FlagIndefinite) != 0) {
                if (isString(parent->type) && parent->type != finished->type) {
                    err = CborError::WrongNestingInIndefiniteString;
                }
                break;
            }
            if ((parent->flags & FlagCount) != 0 && --parent->value.count != 0) {
                break;
            }
            if (parent == &sentinel) {
                done = true;
                break;
            }
            finished = parent;
            parent = parent->parent;
        }
        if (err != CborError::NoError) {
            break;
        }
        if (done) {
            if (pos != end) {
                err = CborError::NotAllDataConsumed;
                break;
            }
            CborNode* root = sentinel.firstChild;
            root->parent = nullptr;
            return root;
        }
    }

    if (sentinel.firstChild != nullptr) {
        freeTree(sentinel.firstChild);
    }
    if (error != nullptr) {
        error->err = err;
        error->pos = pos == nullptr ? 0 : static_cast<int>(pos - data);
    }
    return nullptr;
}

void cborFree(CborNode* root) {
    if (root == nullptr) {
        return;
    }
    assert(root->parent == nullptr);
    freeTree(root);
}

const CborNode* cborMapGetString(const CborNode* map, const char* key) {
    return findTextKey(map, key, false);
}

const CborNode* cborMapGetName(const CborNode* map, const char* name) {
    return findTextKey(map, name, true);
}

const CborNode* cborMapGetInt(const CborNode* map, int key) {
    assert(map != nullptr);
    if (map == nullptr) {
        return nullptr;
    }
    return findValue(map, [&](const CborNode* k) {
        return (k->type == CborType::Uint || k->type == CborType::Int) &&
               static_cast<int32_t>(k->value.uint) == key;
    });
}

const CborNode* cborArrayGet(const CborNode* node, unsigned index) {
    const CborNode* child = node == nullptr ? nullptr : node->firstChild;
    for (unsigned i = 0; child != nullptr && i < index; ++i) {
        child = child->next;
    }
    return child;
}

}  // namespace trn
