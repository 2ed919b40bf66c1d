#pragma once
// The end-of-run sound, "Complete.wav" in the Workspace root, played at the volume of the
// settings. A machine without an audio output, or a missing file, leaves the program silent.
#include <QObject>
#include <QString>
#include <memory>

class QSoundEffect;

namespace orvex::gui {

class FinishSound : public QObject {
  Q_OBJECT
 public:
  explicit FinishSound(QObject* parent = nullptr);
  ~FinishSound() override;

  // Starts the sound system and loads the file; false when either is not possible.
  bool Init(const QString& wavPath);
  bool Available() const { return effect_ != nullptr; }
  void SetVolume(int level);  // 0 to 100
  void PlayOnce();
  void PlayLooped();  // the settings window's test playback
  void Stop();
  bool Playing() const;
  // Times PlayOnce and PlayLooped were asked for, heard or not.
  int PlayRequests() const { return requests_; }
  void Release();

 private:
  QSoundEffect* effect_ = nullptr;
  int requests_ = 0;
};

}  // namespace orvex::gui
