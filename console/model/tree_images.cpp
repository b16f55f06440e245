#include "console/model/tree_images.h"

#include <QPainter>
#include <QPixmap>

#include "console/model/list_images.h"
#include "console/model/tree_entry.h"

namespace {

struct Badge {
  const char* letter;
  QColor color;
  bool round;
};

Badge BadgeFor(int index) {
  switch (index) {
    case IMAGE_MACHINE: return {"M", QColor(70, 110, 160), false};
    case IMAGE_USER: return {"U", QColor(40, 140, 60), true};
    case IMAGE_ASSUMED: return {"A", QColor(200, 140, 20), true};
    case IMAGE_UNKNOWN_USER: return {"?", QColor(150, 150, 150), true};
    case IMAGE_GROUP: return {"G", QColor(30, 120, 120), true};
    case IMAGE_POLICIES: return {"P", QColor(130, 70, 150), false};
    case IMAGE_DIALING: return {"D", QColor(90, 90, 200), false};
    case IMAGE_SCHEDULER: return {"T", QColor(170, 90, 40), false};
    case IMAGE_SERVICE_RUNNING: return {"S", QColor(30, 150, 50), false};
    case IMAGE_SERVICE_STOPPED: return {"S", QColor(190, 40, 40), false};
    case IMAGE_SERVICE_PARTIAL: return {"S", QColor(210, 160, 20), false};
    case IMAGE_SESSION_CONSOLE: return {"L", QColor(80, 80, 80), true};
    case IMAGE_SESSION: return {"W", QColor(40, 100, 190), true};
    case IMAGE_SESSION_HANDOVER: return {"H", QColor(120, 60, 160), true};
    case IMAGE_CACHED: return {"C", QColor(60, 150, 150), true};
    case IMAGE_SESSION_REAL: return {"R", QColor(180, 60, 110), true};
    case IMAGE_SESSION_POP3: return {"E", QColor(110, 110, 40), true};
    // The editors' lists: criteria of a filter, interfaces by kind, DHCP scopes and options.
    case LIST_IMAGE_CRITERION: return {"=", QColor(130, 70, 150), true};
    case LIST_IMAGE_INTERFACE_IP: return {"N", QColor(50, 120, 80), false};
    case LIST_IMAGE_INTERFACE_LOOPBACK: return {"O", QColor(100, 100, 120), false};
    case LIST_IMAGE_DHCP_SCOPE: return {"R", QColor(160, 100, 40), false};
    case LIST_IMAGE_DHCP_GLOBAL: return {"#", QColor(100, 70, 40), false};
    default: return {"", QColor(120, 120, 120), false};
  }
}

QIcon Draw(int index) {
  const int size = 32;  // drawn large, scaled down: sharp at any icon size
  QPixmap pm(size, size);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  const Badge b = BadgeFor(index);
  p.setPen(Qt::NoPen);
  p.setBrush(b.color);
  if (b.round)
    p.drawEllipse(2, 2, size - 4, size - 4);
  else
    p.drawRoundedRect(2, 2, size - 4, size - 4, 6, 6);
  QFont f = p.font();
  f.setBold(true);
  f.setPixelSize(20);
  p.setFont(f);
  p.setPen(Qt::white);
  p.drawText(QRect(0, 0, size, size), Qt::AlignCenter, QString::fromLatin1(b.letter));
  p.end();
  return QIcon(pm);
}

}  // namespace

const std::vector<QIcon>& TreeImages() {
  static const std::vector<QIcon> images = [] {
    std::vector<QIcon> v;
    for (int i = 0; i < IMAGE_COUNT; ++i) v.push_back(Draw(i));
    return v;
  }();
  return images;
}
