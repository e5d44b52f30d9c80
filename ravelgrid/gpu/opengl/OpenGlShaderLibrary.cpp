#include "ravelgrid/gpu/opengl/OpenGlShaderLibrary.h"

#include <fstream>
#include <sstream>

namespace ravelgrid {
namespace {

constexpr std::string_view marker = "//! ";
// A shader source is a few kilobytes; anything far larger is not ours.
constexpr std::uintmax_t maxSourceBytes = 1 << 20;

std::optional<std::string> readFile(const std::filesystem::path& path)
{
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error))
        return std::nullopt;
    const auto size = std::filesystem::file_size(path, error);
    if (error || size > maxSourceBytes)
        return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad())
        return std::nullopt;
    return text.str();
}

}  // namespace

std::optional<std::string> OpenGlShaderLibrary::loadSource(const Search& search)
{
    if (search.builtIn)
        return std::string(builtInSource());
    for (const auto& folder : search.folders) {
        if (auto text = readFile(folder / sourceFileName))
            return text;
    }
    return std::nullopt;
}

std::variant<OpenGlShaderLibrary, GpuError> OpenGlShaderLibrary::load(const Search& search)
{
    auto source = loadSource(search);
    if (!source)
        return GpuError(GpuError::Kind::shaderSourceMissing, std::string(missingSourceText));
    return fromSource(*source);
}

std::variant<OpenGlShaderLibrary, GpuError> OpenGlShaderLibrary::fromSource(std::string_view source)
{
    OpenGlShaderLibrary library;
    std::string* current = nullptr;
    std::size_t start = 0;
    while (start < source.size()) {
        std::size_t end = source.find('\n', start);
        if (end == std::string_view::npos)
            end = source.size();
        std::string_view line = source.substr(start, end - start);
        if (line.starts_with(marker)) {
            std::string name(line.substr(marker.size()));
            while (!name.empty() && (name.back() == '\r' || name.back() == ' '))
                name.pop_back();
            current = &library.functions_[name];
            current->clear();
        } else if (current) {
            current->append(line).append("\n");
        }
        start = end + 1;
    }
    for (std::string_view name : requiredFunctions) {
        if (!library.hasFunction(name))
            return GpuError::shaderFunctionMissing(requiredFunctions);
    }
    return library;
}

std::string OpenGlShaderLibrary::stageSource(std::string_view function) const
{
    auto found = functions_.find(function);
    if (found == functions_.end())
        return {};
    std::string text = "#version 330 core\n";
    text.append(found->second);
    return text;
}

}  // namespace ravelgrid
