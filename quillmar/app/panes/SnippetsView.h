#pragma once

#include "platform/Scheduler.h"
#include "quillmar/app/panes/SnippetRowsView.h"
#include "quillmar/app/sheets/SnippetDeleteSheet.h"
#include "quillmar/app/sheets/SnippetEditSheet.h"
#include "quillmar/snippets/SnippetStore.h"

#include <QPointer>
#include <QWidget>

#include <optional>

class QLabel;
class QPushButton;

namespace quillmar {

class SnippetTreeModel;

// The Snippets tool pane: the list by category, add, edit, delete, reset to
// the factory set, export to and import from a passphrase file. A store
// that failed to load shows only its message and offers no change.
class SnippetsView final : public QWidget {
    Q_OBJECT

public:
    static constexpr std::uint64_t noticeLifetimeNs = 5'000'000'000ULL;

    SnippetsView(SnippetStore& store, platform::Scheduler& clock, QWidget* parent = nullptr);
    ~SnippetsView() override;

    SnippetRowsView* list() const { return list_; }
    QLabel* errorText() const { return error_; }
    QLabel* noticeText() const { return notice_; }
    QWidget* actions() const { return actions_; }
    std::optional<QString> notice() const { return noticeText_; }
    // The id of the selected snippet, if any.
    std::optional<QString> selectedId() const;
    void select(const QString& id);

    SnippetEditSheet* editSheet() const { return editSheet_; }
    SnippetDeleteSheet* deleteSheet() const { return deleteSheet_; }
    void addSnippet();
    void editSelected();
    void deleteSelected();
    // Without asking (the button asks first).
    void resetToFactory();

    // Export and import without their dialogs: each shows its outcome as
    // the notice. The import is prepared, summed up, then applied.
    bool exportTo(const QString& path, const QString& passphrase, const QString& confirmation,
                  std::uint32_t rounds = SnippetFileFormat::kExportRounds);
    bool prepareImport(const QString& path, const QString& passphrase);
    // What the prepared import adds and replaces, for the user to confirm.
    QString importSummary() const;
    bool hasPendingImport() const { return pending_.has_value(); }
    bool applyImport(SnippetImportChoice choice);
    void cancelImport() { pending_.reset(); }

    void showNotice(const QString& text);

private:
    void showStore();
    void updateButtons();
    void chooseExport();
    void chooseImport();
    void confirmReset();
    // The id of the snippet after the row, else the one before it.
    std::optional<QString> neighbourOf(int row) const;

    SnippetStore& store_;
    platform::ScopedTasks tasks_;
    QLabel* error_ = nullptr;
    QWidget* content_ = nullptr;
    QWidget* actions_ = nullptr;
    SnippetTreeModel* model_ = nullptr;
    SnippetRowsModel* rows_ = nullptr;
    SnippetRowsView* list_ = nullptr;
    // The selection kept across a regrouping of the store.
    std::optional<QString> keep_;
    QLabel* notice_ = nullptr;
    QPushButton* edit_ = nullptr;
    QPushButton* delete_ = nullptr;
    std::optional<QString> noticeText_;
    std::optional<SnippetImportPlan> pending_;
    QPointer<SnippetEditSheet> editSheet_;
    QPointer<SnippetDeleteSheet> deleteSheet_;
};

}  // namespace quillmar
