#include "quillmar/snippets/SnippetJson.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <unordered_set>

namespace quillmar {
namespace {

using Json = nlohmann::json;

// Builds snippets straight from the parser's events, so that nothing larger
// than the snippets themselves is ever held, and stops at the first fault.
class Reader {
public:
    std::vector<Snippet> snippets;
    std::optional<std::string> problem;  // a sentence fragment

    bool null() { return scalar(); }
    bool boolean(bool) { return scalar(); }
    bool number_integer(Json::number_integer_t) { return scalar(); }
    bool number_unsigned(Json::number_unsigned_t) { return scalar(); }
    bool number_float(Json::number_float_t, const Json::string_t&) { return scalar(); }
    bool binary(Json::binary_t&) { return fail("it holds binary data"); }

    bool string(Json::string_t& value) {
        if (skipDepth_ > 0) return true;
        if (level_ == Level::tags) {
            if (current_.tags.size() >= SnippetLimits::maxTags) return fail(where() + " has more than 64 tags");
            if (value.size() > SnippetLimits::maxTagBytes) return fail(where() + " has a tag longer than 1024 bytes");
            current_.tags.push_back(std::move(value));
            return true;
        }
        if (level_ != Level::snippet) return fail("it isn't a list of snippets");
        std::string* field = nullptr;
        unsigned bit = 0;
        if (key_ == "id") {
            auto id = normalizedSnippetId(value);
            if (!id) return fail(where() + " has an id that isn't a UUID");
            value = std::move(*id);
            field = &current_.id;
            bit = kId;
        } else if (key_ == "title") {
            field = &current_.title;
            bit = kTitle;
        } else if (key_ == "command") {
            field = &current_.command;
            bit = kCommand;
        } else if (key_ == "category") {
            field = &current_.category;
            bit = kCategory;
        } else if (key_ == "note") {
            field = &current_.note;
            bit = kNote;
        } else if (key_ == "tags") {
            return fail(where() + " has tags that aren't a list");
        } else {
            return true;  // a key of a later version
        }
        if (value.size() > SnippetLimits::maxTextBytes) return fail(where() + " has a text longer than 256 KiB");
        *field = std::move(value);
        seen_ |= bit;
        return true;
    }

    bool start_object(std::size_t) {
        if (skipDepth_ > 0) return descendSkipped();
        if (level_ == Level::list) {
            if (snippets.size() >= SnippetLimits::maxSnippets) return fail("it holds more than 100000 snippets");
            level_ = Level::snippet;
            current_ = Snippet{};
            seen_ = 0;
            return true;
        }
        if (level_ == Level::snippet) return startSkip();
        return fail("it isn't a list of snippets");
    }

    bool key(Json::string_t& name) {
        if (skipDepth_ > 0) return true;
        key_ = std::move(name);
        return true;
    }

    bool end_object() {
        if (skipDepth_ > 0) return ascendSkipped();
        if (level_ != Level::snippet) return fail("it isn't a list of snippets");
        for (auto [bit, name] : {std::pair{kId, "id"}, std::pair{kTitle, "title"}, std::pair{kCommand, "command"},
                                 std::pair{kCategory, "category"}}) {
            if (!(seen_ & bit)) return fail(where() + " has no " + name);
        }
        if (!ids_.insert(current_.id).second) return fail("two snippets have the same id");
        snippets.push_back(std::move(current_));
        level_ = Level::list;
        return true;
    }

    bool start_array(std::size_t) {
        if (skipDepth_ > 0) return descendSkipped();
        if (level_ == Level::top) {
            level_ = Level::list;
            return true;
        }
        if (level_ == Level::snippet) {
            if (key_ == "tags") {
                level_ = Level::tags;
                current_.tags.clear();
                seen_ |= kTags;
                return true;
            }
            return startSkip();
        }
        return fail(level_ == Level::tags ? where() + " has a tag that isn't text" : "it isn't a list of snippets");
    }

    bool end_array() {
        if (skipDepth_ > 0) return ascendSkipped();
        if (level_ == Level::tags) {
            level_ = Level::snippet;
            return true;
        }
        if (level_ == Level::list) {
            level_ = Level::done;
            return true;
        }
        return fail("it isn't a list of snippets");
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
        if (!problem) problem = "it isn't valid JSON";
        return false;
    }

    bool finished() const { return level_ == Level::done && !problem; }

private:
    enum class Level { top, list, snippet, tags, done };
    static constexpr unsigned kId = 1, kTitle = 2, kCommand = 4, kCategory = 8, kTags = 16, kNote = 32;
    static constexpr int kMaxSkipDepth = 16;

    bool fail(std::string why) {
        if (!problem) problem = std::move(why);
        return false;
    }
    std::string where() const { return "snippet " + std::to_string(snippets.size() + 1); }

    bool scalar() {
        if (skipDepth_ > 0) return true;
        if (level_ == Level::snippet) {
            if (key_ == "id" || key_ == "title" || key_ == "command" || key_ == "category" || key_ == "note" ||
                key_ == "tags")
                return fail(where() + " has a \"" + key_ + "\" that isn't text");
            return true;
        }
        if (level_ == Level::tags) return fail(where() + " has a tag that isn't text");
        return fail("it isn't a list of snippets");
    }
    bool startSkip() {
        if (key_ == "tags") return fail(where() + " has tags that aren't a list");
        if (key_ == "id" || key_ == "title" || key_ == "command" || key_ == "category" || key_ == "note")
            return fail(where() + " has a \"" + key_ + "\" that isn't text");
        skipDepth_ = 1;
        return true;
    }
    bool descendSkipped() {
        if (++skipDepth_ > kMaxSkipDepth) return fail("it is nested too deeply");
        return true;
    }
    bool ascendSkipped() {
        --skipDepth_;
        return true;
    }

    Level level_ = Level::top;
    Snippet current_;
    unsigned seen_ = 0;
    std::string key_;
    int skipDepth_ = 0;
    std::unordered_set<std::string> ids_;
};

}  // namespace

std::string SnippetJson::encode(std::span<const Snippet> snippets) {
    Json list = Json::array();
    for (const Snippet& s : snippets) {
        list.push_back(Json{{"id", s.id},           {"title", s.title}, {"command", s.command},
                            {"category", s.category}, {"tags", s.tags},   {"note", s.note}});
    }
    // Text is checked to be UTF-8 before it is stored; replace rather than throw all the same.
    return list.dump(-1, ' ', false, Json::error_handler_t::replace);
}

SnippetResult<std::vector<Snippet>> SnippetJson::decode(std::string_view json, std::string_view what) {
    Reader reader;
    bool parsed = false;
    try {
        parsed = Json::sax_parse(json.begin(), json.end(), &reader);
    } catch (const std::exception&) {
        parsed = false;
    }
    if (!parsed || !reader.finished()) {
        const std::string why = reader.problem.value_or("it isn't a list of snippets");
        return SnippetError{std::string(what) + " is damaged: " + why + "."};
    }
    return std::move(reader.snippets);
}

}  // namespace quillmar
