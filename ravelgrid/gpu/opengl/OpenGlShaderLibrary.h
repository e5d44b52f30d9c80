#pragma once

#include "ravelgrid/gpu/GpuError.h"

#include <array>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace ravelgrid {

// The seven shader functions, each one GLSL 330 stage, found by name in one
// source text: the copy built into the binary first, then "Shaders.glsl" in
// each of a list of folders.
class OpenGlShaderLibrary {
public:
    static constexpr std::array<std::string_view, 7> requiredFunctions{
        "terminal_text_vertex",  "terminal_cell_text_vertex",  "terminal_text_fragment",  "terminal_text_fragment_gray",
        "terminal_color_vertex", "terminal_cell_color_vertex", "terminal_color_fragment",
    };
    static constexpr std::string_view sourceFileName = "Shaders.glsl";
    static constexpr std::string_view missingSourceText = "ravelgrid/gpu/shaders";

    struct Search {
        bool builtIn = true;
        std::vector<std::filesystem::path> folders;
    };

    static std::string_view builtInSource();

    // The first source found; nothing when no place has one. Unreadable
    // files are passed over.
    static std::optional<std::string> loadSource(const Search& search);

    // Splits a source into its functions (header line "//! name"), or the
    // error the renderer reports: no source, or a function missing (the
    // whole list of names, as the error carries).
    static std::variant<OpenGlShaderLibrary, GpuError> load(const Search& search);
    static std::variant<OpenGlShaderLibrary, GpuError> fromSource(std::string_view source);

    // A complete stage ("#version 330 core" prepended), or empty.
    std::string stageSource(std::string_view function) const;
    bool hasFunction(std::string_view function) const { return functions_.contains(std::string(function)); }

private:
    std::map<std::string, std::string, std::less<>> functions_;
};

}  // namespace ravelgrid
