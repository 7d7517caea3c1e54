#include "app/CLI_Display.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// Width of a full bar without label, and the longest label that leaves a bar of at least
// one character.
constexpr int kBarWidth = 69;
constexpr int kMaxLabel = kBarWidth - 4 - 1;
// Width of the blanking that ends a progress or spinner line.
constexpr int kBlankWidth = 88;

bool stdout_is_terminal() {
  return isatty(STDOUT_FILENO) == 1;
}

void blank_line() {
  fprintf(stdout, "\r%*s\r", kBlankWidth, " ");
}

} // namespace

CLI_Display::CLI_Display() {
  setvbuf(stdout, nullptr, _IONBF, 0);
  setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::display_progress(bool start) {
  if (!stdout_is_terminal()) return;
  if (!start) blank_line();
}

void CLI_Display::update_progress(double fraction, const char* label) {
  if (!stdout_is_terminal()) return;
  static const char bar[] = "=====================================================================";
  static_assert(sizeof(bar) - 1 == kBarWidth, "bar text is one full bar");

  // A fraction outside 0..1 (or not a number) would make the bar longer than the line or
  // give a negative field width; show it as the nearest end instead.
  if (!(fraction >= 0.0)) fraction = 0.0;
  if (fraction > 1.0) fraction = 1.0;

  int label_len = 0;
  if (label != nullptr) label_len = static_cast<int>(strnlen(label, kMaxLabel + 1));
  if (label_len > kMaxLabel) label_len = kMaxLabel;

  int width = label != nullptr ? kBarWidth - label_len - 4 : kBarWidth;
  int filled = static_cast<int>(width * fraction);
  int percent = static_cast<int>(fraction * 100);
  // At 100% the blank field is -1 wide: printf shows it as a single blank.
  int blanks = width - filled - 1;
  if (label != nullptr)
    fprintf(stdout, "\r (%.*s) [%.*s>%*s] (%3d%% ) ", label_len, label, filled, bar, blanks, "",
            percent);
  else
    fprintf(stdout, "\r[%.*s>%*s] (%3d%% ) ", filled, bar, blanks, "", percent);
}

void CLI_Display::update_spinner(bool active, const char* label) {
  static const char* const frames[8] = {".", "..", "...", "....", ".....", "....", "...", ".."};
  static unsigned counter = 0;
  if (!stdout_is_terminal()) return;
  if (!active) {
    blank_line();
    return;
  }
  if (label != nullptr)
    fprintf(stdout, "\r (%s) %s      \r", label, frames[counter]);
  else
    fprintf(stdout, "\r %s      \r", frames[counter]);
  counter = (counter + 1) % 8;
}

void CLI_Display::info_message(const char* text) {
  fprintf(stdout, "%s\n", text != nullptr ? text : "");
}

void CLI_Display::error_message(const char* text) {
  fprintf(stderr, "%s\n", text != nullptr ? text : "");
}
