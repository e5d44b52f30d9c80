#include "quillmar/snippets/SnippetJson.h"

#include "platform/Utf8.h"

#include <optional>
#include <unordered_set>

namespace quillmar {
namespace {

// A strict JSON reader (RFC 8259) that builds snippets as it goes: nothing
// larger than the snippets themselves is ever held, every bound is checked
// before text is kept, and the first fault stops it.
class Reader {
public:
    explicit Reader(std::string_view text) : s_(text) {}

    std::vector<Snippet> snippets;
    std::optional<std::string> problem;  // a sentence fragment

    bool readList()
    {
        skipSpace();
        if (i_ >= s_.size())
            return invalid();
        if (s_[i_] != '[')
            return startsValue(s_[i_]) ? notAList() : invalid();
        ++i_;
        skipSpace();
        if (peek() == ']') {
            ++i_;
        } else {
            for (;;) {
                skipSpace();
                if (peek() != '{')
                    return startsValue(peek()) ? notAList() : invalid();
                if (!readSnippet())
                    return false;
                skipSpace();
                if (peek() == ',') {
                    ++i_;
                    continue;
                }
                if (peek() == ']') {
                    ++i_;
                    break;
                }
                return invalid();
            }
        }
        skipSpace();
        return i_ == s_.size() || invalid();
    }

private:
    static constexpr unsigned kId = 1, kTitle = 2, kCommand = 4, kCategory = 8;
    static constexpr int kMaxSkipDepth = 16;

    bool fail(std::string why)
    {
        if (!problem)
            problem = std::move(why);
        return false;
    }
    bool invalid() { return fail("it isn't valid JSON"); }
    bool notAList() { return fail("it isn't a list of snippets"); }
    std::string where() const { return "snippet " + std::to_string(snippets.size() + 1); }

    static bool startsValue(char c)
    {
        return c != '\0' && std::string_view("[{\"-0123456789tfn").find(c) != std::string_view::npos;
    }
    char peek() const { return i_ < s_.size() ? s_[i_] : '\0'; }
    void skipSpace()
    {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t'))
            ++i_;
    }

    bool readSnippet()
    {
        if (snippets.size() >= SnippetLimits::maxSnippets)
            return fail("it holds more than 100000 snippets");
        ++i_;  // '{'
        Snippet snippet;
        unsigned seen = 0;
        std::string key;
        skipSpace();
        if (peek() == '}') {
            ++i_;
        } else {
            for (;;) {
                skipSpace();
                if (peek() != '"')
                    return invalid();
                if (!readString(key, SnippetLimits::maxTextBytes, "a key longer than 256 KiB"))
                    return false;
                skipSpace();
                if (peek() != ':')
                    return invalid();
                ++i_;
                skipSpace();
                if (!readField(key, snippet, seen))
                    return false;
                skipSpace();
                if (peek() == ',') {
                    ++i_;
                    continue;
                }
                if (peek() == '}') {
                    ++i_;
                    break;
                }
                return invalid();
            }
        }
        for (auto [bit, name] : {std::pair{kId, "id"}, std::pair{kTitle, "title"}, std::pair{kCommand, "command"},
                                 std::pair{kCategory, "category"}}) {
            if (!(seen & bit))
                return fail(where() + " has no " + name);
        }
        if (!ids_.insert(snippet.id).second)
            return fail("two snippets have the same id");
        snippets.push_back(std::move(snippet));
        return true;
    }

    bool readField(const std::string& key, Snippet& snippet, unsigned& seen)
    {
        std::string* field = nullptr;
        unsigned bit = 0;
        if (key == "id") {
            field = &snippet.id;
            bit = kId;
        } else if (key == "title") {
            field = &snippet.title;
            bit = kTitle;
        } else if (key == "command") {
            field = &snippet.command;
            bit = kCommand;
        } else if (key == "category") {
            field = &snippet.category;
            bit = kCategory;
        } else if (key == "note") {
            field = &snippet.note;
        } else if (key == "tags") {
            return readTags(snippet.tags);
        } else {
            return skipValue(0);  // a key of a later version
        }
        if (peek() != '"') {
            if (!skipValue(0))
                return false;
            return fail(where() + " has a \"" + key + "\" that isn't text");
        }
        if (!readString(*field, SnippetLimits::maxTextBytes, "a text longer than 256 KiB"))
            return false;
        if (bit == kId) {
            auto id = normalizedSnippetId(*field);
            if (!id)
                return fail(where() + " has an id that isn't a UUID");
            *field = std::move(*id);
        }
        seen |= bit;
        return true;
    }

    bool readTags(std::vector<std::string>& tags)
    {
        if (peek() != '[') {
            if (!skipValue(0))
                return false;
            return fail(where() + " has tags that aren't a list");
        }
        ++i_;
        tags.clear();
        skipSpace();
        if (peek() == ']') {
            ++i_;
            return true;
        }
        for (;;) {
            skipSpace();
            if (peek() != '"') {
                if (!skipValue(0))
                    return false;
                return fail(where() + " has a tag that isn't text");
            }
            if (tags.size() >= SnippetLimits::maxTags)
                return fail(where() + " has more than 64 tags");
            std::string tag;
            if (!readString(tag, SnippetLimits::maxTagBytes, "a tag longer than 1024 bytes"))
                return false;
            tags.push_back(std::move(tag));
            skipSpace();
            if (peek() == ',') {
                ++i_;
                continue;
            }
            if (peek() == ']') {
                ++i_;
                return true;
            }
            return invalid();
        }
    }

    static int hexValue(char c)
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }
    bool readHex4(std::uint32_t& value)
    {
        if (s_.size() - i_ < 4)
            return false;
        value = 0;
        for (int k = 0; k < 4; ++k) {
            const int h = hexValue(s_[i_ + k]);
            if (h < 0)
                return false;
            value = value * 16 + static_cast<std::uint32_t>(h);
        }
        i_ += 4;
        return true;
    }
    static void appendUtf8(std::string& out, std::uint32_t cp)
    {
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xc0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xe0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
        } else {
            out.push_back(static_cast<char>(0xf0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3f)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
        }
    }
    std::size_t utf8Length() const { return platform::utf8SequenceLength(s_.substr(i_)); }

    // An escape at i_ (on its backslash), appended to `out` when there is one.
    bool readEscape(std::string* out)
    {
        ++i_;
        if (i_ >= s_.size())
            return invalid();
        const char e = s_[i_++];
        char plain = 0;
        switch (e) {
        case '"': plain = '"'; break;
        case '\\': plain = '\\'; break;
        case '/': plain = '/'; break;
        case 'b': plain = '\b'; break;
        case 'f': plain = '\f'; break;
        case 'n': plain = '\n'; break;
        case 'r': plain = '\r'; break;
        case 't': plain = '\t'; break;
        case 'u': {
            std::uint32_t cp = 0;
            if (!readHex4(cp))
                return invalid();
            if (cp >= 0xdc00 && cp <= 0xdfff)
                return invalid();  // a low surrogate alone
            if (cp >= 0xd800 && cp <= 0xdbff) {
                std::uint32_t low = 0;
                if (s_.size() - i_ < 2 || s_[i_] != '\\' || s_[i_ + 1] != 'u')
                    return invalid();
                i_ += 2;
                if (!readHex4(low) || low < 0xdc00 || low > 0xdfff)
                    return invalid();
                cp = 0x10000 + ((cp - 0xd800) << 10) + (low - 0xdc00);
            }
            if (out)
                appendUtf8(*out, cp);
            return true;
        }
        default: return invalid();
        }
        if (out)
            out->push_back(plain);
        return true;
    }

    // A string at i_ (on its opening quote) into `out`, of at most `limit` bytes.
    bool readString(std::string& out, std::size_t limit, const char* tooLong)
    {
        ++i_;
        out.clear();
        for (;;) {
            // Plain runs are copied in one go.
            const std::size_t start = i_;
            while (i_ < s_.size()) {
                const auto c = static_cast<unsigned char>(s_[i_]);
                if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80)
                    break;
                ++i_;
            }
            out.append(s_.substr(start, i_ - start));
            if (out.size() > limit)
                return fail(where() + " has " + tooLong);
            if (i_ >= s_.size())
                return invalid();
            const auto c = static_cast<unsigned char>(s_[i_]);
            if (c == '"') {
                ++i_;
                return true;
            }
            if (c < 0x20)
                return invalid();
            if (c >= 0x80) {
                const std::size_t len = utf8Length();
                if (len == 0)
                    return invalid();
                out.append(s_.substr(i_, len));
                i_ += len;
            } else if (!readEscape(&out)) {
                return false;
            }
            if (out.size() > limit)
                return fail(where() + " has " + tooLong);
        }
    }

    bool skipString()
    {
        ++i_;
        while (i_ < s_.size()) {
            const auto c = static_cast<unsigned char>(s_[i_]);
            if (c == '"') {
                ++i_;
                return true;
            }
            if (c < 0x20)
                return invalid();
            if (c == '\\') {
                if (!readEscape(nullptr))
                    return false;
                continue;
            }
            if (c >= 0x80) {
                const std::size_t len = utf8Length();
                if (len == 0)
                    return invalid();
                i_ += len;
                continue;
            }
            ++i_;
        }
        return invalid();
    }

    bool skipNumber()
    {
        const auto digits = [&] {
            const std::size_t from = i_;
            while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9')
                ++i_;
            return i_ - from;
        };
        if (peek() == '-')
            ++i_;
        if (peek() == '0') {
            ++i_;
        } else if (digits() == 0) {
            return invalid();
        }
        if (peek() == '.') {
            ++i_;
            if (digits() == 0)
                return invalid();
        }
        if (peek() == 'e' || peek() == 'E') {
            ++i_;
            if (peek() == '+' || peek() == '-')
                ++i_;
            if (digits() == 0)
                return invalid();
        }
        return true;
    }

    bool skipWord(std::string_view word)
    {
        if (s_.substr(i_, word.size()) != word)
            return invalid();
        i_ += word.size();
        return true;
    }

    // Any value, checked but not kept; nested no deeper than kMaxSkipDepth.
    bool skipValue(int depth)
    {
        const char c = peek();
        if (c == '"')
            return skipString();
        if (c == 't')
            return skipWord("true");
        if (c == 'f')
            return skipWord("false");
        if (c == 'n')
            return skipWord("null");
        if (c == '-' || (c >= '0' && c <= '9'))
            return skipNumber();
        if (c != '[' && c != '{')
            return invalid();
        if (depth + 1 > kMaxSkipDepth)
            return fail("it is nested too deeply");
        const char close = c == '[' ? ']' : '}';
        ++i_;
        skipSpace();
        if (peek() == close) {
            ++i_;
            return true;
        }
        for (;;) {
            skipSpace();
            if (close == '}') {
                if (peek() != '"' || !skipString())
                    return invalid();
                skipSpace();
                if (peek() != ':')
                    return invalid();
                ++i_;
                skipSpace();
            }
            if (!skipValue(depth + 1))
                return false;
            skipSpace();
            if (peek() == ',') {
                ++i_;
                continue;
            }
            if (peek() == close) {
                ++i_;
                return true;
            }
            return invalid();
        }
    }

    std::string_view s_;
    std::size_t i_ = 0;
    std::unordered_set<std::string> ids_;
};

// Text is checked to be UTF-8 before it is stored; should a stray byte get
// through all the same, it becomes U+FFFD rather than a file we can't read back.
void appendText(std::string& out, std::string_view text)
{
    static const char* hex = "0123456789abcdef";
    out.push_back('"');
    const char* p = text.data();
    const char* const end = p + text.size();
    const char* run = p;
    while (p < end) {
        const auto c = static_cast<unsigned char>(*p);
        if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
            ++p;
            continue;
        }
        if (c >= 0x80) {
            if (const std::size_t len = platform::utf8SequenceLength({p, static_cast<std::size_t>(end - p)})) {
                p += len;
                continue;
            }
        }
        out.append(run, p);
        switch (c) {
        case '"': out.append("\\\""); break;
        case '\\': out.append("\\\\"); break;
        case '\n': out.append("\\n"); break;
        case '\r': out.append("\\r"); break;
        case '\t': out.append("\\t"); break;
        default:
            if (c < 0x20) {
                out.append("\\u00");
                out.push_back(hex[c >> 4]);
                out.push_back(hex[c & 15]);
            } else {
                out.append("\xef\xbf\xbd");
            }
        }
        run = ++p;
    }
    out.append(run, p);
    out.push_back('"');
}

}  // namespace

std::string SnippetJson::encode(std::span<const Snippet> snippets)
{
    std::size_t size = 2;
    for (const Snippet& s : snippets) {
        size += 90 + s.id.size() + s.title.size() + s.command.size() + s.category.size() + s.note.size();
        for (const std::string& t : s.tags)
            size += t.size() + 3;
    }
    std::string out;
    out.reserve(size + size / 8);
    out.push_back('[');
    for (std::size_t n = 0; n < snippets.size(); ++n) {
        const Snippet& s = snippets[n];
        if (n)
            out.push_back(',');
        out.append("{\"id\":");
        appendText(out, s.id);
        out.append(",\"title\":");
        appendText(out, s.title);
        out.append(",\"command\":");
        appendText(out, s.command);
        out.append(",\"category\":");
        appendText(out, s.category);
        out.append(",\"tags\":[");
        for (std::size_t t = 0; t < s.tags.size(); ++t) {
            if (t)
                out.push_back(',');
            appendText(out, s.tags[t]);
        }
        out.append("],\"note\":");
        appendText(out, s.note);
        out.push_back('}');
    }
    out.push_back(']');
    return out;
}

SnippetResult<std::vector<Snippet>> SnippetJson::decode(std::string_view json, std::string_view what)
{
    Reader reader(json);
    if (!reader.readList()) {
        const std::string why = reader.problem.value_or("it isn't valid JSON");
        return SnippetError{std::string(what) + " is damaged: " + why + "."};
    }
    return std::move(reader.snippets);
}

}  // namespace quillmar
