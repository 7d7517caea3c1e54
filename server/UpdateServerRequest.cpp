#include "server/UpdateServerRequest.h"

#include "app/Log.h"
#include "app/Parameters.h"
#include "server/HTTPRequest.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>

namespace {

// The default update server's query endpoint, the command line's default as well.
const std::string& default_url() {
  static const std::string url = DefaultServerUrl("http");
  return url;
}

const char* _base(const char* url) {
  return url ? url : default_url().c_str();
}

std::string _hex8(unsigned int value) {
  char text[9];
  snprintf(text, sizeof text, "%08X", value);
  return text;
}

// Percent-encodes every byte outside the unreserved characters of a URL, so a value that
// came from an answer cannot add keys to the query or change its meaning.
std::string _percent_encode(const std::string& value) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : value) {
    bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '.' || c == '_' || c == '~';
    if (unreserved) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 0xF];
    }
  }
  return out;
}

// An answer body with the places of its non-empty lines (split at line feeds; a carriage
// return stays in its line). The body is kept whole so that a large line is not copied.
struct Answer {
  std::string body;
  std::vector<std::pair<size_t, size_t>> spans; // offset and length of each line

  void split() {
    spans.clear();
    size_t start = 0;
    while (start < body.size()) {
      size_t end = body.find('\n', start);
      if (end == std::string::npos) end = body.size();
      if (end > start) spans.emplace_back(start, end - start);
      start = end + 1;
    }
  }
  size_t size() const { return spans.size(); }
  std::string line(size_t i) const { return body.substr(spans[i].first, spans[i].second); }
};

// `text` up to its first carriage return or line feed.
std::string _cut_line_end(const std::string& text) {
  return text.substr(0, text.find_first_of("\r\n"));
}

// The number at the start of `text` in `base` (0: by its prefix), 0 when there is none. False
// for a number wider than 32 bits: cut to 32 bits it would name another device or build.
bool _read_number(const std::string& text, int base, unsigned int& number) {
  errno = 0;
  unsigned long long value = strtoull(text.c_str(), nullptr, base);
  if (errno == ERANGE || value > 0xFFFFFFFFull) return false;
  number = static_cast<unsigned int>(value);
  return true;
}

// Steps shared by every request: GET, status 200, a first line beginning "ok". `name` is the
// request's name in the log; the answer is returned in `answer`.
bool _request(const char* name, const char* url, std::map<std::string, std::string>& params,
              Answer& answer) {
  try {
    HTTPResponse response = HTTPRequest::GET(_base(url), params);
    if (response.get_status() != 200) {
      if (std::string(name) == "ping")
        Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", static_cast<int>(response.get_status()),
                 response.get_response());
      else
        Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", name,
                 static_cast<int>(response.get_status()), response.get_response());
      return false;
    }
    answer.body = response.take_body();
    answer.split();
    if (answer.size() == 0 || answer.spans[0].second < 2 ||
        answer.body.compare(answer.spans[0].first, 2, "ok") != 0) {
      Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name, response.get_request());
      return false;
    }
    return true;
  } catch (const std::exception& e) {
    Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
    return false;
  }
}

// A version's three parts as numbers cut to 8 bits; empty when the text is not three parts
// of which each starts with a decimal number that fits an int.
std::optional<std::array<unsigned, 3>> _parse_version(const std::string& version) {
  std::vector<std::string> parts = UpdateServerRequest::SplitTessarineVersion(version);
  if (parts.size() != 3) return std::nullopt;
  std::array<unsigned, 3> numbers{};
  for (size_t i = 0; i < 3; ++i) {
    const std::string& part = parts[i];
    if (part.empty() || part[0] < '0' || part[0] > '9') return std::nullopt;
    unsigned long long value = 0;
    for (size_t j = 0; j < part.size() && part[j] >= '0' && part[j] <= '9'; ++j) {
      value = value * 10 + static_cast<unsigned>(part[j] - '0');
      if (value > 0x7FFFFFFFull) return std::nullopt;
    }
    numbers[i] = static_cast<unsigned>(value & 0xFF);
  }
  return numbers;
}

// Build number keys: higher numbers first, then by text, so that every pair of distinct
// keys has an order.
bool _build_before(const std::string& a, const std::string& b) {
  auto number = [](const std::string& key) {
    unsigned long long value = 0;
    for (size_t i = 0; i < key.size() && key[i] >= '0' && key[i] <= '9'; ++i)
      value = std::min<unsigned long long>(value * 10 + static_cast<unsigned>(key[i] - '0'),
                                           0xFFFFFFFFFFFFull);
    return value;
  };
  unsigned long long na = number(a), nb = number(b);
  if (na != nb) return na > nb;
  return a < b;
}

} // namespace

bool UpdateServerRequest::ping(const char* url) {
  std::map<std::string, std::string> params{{"op", "hi"}, {"rv", "2"}};
  Answer answer;
  return _request("ping", url, params, answer);
}

bool UpdateServerRequest::QueryBuild(unsigned int serial, std::string& build, std::string& firmware,
                                     const char* url) {
  std::map<std::string, std::string> params{{"op", "qu"}, {"sn", _hex8(serial)}};
  Answer answer;
  if (!_request("QueryBuild", url, params, answer)) return false;
  if (answer.size() > 1) build = answer.line(1);
  if (answer.size() > 2) firmware = _cut_line_end(answer.line(2));
  return true;
}

bool UpdateServerRequest::GetBuild(unsigned int serial, const char* firmware, const char* build,
                                   std::string& body, const char* url, bool no_cal) {
  std::map<std::string, std::string> params{{"bld", _percent_encode(build ? build : "")},
                                            {"fw", _percent_encode(firmware ? firmware : "")},
                                            {"no_cal", no_cal ? "true" : "false"},
                                            {"op", "bird"},
                                            {"sn", _hex8(serial)}};
  Answer answer;
  if (!_request("GetBuild", url, params, answer)) return false;
  body.clear();
  // Line 2 without the carriage returns that end it (a server that ends its lines with CR LF
  // sends the same base64 text), cut out of the body in place. A carriage return inside the
  // line stays, so that a damaged line fails to decode rather than pass for a shorter build.
  if (answer.size() > 1) {
    size_t start = answer.spans[1].first;
    size_t end = start + answer.spans[1].second;
    while (end > start && answer.body[end - 1] == '\r')
      --end;
    body = std::move(answer.body);
    body.erase(end);
    body.erase(0, start);
  }
  return true;
}

bool UpdateServerRequest::GetBuildList(unsigned int serial,
                                       std::map<std::string, std::string>& builds,
                                       const char* url) {
  builds.clear();
  std::map<std::string, std::string> params{{"op", "builds"}, {"sn", _hex8(serial)}};
  Answer answer;
  if (!_request("GetBuildList", url, params, answer)) return false;
  for (size_t i = 1; i < answer.size(); ++i) {
    const std::string line = answer.line(i);
    if (line.size() < 3) continue;
    Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetBuildList", line.c_str());
    // Fields end at ";" or at the line's end (a carriage return included).
    std::string entry = _cut_line_end(line);
    size_t semi = entry.find(';');
    std::string build = entry.substr(0, semi);
    std::string version;
    if (semi != std::string::npos)
      version = entry.substr(semi + 1, entry.find(';', semi + 1) - semi - 1);
    if (build.empty()) continue;
    builds.emplace(build, version);
    Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", "GetBuildList", build.c_str(),
             version.c_str());
  }
  return true;
}

bool UpdateServerRequest::GetRecoveryInfo(unsigned int* fingerprint, unsigned int* serial,
                                          unsigned int* build, const char* url) {
  if (!fingerprint) return false;
  char fp[64];
  snprintf(fp, sizeof fp, "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1],
           fingerprint[2], fingerprint[3]);
  std::map<std::string, std::string> params{{"brief", "true"}, {"fp", fp}, {"op", "fix"}};
  Answer answer;
  if (!_request("GetRecoveryInfo", url, params, answer)) return false;
  unsigned int found_serial = 0, found_build = 0;
  bool serial_read = answer.size() > 1 && _read_number(answer.line(1), 16, found_serial);
  bool build_read = answer.size() > 2 && _read_number(answer.line(2), 0, found_build);
  Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo",
           answer.line(0).c_str(), answer.size() > 1 ? answer.line(1).c_str() : "",
           answer.size() > 2 ? answer.line(2).c_str() : "");
  if ((answer.size() > 1 && !serial_read) || (answer.size() > 2 && !build_read)) {
    Log::log(DEBUG_ServerComm, "%s: number out of range in the answer\n", "GetRecoveryInfo");
    return false;
  }
  if (serial_read && serial) *serial = found_serial;
  if (build_read && build) *build = found_build;
  return true;
}

bool UpdateServerRequest::GetDeviceJWT(unsigned int serial, std::string& token, const char* url) {
  std::map<std::string, std::string> params{
      {"json", "false"}, {"op", "ent_jwt"}, {"sn", _hex8(serial)}};
  Answer answer;
  if (!_request("GetDeviceJWT", url, params, answer)) return false;
  if (answer.size() < 2 || answer.line(1).size() <= 2) return false;
  Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetDeviceJWT", answer.line(1).c_str());
  std::string line = _cut_line_end(answer.line(1));
  size_t dot1 = line.find('.');
  if (dot1 == std::string::npos) return false;
  size_t dot2 = line.find('.', dot1 + 1);
  if (dot2 == std::string::npos) return false;
  std::string header = line.substr(0, dot1);
  std::string payload = line.substr(dot1 + 1, dot2 - dot1 - 1);
  std::string signature = line.substr(dot2 + 1);
  if (header.size() < 2 || payload.size() < 2 || signature.size() < 2) return false;
  token = header + "." + payload + "." + signature;
  return true;
}

std::vector<std::string> UpdateServerRequest::SplitTessarineVersion(std::string version) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t dot = version.find('.', start);
    parts.push_back(version.substr(start, dot - start));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  if (parts.size() != 3) parts.clear();
  return parts;
}

bool _sortVersion(const std::pair<std::string, std::string>& a,
                  const std::pair<std::string, std::string>& b) {
  std::optional<std::array<unsigned, 3>> va = _parse_version(a.second);
  std::optional<std::array<unsigned, 3>> vb = _parse_version(b.second);
  if (va && vb) {
    if (*va != *vb) return *va > *vb;
    return _build_before(a.first, b.first);
  }
  // Two texts that are not three parts are not versions at all; anything else that does not
  // read is worth a trace line. Readable versions go before unreadable ones.
  bool three_a = UpdateServerRequest::SplitTessarineVersion(a.second).size() == 3;
  bool three_b = UpdateServerRequest::SplitTessarineVersion(b.second).size() == 3;
  if (three_a || three_b)
    Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion",
             (va ? b.second : a.second).c_str());
  if (va || vb) return va.has_value();
  return _build_before(a.first, b.first);
}

std::vector<std::pair<std::string, std::string>>
UpdateServerRequest::SortBuildsByVersion(const std::map<std::string, std::string>& builds) {
  std::vector<std::pair<std::string, std::string>> sorted(builds.begin(), builds.end());
  std::sort(sorted.begin(), sorted.end(), _sortVersion);
  return sorted;
}
