#include "platform/ui/MessageBox.h"

namespace plat::ui {

int32_t HeadlessMessageBox::show(WindowHandle owner, const std::string& text, const std::string& caption,
                                 Buttons buttons, Icon icon) {
  shown.push_back(Shown{owner, text, caption, buttons, icon});
  if (!answers.empty()) {
    int32_t answer = answers.front();
    answers.pop_front();
    return answer;
  }
  return buttons == Buttons::YesNo ? IdYes : IdOk;
}

}  // namespace plat::ui
