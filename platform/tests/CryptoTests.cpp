#include "platform/Crypto.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string fromHex(std::string_view hex)
{
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return out;
}

std::string toHex(std::string_view bytes)
{
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

platform::SymmetricKey keyFromHex(std::string_view hex)
{
    return *platform::SymmetricKey::fromBytes(fromHex(hex));
}

// Known answers: the published AES-256 GCM test vectors.
struct GcmCase {
    const char* name;
    const char* key;
    const char* nonce;
    const char* plaintext;
    const char* associated;
    const char* ciphertext;
    const char* tag;
};

const GcmCase kGcmCases[] = {
    {"empty", "0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000", "", "",
     "", "530f8afbc74536b9a963b4f1c4cb738b"},
    {"one block", "0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000",
     "00000000000000000000000000000000", "", "cea7403d4d606b6e074ec5d3baf39d18", "d0d1c8a799996bf0265b98b5d48ab919"},
    {"with associated data", "feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308",
     "cafebabefacedbaddecaf888",
     "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657"
     "ba637b39",
     "feedfacedeadbeeffeedfacedeadbeefabaddad2",
     "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0ab"
     "cc9f662",
     "76fc6ece0f4e1768cddf8853bb2d551b"},
};

TEST(CryptoTest, AesGcmMatchesKnownAnswersAndOpensThem)
{
    for (const GcmCase& c : kGcmCases) {
        SCOPED_TRACE(c.name);
        const auto key = keyFromHex(c.key);
        const auto sealed =
            platform::sealAesGcmWithNonce(key, fromHex(c.nonce), fromHex(c.plaintext), fromHex(c.associated));
        ASSERT_TRUE(sealed.ok());
        EXPECT_EQ(toHex(sealed.data), std::string(c.nonce) + c.ciphertext + c.tag);
        const auto opened = platform::openAesGcm(key, sealed.data, fromHex(c.associated));
        ASSERT_TRUE(opened.ok()) << opened.error->message;
        EXPECT_EQ(toHex(opened.data), c.plaintext);
    }
}

TEST(CryptoTest, EveryChangedByteOrWrongKeyOrContextIsRefused)
{
    const auto key = *platform::SymmetricKey::random();
    const std::string plaintext = "ssh -J bastion db.internal";
    const auto sealed = platform::sealAesGcm(key, plaintext, "header");
    ASSERT_TRUE(sealed.ok());
    ASSERT_EQ(sealed.data.size(), platform::kGcmNonceBytes + plaintext.size() + platform::kGcmTagBytes);
    EXPECT_EQ(sealed.data.find(plaintext), std::string::npos);
    for (std::size_t i = 0; i < sealed.data.size(); ++i) {
        std::string changed = sealed.data;
        changed[i] = static_cast<char>(changed[i] ^ 0x01);
        const auto opened = platform::openAesGcm(key, changed, "header");
        EXPECT_FALSE(opened.ok()) << "byte " << i;
        EXPECT_TRUE(opened.data.empty());
    }
    EXPECT_FALSE(platform::openAesGcm(*platform::SymmetricKey::random(), sealed.data, "header").ok());
    EXPECT_FALSE(platform::openAesGcm(key, sealed.data, "headex").ok());
    EXPECT_FALSE(platform::openAesGcm(key, sealed.data).ok());
    for (std::size_t cut : {std::size_t{0}, std::size_t{1}, platform::kGcmNonceBytes + platform::kGcmTagBytes - 1}) {
        const auto opened = platform::openAesGcm(key, std::string_view(sealed.data).substr(0, cut), "header");
        ASSERT_FALSE(opened.ok());
        EXPECT_EQ(opened.error->message, "The encrypted data is too short.");
    }
}

TEST(CryptoTest, SealingTwiceUsesFreshNonces)
{
    const auto key = *platform::SymmetricKey::random();
    const auto a = platform::sealAesGcm(key, "same text");
    const auto b = platform::sealAesGcm(key, "same text");
    ASSERT_TRUE(a.ok() && b.ok());
    EXPECT_NE(a.data.substr(0, 12), b.data.substr(0, 12));
    EXPECT_NE(*platform::SymmetricKey::random(), key);
}

TEST(CryptoTest, Pbkdf2Sha256KnownAnswers)
{
    struct Case {
        const char* passphrase;
        const char* salt;
        std::uint32_t rounds;
        const char* key;
    };
    const Case cases[] = {
        {"password", "salt", 1, "120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b"},
        {"password", "salt", 2, "ae4d0c95af6b46d32d0adff928f06dd02a303f8ef3c251dfd6e2d85a95474c43"},
        {"password", "salt", 4096, "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a"},
    };
    for (const Case& c : cases) {
        const auto key = platform::deriveKeyPbkdf2Sha256(c.passphrase, c.salt, c.rounds);
        ASSERT_TRUE(key.has_value());
        const auto bytes = key->bytes();
        EXPECT_EQ(toHex(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())), c.key)
            << c.rounds;
    }
    EXPECT_FALSE(platform::deriveKeyPbkdf2Sha256("password", "salt", 0).has_value());
}

TEST(CryptoTest, KeysComeOnlyFromExactly32Bytes)
{
    EXPECT_FALSE(platform::SymmetricKey::fromBytes(std::string(31, 'k')).has_value());
    EXPECT_FALSE(platform::SymmetricKey::fromBytes(std::string(33, 'k')).has_value());
    EXPECT_TRUE(platform::SymmetricKey::fromBytes(std::string(32, 'k')).has_value());
    EXPECT_EQ(toHex(platform::sha256("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(platform::randomBytes(40).data.size(), 40u);
}

}  // namespace
