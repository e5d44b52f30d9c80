#pragma once

#include <png.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace ravelgrid::kittytest {

inline std::vector<uint8_t> bytesOf(std::string_view text)
{
    return {text.begin(), text.end()};
}

inline std::string base64(std::span<const uint8_t> data)
{
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < data.size(); i += 3) {
        const uint32_t v = data[i] << 16 | data[i + 1] << 8 | data[i + 2];
        out += kAlphabet[v >> 18];
        out += kAlphabet[v >> 12 & 63];
        out += kAlphabet[v >> 6 & 63];
        out += kAlphabet[v & 63];
    }
    if (i + 1 == data.size()) {
        const uint32_t v = data[i] << 16;
        out += kAlphabet[v >> 18];
        out += kAlphabet[v >> 12 & 63];
        out += "==";
    } else if (i + 2 == data.size()) {
        const uint32_t v = data[i] << 16 | data[i + 1] << 8;
        out += kAlphabet[v >> 18];
        out += kAlphabet[v >> 12 & 63];
        out += kAlphabet[v >> 6 & 63];
        out += '=';
    }
    return out;
}

inline std::string base64(std::string_view text)
{
    const auto bytes = bytesOf(text);
    return base64(std::span<const uint8_t>(bytes));
}

// zlib (windowBits 15) or raw deflate (-15).
inline std::vector<uint8_t> deflateBytes(std::span<const uint8_t> data, int windowBits = 15)
{
    z_stream s{};
    if (deflateInit2(&s, 9, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2");
    std::vector<uint8_t> out(deflateBound(&s, data.size()) + 16);
    s.next_in = const_cast<Bytef*>(data.data());
    s.avail_in = static_cast<uInt>(data.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    if (deflate(&s, Z_FINISH) != Z_STREAM_END)
        throw std::runtime_error("deflate");
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}

struct PngDescription {
    uint32_t width = 1;
    uint32_t height = 1;
    int colorType = PNG_COLOR_TYPE_RGBA;
    bool interlaced = false;
};

// Encodes pixels laid out in the colour type's own channel order, 8 bits each.
inline std::vector<uint8_t> encodePng(const PngDescription& description, const std::vector<uint8_t>& pixels,
                                      const std::vector<png_color>& palette = {})
{
    std::vector<uint8_t> out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        throw std::runtime_error("png encode");
    }
    png_set_write_fn(
        png, &out,
        [](png_structp p, png_bytep data, size_t length) {
            auto* o = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(p));
            o->insert(o->end(), data, data + length);
        },
        nullptr);
    png_set_IHDR(png, info, description.width, description.height, 8, description.colorType,
                 description.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (!palette.empty())
        png_set_PLTE(png, info, palette.data(), static_cast<int>(palette.size()));
    png_write_info(png, info);
    const size_t channels = png_get_channels(png, info);
    const size_t stride = description.width * channels;
    std::vector<png_bytep> rows(description.height);
    for (uint32_t y = 0; y < description.height; ++y)
        rows[y] = const_cast<png_bytep>(pixels.data() + y * stride);
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

inline std::vector<uint8_t> rgbaPng(uint32_t width, uint32_t height, uint8_t fill = 0x80)
{
    return encodePng({width, height, PNG_COLOR_TYPE_RGBA, false}, std::vector<uint8_t>(width * height * 4, fill));
}

// A directory of its own under `parent`, removed with everything in it.
class TempDir {
public:
    explicit TempDir(const std::string& parent = "/tmp")
    {
        std::string pattern = parent + "/ravelgrid-kitty-XXXXXX";
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp");
        path_ = pattern;
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

private:
    std::string path_;
};

}  // namespace ravelgrid::kittytest
