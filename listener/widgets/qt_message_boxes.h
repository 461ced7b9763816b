// QtMessageBoxes: the message box service of the windowed listener. Each box
// is a modal QMessageBox without an icon, with the designed buttons; the
// first button is the default unless the style asks for the second or
// third (256, 512). Line breaks (CR LF) are shown as line breaks.
//
// User-interface thread only: MsgBox is called there by the listener and by
// the engine, which runs its passes on that thread.
#pragma once

#include "msgbox.h"

namespace tallyhost {

class QtMessageBoxes : public msgbox::MessageBoxService {
 public:
  int Show(const std::string& text, int buttons, const std::string& title,
           msgbox::Kind kind) override;
};

}  // namespace tallyhost
