#include "icons.h"

#include <QFile>
#include <QPainter>
#include <QSvgRenderer>

namespace orvex::gui {

namespace {

QPixmap Render(QSvgRenderer& svg, int size) {
  QPixmap pm(size, size);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  svg.render(&p);
  return pm;
}

QIcon IconFrom(QSvgRenderer& svg, std::initializer_list<int> sizes) {
  QIcon icon;
  for (int s : sizes) icon.addPixmap(Render(svg, s));
  return icon;
}

}  // namespace

bool Icons::Load() {
  bool all = true;
  for (int n = 0; n < kCount; ++n) {
    if (!Exists(n)) continue;
    QSvgRenderer svg(QStringLiteral(":/icons/%1.svg").arg(n, 2, 10, QLatin1Char('0')));
    if (!svg.isValid()) {
      all = false;
      continue;
    }
    const int size = (n == 15 || n == 16) ? 48 : 16;
    pictures_[n] = Render(svg, size);
    icons_[n] = IconFrom(svg, {16, 24, 32, 48});
  }
  QSvgRenderer app(QStringLiteral(":/icons/orvex.svg"));
  if (app.isValid()) app_ = IconFrom(app, {16, 24, 32, 48, 64, 128, 256});
  else all = false;
  return all;
}

QIcon Icons::Icon(int number) const { return Exists(number) ? icons_[number] : QIcon(); }

QPixmap Icons::Picture(int number) const { return Exists(number) ? pictures_[number] : QPixmap(); }

}  // namespace orvex::gui
