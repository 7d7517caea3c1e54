#include "tests/support/LogCapture.h"
#include "server/HTTPRequest.h"
#include "server/UpdateServerRequest.h"
#include "server/base64.h"

#include "app/Log.h"

#include "tests/support/LocalUpdateServer.h"

#include <gtest/gtest.h>

#include <curl/curl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace {

const unsigned kSerial = 0x40F5849A;
const unsigned kFingerprint[4] = {1, 2, 0xABCDEF00, 0xFFFFFFFF};

const char* kDevices = R"({
  "devices": {"40F5849A": {"builds": {"99528558": "2.10.5", "100": "1.2.3"},
                           "current": "99528558", "firmware": "2.10.5",
                           "token": "aaa.bbb.ccc"}},
  "recovery": {"00000001 00000002 ABCDEF00 FFFFFFFF": {"serial": "DEADDEAD", "build": "0x10"}}
})";

std::string with_fault(const std::string& kind) {
  std::string json = kDevices;
  json.insert(json.rfind('}'), R"(, "fault": {"kind": ")" + kind + "\"}");
  return json;
}

// The bytes of a build whose base64 text is long enough to arrive in several pieces.
std::string build_bytes(size_t size) {
  std::string bytes;
  for (size_t i = 0; i < size; ++i)
    bytes.push_back(static_cast<char>((i * 131 + i / 7) & 0xFF));
  return bytes;
}

std::string decode(const std::string& text, bool& ok) {
  size_t length = 0;
  unsigned char* raw = base64_decode(text.data(), text.size(), &length);
  ok = raw != nullptr;
  std::string out = raw ? std::string(reinterpret_cast<char*>(raw), length) : "";
  free(raw);
  return out;
}

// Every operation once, with the outputs that a successful call gives against kDevices.
struct Outputs {
  std::string build = "unset", firmware = "unset", body = "unset", token = "unset";
  std::map<std::string, std::string> builds = {{"stale", "entry"}};
  unsigned serial = 7, build_number = 7;
};

struct Operation {
  const char* name;
  const char* op;
  std::function<bool(const char*, Outputs&)> call;
  std::string query;
};

std::vector<Operation> operations() {
  return {
      {"ping", "hi", [](const char* url, Outputs&) { return UpdateServerRequest::ping(url); },
       "op=hi&rv=2&"},
      {"QueryBuild", "qu",
       [](const char* url, Outputs& o) {
         return UpdateServerRequest::QueryBuild(kSerial, o.build, o.firmware, url);
       },
       "op=qu&sn=40F5849A&"},
      {"GetBuild", "bird",
       [](const char* url, Outputs& o) {
         return UpdateServerRequest::GetBuild(kSerial, "2.10.5", "99528558", o.body, url, false);
       },
       "bld=99528558&fw=2.10.5&no_cal=false&op=bird&sn=40F5849A&"},
      {"GetBuildList", "builds",
       [](const char* url, Outputs& o) {
         return UpdateServerRequest::GetBuildList(kSerial, o.builds, url);
       },
       "op=builds&sn=40F5849A&"},
      {"GetRecoveryInfo", "fix",
       [](const char* url, Outputs& o) {
         unsigned fp[4] = {kFingerprint[0], kFingerprint[1], kFingerprint[2], kFingerprint[3]};
         return UpdateServerRequest::GetRecoveryInfo(fp, &o.serial, &o.build_number, url);
       },
       "brief=true&fp=00000001%2000000002%20ABCDEF00%20FFFFFFFF&op=fix&"},
      {"GetDeviceJWT", "ent_jwt",
       [](const char* url, Outputs& o) {
         return UpdateServerRequest::GetDeviceJWT(kSerial, o.token, url);
       },
       "json=false&op=ent_jwt&sn=40F5849A&"},
  };
}

class ServerRequests : public ::testing::Test {
protected:
  void SetUp() override {
    setenv("UPDATER_HTTP_TIMEOUT", "20", 1);
    server_ = std::make_unique<LocalUpdateServer>();
    server_->set_config(kDevices);
    server_->add_build("40F5849A", "99528558", build_bytes(200000));
  }
  void TearDown() override { unsetenv("UPDATER_HTTP_TIMEOUT"); }

  std::unique_ptr<LocalUpdateServer> server_;
};

} // namespace

TEST_F(ServerRequests, EachOperationSendsItsQueryAndReadsTheAnswer) {
  std::string url = server_->url();
  for (const Operation& op : operations()) {
    server_->clear_requests();
    Outputs o;
    EXPECT_TRUE(op.call(url.c_str(), o)) << op.name;
    EXPECT_EQ(server_->queries(), std::vector<std::string>{op.query}) << op.name;
  }
  Outputs o;
  for (const Operation& op : operations())
    op.call(url.c_str(), o);
  EXPECT_EQ(o.build, "99528558");
  EXPECT_EQ(o.firmware, "2.10.5");
  bool ok = false;
  EXPECT_EQ(decode(o.body, ok), build_bytes(200000));
  EXPECT_TRUE(ok);
  EXPECT_EQ(o.builds,
            (std::map<std::string, std::string>{{"99528558", "2.10.5"}, {"100", "1.2.3"}}));
  EXPECT_EQ(o.serial, 0xDEADDEADu);
  EXPECT_EQ(o.build_number, 16u);
  EXPECT_EQ(o.token, "aaa.bbb.ccc");
}

TEST_F(ServerRequests, FirmwareIdentifierFromAnAnswerIsPercentEncoded) {
  std::string body;
  UpdateServerRequest::GetBuild(kSerial, "2.1 &op=x/../~_-", "5", body, server_->url().c_str(),
                                true);
  EXPECT_EQ(server_->queries(),
            std::vector<std::string>{"bld=5&fw=2.1%20%26op%3Dx%2F..%2F~_-&no_cal=true&op=bird&"
                                     "sn=40F5849A&"});
}

// How answers are read: one table over the operations, each row one raw answer body.
TEST_F(ServerRequests, AnswerParsing) {
  struct Row {
    const char* op;
    std::string raw;
    bool result;
    std::function<void(const Outputs&)> check;
  };
  using M = std::map<std::string, std::string>;
  const Row rows[] = {
      {"hi", "okay\n", true, nullptr},
      {"hi", "\n\nok\n", true, nullptr}, // empty lines are skipped
      {"hi", "error\nok\n", false, nullptr},
      {"hi", "", false, nullptr},
      {"hi", "o", false, nullptr},
      {"qu", "ok\r\n123\r\n2.10.5\r\n", true,
       [](const Outputs& o) {
         EXPECT_EQ(o.build, "123\r");
         EXPECT_EQ(o.firmware, "2.10.5");
       }},
      {"qu", "ok\n", true,
       [](const Outputs& o) {
         EXPECT_EQ(o.build, "unset");
         EXPECT_EQ(o.firmware, "unset");
       }},
      {"qu", "ok\n77\n", true,
       [](const Outputs& o) {
         EXPECT_EQ(o.build, "77");
         EXPECT_EQ(o.firmware, "unset");
       }},
      {"qu", "error\n123\n1.0.0\n", false, [](const Outputs& o) { EXPECT_EQ(o.build, "unset"); }},
      {"builds", "ok\n100;1.2.3\nx\n101\n100;9.9.9\n;5.5.5\n102;2.0.0\r\n", true,
       [](const Outputs& o) {
         EXPECT_EQ(o.builds, (M{{"100", "1.2.3"}, {"101", ""}, {"102", "2.0.0"}}));
       }},
      {"builds", "ok\n", true, [](const Outputs& o) { EXPECT_TRUE(o.builds.empty()); }},
      {"builds", "bad\n100;1.2.3\n", false,
       [](const Outputs& o) { EXPECT_TRUE(o.builds.empty()); }},
      {"bird", "ok\nZm9v\r\n", true, [](const Outputs& o) { EXPECT_EQ(o.body, "Zm9v"); }},
      // A carriage return inside the line is kept: the text must not decode as a shorter build.
      {"bird", "ok\nZm9v\rYmFy\r\r\n", true,
       [](const Outputs& o) { EXPECT_EQ(o.body, "Zm9v\rYmFy"); }},
      {"bird", "ok\n", true, [](const Outputs& o) { EXPECT_EQ(o.body, ""); }},
      {"bird", "nope\nZm9v\n", false, [](const Outputs& o) { EXPECT_EQ(o.body, "unset"); }},
      {"fix", "ok\n0x1f\n010\n", true,
       [](const Outputs& o) {
         EXPECT_EQ(o.serial, 0x1Fu);
         EXPECT_EQ(o.build_number, 8u);
       }},
      {"fix", "ok\n40F5849Azz\n10 builds\n", true,
       [](const Outputs& o) {
         EXPECT_EQ(o.serial, 0x40F5849Au);
         EXPECT_EQ(o.build_number, 10u);
       }},
      // Numbers wider than 32 bits would name another device or build when cut short.
      {"fix", "ok\n140F5849A\n7\n", false,
       [](const Outputs& o) {
         EXPECT_EQ(o.serial, 7u);
         EXPECT_EQ(o.build_number, 7u);
       }},
      {"fix", "ok\nDEADDEAD\n4294967303\n", false,
       [](const Outputs& o) {
         EXPECT_EQ(o.serial, 7u);
         EXPECT_EQ(o.build_number, 7u);
       }},
      {"fix", "ok\nFFFFFFFF\n0xFFFFFFFF\n", true,
       [](const Outputs& o) {
         EXPECT_EQ(o.serial, 0xFFFFFFFFu);
         EXPECT_EQ(o.build_number, 0xFFFFFFFFu);
       }},
      {"fix", "ok\nnothing\n", true,
       [](const Outputs& o) {
         EXPECT_EQ(o.serial, 0u);
         EXPECT_EQ(o.build_number, 7u);
       }},
      {"ent_jwt", "ok\nhh.pp.ss\r\n", true,
       [](const Outputs& o) { EXPECT_EQ(o.token, "hh.pp.ss"); }},
      {"ent_jwt", "ok\nhhh.ppp\n", false, [](const Outputs& o) { EXPECT_EQ(o.token, "unset"); }},
      {"ent_jwt", "ok\nhh.p.ss\n", false, nullptr},
      {"ent_jwt", "ok\nhh.pp.s\n", false, nullptr},
      {"ent_jwt", "ok\nhh..ss\n", false, nullptr},
      {"ent_jwt", "ok\nab\n", false, nullptr},
      {"ent_jwt", "ok\n", false, nullptr},
  };
  std::string url = server_->url();
  for (const Row& row : rows) {
    std::string escaped;
    for (char c : row.raw) {
      if (c == '\n')
        escaped += "\\n";
      else if (c == '\r')
        escaped += "\\r";
      else if (c == '"')
        escaped += "\\\"";
      else
        escaped += c;
    }
    server_->set_config(std::string(R"({"raw": {")") + row.op + "\": \"" + escaped + "\"}}");
    for (const Operation& op : operations()) {
      if (std::string(op.op) != row.op) continue;
      Outputs o;
      EXPECT_EQ(op.call(url.c_str(), o), row.result) << row.op << " [" << escaped << "]";
      if (row.check) row.check(o);
    }
  }
}

TEST_F(ServerRequests, FaultsMakeEveryOperationFail) {
  std::string url = server_->url();
  for (std::string kind : {"404", "500", "notok", "empty", "cut", "hang"}) {
    server_->set_config(with_fault(kind));
    // A silent server is given up on quickly.
    if (kind == "hang") setenv("UPDATER_HTTP_TIMEOUT", "1", 1);
    for (const Operation& op : operations()) {
      // Every operation goes through the same transfer; a silent server costs a time-out.
      if (kind == "hang" && std::string(op.op) != "hi" && std::string(op.op) != "bird") continue;
      Outputs o;
      EXPECT_FALSE(op.call(url.c_str(), o)) << kind << " " << op.name;
      EXPECT_EQ(o.build, "unset");
      EXPECT_EQ(o.body, "unset");
      EXPECT_EQ(o.token, "unset");
    }
  }
}

TEST_F(ServerRequests, CarriageReturnsDoNotSpoilAnswers) {
  server_->set_config(with_fault("crlf"));
  Outputs o;
  std::string url = server_->url();
  for (const Operation& op : operations())
    EXPECT_TRUE(op.call(url.c_str(), o)) << op.name;
  EXPECT_EQ(o.firmware, "2.10.5");
  EXPECT_EQ(o.builds.at("100"), "1.2.3");
  EXPECT_EQ(o.token, "aaa.bbb.ccc");
  bool ok = false;
  EXPECT_EQ(decode(o.body, ok), build_bytes(200000));
  EXPECT_TRUE(ok);
}

TEST_F(ServerRequests, BadBase64IsReceivedButDoesNotDecode) {
  server_->set_config(with_fault("badb64"));
  std::string body;
  ASSERT_TRUE(UpdateServerRequest::GetBuild(kSerial, "2.10.5", "99528558", body,
                                            server_->url().c_str(), false));
  bool ok = true;
  decode(body, ok);
  EXPECT_FALSE(ok);
}

TEST_F(ServerRequests, TransportKeepsStatusAndBody) {
  std::map<std::string, std::string> none;
  std::string base = "http://127.0.0.1:" + std::to_string(server_->port());
  HTTPResponse missing = HTTPRequest::GET((base + "/elsewhere").c_str(), none);
  EXPECT_EQ(missing.get_status(), 404);
  EXPECT_STREQ(missing.get_response(), "not found\n");
  EXPECT_EQ(missing.get_request(), base + "/elsewhere");

  server_->set_config(with_fault("empty"));
  std::map<std::string, std::string> params{{"op", "hi"}};
  HTTPResponse empty = HTTPRequest::GET(server_->url().c_str(), params);
  EXPECT_EQ(empty.get_status(), 200);
  EXPECT_STREQ(empty.get_response(), "");

  // Inserted out of order, sent in key order.
  server_->clear_requests();
  std::map<std::string, std::string> shuffled;
  shuffled["zz"] = "1";
  shuffled["AA"] = "2";
  shuffled["m"] = "%20";
  HTTPRequest::GET(server_->url().c_str(), shuffled);
  EXPECT_EQ(server_->queries(), std::vector<std::string>{"AA=2&m=%20&zz=1&"});
}

TEST(HTTPTransport, BuildsTheQueryWithoutEncoding) {
  EXPECT_EQ(HTTPRequest::BuildURL("http://h/cgi/u", {}), "http://h/cgi/u");
  EXPECT_EQ(HTTPRequest::BuildURL("http://h/cgi/u", {{"sn", "1"}, {"op", "a b&c"}}),
            "http://h/cgi/u?op=a b&c&sn=1&");
}

TEST(HTTPTransport, UnreachableServerThrowsAndRequestsFail) {
  // A port held bound but not listened on: connections are refused, and no other test can
  // take the port meanwhile.
  int holder = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(holder, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t size = sizeof address;
  ASSERT_EQ(getsockname(holder, reinterpret_cast<sockaddr*>(&address), &size), 0);
  int port = ntohs(address.sin_port);
  std::string url = "http://127.0.0.1:" + std::to_string(port) + "/cgi/u";
  std::map<std::string, std::string> params{{"op", "hi"}};
  try {
    HTTPRequest::GET(url.c_str(), params);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    // libcurl's own description of the error, and nothing else.
    EXPECT_STREQ(e.what(), curl_easy_strerror(CURLE_COULDNT_CONNECT));
  }
  EXPECT_FALSE(UpdateServerRequest::ping(url.c_str()));
  close(holder);
}

TEST(HTTPTransport, HttpsVerifiesTheServerCertificate) {
  LocalUpdateServer server(true);
  server.set_config(kDevices);
  server.add_build("40F5849A", "5", "hello");
  ASSERT_FALSE(server.ca_file().empty());

  // Not trusted without its certificate.
  unsetenv("UPDATER_CA_FILE");
  EXPECT_FALSE(UpdateServerRequest::ping(server.url().c_str()));

  setenv("UPDATER_CA_FILE", server.ca_file().c_str(), 1);
  std::string body;
  EXPECT_TRUE(
      UpdateServerRequest::GetBuild(kSerial, "2.10.5", "5", body, server.url().c_str(), false));
  bool ok = false;
  EXPECT_EQ(decode(body, ok), "hello");
  std::string local = server.url();
  local.replace(local.find("127.0.0.1"), 9, "localhost");
  EXPECT_TRUE(UpdateServerRequest::ping(local.c_str()));
  unsetenv("UPDATER_CA_FILE");
}

// The receive trace quotes at most 100 bytes of what arrived, and never more than arrived.
TEST_F(ServerRequests, ReceiveTraceQuotesOnlyTheReceivedBytes) {
  std::string text;
  {
    LogCapture trace(DEBUG_ServerComm);
    ASSERT_TRUE(trace.ok());
    server_->set_config(R"({"raw": {"hi": "ok\n"}})");
    EXPECT_TRUE(UpdateServerRequest::ping(server_->url().c_str()));
    text = trace.take();
  }
  EXPECT_NE(text.find("GET(" + server_->url() + "?op=hi&rv=2&)\n"), std::string::npos) << text;
  EXPECT_NE(text.find(", 1, 3, "), std::string::npos) << text;
  EXPECT_NE(text.find("[" + std::string(97, ' ') + "ok\n]\nrcv_data returns 3\n"),
            std::string::npos)
      << text;
}
