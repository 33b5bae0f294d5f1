#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "cn-cbor/CborDecoder.h"

using namespace trn;

namespace {

using Bytes = std::vector<uint8_t>;

struct TreeDeleter {
    void operator()(CborNode* n) const { cborFree(n); }
};
using Tree = std::unique_ptr<CborNode, TreeDeleter>;

// A decoded tree with the input it points into, kept alive together.
struct Decoded {
    std::unique_ptr<Bytes> input;
    Tree tree;
    CborNode* get() const { return tree.get(); }
    CborNode* operator->() const { return tree.get(); }
};

Decoded decode(Bytes in) {
    Decoded d{std::make_unique<Bytes>(std::move(in)), nullptr};
    CborErrorInfo info{-1, CborError::NoError};
    d.tree.reset(cborDecode(d.input->data(), d.input->size(), &info));
    EXPECT_NE(d.tree, nullptr) << "error " << static_cast<int>(info.err) << " at " << info.pos;
    // The error record is left alone on success.
    EXPECT_EQ(info.pos, -1);
    return d;
}

CborErrorInfo failure(const Bytes& in) {
    CborErrorInfo info{-1, CborError::NoError};
    CborNode* n = cborDecode(in.data(), in.size(), &info);
    EXPECT_EQ(n, nullptr);
    cborFree(n);
    return info;
}

std::string str(const CborNode* n) {
    return std::string(reinterpret_cast<const char*>(n->value.str), n->length);
}

}  // namespace

TEST(CborDecoder, ScalarsOfEveryMajorType) {
    auto t = decode({0x17});
    EXPECT_EQ(t->type, CborType::Uint);
    EXPECT_EQ(t->value.uint, 23u);
    EXPECT_EQ(t->parent, nullptr);

    t = decode({0x19, 0x01, 0x02});
    EXPECT_EQ(t->value.uint, 0x102u);
    t = decode({0x1A, 0xDE, 0xAD, 0xBE, 0xEF});
    EXPECT_EQ(t->value.uint, 0xDEADBEEFu);
    // Only the low 32 bits of a 64-bit argument are kept.
    t = decode({0x1B, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x05});
    EXPECT_EQ(t->value.uint, 5u);

    t = decode({0x20});
    EXPECT_EQ(t->type, CborType::Int);
    EXPECT_EQ(t->value.sint, -1);
    t = decode({0x38, 0x63});
    EXPECT_EQ(t->value.sint, -100);

    t = decode({0x43, 1, 2, 3});
    EXPECT_EQ(t->type, CborType::Bytes);
    EXPECT_EQ(t->length, 3);
    EXPECT_EQ(t->value.str[2], 3);

    t = decode({0x63, 'a', 'b', 'c'});
    EXPECT_EQ(t->type, CborType::Text);
    EXPECT_EQ(str(t.get()), "abc");
    EXPECT_EQ(t->value.str, t.input->data() + 1);  // points into the input, not a copy

    t = decode({0xC1, 0x1A, 0, 0, 0, 1});
    EXPECT_EQ(t->type, CborType::Tag);
    EXPECT_EQ(t->value.uint, 1u);
    ASSERT_NE(t->firstChild, nullptr);
    EXPECT_EQ(t->firstChild->value.uint, 1u);
    EXPECT_EQ(t->firstChild->parent, t.get());

    EXPECT_EQ(decode({0xF4})->type, CborType::False);
    EXPECT_EQ(decode({0xF5})->type, CborType::True);
    EXPECT_EQ(decode({0xF6})->type, CborType::Null);
    EXPECT_EQ(decode({0xF7})->type, CborType::Undefined);
    t = decode({0xF0});
    EXPECT_EQ(t->type, CborType::Simple);
    EXPECT_EQ(t->value.uint, 16u);
    t = decode({0xF8, 0xFF});
    EXPECT_EQ(t->type, CborType::Simple);
    EXPECT_EQ(t->value.uint, 255u);
}

TEST(CborDecoder, Floats) {
    auto dbl = [](const Bytes& in) {
        auto t = decode(in);
        EXPECT_EQ(t->type, CborType::Double);
        return t->value.dbl;
    };
    EXPECT_EQ(dbl({0xF9, 0x3C, 0x00}), 1.0);
    EXPECT_EQ(dbl({0xF9, 0x7C, 0x00}), INFINITY);
    EXPECT_EQ(dbl({0xF9, 0xFC, 0x00}), -INFINITY);
    EXPECT_TRUE(std::isnan(dbl({0xF9, 0x7E, 0x00})));
    EXPECT_EQ(dbl({0xF9, 0x00, 0x01}), std::ldexp(1.0, -24));  // smallest subnormal
    EXPECT_EQ(dbl({0xF9, 0xC4, 0x00}), -4.0);
    EXPECT_EQ(dbl({0xF9, 0x7B, 0xFF}), 65504.0);
    EXPECT_EQ(dbl({0xFA, 0x3D, 0xCC, 0xCC, 0xCD}), static_cast<double>(0.1f));
    EXPECT_EQ(dbl({0xFB, 0x3F, 0xB9, 0x99, 0x99, 0x99, 0x99, 0x99, 0x9A}), 0.1);
}

TEST(CborDecoder, DefiniteContainersAndLookups) {
    auto t = decode({0xA1, 0x61, 0x61, 0x01});
    EXPECT_EQ(t->type, CborType::Map);
    EXPECT_EQ(t->length, 2);
    const CborNode* v = cborMapGetString(t.get(), "a");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->type, CborType::Uint);
    EXPECT_EQ(v->value.uint, 1u);
    EXPECT_EQ(cborMapGetString(t.get(), "b"), nullptr);
    EXPECT_EQ(cborMapGetString(t.get(), "aa"), nullptr);

    // {"a\0": 2, 3: 4, -2: 5, h'62': 6}
    t = decode({0xA4, 0x62, 'a', 0, 0x02, 0x03, 0x04, 0x21, 0x05, 0x41, 'b', 0x06});
    EXPECT_EQ(cborMapGetString(t.get(), "a"), nullptr);
    ASSERT_NE(cborMapGetName(t.get(), "a"), nullptr);
    EXPECT_EQ(cborMapGetName(t.get(), "a")->value.uint, 2u);
    EXPECT_EQ(cborMapGetName(t.get(), "a\0"), cborMapGetName(t.get(), "a"));
    EXPECT_EQ(cborMapGetInt(t.get(), 3)->value.uint, 4u);
    EXPECT_EQ(cborMapGetInt(t.get(), -2)->value.uint, 5u);
    EXPECT_EQ(cborMapGetInt(t.get(), 2), nullptr);
    ASSERT_NE(cborMapGetString(t.get(), "b"), nullptr);  // byte string keys count too
    EXPECT_EQ(cborMapGetString(t.get(), "b")->value.uint, 6u);

    // Integer keys match on their 32 bits: 0xFFFFFFFF as unsigned is -1.
    t = decode({0xA1, 0x1A, 0xFF, 0xFF, 0xFF, 0xFF, 0x07});
    EXPECT_EQ(cborMapGetInt(t.get(), -1)->value.uint, 7u);

    t = decode({0x83, 0x01, 0x82, 0x02, 0x03, 0x80});
    EXPECT_EQ(t->length, 3);
    EXPECT_EQ(cborArrayGet(t.get(), 0)->value.uint, 1u);
    const CborNode* inner = cborArrayGet(t.get(), 1);
    EXPECT_EQ(inner->type, CborType::Array);
    EXPECT_EQ(inner->length, 2);
    EXPECT_EQ(cborArrayGet(inner, 1)->value.uint, 3u);
    EXPECT_EQ(inner->parent, t.get());
    EXPECT_EQ(cborArrayGet(t.get(), 2)->length, 0);
    EXPECT_EQ(cborArrayGet(t.get(), 3), nullptr);
    EXPECT_EQ(t->lastChild, cborArrayGet(t.get(), 2));
    EXPECT_EQ(decode({0xA0})->length, 0);
}

TEST(CborDecoder, IndefiniteLengths) {
    auto t = decode({0x9F, 0x01, 0xFF});
    EXPECT_EQ(t->type, CborType::Array);
    EXPECT_EQ(t->length, 1);
    EXPECT_NE(t->flags & FlagIndefinite, 0);

    t = decode({0xBF, 0x61, 'k', 0x02, 0xFF});
    EXPECT_EQ(t->type, CborType::Map);
    EXPECT_EQ(cborMapGetString(t.get(), "k")->value.uint, 2u);

    t = decode({0x5F, 0x42, 1, 2, 0x41, 3, 0xFF});
    EXPECT_EQ(t->type, CborType::BytesChunked);
    EXPECT_EQ(t->length, 2);
    EXPECT_EQ(t->firstChild->length, 2);
    t = decode({0x7F, 0x61, 'a', 0x60, 0xFF});
    EXPECT_EQ(t->type, CborType::TextChunked);
    t = decode({0x7F, 0xFF});
    EXPECT_EQ(t->type, CborType::TextChunked);
    EXPECT_EQ(t->length, 0);

    // An indefinite tag collects items up to its break.
    t = decode({0xDF, 0x01, 0x02, 0xFF});
    EXPECT_EQ(t->type, CborType::Tag);
    EXPECT_EQ(t->length, 2);

    // Mixed nesting: [_ {"a": [1, [_ ]]}, h''_]
    t = decode({0x9F, 0xA1, 0x61, 'a', 0x82, 0x01, 0x9F, 0xFF, 0x5F, 0xFF, 0xFF});
    EXPECT_EQ(t->length, 2);
    EXPECT_EQ(cborArrayGet(t.get(), 1)->type, CborType::BytesChunked);
}

TEST(CborDecoder, DeepNestingNeedsNoRecursion) {
    constexpr size_t kDepth = 100000;
    for (uint8_t open : {uint8_t{0x81}, uint8_t{0x9F}, uint8_t{0xC6}}) {
        Bytes in(kDepth, open);
        in.push_back(0x00);
        if (open == 0x9F) {
            in.insert(in.end(), kDepth, 0xFF);
        }
        auto t = decode(in);
        const CborNode* n = t.get();
        size_t depth = 0;
        while (n->firstChild != nullptr) {
            n = n->firstChild;
            ++depth;
        }
        EXPECT_EQ(depth, kDepth);
        // Cut short, the partial tree is freed without recursion too (checked by ASan).
        in.pop_back();
        const CborErrorInfo e = failure(in);
        EXPECT_EQ(e.err, CborError::OutOfData);
        EXPECT_EQ(e.pos, static_cast<int>(in.size()));
    }
}

TEST(CborDecoder, ErrorsWithOffsets) {
    struct Case {
        Bytes in;
        CborError err;
        int pos;
    };
    const std::vector<Case> cases = {
        {{}, CborError::OutOfData, 0},
        {{0x01, 0x02}, CborError::NotAllDataConsumed, 1},
        {{0xBF, 0x01, 0xFF}, CborError::OddSizeIndefiniteMap, 3},
        {{0xFF}, CborError::BreakOutsideIndefinite, 1},
        {{0x82, 0x01, 0xFF}, CborError::BreakOutsideIndefinite, 3},
        {{0x1F}, CborError::MajorTypeUndefinedForIndefinite, 1},
        {{0x3F}, CborError::MajorTypeUndefinedForIndefinite, 1},
        {{0x1C}, CborError::ReservedAdditionalInfo, 1},
        {{0x82, 0x01, 0xFE}, CborError::ReservedAdditionalInfo, 3},
        {{0x5F, 0x41, 0x00, 0x61, 0x00, 0xFF}, CborError::WrongNestingInIndefiniteString, 5},
        {{0x5F, 0x5F, 0xFF, 0xFF}, CborError::WrongNestingInIndefiniteString, 3},
        {{0x7F, 0x01, 0xFF}, CborError::WrongNestingInIndefiniteString, 2},
        {{0x62, 0x61}, CborError::OutOfData, 1},
        {{0x19, 0x01}, CborError::OutOfData, 1},
        {{0x5B, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}, CborError::OutOfData, 9},
        {{0x7A, 0xFF, 0xFF, 0xFF, 0xFF}, CborError::OutOfData, 5},
        {{0x83, 0x01, 0x02}, CborError::OutOfData, 3},
        {{0xA1, 0x01}, CborError::OutOfData, 2},
        {{0xC6}, CborError::OutOfData, 1},
        {{0x9F, 0x01}, CborError::OutOfData, 2},
        {{0xFB, 0x00, 0x00}, CborError::OutOfData, 1},
        {{0xA1, 0x61, 'a', 0x01, 0x00}, CborError::NotAllDataConsumed, 4},
    };
    for (const auto& c : cases) {
        const CborErrorInfo e = failure(c.in);
        EXPECT_EQ(e.err, c.err) << "case at " << &c - cases.data();
        EXPECT_EQ(e.pos, c.pos) << "case at " << &c - cases.data();
    }
    // A null error record is allowed.
    const Bytes bad{0xFF};
    EXPECT_EQ(cborDecode(bad.data(), bad.size(), nullptr), nullptr);
    EXPECT_EQ(cborDecode(nullptr, 0, nullptr), nullptr);
    cborFree(nullptr);
}

TEST(CborDecoder, NeverReadsPastTheInput) {
    // Every prefix of a valid item fails cleanly; ASan checks the reads stay inside the copy.
    const Bytes full{0xBF, 0x63, 'a',  'b',  'c',  0x9F, 0x1A, 1,    2,
                     3,    4,    0xFA, 0x3F, 0x80, 0,    0,    0x7F, 0x61,
                     'x',  0xFF, 0xFF, 0xC1, 0xF9, 0x3C, 0x00, 0x00, 0xFF};
    decode(full);
    for (size_t n = 0; n < full.size(); ++n) {
        const Bytes prefix(full.begin(), full.begin() + static_cast<long>(n));
        const CborErrorInfo e = failure(prefix);
        EXPECT_EQ(e.err, CborError::OutOfData) << n;
        EXPECT_LE(e.pos, static_cast<int>(n));
    }
}
