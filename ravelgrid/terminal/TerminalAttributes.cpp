#include <algorithm>
#include <string>

#include "ravelgrid/terminal/LogText.h"
#include "ravelgrid/terminal/Terminal.h"

namespace ravelgrid {

namespace {

struct ExtendedColor {
    std::optional<Attribute::Color> color;
    int consumed = 0;
};

uint8_t channel(int v)
{
    return static_cast<uint8_t>(std::min(v, 255));
}

// The colour after a 38, 48 or 58 at index i-1, in either the semicolon or
// the colon form.
ExtendedColor readExtendedColor(const CsiParams& p, int i)
{
    ExtendedColor r;
    if (i >= p.size())
        return r;
    const bool colonForm = p.separators[static_cast<size_t>(i - 1)] == ':';
    if (!colonForm) {
        const int kind = p[i];
        if (kind == 5) {
            if (i + 1 < p.size()) {
                r.color = Attribute::Color::ansi256(channel(p[i + 1]));
                r.consumed = 2;
            } else {
                r.consumed = 1;
            }
        } else if (kind == 2) {
            if (i + 3 < p.size()) {
                r.color = Attribute::Color::trueColor(channel(p[i + 1]), channel(p[i + 2]), channel(p[i + 3]));
                r.consumed = 4;
            } else {
                r.consumed = 1;
            }
        } else {
            r.consumed = 1;
        }
        return r;
    }
    int n = 1;
    while (i + n < p.size() && p.separators[static_cast<size_t>(i + n - 1)] == ':')
        ++n;
    r.consumed = n;
    const int kind = p[i];
    if (kind == 5 && n >= 2)
        r.color = Attribute::Color::ansi256(channel(p[i + 1]));
    else if (kind == 2 && n == 4)
        r.color = Attribute::Color::trueColor(channel(p[i + 1]), channel(p[i + 2]), channel(p[i + 3]));
    else if (kind == 2 && n >= 5)
        r.color = Attribute::Color::trueColor(channel(p[i + 2]), channel(p[i + 3]), channel(p[i + 4]));
    return r;
}

}  // namespace

void Terminal::cmdCsiM(const Params& p, Collect c)
{
    if (c.empty())
        cmdCharAttributes(p);
}

void Terminal::cmdCharAttributes(const Params& p)
{
    if (p.size() == 1 && p[0] == 0) {
        curAttr = Attribute{};
        return;
    }
    Attribute a = curAttr;
    int i = 0;
    while (i < p.size()) {
        const int v = p[i];
        int step = 1;
        switch (v) {
        case 0: a = Attribute{}; break;
        case 1: a.style.insert(CharacterStyle::bold); break;
        case 2: a.style.insert(CharacterStyle::dim); break;
        case 3: a.style.insert(CharacterStyle::italic); break;
        case 4:
            if (p.colonAfter(i)) {
                step = 2;
                const int sub = p[i + 1];
                if (sub == 0) {
                    a.style.remove(CharacterStyle::underline);
                    a.underlineStyle = UnderlineStyle::none;
                } else {
                    a.style.insert(CharacterStyle::underline);
                    a.underlineStyle = sub == 2   ? UnderlineStyle::double_
                                       : sub == 3 ? UnderlineStyle::curly
                                       : sub == 4 ? UnderlineStyle::dotted
                                       : sub == 5 ? UnderlineStyle::dashed
                                                  : UnderlineStyle::single;
                }
            } else {
                a.style.insert(CharacterStyle::underline);
                a.underlineStyle = UnderlineStyle::single;
            }
            break;
        case 5:
            a.style.insert(CharacterStyle::blink);
            blinkEverSet = true;
            break;
        case 7: a.style.insert(CharacterStyle::inverse); break;
        case 8: a.style.insert(CharacterStyle::invisible); break;
        case 9: a.style.insert(CharacterStyle::crossedOut); break;
        case 21:
            a.style.insert(CharacterStyle::underline);
            a.underlineStyle = UnderlineStyle::double_;
            break;
        case 22:
            a.style.remove(CharacterStyle::bold);
            a.style.remove(CharacterStyle::dim);
            break;
        case 23: a.style.remove(CharacterStyle::italic); break;
        case 24:
            a.style.remove(CharacterStyle::underline);
            a.underlineStyle = UnderlineStyle::none;
            break;
        case 25: a.style.remove(CharacterStyle::blink); break;
        case 27: a.style.remove(CharacterStyle::inverse); break;
        case 28: a.style.remove(CharacterStyle::invisible); break;
        case 29: a.style.remove(CharacterStyle::crossedOut); break;
        case 38:
        case 48:
        case 58: {
            const ExtendedColor e = readExtendedColor(p, i + 1);
            if (e.color) {
                if (v == 38)
                    a.fg = *e.color;
                else if (v == 48)
                    a.bg = *e.color;
                else
                    a.underlineColor = *e.color;
            }
            step = 1 + std::max(e.consumed, 1);
            break;
        }
        case 39: a.fg = Attribute::Color::defaultColor(); break;
        case 49: a.bg = Attribute::Color::defaultColor(); break;
        case 59: a.underlineColor.reset(); break;
        default:
            if (v >= 30 && v <= 37)
                a.fg = Attribute::Color::ansi256(static_cast<uint8_t>(v - 30));
            else if (v >= 40 && v <= 47)
                a.bg = Attribute::Color::ansi256(static_cast<uint8_t>(v - 40));
            else if (v >= 90 && v <= 97)
                a.fg = Attribute::Color::ansi256(static_cast<uint8_t>(v - 82));
            else if (v >= 100 && v <= 107)
                a.bg = Attribute::Color::ansi256(static_cast<uint8_t>(v - 92));
            else if (!silentLog) {
                log("Unknown SGR attribute: " + std::to_string(v) + " " + listText(p.list()));
            }
            break;
        }
        i += step;
    }
    curAttr = a;
}

}  // namespace ravelgrid
