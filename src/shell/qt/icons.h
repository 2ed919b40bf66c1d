#pragma once
// The program's built-in images, by number: 0 to 12 and 14 to 23 (16 x 16), of which 15 and 16
// are the 48 x 48 pictures of the donation and About windows.
#include <QIcon>
#include <QPixmap>
#include <array>

namespace orvex::gui {

class Icons {
 public:
  static constexpr int kCount = 24;
  // Decodes every image from the compiled-in resources; false when one is missing.
  bool Load();
  QIcon Icon(int number) const;
  QPixmap Picture(int number) const;  // at its own size (48 x 48 for 15 and 16, else 16 x 16)
  static bool Exists(int number) { return number >= 0 && number < kCount && number != 13; }
  // The program's own emblem (window and launcher icon).
  QIcon AppIcon() const { return app_; }

 private:
  std::array<QIcon, kCount> icons_;
  std::array<QPixmap, kCount> pictures_;
  QIcon app_;
};

}  // namespace orvex::gui
