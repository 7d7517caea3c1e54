#pragma once
// One HTTP or HTTPS GET to the update server: the parameters travel in the query string and
// the answer is a text body.

#include <map>
#include <string>
#include <utility>

// The outcome of one GET: the URL that was requested, the HTTP status (0 until the
// transfer has completed) and the body exactly as received.
class HTTPResponse {
public:
  explicit HTTPResponse(const char* request);

  // Appends `length` bytes of body.
  void process(const char* data, size_t length);
  // Makes room for a body of `length` bytes announced by the server.
  void reserve(size_t length);
  void set_status(long status);

  const char* get_response() const { return response.c_str(); }
  const std::string& get_body() const { return response; }
  long get_status() const { return status; }
  const char* get_request() const { return request.c_str(); }
  // Moves the body out, leaving the response's body empty.
  std::string take_body() { return std::move(response); }

private:
  std::string request;
  long status = 0;
  std::string response;
};

class HTTPRequest {
public:
  // Performs one GET of `url` with `params` appended as "?key=value&key=value&" in key order,
  // unencoded (callers encode what needs it). Every status counts as a completed transfer;
  // throws std::runtime_error when no transfer could be made (libcurl's description of the
  // error).
  //
  // Certificates of HTTPS servers are verified against the system's authorities, or against
  // the PEM file named by the environment variable UPDATER_CA_FILE when it is set. A
  // connection must be made within the connect time-out, and a transfer that moves no byte
  // for the stall time-out is aborted; UPDATER_HTTP_TIMEOUT (seconds) sets both.
  static HTTPResponse GET(const char* url, std::map<std::string, std::string>& params);

  // Builds the URL that GET requests.
  static std::string BuildURL(const char* url, const std::map<std::string, std::string>& params);
};

// The libcurl write callback: appends size * count bytes to the HTTPResponse `response`.
size_t _rcv_data(void* data, size_t size, size_t count, void* response);
// The libcurl header callback: reserves room for the body a Content-Length header announces.
size_t _rcv_header(char* data, size_t size, size_t count, void* response);
