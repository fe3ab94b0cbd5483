// Checks of a window's layout as the user sees it: every text a label,
// button or check box draws fits the room the control has for it, and no
// label's text runs into a neighbour. Each problem comes back as one line
// naming the control, the text and the rectangles.
#pragma once

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QWidget>

#include <optional>
#include <string>
#include <vector>

namespace layout_check {

// A control's text: the room it is drawn into and the rectangle it takes
// there, both in the parent's coordinates.
struct TextBox {
  QWidget* widget = nullptr;
  QString text;
  QRect room;
  QRect needed;
  bool label = false;
};

inline QString Describe(const QRect& r) {
  return QStringLiteral("(%1,%2 %3x%4)").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

inline QString Name(const TextBox& box) {
  QString shown = box.text.simplified();
  if (shown.size() > 40) shown = shown.left(37) + QStringLiteral("...");
  return QStringLiteral("%1 \"%2\"").arg(QString::fromUtf8(box.widget->metaObject()->className()), shown);
}

// The text of a label (a text label, not an icon or a line), a push button,
// a check box, a radio button or a combo box that cannot be edited; nothing
// for other widgets.
inline std::optional<TextBox> TextBoxOf(QWidget* w) {
  const QPoint at = w->pos();
  if (auto* label = qobject_cast<QLabel*>(w)) {
    if (label->text().isEmpty() || !label->pixmap().isNull()) return std::nullopt;
    // QLabel draws into its contents rectangle less the margin; a framed
    // label indents by half an 'x' on its aligned side.
    QRect room = label->contentsRect().adjusted(label->margin(), label->margin(), -label->margin(), -label->margin());
    const QFontMetrics fm = label->fontMetrics();
    int indent = label->indent();
    if (indent < 0) indent = label->frameWidth() > 0 ? fm.horizontalAdvance(QLatin1Char('x')) / 2 - label->margin() : 0;
    if (indent > 0) {
      const Qt::Alignment a = label->alignment();
      if (a & Qt::AlignLeft) room.setLeft(room.left() + indent);
      if (a & Qt::AlignRight) room.setRight(room.right() - indent);
      if (a & Qt::AlignTop) room.setTop(room.top() + indent);
      if (a & Qt::AlignBottom) room.setBottom(room.bottom() - indent);
    }
    const int flags = static_cast<int>(label->alignment()) | (label->wordWrap() ? Qt::TextWordWrap : 0);
    return TextBox{w, label->text(), room.translated(at), fm.boundingRect(room, flags, label->text()).translated(at),
                   true};
  }
  if (auto* combo = qobject_cast<QComboBox*>(w)) {
    if (combo->isEditable() || combo->currentText().isEmpty()) return std::nullopt;
    QStyleOptionComboBox option;
    option.initFrom(combo);
    option.currentText = combo->currentText();
    option.frame = combo->hasFrame();
    const QRect room = combo->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, combo);
    const QRect needed =
        combo->fontMetrics().boundingRect(room, Qt::AlignLeft | Qt::AlignVCenter, combo->currentText());
    return TextBox{w, combo->currentText(), room.translated(at), needed.translated(at), false};
  }
  auto* button = qobject_cast<QAbstractButton*>(w);
  if (button == nullptr || button->text().isEmpty()) return std::nullopt;
  QStyleOptionButton option;
  option.initFrom(button);
  option.text = button->text();
  QStyle::SubElement element = QStyle::SE_PushButtonContents;
  int flags = Qt::AlignCenter | Qt::TextShowMnemonic;
  if (auto* push = qobject_cast<QPushButton*>(button)) {
    if (push->isDefault()) option.features |= QStyleOptionButton::DefaultButton;
    if (push->autoDefault()) option.features |= QStyleOptionButton::AutoDefaultButton;
  } else if (qobject_cast<QCheckBox*>(button)) {
    element = QStyle::SE_CheckBoxContents;
    flags = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextShowMnemonic;
  } else if (qobject_cast<QRadioButton*>(button)) {
    element = QStyle::SE_RadioButtonContents;
    flags = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextShowMnemonic;
  } else {
    return std::nullopt;
  }
  const QRect room = button->style()->subElementRect(element, &option, button);
  const QRect needed = button->fontMetrics().boundingRect(room, flags, button->text());
  return TextBox{w, button->text(), room.translated(at), needed.translated(at), false};
}

// The visible text controls that are direct children of parent.
inline std::vector<TextBox> TextBoxes(QWidget* parent) {
  std::vector<TextBox> boxes;
  for (QWidget* child : parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    if (!child->isVisibleTo(parent)) continue;
    if (std::optional<TextBox> box = TextBoxOf(child)) boxes.push_back(*box);
  }
  return boxes;
}

// What is wrong with the texts among the direct children of parent: a text
// wider or taller than its room, two texts that overlap, a label's text over
// another control (a widget that is not a text label: edit, button, icon,
// line, ...).
inline std::vector<std::string> Problems(QWidget* parent) {
  std::vector<std::string> problems;
  const std::vector<TextBox> boxes = TextBoxes(parent);
  for (const TextBox& box : boxes) {
    if (!box.room.contains(box.needed)) {
      problems.push_back((Name(box) + QStringLiteral(" needs %1 in %2 (%3 px too wide, %4 px too high)")
                                          .arg(Describe(box.needed), Describe(box.room))
                                          .arg(std::max(0, box.needed.width() - box.room.width()))
                                          .arg(std::max(0, box.needed.height() - box.room.height())))
                             .toStdString());
    }
  }
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    for (std::size_t j = i + 1; j < boxes.size(); ++j) {
      if (boxes[i].needed.intersects(boxes[j].needed)) {
        problems.push_back((Name(boxes[i]) + QStringLiteral(" at %1 overlaps ").arg(Describe(boxes[i].needed)) +
                            Name(boxes[j]) + QStringLiteral(" at %1").arg(Describe(boxes[j].needed)))
                               .toStdString());
      }
    }
  }
  for (const TextBox& box : boxes) {
    if (!box.label) continue;
    for (QWidget* other : parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      if (other == box.widget || !other->isVisibleTo(parent)) continue;
      auto* otherLabel = qobject_cast<QLabel*>(other);
      if (otherLabel && !otherLabel->text().isEmpty() && otherLabel->pixmap().isNull()) continue;
      if (box.needed.intersects(other->geometry())) {
        problems.push_back((Name(box) + QStringLiteral(" at %1 runs into %2 at %3")
                                            .arg(Describe(box.needed),
                                                 QString::fromUtf8(other->metaObject()->className()),
                                                 Describe(other->geometry())))
                               .toStdString());
      }
    }
  }
  return problems;
}

// Whether two widgets' rectangles meet.
inline bool Overlap(const QWidget* a, const QWidget* b) { return a->geometry().intersects(b->geometry()); }

}  // namespace layout_check
