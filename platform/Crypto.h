#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace platform {

// A failed cryptographic step, carrying a sentence for the user.
struct CryptoError {
    std::string message;
};

// Bytes made by a step, or why it failed.
struct CryptoResult {
    std::string data;
    std::optional<CryptoError> error;

    bool ok() const { return !error.has_value(); }
};

inline constexpr std::size_t kAesKeyBytes = 32;
inline constexpr std::size_t kGcmNonceBytes = 12;
inline constexpr std::size_t kGcmTagBytes = 16;

// A 256-bit key that wipes itself when it goes away.
class SymmetricKey {
public:
    SymmetricKey() = default;
    // Takes the first 32 bytes; none when there are fewer or more.
    static std::optional<SymmetricKey> fromBytes(std::string_view bytes);
    // 256 bits from the system's random source.
    static std::optional<SymmetricKey> random();

    SymmetricKey(const SymmetricKey& other) = default;
    SymmetricKey& operator=(const SymmetricKey& other) = default;
    ~SymmetricKey();

    std::span<const std::uint8_t, kAesKeyBytes> bytes() const { return bytes_; }
    bool operator==(const SymmetricKey& other) const;

private:
    std::array<std::uint8_t, kAesKeyBytes> bytes_{};
};

// `count` bytes from the system's random source.
CryptoResult randomBytes(std::size_t count);

// AES-256-GCM with a fresh random 12-byte nonce. Gives nonce, ciphertext and
// 16-byte tag, in that order. `associated` is authenticated, not encrypted.
CryptoResult sealAesGcm(const SymmetricKey& key, std::string_view plaintext, std::string_view associated = {});
// The same with a given nonce (known-answer tests). Never reuse a nonce under one key.
CryptoResult sealAesGcmWithNonce(const SymmetricKey& key, std::string_view nonce, std::string_view plaintext,
                                 std::string_view associated = {});

// Opens a box made by `sealAesGcm`. Any change to the box or to `associated`
// makes it fail; nothing of the plaintext is given then.
CryptoResult openAesGcm(const SymmetricKey& key, std::string_view box, std::string_view associated = {});

// PBKDF2 with HMAC-SHA256, giving a 256-bit key. `rounds` must be at least 1.
std::optional<SymmetricKey> deriveKeyPbkdf2Sha256(std::string_view passphrase, std::string_view salt,
                                                  std::uint32_t rounds);

// The raw 32-byte SHA-256 digest.
std::string sha256(std::string_view data);

// Overwrites memory the optimiser would otherwise leave alone.
void wipe(std::string& secret);

}  // namespace platform
