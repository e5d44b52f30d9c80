#pragma once

#include <QMessageBox>
#include <QString>

#include <memory>

class QComboBox;
class QLabel;
class QWidget;

namespace ravelgrid {

// Text that came from a user, a file or a remote host, shown as written.
// Qt reads a label, a tooltip or a message box as rich text as soon as the
// text looks like HTML, so a title could pull in local images or decode
// "&lt;" into "<"; these never let it guess.

// A label that never reads its text as markup.
QLabel* plainLabel(const QString& text, QWidget* parent);

// A tooltip string that Qt shows verbatim, cut to a length worth reading.
QString plainToolTip(const QString& text);

// A question whose text is shown as written.
std::unique_ptr<QMessageBox> plainQuestion(QWidget* parent, const QString& title, const QString& text,
                                           QMessageBox::StandardButtons buttons,
                                           QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
// Runs a question and gives the button chosen; NoButton when the box went
// away with its parent before an answer.
QMessageBox::StandardButton ask(std::unique_ptr<QMessageBox> box);

// Characters that show nothing or turn the text around them: format and
// bidirectional controls, zero-width characters and blank fillers.
bool isHiddenCharacter(char32_t c);
bool hasHiddenCharacters(const QString& text);
// The text with each hidden character written out, as "<U+202E>", and each
// blank other than the plain space too ("<U+00A0>"), which would read as one.
QString revealHiddenCharacters(const QString& text);

// Adds each value to a combo box's list spelt out as above; choosing one
// puts the value itself in an editable box's field, and `itemData` holds it.
void addSpeltOutItems(QComboBox* box, const QStringList& values);

}  // namespace ravelgrid
