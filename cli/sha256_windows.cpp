// SHA-256 through the CNG primitives of bcrypt.dll, present on every
// Windows that quorvel-cli runs on.
#include "cli/sha256.h"

#include <windows.h>

#include <bcrypt.h>

#include <cstdlib>

namespace cli {

namespace {

BCRYPT_HASH_HANDLE NewHash()
{
    // A hash object that resets itself after each digest, kept for the
    // run: opening the provider is the costly step.
    static BCRYPT_ALG_HANDLE algorithm = [] {
        BCRYPT_ALG_HANDLE opened = nullptr;
        if (BCryptOpenAlgorithmProvider(&opened, BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0)
            std::abort();
        return opened;
    }();
    BCRYPT_HASH_HANDLE hash = nullptr;
    // Without the object buffer, the provider allocates and frees its own.
    if (BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) < 0)
        std::abort();
    return hash;
}

} // namespace

Sha256::Sha256() : handle_(NewHash())
{}

Sha256::~Sha256()
{
    BCryptDestroyHash(static_cast<BCRYPT_HASH_HANDLE>(handle_));
}

void Sha256::Add(const void* data, size_t count)
{
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    while (count > 0) {
        const ULONG slice = count > 0x40000000 ? 0x40000000 : ULONG(count);
        BCryptHashData(static_cast<BCRYPT_HASH_HANDLE>(handle_), const_cast<PUCHAR>(bytes), slice, 0);
        bytes += slice;
        count -= slice;
    }
}

Sha256Digest Sha256::Finish()
{
    Sha256Digest digest;
    BCryptFinishHash(static_cast<BCRYPT_HASH_HANDLE>(handle_), digest.data(), ULONG(digest.size()), 0);
    BCryptDestroyHash(static_cast<BCRYPT_HASH_HANDLE>(handle_));
    handle_ = NewHash();
    return digest;
}

} // namespace cli
