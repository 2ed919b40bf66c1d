#include "gui_fixture.h"

#include <QApplication>
#include <QDropEvent>
#include <QFile>
#include <QUrl>
#include <filesystem>

#include "platform.h"
#include "workspace.h"

namespace orvex::gui::test {

int FakeServices::MessageBox(QWidget*, const QString& title, const QString& text, Buttons buttons, BoxIcon icon) {
  boxes.push_back({title, text, buttons, icon});
  if (answers.empty()) return buttons == Buttons::Ok ? kAnswerOk : kAnswerCancel;
  int a = answers.front();
  answers.pop_front();
  return a;
}

QStringList FakeServices::OpenFiles(QWidget*, const QString& title, const QString& folder, const QString& pattern) {
  requests.push_back({QStringLiteral("files"), title, folder, pattern});
  return filesAnswer;
}

QString FakeServices::OpenFile(QWidget*, const QString& title, const QString& pattern) {
  requests.push_back({QStringLiteral("file"), title, QString(), pattern});
  return fileAnswer;
}

QString FakeServices::OpenFolder(QWidget*, const QString& title, const QString& folder) {
  requests.push_back({QStringLiteral("folder"), title, folder, QString()});
  return folderAnswer;
}

QString FakeServices::SaveFile(QWidget*, const QString& title, const QString& defaultName, const QString& pattern) {
  requests.push_back({QStringLiteral("save"), title, defaultName, pattern});
  return saveAnswer;
}

GuiFixture::GuiFixture(const std::function<void(Settings&)>& tweak) {
  app.LocateFolders(Temp("orvex"));
  CreateFolder(app.ctx.root);
  app.LoadSettings();
  app.settings.SetInt("Locale_ID", 1049);
  app.settings.SetInt("Auto_Exit", 0);
  if (tweak) tweak(app.settings);
  icons.Load();
  services = std::make_unique<FakeServices>(app.messages);
  window = std::make_unique<MainWindow>(app, ui, *services, icons, sound);
  window->ShowAtStart();
  QApplication::setActiveWindow(window.get());
  Deliver();
}

GuiFixture::~GuiFixture() {
  // A test that failed half-way may leave a run going: it ends before the window goes.
  app.dispatcher.Wait();
  window.reset();
}

std::string GuiFixture::Temp(const std::string& rel) const { return dir.path().toStdString() + "/" + rel; }

void GuiFixture::WriteFile(const std::string& path, const std::string& bytes) const {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  WriteWholeFile(path, bytes);
}

void GuiFixture::WriteTool(const std::string& name, const std::string& body) const {
  const std::string path = Root() + name;
  WriteFile(path, "#!/bin/sh\n" + body + "\n");
  std::filesystem::permissions(path, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                         std::filesystem::perms::group_exec);
}

std::string GuiFixture::MakeExt4Image(const std::string& name) const {
  std::string bytes(4096, 'x');
  bytes[0x438] = '\x53';
  bytes[0x439] = '\xEF';
  const std::string path = Temp(name);
  WriteFile(path, bytes);
  return path;
}

void GuiFixture::Deliver() {
  for (int i = 0; i < 3; ++i) {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
  }
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void GuiFixture::WaitForRun() {
  app.dispatcher.Wait();
  Deliver();
}

void GuiFixture::Drop(QWidget* target, const QStringList& paths) {
  QMimeData mime;
  QList<QUrl> urls;
  for (const QString& p : paths) urls << QUrl::fromLocalFile(p);
  mime.setUrls(urls);
  const QPoint at(target->width() / 2, target->height() / 2);
  QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &enter);
  QDropEvent drop(QPointF(at), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &drop);
}

}  // namespace orvex::gui::test
