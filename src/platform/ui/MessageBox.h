#pragma once
// The message-box layer: the one way the engine and the dialogs tell the user about a failure or ask
// a yes/no question. A desktop backing draws the box and blocks until it is answered; the headless
// backing records every box and answers from a script, so start-up checks can be tested without a
// display. User-interface thread only.
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace plat::ui {

// An owner window, as the toolkit backing knows it; null shows the box without an owner.
using WindowHandle = void*;

enum class Buttons { Ok, OkCancel, YesNo };
enum class Icon { None, Information, Warning, Error, Question };

// The answer codes of the Windows message box, so callers compare the same numbers.
enum Answer : int32_t { IdOk = 1, IdCancel = 2, IdYes = 6, IdNo = 7 };

class MessageBox {
 public:
  virtual ~MessageBox() = default;
  // Shows `text` with `caption` and returns the button pressed.
  virtual int32_t show(WindowHandle owner, const std::string& text, const std::string& caption,
                       Buttons buttons, Icon icon) = 0;
};

// Records every box. Answers come from `answers` in order; when it is empty, the first button of the
// set is taken (OK or Yes), as a user who presses Enter would.
class HeadlessMessageBox final : public MessageBox {
 public:
  struct Shown {
    WindowHandle owner;
    std::string text;
    std::string caption;
    Buttons buttons;
    Icon icon;
  };

  int32_t show(WindowHandle owner, const std::string& text, const std::string& caption, Buttons buttons,
               Icon icon) override;

  std::vector<Shown> shown;
  std::deque<int32_t> answers;
};

}  // namespace plat::ui
