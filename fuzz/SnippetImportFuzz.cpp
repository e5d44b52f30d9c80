// Snippet export files come from anywhere: read any bytes as one, and any
// bytes as the JSON inside one.
#include "quillmar/snippets/FactorySnippets.h"
#include "quillmar/snippets/SnippetFileFormat.h"
#include "quillmar/snippets/SnippetImport.h"
#include "quillmar/snippets/SnippetJson.h"

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string_view>

namespace {

void checkList(const std::vector<quillmar::Snippet>& list)
{
    if (list.size() > quillmar::SnippetLimits::maxSnippets)
        std::abort();
    std::set<std::string> ids;
    for (const auto& s : list) {
        if (quillmar::normalizedSnippetId(s.id) != s.id)
            std::abort();
        if (!ids.insert(s.id).second)
            std::abort();
        if (s.tags.size() > quillmar::SnippetLimits::maxTags)
            std::abort();
        if (s.title.size() > quillmar::SnippetLimits::maxTextBytes)
            std::abort();
    }
    // What was read writes back and reads again to the same list.
    auto again = quillmar::SnippetJson::decode(quillmar::SnippetJson::encode(list), "x");
    if (!again || again.value() != list)
        std::abort();

    const auto stored = quillmar::factorySnippets();
    auto plan = quillmar::SnippetImport::plan(stored, list);
    const std::size_t taken = plan.added.size() + plan.replaced.size() + plan.unchanged.size();
    if (taken + plan.refused != list.size() || plan.incoming.size() != taken)
        std::abort();
    // Only what the editor could have saved is taken.
    for (const auto& s : plan.incoming)
        if (quillmar::snippetProblem(s))
            std::abort();
    quillmar::SnippetImportOutcome outcome;
    auto merged =
        quillmar::SnippetImport::merge(stored, plan.incoming, quillmar::SnippetImportChoice::replaceExisting, &outcome);
    if (merged.size() != stored.size() + plan.added.size())
        std::abort();
    if (outcome.replaced.size() != plan.replaced.size())
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    // The bytes as an export file. Only cheap round counts are worth deriving here.
    if (auto header = quillmar::SnippetFileFormat::readExportHeader(bytes); header && header.value().rounds <= 64) {
        if (auto json = quillmar::SnippetFileFormat::openExport("passphrase", bytes))
            if (auto list = quillmar::SnippetJson::decode(json.value(), "The export file"))
                checkList(list.value());
    }

    // The bytes as the JSON a box holds, directly, and placed where a list's
    // elements, a snippet's keys or a text would be, so that mutations reach
    // past the first bracket.
    const std::string head = R"({"id":"0F8E5E4A-7B1C-4D2A-9E3F-112233445566","command":"c","category":"k",)";
    const std::string input(bytes);
    for (const std::string& json :
         {input, "[" + input + "]", "[" + head + input + "}]", "[" + head + R"("title":")" + input + "\"}]"}) {
        if (auto list = quillmar::SnippetJson::decode(json, "The export file"))
            checkList(list.value());
    }
    auto sealed = quillmar::SnippetFileFormat::sealExport("pw", bytes, 1);
    if (!sealed)
        std::abort();
    auto opened = quillmar::SnippetFileFormat::openExport("pw", sealed.value());
    if (!opened || opened.value() != bytes)
        std::abort();
    return 0;
}
