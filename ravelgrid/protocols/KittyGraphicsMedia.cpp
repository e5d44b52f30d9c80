#include "ravelgrid/protocols/KittyGraphicsMedia.h"

#include "ravelgrid/protocols/Base64.h"
#include "ravelgrid/terminal/OscText.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>

namespace ravelgrid {

namespace {

constexpr std::string_view kTempMarker = "tty-graphics-protocol";

struct FdCloser {
    int fd;
    ~FdCloser()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

bool hasNul(std::span<const uint8_t> bytes)
{
    for (uint8_t b : bytes) {
        if (b == 0)
            return true;
    }
    return false;
}

bool startsWith(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

// The directory itself or anything below it.
bool isInside(std::string_view path, std::string_view directory)
{
    while (directory.size() > 1 && directory.back() == '/')
        directory.remove_suffix(1);
    if (directory.empty() || directory.front() != '/')
        return false;
    if (directory == "/")
        return true;
    return startsWith(path, directory) && (path.size() == directory.size() || path[directory.size()] == '/');
}

std::string userTemporaryDirectory()
{
    const char* dir = std::getenv("TMPDIR");
    if (dir && dir[0] == '/')
        return dir;
    return "/tmp";
}

std::optional<std::string> resolvePath(const std::string& path)
{
    // Let the system size the buffer: Linux paths reach 4096 bytes.
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
    if (!resolved)
        return std::nullopt;
    return std::string(resolved.get());
}

KittyTransmissionResult failure(std::string_view text)
{
    return {std::nullopt, std::string(text)};
}

KittyTransmissionResult finishDecoding(const KittyGraphicsControl& control, std::vector<uint8_t> data)
{
    auto inflated = kittyDecompressPayload(std::move(data), control.compression, kittyExpectedRawByteCount(control));
    if (!inflated || inflated->size() > kKittyDataLimit)
        return failure(kKittyBadPayload);
    auto payload = kittyDecodePayloadFormat(control, std::move(*inflated));
    if (!payload)
        return failure(kKittyBadPayload);
    return {std::move(payload), {}};
}

// Reads exactly `length` bytes at `offset`, or fewer when the file ends first.
bool preadAll(int fd, uint8_t* out, size_t length, off_t offset, size_t& got)
{
    got = 0;
    while (got < length) {
        const size_t piece = std::min<size_t>(length - got, 1 << 20);
        const ssize_t n = ::pread(fd, out + got, piece, offset + static_cast<off_t>(got));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

KittyTransmissionResult kittyLoadTransmittedPayload(const KittyGraphicsControl& control,
                                                    std::span<const uint8_t> payload, bool trusted)
{
    try {
        switch (control.transmission) {
        case 'd': {
            auto decoded = kittyDecodeBase64Payload(control, payload);
            if (!decoded)
                return failure(kKittyBadPayload);
            return {std::move(decoded), {}};
        }
        case 'f':
        case 't':
        case 's':
            if (!trusted)
                return failure(kKittyUnsupportedTransmission);
            if (control.transmission == 's')
                return kittyLoadFromSharedMemory(control, payload);
            return kittyLoadFromMedium(control, payload, control.transmission == 't');
        default: return failure(kKittyUnsupportedTransmission);
        }
    } catch (const std::bad_alloc&) {
        return failure(kKittyBadPayload);
    }
}

KittyTransmissionResult kittyLoadFromMedium(const KittyGraphicsControl& control, std::span<const uint8_t> payload,
                                            bool temporary)
{
    const auto decoded = decodeBase64(payload);
    if (!decoded || decoded->empty())
        return failure(kKittyBadPayload);
    if (hasNul(*decoded) || !isValidUtf8(*decoded) || decoded->size() > PATH_MAX)
        return failure(kKittyBadPath);
    const auto resolved = resolvePath(std::string(decoded->begin(), decoded->end()));
    if (!resolved)
        return failure(kKittyBadPath);
    const std::string& path = *resolved;
    if (startsWith(path, "/proc/") || startsWith(path, "/sys/"))
        return failure(kKittyBadPath);
    if (startsWith(path, "/dev/") && !startsWith(path, "/dev/shm/"))
        return failure(kKittyBadPath);
    if (temporary) {
        if (!kittyAllowedTempDirectories(path))
            return failure(kKittyBadTempPath);
        if (path.find(kTempMarker) == std::string::npos)
            return failure(kKittyBadTempPath);
    }
    auto data = kittyReadFile(path, control.dataOffset, control.dataSize, temporary);
    if (!data)
        return failure(kKittyBadPayload);
    return finishDecoding(control, std::move(*data));
}

bool kittyAllowedTempDirectories(std::string_view resolvedPath)
{
    if (isInside(resolvedPath, "/tmp") || isInside(resolvedPath, "/dev/shm"))
        return true;
    const std::string tmp = userTemporaryDirectory();
    if (isInside(resolvedPath, tmp))
        return true;
    const auto resolvedTmp = resolvePath(tmp);
    return resolvedTmp && isInside(resolvedPath, *resolvedTmp);
}

std::optional<std::vector<uint8_t>> kittyReadFile(const std::string& path, int64_t offset, int64_t size,
                                                  bool deleteAfter)
{
    if (offset < 0 || size < 0)
        return std::nullopt;
    // Opened before it is examined, so the checks hold for what is read: a
    // symbolic link swapped in is refused and a FIFO cannot block the open.
    FdCloser file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC)};
    if (file.fd < 0)
        return std::nullopt;
    struct stat st {};
    if (::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    const int64_t fileSize = st.st_size;
    if (fileSize > static_cast<int64_t>(kKittyDataLimit) || fileSize < offset)
        return std::nullopt;

    // From here on the file was accepted, so a temporary one goes whatever happens.
    struct Remover {
        const std::string& path;
        const struct stat& opened;
        bool active;
        ~Remover()
        {
            struct stat now {};
            // Only the file that was read, never whatever took its name since.
            if (active && ::lstat(path.c_str(), &now) == 0 && now.st_dev == opened.st_dev &&
                now.st_ino == opened.st_ino) {
                ::unlink(path.c_str());
            }
        }
    } remover{path, st, deleteAfter};

    const int64_t cap = size == 0 ? static_cast<int64_t>(kKittyDataLimit)
                                  : std::min<int64_t>(size, static_cast<int64_t>(kKittyDataLimit));
    const int64_t length = std::min(fileSize - offset, cap);
    std::vector<uint8_t> bytes;
    if (length <= 0)
        return bytes;
    bytes.resize(static_cast<size_t>(length));
    size_t got = 0;
    if (!preadAll(file.fd, bytes.data(), bytes.size(), static_cast<off_t>(offset), got))
        return std::nullopt;
    bytes.resize(got);
    return bytes;
}

std::optional<size_t> kittyExpectedRawByteCount(const KittyGraphicsControl& control)
{
    size_t bytesPerPixel;
    if (control.format == 32) {
        bytesPerPixel = 4;
    } else if (control.format == 24) {
        bytesPerPixel = 3;
    } else {
        return std::nullopt;
    }
    if (control.width < 1 || control.width > kKittyMaxDimension || control.height < 1 ||
        control.height > kKittyMaxDimension) {
        return std::nullopt;
    }
    return static_cast<size_t>(control.width) * static_cast<size_t>(control.height) * bytesPerPixel;
}

KittyTransmissionResult kittyLoadFromSharedMemory(const KittyGraphicsControl& control, std::span<const uint8_t> payload)
{
    const auto name = decodeBase64(payload);
    if (!name || name->empty() || hasNul(*name) || !isValidUtf8(*name) || name->size() > NAME_MAX) {
        return failure(kKittyBadPayload);
    }
    const std::string objectName(name->begin(), name->end());
    // Clients name their objects this way; anything else is not ours to unlink.
    if (objectName.find(kTempMarker) == std::string::npos)
        return failure(kKittyBadPayload);
    const auto expected = kittyExpectedRawByteCount(control);
    if (!expected && control.format != 100)
        return failure(kKittyBadPayload);
    auto data = kittyReadSharedMemory(objectName, expected, control.dataOffset, control.dataSize);
    if (!data)
        return failure(kKittyBadPayload);
    return finishDecoding(control, std::move(*data));
}

std::optional<std::vector<uint8_t>> kittyReadSharedMemory(const std::string& name, std::optional<size_t> expected,
                                                          int64_t offset, int64_t size)
{
    if (offset < 0 || size < 0)
        return std::nullopt;
    FdCloser object{::shm_open(name.c_str(), O_RDONLY | O_NONBLOCK, 0)};
    if (object.fd < 0)
        return std::nullopt;
    struct Unlinker {
        const std::string& name;
        ~Unlinker() { ::shm_unlink(name.c_str()); }
    } unlinker{name};

    struct stat st {};
    if (::fstat(object.fd, &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    const int64_t objectSize = st.st_size;
    if (objectSize <= 0 || objectSize > static_cast<int64_t>(kKittyDataLimit))
        return std::nullopt;
    if (expected && static_cast<uint64_t>(objectSize) < *expected)
        return std::nullopt;
    int64_t end = objectSize;
    if (size != 0 && offset <= objectSize - size)
        end = offset + size;
    const int64_t length = end - offset;
    if (length <= 0)
        return std::nullopt;

    std::vector<uint8_t> bytes(static_cast<size_t>(length));
    size_t got = 0;
    // A window the object no longer holds (truncated meanwhile) is a failure.
    if (!preadAll(object.fd, bytes.data(), bytes.size(), static_cast<off_t>(offset), got) || got != bytes.size()) {
        return std::nullopt;
    }
    return bytes;
}

}  // namespace ravelgrid
