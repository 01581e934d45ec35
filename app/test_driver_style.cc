// A style plugin for window_privileges_test, loaded into the real window
// (QT_PLUGIN_PATH, -style pstestdriver) as any local user's plugin could be.
// It appends to the file $PSTEST_DRIVER_OUT the capability lines of
// /proc/self/status as it finds them when loaded, then drives the window:
// types $PSTEST_DRIVER_SUBNET into Text1, presses Command1, notes and closes
// every message box ("box: " and its text), notes the lines of List1
// ("line: ...") and closes the window.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProxyStyle>
#include <QPushButton>
#include <QStyleFactory>
#include <QStylePlugin>
#include <QTextDocumentFragment>
#include <QTimer>
#include <QWidget>
#include <fstream>
#include <string>

namespace {

std::ofstream Out() {
  return std::ofstream(qEnvironmentVariable("PSTEST_DRIVER_OUT").toStdString(), std::ios::app);
}

void WriteCapabilities() {
  std::ifstream status("/proc/self/status");
  std::ofstream out = Out();
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Cap", 0) == 0 || line.rfind("NoNewPrivs", 0) == 0 || line.rfind("Uid", 0) == 0)
      out << line << "\n";
  }
}

void CloseBoxes() {
  auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
  if (box == nullptr) return;
  const auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
  const QString html = label != nullptr ? label->text() : box->text();
  Out() << "box: " << QTextDocumentFragment::fromHtml(html).toPlainText().toStdString() << "\n";
  box->done(0);
}

void Drive() {
  QWidget* form = nullptr;
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w->objectName() == QStringLiteral("Form1") && w->isVisible()) form = w;
  }
  if (form == nullptr) {
    QTimer::singleShot(50, qApp, Drive);
    return;
  }
  auto* boxes = new QTimer(qApp);
  QObject::connect(boxes, &QTimer::timeout, qApp, CloseBoxes);
  boxes->start(20);
  form->findChild<QLineEdit*>(QStringLiteral("Text1"))
      ->setText(qEnvironmentVariable("PSTEST_DRIVER_SUBNET"));
  form->findChild<QPushButton*>(QStringLiteral("Command1"))->click();  // the whole sweep
  const auto* list = form->findChild<QListWidget*>(QStringLiteral("List1"));
  std::ofstream out = Out();
  for (int i = 0; i < list->count(); ++i)
    out << "line: " << list->item(i)->text().toStdString() << "\n";
  out << "done\n";
  out.close();
  form->close();
}

class DriverStylePlugin : public QStylePlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID QStyleFactoryInterface_iid FILE "test_driver_style.json")

 public:
  QStyle* create(const QString&) override {
    static bool started = false;
    if (!started) {
      started = true;
      WriteCapabilities();
      QTimer::singleShot(0, qApp, Drive);
    }
    return new QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion")));
  }
};

}  // namespace

#include "test_driver_style.moc"
