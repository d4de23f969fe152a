#pragma once
// One signature made once with the development key pair (keys/dev.sec, keys/dev.pub): the fixed
// case that the signature tests and the verification benchmarks share.
#include "testbed/support/test_bytes.h"

namespace signature_fixture {

inline const auto devKey =
    fromHex<32>("575c0c9167df26e650e99526a5b67b4933b4d7f9463eaab2545484fd7dd24a6b");
inline const auto digest = fromHex<20>("00070e151c232a31383f464d545b626970777e85");
inline const auto body =
    fromHex<68>("00070e151c232a31383f464d545b626970777e85"
                "76d6f3f8422147baebccf2010ca0c5ca"
                "8fb233d6db6a25ae02d28d8a54704979bd85f28dedd1d9e393be406aa3078a09");

} // namespace signature_fixture
