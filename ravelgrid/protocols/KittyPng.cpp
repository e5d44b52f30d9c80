#include "ravelgrid/protocols/KittyPng.h"

#include "ravelgrid/protocols/KittyGraphicsPayload.h"

#include <png.h>

#include <csetjmp>
#include <cstring>
#include <new>

namespace ravelgrid {

namespace {

enum class PngMode { header, validate, decode };

struct PngSource {
    const uint8_t* data;
    size_t size;
    size_t pos;
};

void readFromMemory(png_structp png, png_bytep out, size_t length)
{
    auto* source = static_cast<PngSource*>(png_get_io_ptr(png));
    if (length > source->size - source->pos)
        png_error(png, "truncated");
    std::memcpy(out, source->data + source->pos, length);
    source->pos += length;
}

// libpng reports through these; the engine must stay silent on bad input.
[[noreturn]] void onPngError(png_structp png, png_const_charp)
{
    png_longjmp(png, 1);
}

void onPngWarning(png_structp, png_const_charp)
{}

// libpng unwinds with longjmp, so nothing with a destructor may live in this
// frame; the pixel vector belongs to the caller.
bool runPng(std::span<const uint8_t> data, PngMode mode, KittyPixelSize* size, std::vector<uint8_t>* pixels)
{
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, onPngError, onPngWarning);
    if (!png)
        return false;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return false;
    }
    png_bytep volatile row = nullptr;
    PngSource source{data.data(), data.size(), 0};
    if (setjmp(png_jmpbuf(png))) {
        if (row)
            png_free(png, row);
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_set_read_fn(png, &source, readFromMemory);
    png_set_chunk_malloc_max(png, 8u << 20);
    if (mode == PngMode::header) {
        png_set_user_limits(png, 0x7fffffff, 0x7fffffff);
    } else {
        png_set_user_limits(png, kKittyMaxDimension, kKittyMaxDimension);
    }
    png_read_info(png, info);
    const png_uint_32 width = png_get_image_width(png, info);
    const png_uint_32 height = png_get_image_height(png, info);
    size->width = width;
    size->height = height;
    bool ok = true;
    if (mode != PngMode::header) {
        if (width < 1 || width > kKittyMaxDimension || height < 1 || height > kKittyMaxDimension) {
            ok = false;
        } else {
            if (mode == PngMode::decode) {
                png_set_expand(png);
                png_set_strip_16(png);
                png_set_gray_to_rgb(png);
                png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
            }
            const int passes = png_set_interlace_handling(png);
            png_read_update_info(png, info);
            const size_t rowBytes = png_get_rowbytes(png, info);
            const size_t stride = static_cast<size_t>(width) * 4;
            if (mode == PngMode::decode) {
                if (rowBytes != stride) {
                    ok = false;
                } else {
                    try {
                        pixels->assign(stride * height, 0);
                    } catch (const std::bad_alloc&) {
                        ok = false;
                    }
                }
            } else {
                row = static_cast<png_bytep>(png_malloc(png, rowBytes));
            }
            for (int pass = 0; ok && pass < passes; ++pass) {
                for (png_uint_32 y = 0; y < height; ++y) {
                    png_bytep target = mode == PngMode::decode ? pixels->data() + y * stride : row;
                    png_read_row(png, target, nullptr);
                }
            }
            // The image counts only when its stream ends properly.
            if (ok)
                png_read_end(png, nullptr);
        }
    }
    if (row)
        png_free(png, row);
    png_destroy_read_struct(&png, &info, nullptr);
    return ok;
}

}  // namespace

bool kittyPngSizeIsValid(std::span<const uint8_t> data)
{
    KittyPixelSize size;
    return runPng(data, PngMode::validate, &size, nullptr);
}

std::optional<KittyPixelSize> kittyPngPixelSize(std::span<const uint8_t> data)
{
    KittyPixelSize size;
    if (!runPng(data, PngMode::header, &size, nullptr))
        return std::nullopt;
    return size;
}

std::optional<KittyBitmap> kittyDecodePng(std::span<const uint8_t> data)
{
    KittyBitmap bitmap;
    KittyPixelSize size;
    if (!runPng(data, PngMode::decode, &size, &bitmap.bytes))
        return std::nullopt;
    bitmap.width = size.width;
    bitmap.height = size.height;
    return bitmap;
}

}  // namespace ravelgrid
