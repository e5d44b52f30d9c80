#pragma once

#include <QString>
#include <QStringList>

#include <cstddef>

namespace quillmar {

// What a tab runs: the local shell, `/usr/bin/ssh <alias>`, or a tool (a key
// program with its own title). Equal when the kind and every field are.
struct SessionTarget {
    enum class Kind { local, ssh, tool };

    Kind kind = Kind::local;
    QString alias;          // ssh
    QString title;          // tool
    QString executable;     // tool
    QStringList arguments;  // tool, without argument 0

    static SessionTarget local() { return {}; }
    static SessionTarget ssh(const QString& alias) { return {Kind::ssh, alias, {}, {}, {}}; }
    static SessionTarget tool(const QString& title, const QString& executable, const QStringList& arguments)
    {
        return {Kind::tool, {}, title, executable, arguments};
    }

    bool operator==(const SessionTarget&) const = default;
};

std::size_t hashOf(const SessionTarget& target);

}  // namespace quillmar

template <>
struct std::hash<quillmar::SessionTarget> {
    std::size_t operator()(const quillmar::SessionTarget& t) const noexcept { return quillmar::hashOf(t); }
};
