// SHA-256, from the system's own implementation: OpenSSL's libcrypto on
// POSIX (linked in, so that the program still needs only the C library),
// the CNG primitives of bcrypt.dll on Windows.
#ifndef QUORVEL_CLI_SHA256_H
#define QUORVEL_CLI_SHA256_H

#include <array>
#include <cstddef>
#include <cstdint>

namespace cli {

using Sha256Digest = std::array<unsigned char, 32>;

class Sha256 {
public:
    Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    ~Sha256();
    void Add(const void* data, size_t count);
    // The digest of everything added; the object starts again afterwards.
    Sha256Digest Finish();

private:
    alignas(16) unsigned char state_[128]; // the implementation's own context
    void* handle_ = nullptr;               // Windows: the hash object
};

} // namespace cli

#endif
