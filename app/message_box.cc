#include "app/message_box.h"

#include <QClipboard>
#include <QEvent>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QLayout>
#include <QScreen>
#include <QShowEvent>
#include <QStringList>
#include <algorithm>

namespace ps::app {
namespace {

constexpr QLatin1StringView kCommandIndent("    ");
// Room the box keeps beside its label (icon, margins) and off the screen edges.
constexpr int kBoxChrome = 120;

// The arguments of a command with the blank that follows each; blanks inside
// quotes belong to their argument.
QStringList Arguments(const QString& command) {
  QStringList arguments(QString{});
  QChar quote;  // the quote being inside of, or null
  for (const QChar c : command) {
    arguments.back() += c;
    if (c == QLatin1Char('\'') || c == QLatin1Char('"')) {
      quote = quote.isNull() ? c : quote == c ? QChar() : quote;
    } else if (quote.isNull() && c == QLatin1Char(' ')) {
      arguments += QString();
    }
  }
  return arguments;
}

// The command as lines no wider than `width` (an argument wider alone gets a
// line of its own), joined by shell continuations.
QStringList CommandLines(const QString& command, const QFontMetrics& metrics, int width) {
  const QString continuation = QStringLiteral("\\");
  QStringList lines(QString{});
  for (const QString& argument : Arguments(command)) {
    const QString candidate = lines.back() + argument;
    // Measured as it would be shown: each argument keeps its blank before the "\".
    if (!lines.back().isEmpty() && metrics.horizontalAdvance(candidate + continuation) > width) {
      lines.back() += continuation;
      lines += QString();
    }
    lines.back() += argument;
  }
  return lines;
}

}  // namespace

QString MessageHtml(const QString& plain, const QFont& command_font, int command_width) {
  const QFontMetrics metrics(command_font);
  const QString command_style = QStringLiteral(
                                    "<p style=\"white-space:pre; margin-left:%1px; margin-top:0px; "
                                    "margin-bottom:0px; font-family:'%2'\">")
                                    .arg(kCommandIndentPixels)
                                    .arg(command_font.family().toHtmlEscaped());
  QString html;
  QStringList prose;  // the lines of the paragraph being gathered
  const auto end_paragraph = [&] {
    if (!prose.isEmpty()) {
      html += QStringLiteral("<p>") + prose.join(QStringLiteral("<br>")) + QStringLiteral("</p>");
    }
    prose.clear();
  };
  for (const QString& line : plain.split(QLatin1Char('\n'))) {
    if (line.startsWith(kCommandIndent)) {
      end_paragraph();
      const QString command = line.mid(kCommandIndent.size());
      for (const QString& piece : CommandLines(command, metrics, command_width)) {
        html += command_style + piece.toHtmlEscaped() + QStringLiteral("</p>");
      }
    } else if (line.trimmed().isEmpty()) {
      end_paragraph();
    } else {
      prose += line.toHtmlEscaped();
    }
  }
  end_paragraph();
  return html;
}

CopyableMessageBox::CopyableMessageBox(QMessageBox::Icon icon, const QString& text, QWidget* parent)
    : QMessageBox(icon, QGuiApplication::applicationDisplayName(), QString(), QMessageBox::Ok,
                  parent),
      plain_(text),
      command_font_(QFontDatabase::systemFont(QFontDatabase::FixedFont)) {
  setTextFormat(Qt::RichText);
  LayOutFor(screen());
  setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
}

void CopyableMessageBox::LayOutFor(const QScreen* screen) {
  const int screen_width = screen != nullptr ? screen->availableGeometry().width() : 800;
  command_width_ = std::max(200, screen_width - kBoxChrome - kCommandIndentPixels);
  setText(MessageHtml(plain_, command_font_, command_width_));
}

QLabel* CopyableMessageBox::TextLabel() const {
  return findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
}

void CopyableMessageBox::showEvent(QShowEvent* event) {
  // The screen is known now: the box may have been moved to another one.
  LayOutFor(screen());
  QMessageBox::showEvent(event);
  WidenForCommands();
}

bool CopyableMessageBox::event(QEvent* event) {
  // QMessageBox sizes itself anew on every layout request (a font or style
  // change, a label that changed), back within its own limit for message
  // boxes: less than the commands need on screens 1,025 to 1,200 wide.
  const bool handled = QMessageBox::event(event);
  if (event->type() == QEvent::LayoutRequest && isVisible()) WidenForCommands();
  return handled;
}

void CopyableMessageBox::WidenForCommands() {
  // QMessageBox sizes itself for prose; widen it to the widest command line.
  QLabel* label = TextLabel();
  if (label == nullptr) return;
  const QFontMetrics metrics(command_font_);
  int widest = 0;
  for (const QString& line : plain_.split(QLatin1Char('\n'))) {
    if (!line.startsWith(kCommandIndent)) continue;
    for (const QString& piece :
         CommandLines(line.mid(kCommandIndent.size()), metrics, command_width_)) {
      widest = std::max(widest, metrics.horizontalAdvance(piece));
    }
  }
  // A little slack for the label's own margin.
  const int missing = kCommandIndentPixels + widest + 8 - label->contentsRect().width();
  if (missing <= 0) return;
  const int box_width = width() + missing;
  int box_height = height();
  if (QLayout* grid = layout(); grid != nullptr && grid->hasHeightForWidth()) {
    box_height = std::max(grid->totalHeightForWidth(box_width), grid->totalMinimumSize().height());
  }
  setFixedSize(box_width, box_height);
}

void CopyableMessageBox::keyPressEvent(QKeyEvent* event) {
  // QMessageBox's own copy would put the markup on the clipboard.
  if (event->matches(QKeySequence::Copy)) {
    const QLabel* label = TextLabel();
    QString copied = label != nullptr && label->hasSelectedText() ? label->selectedText() : plain_;
    copied.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    copied.replace(QChar::LineSeparator, QLatin1Char('\n'));
    QGuiApplication::clipboard()->setText(copied);
    event->accept();
    return;
  }
  QMessageBox::keyPressEvent(event);
}

}  // namespace ps::app
