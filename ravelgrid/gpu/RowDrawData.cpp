#include "ravelgrid/gpu/RowDrawData.h"

#include <cstring>

namespace ravelgrid {

namespace {

template <class T>
void appendAll(std::vector<T>& to, const std::vector<T>& from)
{
    to.insert(to.end(), from.begin(), from.end());
}

template <class T>
std::shared_ptr<GpuBuffer> bufferOf(GpuBackend& backend, const std::vector<T>& records, int& count)
{
    count = 0;
    if (records.empty())
        return nullptr;
    const std::size_t bytes = records.size() * sizeof(T);
    auto buffer = backend.makeBuffer(bytes);
    if (!buffer || buffer->contents().size() < bytes)
        return nullptr;
    std::memcpy(buffer->contents().data(), records.data(), bytes);
    count = int(records.size());
    return buffer;
}

std::vector<ImageDrawBuffer> imageBuffers(GpuBackend& backend, const std::vector<ImageDraw>& draws)
{
    std::vector<ImageDrawBuffer> out;
    for (const ImageDraw& draw : draws) {
        int count = 0;
        if (auto buffer = bufferOf(backend, draw.vertices, count))
            out.push_back({draw.texture, std::move(buffer), count});
    }
    return out;
}

}  // namespace

void RowDrawData::append(const RowDrawData& row)
{
    appendAll(backgroundCells, row.backgroundCells);
    appendAll(powerlineJoinCells, row.powerlineJoinCells);
    appendAll(glyphCellsGray, row.glyphCellsGray);
    appendAll(glyphCellsColor, row.glyphCellsColor);
    appendAll(decorationCells, row.decorationCells);
    appendAll(underImageDraws, row.underImageDraws);
    appendAll(placeholderImageDraws, row.placeholderImageDraws);
    appendAll(overImageDraws, row.overImageDraws);
    appendAll(otherImageDraws, row.otherImageDraws);
}

void RowDrawData::clear()
{
    *this = RowDrawData();
}

bool RowDrawData::empty() const
{
    return backgroundCells.empty() && powerlineJoinCells.empty() && glyphCellsGray.empty() && glyphCellsColor.empty() &&
           decorationCells.empty() && underImageDraws.empty() && placeholderImageDraws.empty() &&
           overImageDraws.empty() && otherImageDraws.empty();
}

RowDrawBuffers makeRowDrawBuffers(GpuBackend& backend, const RowDrawData& data)
{
    RowDrawBuffers b;
    b.backgroundBuffer = bufferOf(backend, data.backgroundCells, b.backgroundCount);
    b.powerlineJoinBuffer = bufferOf(backend, data.powerlineJoinCells, b.powerlineJoinCount);
    b.glyphGrayBuffer = bufferOf(backend, data.glyphCellsGray, b.glyphGrayCount);
    b.glyphColorBuffer = bufferOf(backend, data.glyphCellsColor, b.glyphColorCount);
    b.decorationBuffer = bufferOf(backend, data.decorationCells, b.decorationCount);
    b.underImageBuffers = imageBuffers(backend, data.underImageDraws);
    b.placeholderImageBuffers = imageBuffers(backend, data.placeholderImageDraws);
    b.overImageBuffers = imageBuffers(backend, data.overImageDraws);
    b.otherImageBuffers = imageBuffers(backend, data.otherImageDraws);
    return b;
}

}  // namespace ravelgrid
