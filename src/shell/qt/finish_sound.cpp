#include "finish_sound.h"

#include <QAudioDevice>
#include <QFileInfo>
#include <QMediaDevices>
#include <QSoundEffect>
#include <QUrl>

namespace orvex::gui {

FinishSound::FinishSound(QObject* parent) : QObject(parent) {}

FinishSound::~FinishSound() { Release(); }

bool FinishSound::Init(const QString& wavPath) {
  Release();
  if (QMediaDevices::defaultAudioOutput().isNull()) return false;
  if (!QFileInfo(wavPath).isFile()) return false;
  effect_ = new QSoundEffect(this);
  effect_->setSource(QUrl::fromLocalFile(wavPath));
  return true;
}

void FinishSound::SetVolume(int level) {
  if (effect_) effect_->setVolume(std::clamp(level, 0, 100) / 100.0f);
}

void FinishSound::PlayOnce() {
  ++requests_;
  if (!effect_) return;
  effect_->stop();
  effect_->setLoopCount(1);
  effect_->play();
}

void FinishSound::PlayLooped() {
  ++requests_;
  if (!effect_) return;
  effect_->stop();
  effect_->setLoopCount(QSoundEffect::Infinite);
  effect_->play();
}

void FinishSound::Stop() {
  if (effect_) effect_->stop();
}

bool FinishSound::Playing() const { return effect_ && effect_->isPlaying(); }

void FinishSound::Release() {
  delete effect_;
  effect_ = nullptr;
}

}  // namespace orvex::gui
