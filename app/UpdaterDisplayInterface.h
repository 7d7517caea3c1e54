#pragma once
// What the updater's operations show to the user: information and error lines, a progress
// bar and a busy spinner. The console tool supplies CLI_Display; tests supply their own.

class UpdaterDisplayInterface {
public:
  enum Level { LEVEL_INFO = 0, LEVEL_ERROR = 1 };

  UpdaterDisplayInterface() = default;

  // Starts (true) or ends (false) a progress display.
  virtual void display_progress(bool start) = 0;
  // Shows progress as a fraction from 0.0 to 1.0 with an optional label (null for none).
  virtual void update_progress(double fraction, const char* label) = 0;
  // Advances the busy indicator (true) or removes it (false), with an optional label.
  virtual void update_spinner(bool active, const char* label) = 0;
  // One line each; the text carries no line end.
  virtual void info_message(const char* text) = 0;
  virtual void error_message(const char* text) = 0;

  // Formats into a 2048-byte buffer (cut at 2047 characters) and hands the text to
  // error_message for LEVEL_ERROR, to info_message otherwise. Does nothing while muted.
  void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  // Silences message() only; progress and spinner output go on.
  void mute_messages(bool mute) { muted = mute; }

protected:
  // Displays are owned by value and never deleted through this interface.
  ~UpdaterDisplayInterface() = default;
  UpdaterDisplayInterface(const UpdaterDisplayInterface&) = default;
  UpdaterDisplayInterface& operator=(const UpdaterDisplayInterface&) = default;

private:
  bool muted = false;
};
