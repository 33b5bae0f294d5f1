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

// Major type 7: false, true, null, undefined, the floating-point values (held as double), or
// a simple value by its number.
void setSimpleValue(CborNode* node, int info, uint64_t arg) {
    const uint32_t low = static_cast<uint32_t>(arg);
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
            std::memcpy(&f, &low, sizeof f);
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
}

// The decoding of one data item, without recursion: each initial byte either ends the
// indefinite-length item it is the break of, or starts a node under the current parent. A node
// that needs no children is finished at once; a container or tag becomes the parent of what
// follows. Finished items are handed up, each parent counting them, until one still waits for
// more; the item is complete when the sentinel above the root is reached.
class Decoder {
  public:
    Decoder(const uint8_t* data, size_t length) : data_(data), pos_(data), end_(data + length) {
        sentinel_.type = CborType::Invalid;
    }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    CborNode* decode(CborErrorInfo* error);

  private:
    bool failing() const { return err_ != CborError::NoError; }
    size_t remaining() const { return static_cast<size_t>(end_ - pos_); }
    CborNode* nextItem();
    CborNode* endIndefinite();
    CborNode* startItem(uint8_t initialByte);
    CborNode* appendNode(CborType type);
    bool readArgument(int info, uint64_t& arg);
    bool setValue(CborNode* node, int major, int info, uint64_t arg);
    bool handUp(CborNode* finished);
    CborNode* complete(CborErrorInfo* error);
    CborNode* failed(CborErrorInfo* error);

    const uint8_t* const data_;
    const uint8_t* pos_;
    const uint8_t* const end_;
    CborNode sentinel_{};
    CborNode* parent_ = &sentinel_;
    CborError err_ = CborError::NoError;
};

CborNode* Decoder::decode(CborErrorInfo* error) {
    for (;;) {
        CborNode* finished = nextItem();
        if (failing()) {
            return failed(error);
        }
        if (finished == nullptr) {
            continue;  // a container or tag waits for its children
        }
        const bool done = handUp(finished);
        if (failing()) {
            return failed(error);
        }
        if (done) {
            return complete(error);
        }
    }
}

// The item the next initial byte finishes, if any.
CborNode* Decoder::nextItem() {
    if (pos_ == nullptr || pos_ >= end_) {
        err_ = CborError::OutOfData;
        return nullptr;
    }
    const uint8_t initialByte = *pos_++;
    return initialByte == 0xFF ? endIndefinite() : startItem(initialByte);
}

// A break: completes the indefinite-length parent.
CborNode* Decoder::endIndefinite() {
    if ((parent_->flags & FlagIndefinite) == 0) {
        err_ = CborError::BreakOutsideIndefinite;
        return nullptr;
    }
    if (isString(parent_->type)) {
        parent_->type = static_cast<CborType>(static_cast<int>(parent_->type) + 2);
    }
    if (parent_->type == CborType::Map && (parent_->length & 1) != 0) {
        err_ = CborError::OddSizeIndefiniteMap;
        return nullptr;
    }
    CborNode* finished = parent_;
    parent_ = parent_->parent;
    return finished;
}

// A new node from its initial byte, its argument and its value; it is finished unless it waits
// for children.
CborNode* Decoder::startItem(uint8_t initialByte) {
    const int major = initialByte >> 5;
    const int info = initialByte & 0x1F;
    CborNode* node = appendNode(kTypeOfMajor[major]);
    if (node == nullptr) {
        return nullptr;
    }
    if (info == 31) {
        if (major <= 1) {
            err_ = CborError::MajorTypeUndefinedForIndefinite;
            return nullptr;
        }
        node->flags |= FlagIndefinite;
        parent_ = node;
        return nullptr;
    }
    uint64_t arg = 0;
    if (!readArgument(info, arg) || !setValue(node, major, info, arg)) {
        return nullptr;
    }
    return parent_ == node ? nullptr : node;
}

CborNode* Decoder::appendNode(CborType type) {
    CborNode* node = new (std::nothrow) CborNode{};
    if (node == nullptr) {
        err_ = CborError::OutOfMemory;
        return nullptr;
    }
    node->type = type;
    node->parent = parent_;
    if (parent_->lastChild != nullptr) {
        parent_->lastChild->next = node;
    } else {
        parent_->firstChild = node;
    }
    parent_->lastChild = node;
    parent_->length++;
    return node;
}

// The argument: the additional information itself, or the 1, 2, 4 or 8 bytes after it.
bool Decoder::readArgument(int info, uint64_t& arg) {
    if (info < 24) {
        arg = static_cast<uint64_t>(info);
        return true;
    }
    if (info > 27) {
        err_ = CborError::ReservedAdditionalInfo;
        return false;
    }
    const size_t bytes = size_t{1} << (info - 24);
    if (remaining() < bytes) {
        err_ = CborError::OutOfData;
        return false;
    }
    arg = readBigEndian(pos_, bytes);
    pos_ += bytes;
    return true;
}

bool Decoder::setValue(CborNode* node, int major, int info, uint64_t arg) {
    const uint32_t low = static_cast<uint32_t>(arg);
    switch (major) {
        case 0:
            node->value.uint = low;
            return true;
        case 1:
            node->value.sint = static_cast<int32_t>(~low);
            return true;
        case 2:
        case 3:
            if (arg > remaining()) {
                err_ = CborError::OutOfData;
                return false;
            }
            node->value.str = pos_;
            node->length = static_cast<int>(arg);
            pos_ += static_cast<size_t>(arg);
            return true;
        case 4:
        case 5:
            node->value.count = major == 4 ? low : 2 * low;
            if (node->value.count != 0) {
                node->flags |= FlagCount;
                parent_ = node;
            }
            return true;
        case 6:
            node->value.uint = low;
            parent_ = node;
            return true;
        default:
            setSimpleValue(node, info, arg);
            return true;
    }
}

// Hands a finished item up: each parent counts it, and one that has all its children is
// finished in turn, until a parent still waits for more. True when the whole item is complete.
bool Decoder::handUp(CborNode* finished) {
    for (;;) {
        if ((parent_->flags & FlagIndefinite) != 0) {
            if (isString(parent_->type) && parent_->type != finished->type) {
                err_ = CborError::WrongNestingInIndefiniteString;
            }
            return false;
        }
        if ((parent_->flags & FlagCount) != 0 && --parent_->value.count != 0) {
            return false;
        }
        if (parent_ == &sentinel_) {
            return true;
        }
        finished = parent_;
        parent_ = parent_->parent;
    }
}

// The root of a complete item, which must be all of the data.
CborNode* Decoder::complete(CborErrorInfo* error) {
    if (pos_ != end_) {
        err_ = CborError::NotAllDataConsumed;
        return failed(error);
    }
    CborNode* root = sentinel_.firstChild;
    root->parent = nullptr;
    return root;
}

CborNode* Decoder::failed(CborErrorInfo* error) {
    if (sentinel_.firstChild != nullptr) {
        freeTree(sentinel_.firstChild);
    }
    if (error != nullptr) {
        error->err = err_;
        error->pos = pos_ == nullptr ? 0 : static_cast<int>(pos_ - data_);
    }
    return nullptr;
}

}  // namespace

CborNode* cborDecode(const uint8_t* data, size_t length, CborErrorInfo* error) {
    Decoder decoder(data, length);
    return decoder.decode(error);
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
