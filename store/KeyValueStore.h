#pragma once
// A small ordered table of text keys and values bound to a settings file of "KEY=value"
// lines. Keys are kept in byte order; typed getters convert on reading and typed adders
// format on writing. The file records its own creation and last-change time.

#include <cstddef>
#include <map>
#include <string>

class KeyValueStore {
public:
  static constexpr const char* DEFAULT_FILE = ".settings";
  static constexpr const char* CREATED_TIME = "CREATED_TIME";
  static constexpr const char* UPDATED_TIME = "UPDATED_TIME";
  // Longest line read, its newline included, is LINE_BUFFER - 1 bytes; longer lines are
  // skipped.
  static constexpr size_t LINE_BUFFER = 2048;

  // Starts empty; with a path, loads it.
  explicit KeyValueStore(const char* path = nullptr);

  // Reads `path` into the table (existing entries stay unless a line replaces them). A file
  // that does not exist is created holding the creation and update times.
  void Load(const char* path);

  // Reads entries from `text` by the rules of the file format (no file is touched).
  void LoadText(const char* text, size_t length);

  // Writes the whole table to `path` (null: the file last loaded or saved, else ".settings"
  // in the working directory). The file is replaced whole or not at all. True when written.
  bool Save(const char* path = nullptr);

  // Adders store the formatted value and set the changed flag when it differs from the value
  // held. They refuse (false, nothing stored) a key holding "=" or a line break, or a value
  // holding a line break, which the file could not hold.
  bool Add(const char* key, const char* value);
  bool Add(const char* key, std::string& value);
  bool Add(const char* key, int value);
  bool Add(const char* key, double value);
  bool AddHex(const char* key, unsigned value);
  // Copies every entry of `other`, replacing values of equal keys.
  bool Add(const KeyValueStore& other);
  bool Clear();

  // The stored value, or the default (the empty text for a null default) when absent.
  std::string GetString(const char* key, const char* defaultValue) const;
  // Numeric getters: the default when the key is absent or its value empty. They add an
  // absent key with an empty value (without setting the changed flag).
  int GetInt(const char* key, int defaultValue);
  unsigned GetHex(const char* key, unsigned defaultValue);
  bool GetBOOL(const char* key, bool defaultValue);
  double GetDouble(const char* key, double defaultValue);
  // The stored value (valid until the table changes), null when the key is absent.
  const char* operator[](const char* key) const;

  const std::string& FilePath() const { return file_path; }
  bool Changed() const { return changed; }
  const std::map<std::string, std::string>& Entries() const { return entries; }

  // The current local time as ctime text without its line end (24 characters).
  static std::string TimeText();

private:
  bool Store(const char* key, const std::string& value);
  void ReadLine(const char* line, size_t length);

  std::string file_path;
  std::map<std::string, std::string> entries;
  bool changed = false;
};
