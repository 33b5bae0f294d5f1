#pragma once

#include <cstddef>
#include <cstdint>

// A small, non-recursive CBOR (RFC 7049) decoder that turns one data item held in memory into a
// tree of nodes. Strings are not copied: they point into the input, which must outlive the tree.
namespace trn {

// The order matters: a string type becomes its chunked form by adding 2.
enum class CborType : int {
    False = 0,
    True = 1,
    Null = 2,
    Undefined = 3,
    Uint = 4,
    Int = 5,
    Bytes = 6,
    Text = 7,
    BytesChunked = 8,
    TextChunked = 9,
    Array = 10,
    Map = 11,
    Tag = 12,
    Simple = 13,
    Double = 14,
    Float = 15,   // never produced
    Invalid = 16  // only the decoder's internal root sentinel
};

enum CborFlag : int {
    FlagCount = 1,      // a definite-length array or map that is still being filled
    FlagIndefinite = 2  // an indefinite-length string, array, map or tag
};

struct CborNode {
    CborType type;
    int flags;
    union {
        const uint8_t* str;
        int32_t sint;
        uint32_t uint;
        double dbl;
        uint32_t count;
    } value;
    // Bytes/Text: byte count; containers and chunked strings: number of children.
    int length;
    CborNode* firstChild;
    CborNode* lastChild;
    CborNode* next;
    CborNode* parent;
};

enum class CborError : int {
    NoError = 0,
    OutOfData = 1,
    NotAllDataConsumed = 2,
    OddSizeIndefiniteMap = 3,
    BreakOutsideIndefinite = 4,
    MajorTypeUndefinedForIndefinite = 5,
    ReservedAdditionalInfo = 6,
    WrongNestingInIndefiniteString = 7,
    InvalidParameter = 8,  // never produced
    OutOfMemory = 9,
    FloatNotSupported = 10  // never produced
};

// Names of the error codes, indexed by their value.
extern const char* const kCborErrorNames[11];

struct CborErrorInfo {
    int pos;  // offset of the first byte not consumed when the error was found
    CborError err;
};

// Decodes exactly one data item; null on failure, and only then is *error (if given) filled in.
CborNode* cborDecode(const uint8_t* data, size_t length, CborErrorInfo* error);
// Frees a tree given by its root (parent null); null does nothing.
void cborFree(CborNode* root);

// The value whose byte or text string key equals key exactly.
const CborNode* cborMapGetString(const CborNode* map, const char* key);
// As cborMapGetString, but a key holding the name followed by one zero byte matches too.
const CborNode* cborMapGetName(const CborNode* map, const char* name);
// The value whose integer key has the same 32 bits as key.
const CborNode* cborMapGetInt(const CborNode* map, int key);
// The child at a 0-based position, null when there are fewer children.
const CborNode* cborArrayGet(const CborNode* node, unsigned index);

}  // namespace trn
