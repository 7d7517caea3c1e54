#include "server/HTTPRequest.h"

#include "app/Log.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <strings.h>

namespace {

// Transfer limits when UPDATER_HTTP_TIMEOUT does not set them: the time allowed to reach the
// server (TCP and TLS), and the time a transfer may go on without moving a single byte.
constexpr long kConnectTimeoutSeconds = 15;
constexpr long kStallTimeoutSeconds = 30;
constexpr long kReceiveBuffer = 128 * 1024;
// Largest body room taken on a server's word before any of it arrives.
constexpr unsigned long long kMaxReserve = 64ull << 20;

struct CurlEasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;

// libcurl's process-wide set-up is not safe to run from two threads at once; run it once,
// before the first handle, whichever thread that is on.
void _global_init() {
  static const CURLcode init = curl_global_init(CURL_GLOBAL_DEFAULT);
  (void)init;
}

long _timeout_override() {
  const char* text = getenv("UPDATER_HTTP_TIMEOUT");
  if (!text || !*text) return 0;
  char* end = nullptr;
  long seconds = strtol(text, &end, 10);
  return (*end == '\0' && seconds > 0) ? seconds : 0;
}

} // namespace

HTTPResponse::HTTPResponse(const char* request) : request(request ? request : "") {}

void HTTPResponse::process(const char* data, size_t length) {
  response.append(data, length);
}

void HTTPResponse::set_status(long value) {
  status = value;
}

void HTTPResponse::reserve(size_t length) {
  if (length > response.size()) response.reserve(length);
}

size_t _rcv_header(char* data, size_t size, size_t count, void* response) {
  size_t length = size * count;
  static const char kName[] = "content-length:";
  const size_t name_length = sizeof kName - 1;
  if (length > name_length && strncasecmp(data, kName, name_length) == 0) {
    // Room for the announced body saves copying it while it grows; a claim beyond what an
    // answer of this protocol holds is left to grow as the bytes actually arrive.
    unsigned long long announced = 0;
    size_t i = name_length;
    while (i < length && (data[i] == ' ' || data[i] == '\t'))
      ++i;
    for (; i < length && data[i] >= '0' && data[i] <= '9' && announced <= kMaxReserve; ++i)
      announced = announced * 10 + static_cast<unsigned>(data[i] - '0');
    if (announced <= kMaxReserve)
      static_cast<HTTPResponse*>(response)->reserve(static_cast<size_t>(announced));
  }
  return length;
}

size_t _rcv_data(void* data, size_t size, size_t count, void* response) {
  size_t length = size * count;
  const char* bytes = static_cast<const char*>(data);
  // The quoted body is never read past the bytes libcurl handed over.
  int quoted = static_cast<int>(std::min<size_t>(length, 100));
  Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.*s]\n",
           static_cast<int>(size), static_cast<int>(count),
           static_cast<unsigned>(reinterpret_cast<uintptr_t>(response) & 0xFFFFFFFFu), quoted,
           bytes);
  static_cast<HTTPResponse*>(response)->process(bytes, length);
  Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(length));
  return length;
}

std::string HTTPRequest::BuildURL(const char* url,
                                  const std::map<std::string, std::string>& params) {
  std::string built = url ? url : "";
  if (!params.empty()) {
    built += "?";
    for (const auto& [key, value] : params) {
      built += key;
      built += "=";
      built += value;
      built += "&";
    }
  }
  return built;
}

HTTPResponse HTTPRequest::GET(const char* url, std::map<std::string, std::string>& params) {
  _global_init();
  CurlEasy curl(curl_easy_init());
  std::string built = BuildURL(url, params);
  HTTPResponse response(built.c_str());
  if (!curl) throw std::runtime_error("Could not create curl instance");

  long override_seconds = _timeout_override();
  long connect_timeout = override_seconds ? override_seconds : kConnectTimeoutSeconds;
  long stall_timeout = override_seconds ? override_seconds : kStallTimeoutSeconds;
  const char* ca_file = getenv("UPDATER_CA_FILE");

  CURL* h = curl.get();
  CURLcode rc = curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, _rcv_data);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_WRITEDATA, &response);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, _rcv_header);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_HEADERDATA, &response);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_URL, built.c_str());
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  if (rc == CURLE_OK && ca_file && *ca_file) rc = curl_easy_setopt(h, CURLOPT_CAINFO, ca_file);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_SSL_VERIFYSTATUS, 0L);
  // Time-outs without signals: the request may run on a worker thread.
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  // Builds arrive as one long line; large reads keep the transfer to few system calls.
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_BUFFERSIZE, kReceiveBuffer);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, connect_timeout);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, stall_timeout);

  if (rc == CURLE_OK) {
    Log::log(DEBUG_ServerComm, "GET(%s)\n", built.c_str());
    rc = curl_easy_perform(h);
  }
  long status = 0;
  if (rc == CURLE_OK) rc = curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  if (rc != CURLE_OK) throw std::runtime_error(curl_easy_strerror(rc));
  response.set_status(status);
  return response;
}
