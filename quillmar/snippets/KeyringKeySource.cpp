#include "quillmar/snippets/KeyringKeySource.h"

#include "platform/SafeFile.h"
#include "quillmar/snippets/SnippetPaths.h"

#include <openssl/evp.h>

#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmar {
namespace {

SnippetError failure(const platform::KeyringError& error)
{
    using Kind = platform::KeyringError::Kind;
    using State = platform::KeyringState;
    switch (error.kind) {
    case Kind::locked: return {error.message, State::locked};
    case Kind::noAnswer: return {error.message, State::silent};
    case Kind::unavailable: return {error.message, State::missing};
    case Kind::failed: break;
    }
    return {error.message, std::nullopt};
}

}  // namespace

KeyringKeySource::KeyringKeySource(platform::Keyring keyring) : keyring_(std::move(keyring))
{}

std::string KeyringKeySource::encode(const platform::SymmetricKey& key)
{
    std::string text(((platform::kAesKeyBytes + 2) / 3) * 4 + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), key.bytes().data(),
                                  static_cast<int>(platform::kAesKeyBytes));
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return text;
}

std::optional<platform::SymmetricKey> KeyringKeySource::decode(std::string_view text)
{
    // 32 bytes are 44 base64 characters with one "=" of padding.
    if (text.size() != 44 || text[43] != '=' || text[42] == '=')
        return std::nullopt;
    std::string bytes(33, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                  reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n != 33) {
        platform::wipe(bytes);
        return std::nullopt;
    }
    // EVP_DecodeBlock counts the padding as a zero byte.
    bytes.resize(32);
    auto key = platform::SymmetricKey::fromBytes(bytes);
    platform::wipe(bytes);
    return key;
}

std::string KeyringKeySource::lockFile()
{
    if (const char* run = std::getenv("XDG_RUNTIME_DIR"); run && run[0] == '/') {
        struct stat st {};
        if (::stat(run, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid()) {
            std::string dir = run;
            while (dir.size() > 1 && dir.back() == '/')
                dir.pop_back();
            return (dir == "/" ? "" : dir) + "/quillmar-snippets-key.lock";
        }
    }
    return SnippetPaths::fromEnvironment().dataDirectory() + "/.snippets-key.quillmar-lock";
}

std::shared_ptr<SnippetKeySource> KeyringKeySource::askFromNow()
{
    auto ask = std::make_shared<KeyringKeySource>(keyring_.fromNow());
    ask->prompted_ = prompted_;
    return ask;
}

SnippetKeySource::Lookup KeyringKeySource::find()
{
    return taken(keyring_.lookup(kAccount, prompted_));
}

SnippetKeySource::Lookup KeyringKeySource::taken(platform::KeyringLookup found)
{
    Lookup r;
    if (!found.ok()) {
        r.error = failure(*found.error);
        return r;
    }
    if (!found.secret)
        return r;
    r.key = decode(*found.secret);
    platform::wipe(*found.secret);
    if (!r.key)
        r.error = SnippetError{"The snippets key in your keyring is damaged."};
    return r;
}

SnippetResult<platform::SymmetricKey> KeyringKeySource::create()
{
    auto key = platform::SymmetricKey::random();
    if (!key)
        return SnippetError{"The system's random source failed."};
    const std::string lock = lockFile();
    const std::string folder = lock.substr(0, lock.rfind('/'));
    if (int err = platform::makeDirectories(folder, 0700))
        return SnippetError{"Couldn't make the folder " + folder + ": " + std::strerror(err) + "."};
    // Another window may have made the key since `find`: under the lock, its key is taken.
    std::string text = encode(*key);
    auto held = taken(keyring_.lookupOrAdd(kAccount, kLabel, text, kLockName, lock, prompted_));
    platform::wipe(text);
    if (!held.key)
        return held.error.value_or(SnippetError{"The keyring didn't keep the snippets key."});
    return std::move(*held.key);
}

}  // namespace quillmar
