#include "platform/qt/Dialogs.h"

#include <QMessageBox>
#include <QPushButton>
#include <utility>

#include "platform/qt/Forms.h"

namespace velora {

namespace {

TMessageDialogDisplay& DialogDisplay() {
  static TMessageDialogDisplay display;
  return display;
}

std::string CaptionFor(TMsgDlgType type) {
  switch (type) {
    case mtWarning:
      return "Warning";
    case mtError:
      return "Error";
    case mtInformation:
      return "Information";
    case mtConfirmation:
      return "Confirmation";
    case mtCustom:
      break;
  }
  return Application ? Application->Title() : std::string();
}

QMessageBox::Icon IconFor(TMsgDlgType type) {
  switch (type) {
    case mtWarning:
      return QMessageBox::Warning;
    case mtError:
      return QMessageBox::Critical;
    case mtInformation:
      return QMessageBox::Information;
    case mtConfirmation:
      return QMessageBox::Question;
    case mtCustom:
      break;
  }
  return QMessageBox::NoIcon;
}

struct TButtonInfo {
  TMsgDlgBtn Button;
  QMessageBox::StandardButton Standard;
  int Result;
};

constexpr TButtonInfo ButtonTable[] = {
    {mbYes, QMessageBox::Yes, mrYes},
    {mbNo, QMessageBox::No, mrNo},
    {mbOK, QMessageBox::Ok, mrOk},
    {mbCancel, QMessageBox::Cancel, mrCancel},
    {mbAbort, QMessageBox::Abort, mrAbort},
    {mbRetry, QMessageBox::Retry, mrRetry},
    {mbIgnore, QMessageBox::Ignore, mrIgnore},
    {mbAll, QMessageBox::YesToAll, mrAll},
    {mbNoToAll, QMessageBox::NoToAll, mrNoToAll},
    {mbYesToAll, QMessageBox::YesToAll, mrYesToAll},
    {mbHelp, QMessageBox::Help, mrHelp},
    {mbClose, QMessageBox::Close, mrClose},
};

int ShowDialog(const TMessageDialog& dialog) {
  QMessageBox box(IconFor(dialog.DlgType), QString::fromStdString(dialog.Caption),
                  QString::fromStdString(dialog.Text));
  QWidget* parent = Application ? Application->MainForm() : nullptr;
  if (parent && parent->isVisible()) box.setParent(parent, box.windowFlags());
  for (const auto& info : ButtonTable) {
    if (!dialog.Buttons.Contains(info.Button)) continue;
    // Yes to all and All share one standard button; the first named wins.
    if (!box.button(info.Standard)) box.addButton(info.Standard);
  }
  if (box.buttons().isEmpty()) box.addButton(QMessageBox::Ok);
  box.exec();
  QAbstractButton* clicked = box.clickedButton();
  for (const auto& info : ButtonTable)
    if (clicked && clicked == box.button(info.Standard)) return info.Result;
  return mrCancel;
}

}  // namespace

int MessageDlg(const std::string& msg, TMsgDlgType dlgType, TMsgDlgButtons buttons, int helpCtx) {
  const TMessageDialog dialog{CaptionFor(dlgType), msg, dlgType, buttons, helpCtx};
  if (DialogDisplay()) return DialogDisplay()(dialog);
  return ShowDialog(dialog);
}

void SetMessageDialogDisplay(TMessageDialogDisplay display) {
  DialogDisplay() = std::move(display);
}

}  // namespace velora
