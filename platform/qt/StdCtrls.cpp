#include "platform/qt/StdCtrls.h"

#include <QLineEdit>
#include <QMouseEvent>

#include "platform/SysUtils.h"
#include "platform/qt/Forms.h"

namespace velora {

namespace {

QString ToQString(const std::string& text) {
  return QString::fromStdString(text);
}

}  // namespace

// --- TListBox

TListBox::TListBox(QWidget* parent) : QListWidget(parent) {
  setSelectionMode(QAbstractItemView::SingleSelection);
  setUniformItemSizes(true);
}

std::string TListBox::ItemText(int index) const {
  if (index < 0 || index >= count())
    throw Exception("List index out of bounds (" + std::to_string(index) + ")");
  return item(index)->text().toStdString();
}

void TListBox::AddItem(const std::string& text) {
  auto* entry = new QListWidgetItem(ToQString(text), this);
  entry->setSizeHint(QSize(0, FItemHeight));
}

int TListBox::IndexOfItem(const std::string& text) const {
  const QString wanted = ToQString(text);
  for (int i = 0; i < count(); ++i)
    if (item(i)->text().compare(wanted, Qt::CaseInsensitive) == 0) return i;
  return -1;
}

int TListBox::ItemIndex() const {
  const int row = currentRow();
  return row >= 0 && item(row)->isSelected() ? row : -1;
}

void TListBox::SetItemIndex(int index) {
  const QSignalBlocker quiet(this);
  if (index < 0 || index >= count()) {
    setCurrentRow(-1);
    clearSelection();
    return;
  }
  setCurrentRow(index, QItemSelectionModel::ClearAndSelect);
  scrollToItem(item(index));
}

void TListBox::SetItemHeight(int value) {
  FItemHeight = value;
  for (int i = 0; i < count(); ++i) item(i)->setSizeHint(QSize(0, FItemHeight));
}

void TListBox::Click() {
  if (FOnClick) GuardedCall([this] { FOnClick(this); });
}

template <typename Handle>
void TListBox::UserInput(Handle handle) {
  const int before = ItemIndex();
  handle();
  const int after = ItemIndex();
  // The user can move the selection but not clear it (a click beside the items, ctrl-click).
  if (after < 0 && before >= 0) SetItemIndex(before);
  if (after >= 0 && after != before) Click();
}

void TListBox::mousePressEvent(QMouseEvent* event) {
  const int before = ItemIndex();
  UserInput([&] { QListWidget::mousePressEvent(event); });
  if (event->button() != Qt::LeftButton || before < 0 || ItemIndex() != before) return;
  // The item already selected was clicked again.
  QListWidgetItem* hit = itemAt(event->position().toPoint());
  if (hit && row(hit) == before) Click();
}

void TListBox::mouseMoveEvent(QMouseEvent* event) {
  UserInput([&] { QListWidget::mouseMoveEvent(event); });
}

void TListBox::mouseDoubleClickEvent(QMouseEvent* event) {
  UserInput([&] { QListWidget::mouseDoubleClickEvent(event); });
}

void TListBox::keyPressEvent(QKeyEvent* event) {
  UserInput([&] { QListWidget::keyPressEvent(event); });
}

// --- TComboBox

TComboBox::TComboBox(QWidget* parent) : QComboBox(parent) {
  setEditable(true);
  // Enter in the text field neither adds an item nor selects one; typed text is not completed.
  setInsertPolicy(QComboBox::NoInsert);
  setCompleter(nullptr);
  connect(this, &QComboBox::activated, [this](int index) {
    FItemIndex = index;
    Change();
  });
  connect(lineEdit(), &QLineEdit::textEdited, [this](const QString&) {
    FItemIndex = -1;
    Change();
  });
}

std::string TComboBox::ItemText(int index) const {
  if (index < 0 || index >= count())
    throw Exception("List index out of bounds (" + std::to_string(index) + ")");
  return itemText(index).toStdString();
}

void TComboBox::AddItem(const std::string& text) {
  addItem(ToQString(text));
  setItemData(count() - 1, QSize(0, FItemHeight), Qt::SizeHintRole);
}

std::string TComboBox::Text() const {
  return currentText().toStdString();
}

void TComboBox::SetItemIndex(int index) {
  const QSignalBlocker quiet(this);
  if (index < 0 || index >= count()) index = -1;
  setCurrentIndex(index);
  if (index < 0) lineEdit()->clear();
  FItemIndex = index;
}

void TComboBox::SetItemHeight(int value) {
  FItemHeight = value;
  for (int i = 0; i < count(); ++i) setItemData(i, QSize(0, FItemHeight), Qt::SizeHintRole);
}

void TComboBox::Change() {
  if (FOnChange) GuardedCall([this] { FOnChange(this); });
}

// --- TSpeedButton

TSpeedButton::TSpeedButton(QWidget* parent) : QToolButton(parent) {
  setFocusPolicy(Qt::NoFocus);
  setToolButtonStyle(Qt::ToolButtonIconOnly);
  connect(this, &QToolButton::clicked, [this] {
    if (FOnClick) GuardedCall([this] { FOnClick(this); });
  });
}

void TSpeedButton::SetGlyph(const QPixmap& picture) {
  setIcon(QIcon(picture));
  setIconSize(picture.size());
}

}  // namespace velora
