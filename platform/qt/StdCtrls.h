// Controls with the event rules of the desktop toolkit the program was designed against:
// selecting from code raises no event; the user's changes raise the click or change event,
// run through the application's guard.
#pragma once

#include <QComboBox>
#include <QListWidget>
#include <QToolButton>
#include <string>

#include "platform/Component.h"

namespace velora {

// A single-selection list. OnClick runs once for every change of the selection that the user
// makes, by mouse or keyboard, and again when the user clicks the item already selected.
class TListBox : public QListWidget, public TObject {
 public:
  explicit TListBox(QWidget* parent = nullptr);

  int ItemCount() const { return count(); }
  // Raises Exception for an index out of range.
  std::string ItemText(int index) const;
  void AddItem(const std::string& text);
  void ClearItems() { clear(); }
  // The first item whose whole text equals `text` without regard to case, or -1.
  int IndexOfItem(const std::string& text) const;

  // The selected item, or -1. Setting it raises no event; -1 or an index out of range selects
  // nothing.
  int ItemIndex() const;
  void SetItemIndex(int index);

  int ItemHeight() const { return FItemHeight; }
  void SetItemHeight(int value);

  const TNotifyEvent& OnClick() const { return FOnClick; }
  void SetOnClick(TNotifyEvent value) { FOnClick = std::move(value); }

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void Click();
  // Runs Qt's handling of one input event; a selection it changed raises OnClick once.
  template <typename Handle>
  void UserInput(Handle handle);

  TNotifyEvent FOnClick;
  int FItemHeight = 13;
};

// An editable drop-down list. OnChange runs once when the user picks an item and on every
// edit of the text; typed text leaves no item selected. Enter adds no item.
class TComboBox : public QComboBox, public TObject {
 public:
  explicit TComboBox(QWidget* parent = nullptr);

  int ItemCount() const { return count(); }
  std::string ItemText(int index) const;
  void AddItem(const std::string& text);
  std::string Text() const;

  // The selected item, or -1 after the user typed. Setting it raises no event; an index out
  // of range selects nothing and empties the text.
  int ItemIndex() const { return FItemIndex; }
  void SetItemIndex(int index);

  int ItemHeight() const { return FItemHeight; }
  void SetItemHeight(int value);

  const TNotifyEvent& OnChange() const { return FOnChange; }
  void SetOnChange(TNotifyEvent value) { FOnChange = std::move(value); }

 private:
  void Change();

  TNotifyEvent FOnChange;
  int FItemIndex = -1;
  int FItemHeight = 13;
};

// A picture button that never takes the focus. Its hint is kept but not shown.
class TSpeedButton : public QToolButton, public TObject {
 public:
  explicit TSpeedButton(QWidget* parent = nullptr);

  const std::string& Hint() const { return FHint; }
  void SetHint(const std::string& value) { FHint = value; }
  void SetGlyph(const QPixmap& picture);

  const TNotifyEvent& OnClick() const { return FOnClick; }
  void SetOnClick(TNotifyEvent value) { FOnClick = std::move(value); }

 private:
  TNotifyEvent FOnClick;
  std::string FHint;
};

}  // namespace velora
