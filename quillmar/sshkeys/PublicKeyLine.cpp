#include "quillmar/sshkeys/PublicKeyLine.h"

#include <openssl/evp.h>

#include <array>

namespace quillmar {
namespace {

int base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

}  // namespace

std::optional<PublicKeyLine> PublicKeyLine::parse(std::string_view text)
{
    std::size_t start = 0;
    while (start < text.size() && text[start] == '\n')
        ++start;
    if (start == text.size())
        return std::nullopt;
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos)
        end = text.size();
    const std::string_view line = text.substr(start, end - start);

    // Only spaces separate fields; a tab belongs to the word it touches.
    std::size_t pos = 0;
    auto nextField = [&]() -> std::string_view {
        while (pos < line.size() && line[pos] == ' ')
            ++pos;
        const std::size_t from = pos;
        while (pos < line.size() && line[pos] != ' ')
            ++pos;
        return line.substr(from, pos - from);
    };
    const std::string_view type = nextField();
    const std::string_view encoded = nextField();
    if (type.empty() || encoded.empty())
        return std::nullopt;
    auto blob = decodeBase64(encoded);
    if (!blob)
        return std::nullopt;

    PublicKeyLine out;
    out.line = std::string(line);
    out.typeWord = std::string(type);
    out.blob = std::move(*blob);
    if (pos + 1 < line.size())
        out.comment = std::string(line.substr(pos + 1));
    return out;
}

std::optional<std::string> PublicKeyLine::decodeBase64(std::string_view text)
{
    if (text.size() % 4 != 0)
        return std::nullopt;
    std::size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=')
        ++padding;
    std::string out;
    out.reserve(text.size() / 4 * 3);
    std::uint32_t acc = 0;
    int bits = 0;
    for (std::size_t i = 0; i < text.size() - padding; ++i) {
        const int v = base64Value(text[i]);
        if (v < 0)
            return std::nullopt;
        acc = (acc << 6) | static_cast<std::uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((acc >> bits) & 0xFF));
        }
    }
    return out;
}

std::string PublicKeyLine::fingerprint(std::string_view blob)
{
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int digestLength = 0;
    if (EVP_Digest(blob.data(), blob.size(), digest.data(), &digestLength, EVP_sha256(), nullptr) != 1) {
        return {};
    }
    std::array<unsigned char, 4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1> encoded{};
    const int n = EVP_EncodeBlock(encoded.data(), digest.data(), static_cast<int>(digestLength));
    std::string out = "SHA256:";
    for (int i = 0; i < n; ++i) {
        if (encoded[static_cast<std::size_t>(i)] != '=')
            out.push_back(static_cast<char>(encoded[static_cast<std::size_t>(i)]));
    }
    return out;
}

}  // namespace quillmar
