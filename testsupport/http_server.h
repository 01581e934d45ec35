// A stand-in web server for tests: a thread that serves canned responses on
// 127.0.0.1 (or another local address), one thread per connection, and keeps
// every request it read so that tests can check what was asked.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ps::testing {

class HttpServer {
 public:
  struct Response {
    std::string raw;         // the whole response, status line and headers included
    int delay_ms = 0;        // waits this long before answering
    bool stall = false;      // never answers (holds the connection until the end)
  };

  // Listens on `address` (IPv4 dotted), an ephemeral port; check ok().
  explicit HttpServer(const std::string& address = "127.0.0.1");
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  bool ok() const { return fd_ >= 0; }
  std::uint16_t port() const { return port_; }
  // Serves `response` for request target `path`; others get a 404.
  void Serve(const std::string& path, Response response);
  // A 200 response with `body` as text/xml.
  static Response Ok(const std::string& body);
  // Every request read so far (the request line and headers), in order.
  std::vector<std::string> requests() const;

 private:
  void AcceptLoop();
  void Handle(int fd);

  int fd_ = -1;
  int stop_[2] = {-1, -1};
  std::uint16_t port_ = 0;
  mutable std::mutex mutex_;
  std::map<std::string, Response> routes_;
  std::vector<std::string> requests_;
  std::vector<std::thread> connections_;
  std::thread acceptor_;
};

}  // namespace ps::testing
