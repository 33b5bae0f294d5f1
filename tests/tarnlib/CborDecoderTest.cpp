#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "cn-cbor/CborDecoder.h"

using namespace trn;

namespace {

using Bytes = std::vector<uint8_t>;

// A decoded tree with the input it points into, kept alive together.
struct Decoded : std::unique_ptr<CborNode, decltype(&cborFree)> {
    explicit Decoded(Bytes in) : unique_ptr(nullptr, cborFree), input(std::move(in)) {}
    Bytes input;
};

Decoded decode(Bytes in) {
    Decoded d(std::move(in));
    CborErrorInfo info{-1, CborError::NoError};
    d.reset(cborDecode(d.input.data(), d.input.size(), &info));
    EXPECT_NE(d, nullptr) << "error " << static_cast<int>(info.err) << " at " << info.pos;
    EXPECT_EQ(info.pos, -1);  // the error record is left alone on success
    return d;
}

CborErrorInfo failure(const Bytes& in) {
    CborErrorInfo info{-1, CborError::NoError};
    CborNode* n = cborDecode(in.data(), in.size(), &info);
    EXPECT_EQ(n, nullptr);
    cborFree(n);
    return info;
}

TEST(CborDecoder, ScalarsOfEveryMajorTypeAndFloats) {
    struct Case {
        Bytes in;
        CborType type;
        double value;  // uint, sint, tag or simple number, or the float; 0 for false to undefined
    };
    const std::vector<Case> cases = {
        {{0x17}, CborType::Uint, 23},
        {{0x19, 0x01, 0x02}, CborType::Uint, 0x102},
        {{0x1A, 0xDE, 0xAD, 0xBE, 0xEF}, CborType::Uint, 0xDEADBEEF},
        {{0x1B, 0, 0, 0, 1, 0, 0, 0, 5}, CborType::Uint, 5},  // low 32 bits kept
        {{0x20}, CborType::Int, -1},
        {{0x38, 0x63}, CborType::Int, -100},
        {{0xC1, 0x1A, 0, 0, 0, 1}, CborType::Tag, 1},
        {{0xF0}, CborType::Simple, 16},
        {{0xF8, 0xFF}, CborType::Simple, 255},
        {{0xF4}, CborType::False, 0},
        {{0xF5}, CborType::True, 0},
        {{0xF6}, CborType::Null, 0},
        {{0xF7}, CborType::Undefined, 0},
        {{0xF9, 0x3C, 0x00}, CborType::Double, 1.0},
        {{0xF9, 0xFC, 0x00}, CborType::Double, -INFINITY},
        {{0xF9, 0x00, 0x01}, CborType::Double, std::ldexp(1.0, -24)},  // smallest subnormal
        {{0xFA, 0x3D, 0xCC, 0xCC, 0xCD}, CborType::Double, static_cast<double>(0.1f)},
        {{0xFB, 0x3F, 0xB9, 0x99, 0x99, 0x99, 0x99, 0x99, 0x9A}, CborType::Double, 0.1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.in[0]));
        auto t = decode(c.in);
        EXPECT_EQ(t->type, c.type);
        EXPECT_EQ(c.type == CborType::Int      ? t->value.sint
                  : c.type == CborType::Double ? t->value.dbl
                  : c.value == 0               ? 0
                                               : t->value.uint,
                  c.value);
    }
    EXPECT_TRUE(std::isnan(decode({0xF9, 0x7E, 0x00})->value.dbl));
    auto t = decode({0x43, 1, 2, 3});
    EXPECT_EQ(t->type, CborType::Bytes);
    EXPECT_EQ(t->length, 3);
    t = decode({0x63, 'a', 'b', 'c'});
    EXPECT_EQ(t->type, CborType::Text);
    EXPECT_EQ(t->length, 3);
    EXPECT_EQ(t->value.str, t.input.data() + 1);  // points into the input, not a copy
}

TEST(CborDecoder, ContainersAndLookups) {
    // {"a\0": 2, 3: 4, h'62': 6}
    auto t = decode({0xA3, 0x62, 'a', 0, 0x02, 0x03, 0x04, 0x41, 'b', 0x06});
    EXPECT_EQ(t->type, CborType::Map);
    EXPECT_EQ(t->length, 6);
    EXPECT_EQ(cborMapGetString(t.get(), "a"), nullptr);
    ASSERT_NE(cborMapGetName(t.get(), "a"), nullptr);  // a name ends at its NUL
    EXPECT_EQ(cborMapGetName(t.get(), "a")->value.uint, 2u);
    ASSERT_NE(cborMapGetString(t.get(), "b"), nullptr);  // byte string keys count too
    EXPECT_EQ(cborMapGetString(t.get(), "b")->value.uint, 6u);

    t = decode({0x83, 0x01, 0x82, 0x02, 0x03, 0x80});
    EXPECT_EQ(t->length, 3);
    const CborNode* inner = cborArrayGet(t.get(), 1);
    EXPECT_EQ(inner->type, CborType::Array);
    EXPECT_EQ(cborArrayGet(inner, 1)->value.uint, 3u);
    EXPECT_EQ(inner->parent, t.get());
    EXPECT_EQ(cborArrayGet(t.get(), 3), nullptr);

    // Indefinite lengths, mixed with definite ones: [_ {_ "a": [1, [_ ]]}, h''_, "a"_]
    t = decode({0x9F, 0xBF, 0x61, 'a', 0x82, 0x01, 0x9F, 0xFF, 0xFF, 0x5F, 0x42, 1, 2, 0xFF, 0x7F,
                0x61, 'a', 0xFF, 0xFF});
    EXPECT_EQ(t->type, CborType::Array);
    EXPECT_NE(t->flags & FlagIndefinite, 0);
    EXPECT_EQ(t->length, 3);
    EXPECT_EQ(cborArrayGet(cborMapGetString(cborArrayGet(t.get(), 0), "a"), 1)->length, 0);
    EXPECT_EQ(cborArrayGet(t.get(), 1)->type, CborType::BytesChunked);
    EXPECT_EQ(cborArrayGet(t.get(), 1)->firstChild->length, 2);
    EXPECT_EQ(cborArrayGet(t.get(), 2)->type, CborType::TextChunked);
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
        size_t depth = 0;
        for (const CborNode* n = t.get(); n->firstChild != nullptr; n = n->firstChild) {
            ++depth;
        }
        EXPECT_EQ(depth, kDepth);
        // Cut short, the partial tree is freed without recursion too.
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
        {{0x3F}, CborError::MajorTypeUndefinedForIndefinite, 1},
        {{0x1C}, CborError::ReservedAdditionalInfo, 1},
        {{0x5F, 0x41, 0x00, 0x61, 0x00, 0xFF}, CborError::WrongNestingInIndefiniteString, 5},
        {{0x5B, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}, CborError::OutOfData, 9},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases.data());
        const CborErrorInfo e = failure(c.in);
        EXPECT_EQ(e.err, c.err);
        EXPECT_EQ(e.pos, c.pos);
    }
    EXPECT_EQ(cborDecode(cases[3].in.data(), 1, nullptr), nullptr);  // no error record needed
}

}  // namespace
