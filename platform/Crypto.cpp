#include "platform/Crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <memory>

namespace platform {
namespace {

struct CipherContextFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

CryptoResult failure(std::string message)
{
    CryptoResult r;
    r.error = CryptoError{std::move(message)};
    return r;
}

const unsigned char* bytesOf(std::string_view s)
{
    return reinterpret_cast<const unsigned char*>(s.data());
}
unsigned char* bytesOf(std::string& s)
{
    return reinterpret_cast<unsigned char*>(s.data());
}

// EVP takes int lengths; everything we seal is far below that.
bool fitsInt(std::size_t n)
{
    return n <= static_cast<std::size_t>(INT_MAX) - 64;
}

}  // namespace

std::optional<SymmetricKey> SymmetricKey::fromBytes(std::string_view bytes)
{
    if (bytes.size() != kAesKeyBytes)
        return std::nullopt;
    SymmetricKey key;
    for (std::size_t i = 0; i < kAesKeyBytes; ++i)
        key.bytes_[i] = static_cast<std::uint8_t>(bytes[i]);
    return key;
}

std::optional<SymmetricKey> SymmetricKey::random()
{
    SymmetricKey key;
    if (RAND_bytes(key.bytes_.data(), static_cast<int>(key.bytes_.size())) != 1)
        return std::nullopt;
    return key;
}

SymmetricKey::~SymmetricKey()
{
    OPENSSL_cleanse(bytes_.data(), bytes_.size());
}

bool SymmetricKey::operator==(const SymmetricKey& other) const
{
    return CRYPTO_memcmp(bytes_.data(), other.bytes_.data(), bytes_.size()) == 0;
}

CryptoResult randomBytes(std::size_t count)
{
    if (!fitsInt(count))
        return failure("Too many random bytes were asked for.");
    CryptoResult r;
    r.data.resize(count);
    if (count > 0 && RAND_bytes(bytesOf(r.data), static_cast<int>(count)) != 1)
        return failure("The system's random source failed.");
    return r;
}

CryptoResult sealAesGcm(const SymmetricKey& key, std::string_view plaintext, std::string_view associated)
{
    CryptoResult nonce = randomBytes(kGcmNonceBytes);
    if (!nonce.ok())
        return nonce;
    return sealAesGcmWithNonce(key, nonce.data, plaintext, associated);
}

CryptoResult sealAesGcmWithNonce(const SymmetricKey& key, std::string_view nonce, std::string_view plaintext,
                                 std::string_view associated)
{
    const auto broken = [] { return failure("Encryption failed."); };
    if (nonce.size() != kGcmNonceBytes || !fitsInt(plaintext.size()) || !fitsInt(associated.size()))
        return broken();
    CipherContext ctx(EVP_CIPHER_CTX_new());
    if (!ctx)
        return broken();

    CryptoResult r;
    r.data.resize(kGcmNonceBytes + plaintext.size() + kGcmTagBytes);
    r.data.replace(0, kGcmNonceBytes, nonce);
    unsigned char* out = bytesOf(r.data) + kGcmNonceBytes;
    int len = 0;
    if (EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.bytes().data(), bytesOf(nonce)) != 1)
        return broken();
    if (!associated.empty() &&
        EVP_EncryptUpdate(ctx.get(), nullptr, &len, bytesOf(associated), static_cast<int>(associated.size())) != 1)
        return broken();
    int written = 0;
    if (!plaintext.empty()) {
        if (EVP_EncryptUpdate(ctx.get(), out, &len, bytesOf(plaintext), static_cast<int>(plaintext.size())) != 1)
            return broken();
        written = len;
    }
    if (EVP_EncryptFinal_ex(ctx.get(), out + written, &len) != 1)
        return broken();
    written += len;
    if (static_cast<std::size_t>(written) != plaintext.size())
        return broken();
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kGcmTagBytes), out + written) != 1)
        return broken();
    return r;
}

CryptoResult openAesGcm(const SymmetricKey& key, std::string_view box, std::string_view associated)
{
    if (box.size() < kGcmNonceBytes + kGcmTagBytes)
        return failure("The encrypted data is too short.");
    if (!fitsInt(box.size()) || !fitsInt(associated.size()))
        return failure("The encrypted data is too large.");
    const auto refused = [] {
        return failure("The data couldn't be decrypted: the key is wrong or the data was changed.");
    };
    const std::string_view nonce = box.substr(0, kGcmNonceBytes);
    const std::string_view ciphertext = box.substr(kGcmNonceBytes, box.size() - kGcmNonceBytes - kGcmTagBytes);
    std::string tag(box.substr(box.size() - kGcmTagBytes));

    CipherContext ctx(EVP_CIPHER_CTX_new());
    if (!ctx)
        return failure("Decryption failed.");
    int len = 0;
    if (EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.bytes().data(), bytesOf(nonce)) != 1)
        return failure("Decryption failed.");
    if (!associated.empty() &&
        EVP_DecryptUpdate(ctx.get(), nullptr, &len, bytesOf(associated), static_cast<int>(associated.size())) != 1)
        return refused();
    CryptoResult r;
    r.data.resize(ciphertext.size());
    int written = 0;
    if (!ciphertext.empty()) {
        if (EVP_DecryptUpdate(ctx.get(), bytesOf(r.data), &len, bytesOf(ciphertext),
                              static_cast<int>(ciphertext.size())) != 1) {
            wipe(r.data);
            return refused();
        }
        written = len;
    }
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kGcmTagBytes), tag.data()) != 1 ||
        EVP_DecryptFinal_ex(ctx.get(), bytesOf(r.data) + written, &len) != 1) {
        // Unauthenticated plaintext never leaves here.
        wipe(r.data);
        return refused();
    }
    return r;
}

std::optional<SymmetricKey> deriveKeyPbkdf2Sha256(std::string_view passphrase, std::string_view salt,
                                                  std::uint32_t rounds)
{
    if (rounds == 0 || rounds > static_cast<std::uint32_t>(INT_MAX) || !fitsInt(passphrase.size()) ||
        !fitsInt(salt.size()))
        return std::nullopt;
    std::string out(kAesKeyBytes, '\0');
    if (PKCS5_PBKDF2_HMAC(passphrase.data(), static_cast<int>(passphrase.size()), bytesOf(salt),
                          static_cast<int>(salt.size()), static_cast<int>(rounds), EVP_sha256(),
                          static_cast<int>(out.size()), bytesOf(out)) != 1) {
        wipe(out);
        return std::nullopt;
    }
    auto key = SymmetricKey::fromBytes(out);
    wipe(out);
    return key;
}

std::string sha256(std::string_view data)
{
    std::string digest(32, '\0');
    unsigned int len = 0;
    if (EVP_Digest(data.data(), data.size(), bytesOf(digest), &len, EVP_sha256(), nullptr) != 1 || len != 32)
        return {};
    return digest;
}

void wipe(std::string& secret)
{
    if (!secret.empty())
        OPENSSL_cleanse(secret.data(), secret.size());
    secret.clear();
}

}  // namespace platform
