// SHA-256 through libcrypto's one-algorithm interface, which needs no
// provider or configuration loaded at run time.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "cli/sha256.h"

#include <openssl/sha.h>

namespace cli {

static_assert(sizeof(SHA256_CTX) <= 128, "the context must fit its place in Sha256");

Sha256::Sha256()
{
    SHA256_Init(reinterpret_cast<SHA256_CTX*>(state_));
}

Sha256::~Sha256() = default;

void Sha256::Add(const void* data, size_t count)
{
    SHA256_Update(reinterpret_cast<SHA256_CTX*>(state_), data, count);
}

Sha256Digest Sha256::Finish()
{
    Sha256Digest digest;
    SHA256_Final(digest.data(), reinterpret_cast<SHA256_CTX*>(state_));
    SHA256_Init(reinterpret_cast<SHA256_CTX*>(state_));
    return digest;
}

} // namespace cli
