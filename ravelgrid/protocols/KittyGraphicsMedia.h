#pragma once

#include "ravelgrid/protocols/KittyGraphicsControl.h"
#include "ravelgrid/protocols/KittyGraphicsPayload.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ravelgrid {

inline constexpr std::string_view kKittyBadPayload = "EINVAL: bad payload";
inline constexpr std::string_view kKittyBadPath = "EINVAL: bad path";
inline constexpr std::string_view kKittyBadTempPath = "EINVAL: bad temp path";
inline constexpr std::string_view kKittyUnsupportedTransmission = "ENOTSUP: unsupported transmission";

// A decoded image, or the error text to reply with.
struct KittyTransmissionResult {
    std::optional<KittyGraphicsPayload> payload;
    std::string error;
};

// Fetches and decodes the image from the medium the "t" key names. Files,
// temporary files and shared memory are read only for a trusted process
// (a local shell or tool); any other gets the unsupported-transmission error
// without anything on this machine being opened, probed or unlinked.
KittyTransmissionResult kittyLoadTransmittedPayload(const KittyGraphicsControl& control,
                                                    std::span<const uint8_t> payload, bool trusted);

// The file medium ("f") and the temporary-file medium ("t", deleted after reading).
KittyTransmissionResult kittyLoadFromMedium(const KittyGraphicsControl& control, std::span<const uint8_t> payload,
                                            bool temporary);

// True when a resolved path lies inside /tmp, /dev/shm or the user's
// temporary directory (as a directory prefix, not just a text prefix).
bool kittyAllowedTempDirectories(std::string_view resolvedPath);

// Reads a regular file without following a final symbolic link and without
// blocking on FIFOs or devices. Size 0 reads to the end. Empty bytes when the
// window is empty; nothing on failure.
std::optional<std::vector<uint8_t>> kittyReadFile(const std::string& path, int64_t offset, int64_t size,
                                                  bool deleteAfter);

// The shared-memory medium ("s"); the object is unlinked after reading.
KittyTransmissionResult kittyLoadFromSharedMemory(const KittyGraphicsControl& control,
                                                  std::span<const uint8_t> payload);

// Bytes a raw image of the control's format and size must have.
std::optional<size_t> kittyExpectedRawByteCount(const KittyGraphicsControl& control);

// Reads a window of a POSIX shared-memory object with pread (a mapping would
// fault if the client truncated the object meanwhile), then unlinks it.
std::optional<std::vector<uint8_t>> kittyReadSharedMemory(const std::string& name, std::optional<size_t> expected,
                                                          int64_t offset, int64_t size);

}  // namespace ravelgrid
