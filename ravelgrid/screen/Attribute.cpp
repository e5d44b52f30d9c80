#include "ravelgrid/screen/Attribute.h"

namespace ravelgrid {

namespace {

void appendColor(std::string& out, const Attribute::Color& c, const char* low, const char* high, const char* extended)
{
    switch (c.kind()) {
    case Attribute::Color::Kind::ansi256: {
        int code = c.code();
        if (code < 8) {
            out += low;
            out += std::to_string(code);
        } else if (code < 16) {
            out += high;
            out += std::to_string(code - 8);
        } else {
            out += extended;
            out += ";5;";
            out += std::to_string(code);
        }
        break;
    }
    case Attribute::Color::Kind::trueColor:
        out += extended;
        out += ";2;";
        out += std::to_string(c.red()) + ";" + std::to_string(c.green()) + ";" + std::to_string(c.blue());
        break;
    case Attribute::Color::Kind::defaultColor:
    case Attribute::Color::Kind::defaultInvertedColor: break;
    }
}

}  // namespace

std::string Attribute::sgrText() const
{
    std::string out = "0";
    if (style.contains(CharacterStyle::bold))
        out += ";1";
    if (style.contains(CharacterStyle::underline))
        out += ";4";
    if (style.contains(CharacterStyle::blink))
        out += ";5";
    if (style.contains(CharacterStyle::inverse))
        out += ";7";
    if (style.contains(CharacterStyle::invisible))
        out += ";8";
    appendColor(out, fg, ";3", ";9", ";38");
    appendColor(out, bg, ";4", ";10", ";48");
    out += "m";
    return out;
}

size_t Attribute::hash() const
{
    size_t h = fg.hash();
    h = h * 1000003u ^ bg.hash();
    h = h * 1000003u ^ (static_cast<size_t>(style.rawValue) << 8 | static_cast<size_t>(underlineStyle));
    h = h * 1000003u ^ (underlineColor ? underlineColor->hash() + 1 : 0);
    return h;
}

}  // namespace ravelgrid
