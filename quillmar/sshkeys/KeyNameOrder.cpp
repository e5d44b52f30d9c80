#include "quillmar/sshkeys/KeyNameOrder.h"

#include "quillmar/sshkeys/SSHKeyInfo.h"

#include <string_view>

namespace quillmar {

int KeyNameOrder::compareNames(std::string_view a, std::string_view b) const
{
    return names_.compare(a, b);
}

bool KeyNameOrder::operator()(const SSHKeyInfo& a, const SSHKeyInfo& b) const
{
    const bool attentionA = a.needsAttention();
    const bool attentionB = b.needsAttention();
    if (attentionA != attentionB)
        return attentionA;
    const int byName = compareNames(a.name, b.name);
    if (byName != 0)
        return byName < 0;
    return a.privatePath < b.privatePath;
}

}  // namespace quillmar
