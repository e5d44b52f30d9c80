#include "quillmar/app/shell/SessionTarget.h"

#include <QHash>

namespace quillmar {

std::size_t hashOf(const SessionTarget& target)
{
    std::size_t seed = qHash(int(target.kind));
    seed = qHashMulti(seed, target.alias, target.title, target.executable);
    for (const QString& arg : target.arguments)
        seed = qHashMulti(seed, arg);
    return seed;
}

}  // namespace quillmar
