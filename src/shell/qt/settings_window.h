#pragma once
// The settings window: seven tabs whose controls each edit one setting at once.
#include <QTabWidget>
#include <QWidget>
#include <map>

namespace orvex::gui {

class MainWindow;

// The tab panel; it takes .apk files dropped while the build tab is shown.
class SettingsTabs : public QTabWidget {
  Q_OBJECT
 public:
  using QTabWidget::QTabWidget;

 signals:
  void filesDropped(const QStringList& paths);

 protected:
  void dragEnterEvent(QDragEnterEvent* e) override;
  void dragMoveEvent(QDragMoveEvent* e) override;
  void dropEvent(QDropEvent* e) override;
};

// The languages the window offers: entry text and identifier.
struct LanguageEntry {
  const char* text;
  int identifier;
};
extern const LanguageEntry kLanguages[11];

class SettingsWindow : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kBuildTab = 3;
  static constexpr int kLanguageTab = 6;

  explicit SettingsWindow(MainWindow& main);
  ~SettingsWindow() override;

  // Places the window as the settings say, shows it and selects the tab.
  void ShowOnTab(int tab);
  int CurrentTab() const;
  SettingsTabs* Tabs() const { return tabs_; }
  // Setting_Stage and the window's position and size go into the settings.
  void RecordGeometry();
  void StopTestSound();
  // Controls 103 and 113 to 115 follow Main_Top and Toolbar_Set.
  void SyncViewControls();
  // A control by its number, or null.
  QWidget* Control(int id) const;
  template <typename T>
  T* ControlAs(int id) const {
    return qobject_cast<T*>(Control(id));
  }
  // Copies dropped .apk files over framework/framework-res.apk (build tab only).
  void TakeApkFiles(const QStringList& paths);

 protected:
  void closeEvent(QCloseEvent* e) override;

 private:
  QWidget* Page(int tab) const;
  void Build();
  void FitTexts();
  bool TextsFit() const;
  void ApplyEnablingRules();
  void ChooseFramework();
  void ChooseUsbTool();
  std::string FrameworkPath() const;

  MainWindow& main_;
  SettingsTabs* tabs_ = nullptr;
  std::map<int, QWidget*> controls_;
  bool building_ = true;
  QFont superFont_;  // the two SUPER check boxes' own face
};

}  // namespace orvex::gui
