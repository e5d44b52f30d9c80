#include "ravelgrid/bidi/TerminalBidi.h"

#include <unicode/uchar.h>
#include <unicode/unorm2.h>

#include <algorithm>
#include <array>
#include <unordered_map>

namespace ravelgrid::TerminalBidi {
namespace {

struct JoiningRange {
    char32_t first;
    char32_t last;
    Joining type;
};

using J = Joining;

// Joining types of the scripts that join, sorted by first scalar.
constexpr JoiningRange joiningTable[] = {
    {0x0620, 0x0620, J::dual},          {0x0622, 0x0625, J::right},       {0x0626, 0x0626, J::dual},
    {0x0627, 0x0627, J::right},         {0x0628, 0x0628, J::dual},        {0x0629, 0x0629, J::right},
    {0x062A, 0x062E, J::dual},          {0x062F, 0x0632, J::right},       {0x0633, 0x063F, J::dual},
    {0x0640, 0x0640, J::causing},       {0x0641, 0x0647, J::dual},        {0x0648, 0x0648, J::right},
    {0x0649, 0x064A, J::dual},          {0x066E, 0x066F, J::dual},        {0x0671, 0x0673, J::right},
    {0x0675, 0x0677, J::right},         {0x0678, 0x0687, J::dual},        {0x0688, 0x0699, J::right},
    {0x069A, 0x06BF, J::dual},          {0x06C0, 0x06C0, J::right},       {0x06C1, 0x06C2, J::dual},
    {0x06C3, 0x06CB, J::right},         {0x06CC, 0x06CC, J::dual},        {0x06CD, 0x06CD, J::right},
    {0x06CE, 0x06CE, J::dual},          {0x06CF, 0x06CF, J::right},       {0x06D0, 0x06D1, J::dual},
    {0x06D2, 0x06D3, J::right},         {0x06D5, 0x06D5, J::right},       {0x06EE, 0x06EF, J::right},
    {0x06FA, 0x06FC, J::dual},          {0x06FF, 0x06FF, J::dual},        {0x070F, 0x070F, J::transparent},
    {0x0710, 0x0710, J::right},         {0x0712, 0x0714, J::dual},        {0x0715, 0x0719, J::right},
    {0x071A, 0x071D, J::dual},          {0x071E, 0x071E, J::right},       {0x071F, 0x0727, J::dual},
    {0x0728, 0x0728, J::right},         {0x0729, 0x0729, J::dual},        {0x072A, 0x072A, J::right},
    {0x072B, 0x072B, J::dual},          {0x072C, 0x072C, J::right},       {0x072D, 0x072E, J::dual},
    {0x072F, 0x072F, J::right},         {0x074D, 0x074D, J::right},       {0x074E, 0x0758, J::dual},
    {0x0759, 0x075B, J::right},         {0x075C, 0x076A, J::dual},        {0x076B, 0x076C, J::right},
    {0x076D, 0x0770, J::dual},          {0x0771, 0x0771, J::right},       {0x0772, 0x0772, J::dual},
    {0x0773, 0x0774, J::right},         {0x0775, 0x0777, J::dual},        {0x0778, 0x0779, J::right},
    {0x077A, 0x077F, J::dual},          {0x07CA, 0x07EA, J::dual},        {0x07FA, 0x07FA, J::causing},
    {0x0840, 0x0840, J::right},         {0x0841, 0x0845, J::dual},        {0x0846, 0x0847, J::right},
    {0x0848, 0x0848, J::dual},          {0x0849, 0x0849, J::right},       {0x084A, 0x0853, J::dual},
    {0x0854, 0x0854, J::right},         {0x0855, 0x0855, J::dual},        {0x0856, 0x0858, J::right},
    {0x0860, 0x0860, J::dual},          {0x0862, 0x0865, J::dual},        {0x0867, 0x0867, J::right},
    {0x0868, 0x0868, J::dual},          {0x0869, 0x086A, J::right},       {0x0870, 0x0882, J::right},
    {0x0883, 0x0885, J::causing},       {0x0886, 0x0886, J::dual},        {0x0889, 0x088D, J::dual},
    {0x088E, 0x088E, J::right},         {0x088F, 0x088F, J::dual},        {0x08A0, 0x08A9, J::dual},
    {0x08AA, 0x08AC, J::right},         {0x08AE, 0x08AE, J::right},       {0x08AF, 0x08B0, J::dual},
    {0x08B1, 0x08B2, J::right},         {0x08B3, 0x08B8, J::dual},        {0x08B9, 0x08B9, J::right},
    {0x08BA, 0x08C8, J::dual},          {0x1807, 0x1807, J::dual},        {0x180A, 0x180A, J::causing},
    {0x1820, 0x1878, J::dual},          {0x1885, 0x1886, J::transparent}, {0x1887, 0x18A8, J::dual},
    {0x18AA, 0x18AA, J::dual},          {0x200D, 0x200D, J::causing},     {0xA840, 0xA871, J::dual},
    {0xA872, 0xA872, J::left},          {0x10AC0, 0x10AC4, J::dual},      {0x10AC5, 0x10AC5, J::right},
    {0x10AC7, 0x10AC7, J::right},       {0x10AC9, 0x10ACA, J::right},     {0x10ACD, 0x10ACD, J::left},
    {0x10ACE, 0x10AD2, J::right},       {0x10AD3, 0x10AD6, J::dual},      {0x10AD7, 0x10AD7, J::left},
    {0x10AD8, 0x10ADC, J::dual},        {0x10ADD, 0x10ADD, J::right},     {0x10ADE, 0x10AE0, J::dual},
    {0x10AE1, 0x10AE1, J::right},       {0x10AE4, 0x10AE4, J::right},     {0x10AEB, 0x10AEE, J::dual},
    {0x10AEF, 0x10AEF, J::right},       {0x10B80, 0x10B80, J::dual},      {0x10B81, 0x10B81, J::right},
    {0x10B82, 0x10B82, J::dual},        {0x10B83, 0x10B85, J::right},     {0x10B86, 0x10B88, J::dual},
    {0x10B89, 0x10B89, J::right},       {0x10B8A, 0x10B8B, J::dual},      {0x10B8C, 0x10B8C, J::right},
    {0x10B8D, 0x10B8D, J::dual},        {0x10B8E, 0x10B8F, J::right},     {0x10B90, 0x10B90, J::dual},
    {0x10B91, 0x10B91, J::right},       {0x10BA9, 0x10BAC, J::right},     {0x10BAD, 0x10BAE, J::dual},
    {0x10D00, 0x10D00, J::left},        {0x10D01, 0x10D21, J::dual},      {0x10D22, 0x10D22, J::right},
    {0x10D23, 0x10D23, J::dual},        {0x10EC2, 0x10EC2, J::right},     {0x10EC3, 0x10EC4, J::dual},
    {0x10EC6, 0x10EC7, J::dual},        {0x10F30, 0x10F32, J::dual},      {0x10F33, 0x10F33, J::right},
    {0x10F34, 0x10F44, J::dual},        {0x10F51, 0x10F53, J::dual},      {0x10F54, 0x10F54, J::right},
    {0x10F70, 0x10F73, J::dual},        {0x10F74, 0x10F75, J::right},     {0x10F76, 0x10F81, J::dual},
    {0x10FB0, 0x10FB0, J::dual},        {0x10FB2, 0x10FB3, J::dual},      {0x10FB4, 0x10FB6, J::right},
    {0x10FB8, 0x10FB8, J::dual},        {0x10FB9, 0x10FBA, J::right},     {0x10FBB, 0x10FBC, J::dual},
    {0x10FBD, 0x10FBD, J::right},       {0x10FBE, 0x10FBF, J::dual},      {0x10FC1, 0x10FC1, J::dual},
    {0x10FC2, 0x10FC3, J::right},       {0x10FC4, 0x10FC4, J::dual},      {0x10FC9, 0x10FC9, J::right},
    {0x10FCA, 0x10FCA, J::dual},        {0x10FCB, 0x10FCB, J::left},      {0x1E900, 0x1E943, J::dual},
    {0x1E94B, 0x1E94B, J::transparent},
};

constexpr bool tableIsSorted()
{
    for (size_t i = 1; i < std::size(joiningTable); ++i)
        if (joiningTable[i].first <= joiningTable[i - 1].last || joiningTable[i].first > joiningTable[i].last)
            return false;
    return true;
}
static_assert(std::size(joiningTable) == 157 && tableIsSorted());

bool isMarkOrFormat(char32_t c)
{
    const int8_t type = u_charType(UChar32(c));
    return type == U_NON_SPACING_MARK || type == U_ENCLOSING_MARK || type == U_FORMAT_CHAR;
}

constexpr char32_t zwnj = 0x200C;
constexpr char32_t lam = 0x0644;

char32_t scalarOf(const Cell& cell)
{
    return cell.text.empty() ? U' ' : cell.text[0];
}

bool isTransparent(char32_t c)
{
    const auto t = tableJoining(c);
    return t ? *t == Joining::transparent : isMarkOrFormat(c);
}

// The letters that have contextual forms.
constexpr std::array<char32_t, 40> extraFormLetters = {
    0x0671, 0x0677, 0x0679, 0x067A, 0x067B, 0x067E, 0x067F, 0x0680, 0x0683, 0x0684, 0x0686, 0x0687, 0x0688, 0x068C,
    0x068D, 0x068E, 0x0691, 0x0698, 0x06A4, 0x06A6, 0x06A9, 0x06AD, 0x06AF, 0x06B1, 0x06B3, 0x06BA, 0x06BB, 0x06BE,
    0x06C0, 0x06C1, 0x06C5, 0x06C6, 0x06C7, 0x06C8, 0x06C9, 0x06CB, 0x06CC, 0x06D0, 0x06D2, 0x06D3,
};

bool hasFormEntry(char32_t c)
{
    return (c >= 0x0621 && c <= 0x063A) || (c >= 0x0641 && c <= 0x064A) ||
           std::find(extraFormLetters.begin(), extraFormLetters.end(), c) != extraFormLetters.end();
}

// Built once from the compatibility decompositions of the presentation-form
// blocks: each form decomposes to its letter under the isolated, final,
// initial or medial tag.
const std::unordered_map<char32_t, PresentationForms>& formTable()
{
    static const std::unordered_map<char32_t, PresentationForms> table = [] {
        std::unordered_map<char32_t, PresentationForms> t;
        UErrorCode status = U_ZERO_ERROR;
        const UNormalizer2* nfkc = unorm2_getNFKCInstance(&status);
        if (U_FAILURE(status))
            return t;
        auto scan = [&](char32_t from, char32_t to) {
            for (char32_t c = from; c <= to; ++c) {
                const int type = u_getIntPropertyValue(UChar32(c), UCHAR_DECOMPOSITION_TYPE);
                if (type != U_DT_ISOLATED && type != U_DT_FINAL && type != U_DT_INITIAL && type != U_DT_MEDIAL)
                    continue;
                UChar raw[4];
                UErrorCode err = U_ZERO_ERROR;
                const int32_t length = unorm2_getRawDecomposition(nfkc, UChar32(c), raw, 4, &err);
                if (U_FAILURE(err) || length != 1 || !hasFormEntry(raw[0]))
                    continue;
                PresentationForms& f = t[raw[0]];
                char32_t& slot = type == U_DT_ISOLATED  ? f.isolated
                                 : type == U_DT_FINAL   ? f.final
                                 : type == U_DT_INITIAL ? f.initial
                                                        : f.medial;
                if (slot == 0)
                    slot = c;
            }
        };
        scan(0xFB50, 0xFDFF);
        scan(0xFE70, 0xFEFF);
        // Hamza and High Hamza Yeh have no final form: they show isolated.
        for (auto& [letter, forms] : t)
            if (forms.final == 0)
                forms.final = forms.isolated;
        return t;
    }();
    return table;
}

struct LamAlef {
    char32_t alef;
    char32_t isolated;
    char32_t final;
};
constexpr LamAlef lamAlefTable[] = {
    {0x0622, 0xFEF5, 0xFEF6},
    {0x0623, 0xFEF7, 0xFEF8},
    {0x0625, 0xFEF9, 0xFEFA},
    {0x0627, 0xFEFB, 0xFEFC},
};

const LamAlef* lamAlefFor(char32_t alef)
{
    for (const LamAlef& e : lamAlefTable)
        if (e.alef == alef)
            return &e;
    return nullptr;
}

// Whether the next letter that is not transparent joins towards this one.
bool followingJoins(std::span<const Cell> cells, size_t index)
{
    for (size_t j = index + 1; j < cells.size(); ++j) {
        const char32_t c = scalarOf(cells[j]);
        if (c == zwnj)
            return false;
        if (isTransparent(c))
            continue;
        const auto t = tableJoining(c);
        return t && (*t == Joining::right || *t == Joining::dual || *t == Joining::causing);
    }
    return false;
}

}  // namespace

std::optional<Joining> tableJoining(char32_t c)
{
    const auto* end = std::end(joiningTable);
    const auto* it = std::upper_bound(std::begin(joiningTable), end, c,
                                      [](char32_t v, const JoiningRange& r) { return v < r.first; });
    if (it == std::begin(joiningTable))
        return std::nullopt;
    --it;
    if (c > it->last)
        return std::nullopt;
    return it->type;
}

std::optional<PresentationForms> presentationForms(char32_t letter)
{
    const auto& table = formTable();
    if (auto it = table.find(letter); it != table.end())
        return it->second;
    return std::nullopt;
}

size_t presentationFormLetterCount()
{
    return formTable().size();
}

bool precedingJoins(std::span<const Cell> cells, size_t index, Joining joining)
{
    if (joining != Joining::causing && joining != Joining::right && joining != Joining::dual)
        return false;
    for (size_t j = std::min(index, cells.size()); j-- > 0;) {
        const char32_t c = scalarOf(cells[j]);
        if (c == zwnj)
            return false;
        if (isTransparent(c))
            continue;
        const auto t = tableJoining(c);
        return t && (*t == Joining::left || *t == Joining::dual || *t == Joining::causing);
    }
    return false;
}

std::u32string composeShaped(char32_t form, std::span<const Cell> cells)
{
    std::u32string out(1, form);
    for (const Cell& cell : cells)
        if (cell.text.size() > 1)
            out.append(cell.text, 1);
    return out;
}

std::vector<std::u32string> shapeCells(std::span<const Cell> cells)
{
    std::vector<std::u32string> display(cells.size());
    for (size_t i = 0; i < cells.size();) {
        const char32_t c = scalarOf(cells[i]);
        const auto type = tableJoining(c);
        const bool absentMark = !type && isMarkOrFormat(c);
        if (c == zwnj || (type && *type == Joining::none) || (!type && !absentMark)) {
            if (auto forms = presentationForms(c))
                display[i] = composeShaped(forms->isolated, cells.subspan(i, 1));
            ++i;
            continue;
        }
        if (absentMark || *type == Joining::transparent || *type == Joining::causing || *type == Joining::left) {
            ++i;
            continue;
        }
        const bool joinsBefore = precedingJoins(cells, i, *type);
        if (c == lam && i + 1 < cells.size()) {
            if (const LamAlef* ligature = lamAlefFor(scalarOf(cells[i + 1]))) {
                display[i] = composeShaped(joinsBefore ? ligature->final : ligature->isolated, cells.subspan(i, 2));
                display[i + 1].assign(1, U' ');
                i += 2;
                continue;
            }
        }
        const auto forms = presentationForms(c);
        if (!forms) {
            ++i;
            continue;
        }
        const bool joinsAfter = followingJoins(cells, i);
        char32_t form = forms->isolated;
        if (*type == Joining::right) {
            form = joinsBefore ? forms->final : forms->isolated;
        } else if (joinsBefore && joinsAfter) {
            form = forms->medial ? forms->medial : forms->final;
        } else if (joinsBefore) {
            form = forms->final;
        } else if (joinsAfter) {
            form = forms->initial ? forms->initial : forms->isolated;
        }
        display[i] = composeShaped(form, cells.subspan(i, 1));
        ++i;
    }
    return display;
}

}  // namespace ravelgrid::TerminalBidi
