#pragma once

#include "quillmar/app/shell/ToolTab.h"
#include "quillmar/app/shell/Workspace.h"

#include <QPointer>

#include <functional>
#include <map>
#include <set>
#include <utility>
#include <vector>

namespace quillmar {

// A widget per open tab of a workspace: `sync` drops the widgets of closed
// tabs and makes one for each tab without one. A widget lives as long as its
// tab, so what it holds (a running shell, a rename in progress) survives
// changes to the other tabs. Main thread only.
template <class W>
class TabWidgets {
public:
    // May answer null: that tab goes without a widget until the next sync.
    using Make = std::function<W*(const TabID&)>;
    // Given the widget of a closed tab; it is forgotten afterwards.
    using Drop = std::function<void(W*)>;

    TabWidgets(const Workspace& workspace, Make make, Drop drop)
        : workspace_(workspace), make_(std::move(make)), drop_(std::move(drop))
    {}

    // Closed tabs' widgets first, so a new widget never meets an old one.
    void sync()
    {
        const std::vector<TabID> ids = workspace_.tabIDs();
        const std::set<TabID> open(ids.begin(), ids.end());
        for (auto it = widgets_.begin(); it != widgets_.end();) {
            if (open.count(it->first)) {
                ++it;
                continue;
            }
            if (W* widget = it->second.data())
                drop_(widget);
            it = widgets_.erase(it);
        }
        for (const TabID& id : ids) {
            QPointer<W>& widget = widgets_[id];
            if (!widget)
                widget = make_(id);
            if (!widget)
                widgets_.erase(id);
        }
    }

    W* find(const TabID& id) const
    {
        auto it = widgets_.find(id);
        return it == widgets_.end() ? nullptr : it->second.data();
    }

    // In tab order; tabs without a widget are left out.
    std::vector<std::pair<TabID, W*>> inOrder() const
    {
        std::vector<std::pair<TabID, W*>> list;
        for (const TabID& id : workspace_.tabIDs()) {
            if (W* widget = find(id))
                list.emplace_back(id, widget);
        }
        return list;
    }

    // Each widget, for work that needs no order (restyling, a new font).
    template <class F>
    void forEach(F&& f) const
    {
        for (const auto& [id, widget] : widgets_) {
            if (widget)
                f(widget.data());
        }
    }

private:
    const Workspace& workspace_;
    Make make_;
    Drop drop_;
    std::map<TabID, QPointer<W>> widgets_;
};

}  // namespace quillmar
