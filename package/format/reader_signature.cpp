// The reader's side of the signature check: finish the digest, take the signature body past
// the hash, and hand both to the arithmetic. Kept apart from reader.cpp so that programs which
// only read packages do not carry the curve code.
#include "package/format/reader.h"
#include "package/signature/signature.h"

#include <cstring>

namespace installer {

bool PackageReader::verifySignature(const uint8_t* publicKey) {
    if (kind_ != partSignature || fail())
        return false;
    uint8_t body[signatureBodySize];
    if (!buffer.readSignatureBody(body))
        return false;
    const uint8_t* digest = buffer.lastDigest();
    if (std::memcmp(body, digest, Sha1::size) != 0)
        return false;
    return publicKey ? checkSignatureWithKey(digest, body, publicKey)
                     : checkSignature(digest, body);
}

} // namespace installer
