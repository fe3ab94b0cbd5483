// Draws the programs' icons and writes them as PNG files, the pictures the
// build embeds (res/icons/<id>-<role>.png). Run by hand after changing a
// picture, then commit the PNG files:
//   cmake --build <build> --target tesk_icongen
//   <build>/MODULES/TeskSaveLib/res/tesk_icongen [OUTDIR] [--sheet FILE]
// OUTDIR defaults to the source folder's icons/. --sheet also writes a
// contact sheet of the written files: each at 32 x 32 and scaled to
// 16 x 16 as a tree's image list shows it, both also magnified.
//
// Every picture is drawn on a 16 x 16 grid scaled by two: edges on whole
// grid units stay sharp when the tree scales the 32 x 32 image down to
// 16 x 16; half units are detail only the 32 x 32 picture shows.
#include <QColor>
#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QPolygonF>
#include <QString>

#include <cmath>
#include <cstdio>
#include <functional>
#include <numbers>
#include <vector>

#ifndef TESK_ICON_DIR
#define TESK_ICON_DIR "icons"
#endif

namespace {

using Draw = std::function<void(QPainter&)>;

struct Icon {
  int id;
  const char* role;
  int size;
  Draw draw;
};

QColor Rgb(unsigned rgb) { return QColor::fromRgb(static_cast<QRgb>(rgb)); }

QPen Edge(unsigned rgb, qreal width = 1.0) {
  QPen pen(Rgb(rgb), width);
  pen.setJoinStyle(Qt::MiterJoin);
  pen.setCapStyle(Qt::FlatCap);
  return pen;
}

QPen RoundEdge(unsigned rgb, qreal width = 1.0) {
  QPen pen(Rgb(rgb), width);
  pen.setJoinStyle(Qt::RoundJoin);
  pen.setCapStyle(Qt::RoundCap);
  return pen;
}

QPolygonF Poly(std::initializer_list<QPointF> points) { return QPolygonF(QList<QPointF>(points)); }

void Fill(QPainter& p, const QRectF& r, unsigned rgb) { p.fillRect(r, Rgb(rgb)); }

// A filled shape with a one-unit outline, its edges on the half units.
void Shape(QPainter& p, const QPolygonF& poly, unsigned fill, unsigned edge) {
  p.setPen(Edge(edge));
  p.setBrush(Rgb(fill));
  p.drawPolygon(poly);
}

void Box(QPainter& p, const QRectF& r, unsigned fill, unsigned edge) {
  p.setPen(Edge(edge));
  p.setBrush(Rgb(fill));
  p.drawRect(r);
}

// --- the pieces ----------------------------------------------------------------

// A letter seen from the front: white with a grey edge and the flap's V.
void Envelope(QPainter& p, const QRectF& r, unsigned edge = 0x5A6470) {
  Box(p, r, 0xFFFFFF, edge);
  p.setPen(RoundEdge(edge, 1.0));
  p.setBrush(Qt::NoBrush);
  const QPointF tip(r.center().x(), r.top() + r.height() * 0.58);
  p.drawPolyline(Poly({r.topLeft() + QPointF(0.5, 0.5), tip, r.topRight() + QPointF(-0.5, 0.5)}));
}

// A database drum: a cylinder of stacked disks.
void Drum(QPainter& p, unsigned side, unsigned top, unsigned edge) {
  const qreal l = 2.5, r = 13.5, y0 = 3.5, y1 = 12.5, ry = 2.0;
  QPainterPath body;
  body.moveTo(l, y0);
  body.lineTo(l, y1);
  body.arcTo(QRectF(l, y1 - ry, r - l, 2 * ry), 180, 180);
  body.lineTo(r, y0);
  body.closeSubpath();
  p.setPen(Edge(edge));
  p.setBrush(Rgb(side));
  p.drawPath(body);
  // The seams between the disks.
  p.setBrush(Qt::NoBrush);
  for (const qreal y : {6.5, 9.5}) {
    QPainterPath seam;
    seam.arcMoveTo(QRectF(l, y - ry, r - l, 2 * ry), 180);
    seam.arcTo(QRectF(l, y - ry, r - l, 2 * ry), 180, 180);
    p.drawPath(seam);
  }
  p.setBrush(Rgb(top));
  p.drawEllipse(QRectF(l, y0 - ry, r - l, 2 * ry));
  // A light on each disk.
  p.setPen(Qt::NoPen);
  p.setBrush(Rgb(0x4CC15A));
  for (const qreal y : {7.0, 10.0}) p.drawRect(QRectF(10.0, y, 1.0, 1.0));
}

void Star(QPainter& p, QPointF c, qreal outer, qreal inner, unsigned fill, unsigned edge) {
  QPolygonF star;
  for (int i = 0; i < 10; ++i) {
    const qreal a = -std::numbers::pi / 2 + i * std::numbers::pi / 5;
    const qreal rad = (i % 2 == 0) ? outer : inner;
    star << QPointF(c.x() + rad * std::cos(a), c.y() + rad * std::sin(a));
  }
  p.setPen(RoundEdge(edge, 0.9));
  p.setBrush(Rgb(fill));
  p.drawPolygon(star);
}

// An open letter tray seen from the front.
void Tray(QPainter& p) {
  const unsigned edge = 0x2F5F93;
  Shape(p, Poly({{3.5, 7.5}, {12.5, 7.5}, {14.5, 10.5}, {1.5, 10.5}}), 0xC9DDF2, edge);
  Shape(p, Poly({{1.5, 10.5}, {5, 10.5}, {6, 12}, {10, 12}, {11, 10.5}, {14.5, 10.5}, {14.5, 14.5}, {1.5, 14.5}}),
        0x6E9DD3, edge);
}

// A thick arrow along the vertical middle, pointing down (in) or up (out).
void Arrow(QPainter& p, bool down, unsigned fill, unsigned edge) {
  QPolygonF arrow = down ? Poly({{6.5, 0.5}, {9.5, 0.5}, {9.5, 4.5}, {12.5, 4.5}, {8, 9.5}, {3.5, 4.5}, {6.5, 4.5}})
                         : Poly({{8, 0.5}, {12.5, 5.5}, {9.5, 5.5}, {9.5, 9.5}, {6.5, 9.5}, {6.5, 5.5}, {3.5, 5.5}});
  Shape(p, arrow, fill, edge);
}

// A steel safe with a combination dial; `detailed` adds what only shows
// at 32 x 32 and beyond.
void Safe(QPainter& p, const QRectF& r, bool detailed) {
  const unsigned edge = 0x243B55;
  p.setPen(Edge(edge));
  p.setBrush(Rgb(0x56779A));
  p.drawRoundedRect(r, 1.0, 1.0);
  // The door.
  const QRectF door = r.adjusted(1.5, 1.5, -1.5, -1.5);
  p.setPen(Edge(0x2E4A6A, detailed ? 0.5 : 1.0));
  p.setBrush(Rgb(0x7E9DBE));
  p.drawRect(door);
  const QPointF c(door.center().x() + 0.5, door.center().y());
  if (detailed) {
    // Hinges, a bevel and bolts.
    p.setPen(Qt::NoPen);
    p.setBrush(Rgb(0x243B55));
    p.drawRect(QRectF(r.left() + 0.5, r.top() + 2.5, 1.0, 1.5));
    p.drawRect(QRectF(r.left() + 0.5, r.bottom() - 4.0, 1.0, 1.5));
    p.setBrush(Rgb(0xA9C0D8));
    p.drawRect(QRectF(door.left() + 0.25, door.top() + 0.25, door.width() - 0.5, 0.5));
    p.setBrush(Rgb(0x3E5C7E));
    for (const QPointF b : {door.topLeft() + QPointF(1, 1.5), door.topRight() + QPointF(-1.5, 1.5),
                            door.bottomLeft() + QPointF(1, -1.5), door.bottomRight() + QPointF(-1.5, -1.5)}) {
      p.drawEllipse(QRectF(b.x(), b.y(), 0.5, 0.5));
    }
  }
  // The dial.
  p.setPen(Edge(edge, detailed ? 0.6 : 1.0));
  p.setBrush(Rgb(0xE4EAF0));
  p.drawEllipse(c, 2.0, 2.0);
  if (detailed) {
    p.setPen(RoundEdge(edge, 0.5));
    for (int i = 0; i < 4; ++i) {
      const qreal a = std::numbers::pi / 4 + i * std::numbers::pi / 2;
      p.drawLine(c, QPointF(c.x() + 2.6 * std::cos(a), c.y() + 2.6 * std::sin(a)));
    }
    p.setBrush(Rgb(0xC8102E));
    p.setPen(Edge(edge, 0.4));
    p.drawEllipse(c, 0.8, 0.8);
  } else {
    p.setPen(Qt::NoPen);
    p.setBrush(Rgb(edge));
    p.drawRect(QRectF(c.x() - 0.5, c.y() - 0.5, 1.0, 1.0));
  }
  // Feet.
  p.setPen(Qt::NoPen);
  p.setBrush(Rgb(edge));
  p.drawRect(QRectF(r.left() + 1, r.bottom() + 0.5, 2.0, 1.0));
  p.drawRect(QRectF(r.right() - 3, r.bottom() + 0.5, 2.0, 1.0));
}

// --- the icons -----------------------------------------------------------------

void MainFrame(QPainter& p) {
  Safe(p, QRectF(4.5, 0.5, 11, 12), false);
  Envelope(p, QRectF(0.5, 7.5, 10, 7));
}

void Logo(QPainter& p) {
  Safe(p, QRectF(4.5, 0.5, 11, 12), true);
  Envelope(p, QRectF(0.5, 7.5, 10, 7));
  // A seal on the letter.
  p.setPen(Edge(0x8E1B1B, 0.5));
  p.setBrush(Rgb(0xD9463B));
  p.drawEllipse(QPointF(5.5, 11.75), 1.25, 1.25);
}

void Store(QPainter& p) { Drum(p, 0xA7B2BE, 0xD7DEE5, 0x4E5B69); }

void DefaultStore(QPainter& p) {
  Drum(p, 0xA7B2BE, 0xD7DEE5, 0x4E5B69);
  Star(p, QPointF(11.5, 11.5), 4.5, 2.0, 0xFFC928, 0x9A6A00);
}

void Contacts(QPainter& p) {
  p.setPen(Edge(0x2F5F93));
  p.setBrush(Rgb(0xDCEBFA));
  p.drawRoundedRect(QRectF(0.5, 2.5, 15, 11), 1.0, 1.0);
  // The person.
  p.setPen(Qt::NoPen);
  p.setBrush(Rgb(0x2F6FB7));
  p.drawEllipse(QRectF(3, 4.5, 3, 3));
  QPainterPath shoulders;
  shoulders.moveTo(2, 12);
  shoulders.cubicTo(2, 8, 7, 8, 7, 12);
  shoulders.closeSubpath();
  p.drawPath(shoulders);
  // The lines of the address.
  Fill(p, QRectF(9, 5, 5, 1), 0x4A5A6C);
  Fill(p, QRectF(9, 7, 4, 1), 0x8A98A8);
  Fill(p, QRectF(9, 9, 5, 1), 0x8A98A8);
}

void Calendar(QPainter& p) {
  Box(p, QRectF(1.5, 2.5, 13, 12), 0xFFFFFF, 0x5A6470);
  Box(p, QRectF(1.5, 2.5, 13, 3), 0xE0453A, 0x9E2A22);
  // The rings.
  Fill(p, QRectF(4, 1, 1, 3), 0x3D4652);
  Fill(p, QRectF(11, 1, 1, 3), 0x3D4652);
  // The days; one is today.
  for (int row = 0; row < 2; ++row) {
    for (int col = 0; col < 3; ++col) {
      const bool today = row == 1 && col == 1;
      Fill(p, QRectF(3 + 4 * col, 7 + 3 * row, 2, 2), today ? 0xE0453A : 0x8EA3BA);
    }
  }
}

void Journal(QPainter& p) {
  // The pages, then the cover over them.
  Box(p, QRectF(4.5, 2.5, 10, 12), 0xFFFFFF, 0x5A6470);
  for (const qreal y : {5.0, 8.0, 11.0}) Fill(p, QRectF(13, y, 1, 1), 0xB8C0C8);
  p.setPen(Edge(0x4A2C6E));
  p.setBrush(Rgb(0x8457B8));
  p.drawRect(QRectF(2.5, 0.5, 10, 13));
  Fill(p, QRectF(3, 1, 2, 12), 0x5E3A8A);  // the spine
  Fill(p, QRectF(6, 3, 5, 3), 0xF3E9FF);   // the label
  Fill(p, QRectF(7, 4, 3, 1), 0x8457B8);
  // The ribbon.
  Shape(p, Poly({{8.5, 13.5}, {10.5, 13.5}, {10.5, 15.5}, {9.5, 14.5}, {8.5, 15.5}}), 0xE0453A, 0x9E2A22);
}

void Tasks(QPainter& p) {
  p.setPen(Edge(0x6B4A22));
  p.setBrush(Rgb(0xB07D45));
  p.drawRoundedRect(QRectF(1.5, 1.5, 13, 14), 0.8, 0.8);
  Fill(p, QRectF(3, 3, 10, 11), 0xFFFFFF);
  // The clip.
  Box(p, QRectF(5.5, 0.5, 5, 2), 0xB9C2CC, 0x4E5B69);
  // Three done items.
  for (int i = 0; i < 3; ++i) {
    const qreal y = 5 + 3 * i;
    p.setPen(RoundEdge(0x23963A, 1.1));
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(Poly({{4, y + 0.6}, {5, y + 1.6}, {7, y - 0.6}}));
    Fill(p, QRectF(8, y, 4, 1), 0x6E7781);
  }
}

void MailFolderIcon(QPainter& p) {
  Shape(p, Poly({{1.5, 2.5}, {6, 2.5}, {7.5, 4.5}, {14.5, 4.5}, {14.5, 13.5}, {1.5, 13.5}}), 0xE5A42A, 0x9C6A12);
  Shape(p, Poly({{1.5, 6.5}, {14.5, 6.5}, {14.5, 13.5}, {1.5, 13.5}}), 0xFBD25E, 0x9C6A12);
}

void Notes(QPainter& p) {
  const unsigned edge = 0xB0901C;
  Shape(p, Poly({{1.5, 1.5}, {14.5, 1.5}, {14.5, 10.5}, {10.5, 14.5}, {1.5, 14.5}}), 0xFFF389, edge);
  Fill(p, QRectF(2, 2, 12, 2), 0xF2D94A);  // the sticky strip
  Shape(p, Poly({{10.5, 14.5}, {10.5, 10.5}, {14.5, 10.5}}), 0xE8C93A, edge);
  for (int i = 0; i < 3; ++i) Fill(p, QRectF(4, 6 + 2 * i, i == 2 ? 5 : 8, 1), 0xA08A3A);
}

void Inbox(QPainter& p) {
  Tray(p);
  Arrow(p, true, 0x3DAA4E, 0x1F6B2B);
}

void Outbox(QPainter& p) {
  Tray(p);
  Arrow(p, false, 0xF28C28, 0xA0520F);
}

void SentItems(QPainter& p) {
  const unsigned edge = 0x1F4E8C;
  // The paper plane: the upper wing, the lower wing in shadow, the fold.
  Shape(p, Poly({{15, 1}, {0.5, 7.5}, {5.5, 9.5}}), 0xF4F9FF, edge);
  Shape(p, Poly({{15, 1}, {5.5, 9.5}, {8.5, 15}}), 0x8FB9E8, edge);
  Shape(p, Poly({{5.5, 9.5}, {6, 13.5}, {7.2, 11.2}}), 0x5A8CC8, edge);
}

void DeletedItems(QPainter& p) {
  const unsigned edge = 0x4E5B69;
  Box(p, QRectF(6.5, 0.5, 3, 2), 0xB9C2CC, edge);                    // the handle
  Shape(p, Poly({{3.5, 4.5}, {12.5, 4.5}, {11.5, 14.5}, {4.5, 14.5}}), 0xB9C2CC, edge);
  Box(p, QRectF(1.5, 2.5, 13, 2), 0x8D99A6, edge);                   // the lid
  for (const qreal x : {6.0, 8.0, 10.0}) Fill(p, QRectF(x, 6, 1, 7), 0x6B7785);
}

std::vector<Icon> Icons() {
  return {
      {128, "mainframe", 32, MainFrame},
      {130, "logo", 32, Logo},
      {12119, "store", 32, Store},
      {12118, "default-store", 32, DefaultStore},
      {9501, "contacts", 32, Contacts},
      {129, "calendar", 32, Calendar},
      {12123, "journal", 32, Journal},
      {12122, "tasks", 32, Tasks},
      {9617, "mail-folder", 32, MailFolderIcon},
      {9602, "notes", 32, Notes},
      {9608, "inbox", 32, Inbox},
      {12127, "outbox", 32, Outbox},
      {12128, "sent-items", 32, SentItems},
      {12129, "deleted-items", 32, DeletedItems},
  };
}

QImage Render(const Icon& icon) {
  QImage image(icon.size, icon.size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(icon.size / 16.0, icon.size / 16.0);
  icon.draw(p);
  p.end();
  return image.convertToFormat(QImage::Format_ARGB32);
}

QString FileName(const Icon& icon) { return QStringLiteral("%1-%2.png").arg(icon.id).arg(QLatin1String(icon.role)); }

// Two bands of seven icons. In each column: the id; the 32 x 32 picture on
// white and on grey; the 16 x 16 image (scaled as the image list does) on
// white, grey and a selected tree row's blue; both magnified.
QImage Sheet(const std::vector<QImage>& images, const std::vector<int>& ids) {
  const int cell = 140, band = 360;
  const int bands = (static_cast<int>(images.size()) + 6) / 7;
  QImage sheet(7 * cell + 8, bands * band, QImage::Format_ARGB32);
  sheet.fill(Qt::white);
  QPainter p(&sheet);
  p.setFont(QFont(QStringLiteral("Sans"), 8));
  const QColor grey(0x80, 0x80, 0x80), blue(0x30, 0x8C, 0xC6), pad(0xE8, 0xE8, 0xE8);
  for (std::size_t i = 0; i < images.size(); ++i) {
    const int x = 8 + static_cast<int>(i % 7) * cell;
    const int y = static_cast<int>(i / 7) * band;
    const QImage& big = images[i];
    const QImage small = big.scaled(16, 16, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    p.setPen(Qt::black);
    p.drawText(x, y + 16, QString::number(ids[i]));
    p.drawImage(x, y + 24, big);
    p.fillRect(x + 40, y + 24, 32, 32, grey);
    p.drawImage(x + 40, y + 24, big);
    p.drawImage(x, y + 64, small);
    p.fillRect(x + 24, y + 64, 16, 16, grey);
    p.drawImage(x + 24, y + 64, small);
    p.fillRect(x + 48, y + 64, 16, 16, blue);
    p.drawImage(x + 48, y + 64, small);
    p.fillRect(x, y + 88, 132, 132, pad);
    p.drawImage(QRect(x + 2, y + 90, 128, 128), big);
    p.fillRect(x, y + 224, 132, 132, pad);
    p.drawImage(QRect(x + 2, y + 226, 128, 128), small);
  }
  p.end();
  return sheet;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  QString outDir = QStringLiteral(TESK_ICON_DIR);
  QString sheetFile;
  const QStringList args = QGuiApplication::arguments();
  for (int i = 1; i < args.size(); ++i) {
    if (args[i] == QLatin1String("--sheet") && i + 1 < args.size()) {
      sheetFile = args[++i];
    } else if (args[i].startsWith(QLatin1String("-"))) {
      std::fprintf(stderr, "usage: tesk_icongen [OUTDIR] [--sheet FILE]\n");
      return 2;
    } else {
      outDir = args[i];
    }
  }
  if (!QDir().mkpath(outDir)) {
    std::fprintf(stderr, "tesk_icongen: cannot create %s\n", qPrintable(outDir));
    return 1;
  }
  std::vector<QImage> written;
  std::vector<int> ids;
  for (const Icon& icon : Icons()) {
    const QString path = QDir(outDir).filePath(FileName(icon));
    if (!Render(icon).save(path, "PNG")) {
      std::fprintf(stderr, "tesk_icongen: cannot write %s\n", qPrintable(path));
      return 1;
    }
    written.push_back(QImage(path));
    ids.push_back(icon.id);
    std::printf("%s\n", qPrintable(path));
  }
  if (!sheetFile.isEmpty() && !Sheet(written, ids).save(sheetFile, "PNG")) {
    std::fprintf(stderr, "tesk_icongen: cannot write %s\n", qPrintable(sheetFile));
    return 1;
  }
  return 0;
}
