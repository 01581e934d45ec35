// A message box whose text can be selected and copied, commands included.
#pragma once

#include <QFont>
#include <QMessageBox>
#include <QString>

class QEvent;
class QKeyEvent;
class QLabel;
class QScreen;
class QShowEvent;

namespace ps::app {

// The rich text that shows `plain`. Lines that start with four blanks are
// commands: each shows on lines of its own in `command_font` and is never
// wrapped. One wider than `command_width` pixels goes on as shell
// continuation lines (" \", then the rest), cut only between arguments (blanks
// inside quotes belong to their argument), so a path or a quoted value is never
// split and the copied lines still run as one command. The other lines wrap as
// prose, and an empty line separates paragraphs.
QString MessageHtml(const QString& plain, const QFont& command_font, int command_width);

// Left indent of the commands in MessageHtml, in pixels.
inline constexpr int kCommandIndentPixels = 16;

// A modal box captioned with the application's name, with one OK button, that
// shows `text` through MessageHtml, as wide as its commands need within the
// screen it shows on (wider than QMessageBox lets itself be). Its text is selectable with the mouse
// and the keyboard; Ctrl+C copies the selection, or the whole text as given (without markup) when
// nothing is selected.
class CopyableMessageBox : public QMessageBox {
  Q_OBJECT

 public:
  CopyableMessageBox(QMessageBox::Icon icon, const QString& text, QWidget* parent = nullptr);

  const QString& PlainText() const { return plain_; }

  // The label that shows the text.
  QLabel* TextLabel() const;

 protected:
  bool event(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  // Lays the commands out for the width of `screen`.
  void LayOutFor(const QScreen* screen);
  // Widens the box to its widest command line, if narrower.
  void WidenForCommands();

  QString plain_;
  QFont command_font_;
  int command_width_ = 0;  // pixels: the widest command line as shown
};

}  // namespace ps::app
