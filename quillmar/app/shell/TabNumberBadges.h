#pragma once

#include <QWidget>

namespace quillmar {

class TabStrip;
class Workspace;

// The band laid over the top of the detail area while Alt alone is held:
// under each numbered tab's chip, "Alt+" and the digit that selects it.
// It takes no clicks.
class TabNumberBadges : public QWidget {
    Q_OBJECT

public:
    static constexpr int bandHeight = 36;

    TabNumberBadges(Workspace& workspace, TabStrip& strip, QWidget* parent);

    // Each drawn badge: its text and its centre in this widget.
    struct Badge {
        QString text;
        QPoint centre;
    };
    std::vector<Badge> badges() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Workspace& workspace_;
    TabStrip& strip_;
};

}  // namespace quillmar
