#include "ravelgrid/screen/CharSets.h"

#include <initializer_list>
#include <utility>

namespace ravelgrid {

void CharsetMap::add(uint8_t byte, std::string_view text)
{
    if (byte >= entries_.size() || text.empty())
        return;
    if (entries_[byte].empty())
        ++size_;
    entries_[byte] = text;
}

namespace {

using Entries = std::initializer_list<std::pair<char, std::string_view>>;

CharsetMap makeMap(Entries entries)
{
    CharsetMap map;
    for (const auto& [byte, text] : entries)
        map.add(static_cast<uint8_t>(byte), text);
    return map;
}

struct Tables {
    CharsetMap decSpecialGraphics = makeMap({
        {'`', "◆"}, {'a', "▒"}, {'b', "␉"}, {'c', "␌"}, {'d', "␍"}, {'e', "␊"}, {'f', "°"}, {'g', "±"},
        {'h', "␤"}, {'i', "␋"}, {'j', "┘"}, {'k', "┐"}, {'l', "┌"}, {'m', "└"}, {'n', "┼"}, {'o', "⎺"},
        {'p', "⎻"}, {'q', "─"}, {'r', "⎼"}, {'s', "⎽"}, {'t', "├"}, {'u', "┤"}, {'v', "┴"}, {'w', "┬"},
        {'x', "│"}, {'y', "≤"}, {'z', "≥"}, {'{', "π"}, {'|', "≠"}, {'}', "£"}, {'~', "·"},
    });
    CharsetMap unitedKingdom = makeMap({{'#', "£"}});
    CharsetMap usAscii;
    CharsetMap dutch = makeMap(
        {{'#', "£"}, {'@', "¾"}, {'[', "ĳ"}, {'\\', "½"}, {']', "|"}, {'{', "¨"}, {'|', "f"}, {'}', "¼"}, {'~', "´"}});
    CharsetMap finnish = makeMap(
        {{'[', "Ä"}, {'\\', "Ö"}, {']', "Å"}, {'^', "Ü"}, {'`', "é"}, {'{', "ä"}, {'|', "ö"}, {'}', "å"}, {'~', "ü"}});
    CharsetMap french = makeMap(
        {{'#', "£"}, {'@', "à"}, {'[', "°"}, {'\\', "ç"}, {']', "§"}, {'{', "é"}, {'|', "ù"}, {'}', "è"}, {'~', "¨"}});
    CharsetMap frenchCanadian = makeMap({{'@', "à"},
                                         {'[', "â"},
                                         {'\\', "ç"},
                                         {']', "ê"},
                                         {'^', "î"},
                                         {'`', "ô"},
                                         {'{', "é"},
                                         {'|', "ù"},
                                         {'}', "è"},
                                         {'~', "û"}});
    CharsetMap german =
        makeMap({{'@', "§"}, {'[', "Ä"}, {'\\', "Ö"}, {']', "Ü"}, {'{', "ä"}, {'|', "ö"}, {'}', "ü"}, {'~', "ß"}});
    CharsetMap italian = makeMap({{'#', "£"},
                                  {'@', "§"},
                                  {'[', "°"},
                                  {'\\', "ç"},
                                  {']', "é"},
                                  {'`', "ù"},
                                  {'{', "à"},
                                  {'|', "ò"},
                                  {'}', "è"},
                                  {'~', "ì"}});
    CharsetMap norwegianDanish = makeMap({{'@', "Ä"},
                                          {'[', "Æ"},
                                          {'\\', "Ø"},
                                          {']', "Å"},
                                          {'^', "Ü"},
                                          {'`', "ä"},
                                          {'{', "æ"},
                                          {'|', "ø"},
                                          {'}', "å"},
                                          {'~', "ü"}});
    CharsetMap spanish =
        makeMap({{'#', "£"}, {'@', "§"}, {'[', "¡"}, {'\\', "Ñ"}, {']', "¿"}, {'{', "°"}, {'|', "ñ"}, {'}', "ç"}});
    CharsetMap swedish = makeMap({{'@', "É"},
                                  {'[', "Ä"},
                                  {'\\', "Ö"},
                                  {']', "Å"},
                                  {'^', "Ü"},
                                  {'`', "é"},
                                  {'{', "ä"},
                                  {'|', "ö"},
                                  {'}', "å"},
                                  {'~', "ü"}});
    CharsetMap swiss = makeMap({{'#', "ù"},
                                {'@', "à"},
                                {'[', "é"},
                                {'\\', "ç"},
                                {']', "ê"},
                                {'^', "î"},
                                {'_', "è"},
                                {'`', "ô"},
                                {'{', "ä"},
                                {'|', "ö"},
                                {'}', "ü"},
                                {'~', "û"}});

    const CharsetMap* byDesignator[128] = {};

    Tables()
    {
        auto bind = [&](char designator, const CharsetMap& map) {
            byDesignator[static_cast<uint8_t>(designator)] = &map;
        };
        bind('0', decSpecialGraphics);
        bind('2', decSpecialGraphics);
        bind('A', unitedKingdom);
        bind('B', usAscii);
        bind('4', dutch);
        bind('5', finnish);
        bind('C', finnish);
        bind('R', french);
        bind('Q', frenchCanadian);
        bind('K', german);
        bind('Y', italian);
        bind('6', norwegianDanish);
        bind('E', norwegianDanish);
        bind('Z', spanish);
        bind('7', swedish);
        bind('H', swedish);
        bind('=', swiss);
    }
};

const Tables& tables()
{
    static const Tables instance;
    return instance;
}

}  // namespace

const CharsetMap* CharSets::map(uint8_t designator)
{
    if (designator >= 128)
        return nullptr;
    return tables().byDesignator[designator];
}

}  // namespace ravelgrid
