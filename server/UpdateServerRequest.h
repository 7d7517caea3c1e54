#pragma once
// The update server's query protocol: one GET per operation ("op" names it), answered by
// lines of text whose first line begins "ok" on success. Every function returns true on
// success, never throws and only writes diagnostic log lines. A null `url` means the
// default update server.

#include <map>
#include <string>
#include <utility>
#include <vector>

class UpdateServerRequest {
public:
  static bool ping(const char* url);
  // `build` and `firmware` are set only from answer lines that are present.
  static bool QueryBuild(unsigned int serial, std::string& build, std::string& firmware,
                         const char* url);
  // `body` receives the base64 text of the BIRD file (line 2, without its ending carriage
  // returns).
  static bool GetBuild(unsigned int serial, const char* firmware, const char* build,
                       std::string& body, const char* url, bool no_cal);
  // `builds` maps build number text to version text; cleared before the request.
  static bool GetBuildList(unsigned int serial, std::map<std::string, std::string>& builds,
                           const char* url);
  // `fingerprint` points to four words; `serial` and `build` are set only from lines present.
  // An answer whose serial or build number is wider than 32 bits fails, setting neither.
  static bool GetRecoveryInfo(unsigned int* fingerprint, unsigned int* serial, unsigned int* build,
                              const char* url);
  // `token` is set only on success.
  static bool GetDeviceJWT(unsigned int serial, std::string& token, const char* url);

  // The pairs of `builds`, newest version first; equal versions by descending build number,
  // unreadable versions last.
  static std::vector<std::pair<std::string, std::string>>
  SortBuildsByVersion(const std::map<std::string, std::string>& builds);
  // The three parts of a major.minor.patch text, or an empty vector.
  static std::vector<std::string> SplitTessarineVersion(std::string version);
};

// The order of SortBuildsByVersion: true when `a` goes before `b`. A strict weak ordering
// for every input.
bool _sortVersion(const std::pair<std::string, std::string>& a,
                  const std::pair<std::string, std::string>& b);
