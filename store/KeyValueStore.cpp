#include "store/KeyValueStore.h"

#include "app/Log.h"
#include "link/unix_file.h"
#include "store/AtomicFile.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/stat.h>

namespace {

bool IsSpace(char c) {
  return isspace(static_cast<unsigned char>(c)) != 0;
}

// A key the file can hold: a line is split at its first "=" and ends at a line break.
bool ValidKey(const char* key) {
  return key != nullptr && strpbrk(key, "=\r\n") == nullptr;
}

// A value the file can hold on one line, and that a C string carries whole.
bool ValidValue(const std::string& value) {
  return value.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

} // namespace

KeyValueStore::KeyValueStore(const char* path) {
  if (path != nullptr) Load(path);
}

std::string KeyValueStore::TimeText() {
  time_t now = time(nullptr);
  char text[64] = "";
  if (ctime_r(&now, text) == nullptr) return std::string();
  std::string result(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r'))
    result.pop_back();
  return result;
}

void KeyValueStore::Load(const char* path) {
  if (path == nullptr) return;
  aFileRef handle = aFile_Open(path, aFileModeRead);
  if (handle == nullptr) {
    int openError = errno;
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", path,
             openError);
    // Create the file only when there is none: a file that exists but cannot be read right now
    // must not be replaced by an empty one.
    struct stat info;
    bool absent = stat(path, &info) != 0 && (errno == ENOENT || errno == ENOTDIR);
    if (absent) {
      Add(CREATED_TIME, TimeText().c_str());
      Save(path);
    }
    file_path = path;
    changed = false;
    return;
  }
  file_path = path;
  changed = false;

  std::string text;
  char chunk[4096];
  for (;;) {
    size_t count = 0;
    aErr err = aFile_Read(handle, chunk, sizeof(chunk), &count);
    if (err != aErrNone) {
      if (err != aErrEOF) {
        Log::log(DEBUG_Attributes, "Attibutes: Error (%d) reading attributes file: '%s'\n",
                 int(err), path);
        // Keep only whole lines of what was read before the failure.
        size_t lastLine = text.find_last_of('\n');
        text.resize(lastLine == std::string::npos ? 0 : lastLine + 1);
      }
      break;
    }
    text.append(chunk, count);
  }
  aFile_Close(&handle);
  LoadText(text.data(), text.size());
}

void KeyValueStore::LoadText(const char* text, size_t length) {
  if (text == nullptr) return;
  size_t position = 0;
  while (position < length) {
    const void* newline = memchr(text + position, '\n', length - position);
    size_t end = newline != nullptr ? size_t(static_cast<const char*>(newline) - text) + 1 : length;
    size_t lineLength = end - position;
    if (lineLength < LINE_BUFFER)
      ReadLine(text + position, lineLength);
    else
      Log::log(DEBUG_Attributes, "Attibutes: skipping a line of %zu characters in '%s'\n",
               lineLength, file_path.c_str());
    position = end;
  }
}

void KeyValueStore::ReadLine(const char* line, size_t length) {
  // A line is text: it ends at a zero byte.
  length = strnlen(line, length);
  if (length < 3) return;
  if (line[0] == '#') return;
  size_t start = 0;
  while (start < length && IsSpace(line[start]))
    start++;
  const void* equals = memchr(line + start, '=', length - start);
  if (equals == nullptr) return; // no key and value on this line
  size_t keyEnd = size_t(static_cast<const char*>(equals) - line);
  size_t valueStart = keyEnd + 1;
  while (keyEnd > start && IsSpace(line[keyEnd - 1]))
    keyEnd--;
  while (valueStart < length && IsSpace(line[valueStart]))
    valueStart++;
  size_t valueEnd = length;
  while (valueEnd > valueStart && IsSpace(line[valueEnd - 1]))
    valueEnd--;
  entries[std::string(line + start, keyEnd - start)] =
      std::string(line + valueStart, valueEnd - valueStart);
}

bool KeyValueStore::Save(const char* path) {
  if (path != nullptr) {
    file_path = path;
  } else if (file_path.empty()) {
    file_path = DEFAULT_FILE;
    Log::log(DEBUG_Attributes, "Attibutes: no filename given for attributes, using default:[%s]\n",
             file_path.c_str());
  }
  if (changed) Add(UPDATED_TIME, TimeText().c_str());

  std::string content;
  for (const auto& entry : entries) {
    content += entry.first;
    content += '=';
    content += entry.second;
    content += '\n';
  }
  // The file is replaced whole: a failed write leaves the previous file as it was.
  if (WriteFileAtomic(file_path.c_str(), content.data(), content.size()) != aErrNone) {
    Log::log(DEBUG_Attributes,
             "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
             file_path.c_str(), errno);
    return false;
  }
  changed = false;
  return true;
}

bool KeyValueStore::Store(const char* key, const std::string& value) {
  if (!ValidKey(key) || !ValidValue(value)) {
    Log::log(DEBUG_Attributes, "Attibutes: refusing key '%s': key or value cannot be stored\n",
             key != nullptr ? key : "(null)");
    return false;
  }
  std::string& slot = entries[key];
  if (slot != value) changed = true;
  slot = value;
  return true;
}

bool KeyValueStore::Add(const char* key, const char* value) {
  if (value == nullptr) return false;
  return Store(key, std::string(value));
}

bool KeyValueStore::Add(const char* key, std::string& value) {
  return Store(key, value);
}

bool KeyValueStore::Add(const char* key, int value) {
  char text[32];
  snprintf(text, sizeof(text), "%d", value);
  return Store(key, text);
}

bool KeyValueStore::Add(const char* key, double value) {
  char text[512];
  snprintf(text, sizeof(text), "%f", value);
  return Store(key, text);
}

bool KeyValueStore::AddHex(const char* key, unsigned value) {
  char text[16];
  snprintf(text, sizeof(text), "0x%08X", value);
  return Store(key, text);
}

bool KeyValueStore::Add(const KeyValueStore& other) {
  if (&other == this) {
    if (!entries.empty()) changed = true;
    return true;
  }
  for (const auto& entry : other.entries) {
    entries[entry.first] = entry.second;
    changed = true;
  }
  return true;
}

bool KeyValueStore::Clear() {
  entries.clear();
  changed = true;
  return true;
}

std::string KeyValueStore::GetString(const char* key, const char* defaultValue) const {
  if (key != nullptr) {
    auto found = entries.find(key);
    if (found != entries.end()) return found->second;
  }
  return defaultValue != nullptr ? std::string(defaultValue) : std::string();
}

namespace {

// The numeric getters' inserting lookup: an absent key is added with an empty value (a key
// the file could not hold is not added). Null when there is no value to convert.
const char* NumericText(std::map<std::string, std::string>& entries, const char* key) {
  if (!ValidKey(key)) return nullptr;
  const std::string& value = entries[key];
  return value.empty() ? nullptr : value.c_str();
}

} // namespace

int KeyValueStore::GetInt(const char* key, int defaultValue) {
  const char* text = NumericText(entries, key);
  // As atoi: a number beyond the int range keeps its low 32 bits, so an unsigned build
  // number read through here comes back whole when cast to unsigned.
  return text != nullptr ? int(strtol(text, nullptr, 10)) : defaultValue;
}

unsigned KeyValueStore::GetHex(const char* key, unsigned defaultValue) {
  const char* text = NumericText(entries, key);
  return text != nullptr ? unsigned(strtol(text, nullptr, 16)) : defaultValue;
}

bool KeyValueStore::GetBOOL(const char* key, bool defaultValue) {
  const char* text = NumericText(entries, key);
  return text != nullptr ? int(strtol(text, nullptr, 10)) != 0 : defaultValue;
}

double KeyValueStore::GetDouble(const char* key, double defaultValue) {
  const char* text = NumericText(entries, key);
  return text != nullptr ? strtod(text, nullptr) : defaultValue;
}

const char* KeyValueStore::operator[](const char* key) const {
  if (key == nullptr) return nullptr;
  auto found = entries.find(key);
  return found != entries.end() ? found->second.c_str() : nullptr;
}
