// The modal message dialog: an icon for its kind, a caption, a text and a row of buttons.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/Sets.h"

namespace velora {

enum TMsgDlgType : std::uint8_t { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };
template <>
struct TEnumInfo<TMsgDlgType> {
  static constexpr std::array<std::string_view, 5> Names = {"mtWarning", "mtError", "mtInformation",
                                                            "mtConfirmation", "mtCustom"};
};

enum TMsgDlgBtn : std::uint8_t {
  mbYes,
  mbNo,
  mbOK,
  mbCancel,
  mbAbort,
  mbRetry,
  mbIgnore,
  mbAll,
  mbNoToAll,
  mbYesToAll,
  mbHelp,
  mbClose,
};
template <>
struct TEnumInfo<TMsgDlgBtn> {
  static constexpr std::array<std::string_view, 12> Names = {
      "mbYes",    "mbNo",  "mbOK",      "mbCancel",   "mbAbort", "mbRetry",
      "mbIgnore", "mbAll", "mbNoToAll", "mbYesToAll", "mbHelp",  "mbClose"};
};
using TMsgDlgButtons = TSet<TMsgDlgBtn, std::uint16_t>;

// Modal results.
constexpr int mrNone = 0;
constexpr int mrOk = 1;
constexpr int mrCancel = 2;
constexpr int mrAbort = 3;
constexpr int mrRetry = 4;
constexpr int mrIgnore = 5;
constexpr int mrYes = 6;
constexpr int mrNo = 7;
constexpr int mrClose = 8;
constexpr int mrHelp = 9;
constexpr int mrAll = 12;
constexpr int mrNoToAll = 13;
constexpr int mrYesToAll = 14;

struct TMessageDialog {
  std::string Caption;  // "Warning", "Error", "Information", "Confirmation" or the title
  std::string Text;
  TMsgDlgType DlgType = mtCustom;
  TMsgDlgButtons Buttons;
  int HelpCtx = 0;
};

// Shows the dialog modally and returns the modal result of the button pressed.
int MessageDlg(const std::string& msg, TMsgDlgType dlgType, TMsgDlgButtons buttons, int helpCtx);

// Replaces every modal message dialog (tests record instead); empty restores the real one.
using TMessageDialogDisplay = std::function<int(const TMessageDialog& dialog)>;
void SetMessageDialogDisplay(TMessageDialogDisplay display);

}  // namespace velora
