#include "testsupport/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace ps::testing {

HttpServer::HttpServer(const std::string& address) {
  if (pipe2(stop_, O_CLOEXEC) != 0) return;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  socklen_t len = sizeof(sa);
  if (fd < 0 || inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1 ||
      bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 || listen(fd, 128) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    if (fd >= 0) close(fd);
    return;
  }
  fd_ = fd;
  port_ = ntohs(sa.sin_port);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

HttpServer::~HttpServer() {
  if (stop_[1] >= 0) (void)!write(stop_[1], "x", 1);
  if (acceptor_.joinable()) acceptor_.join();
  for (std::thread& t : connections_) t.join();
  if (fd_ >= 0) close(fd_);
  for (int fd : stop_) {
    if (fd >= 0) close(fd);
  }
}

void HttpServer::Serve(const std::string& path, Response response) {
  std::lock_guard lock(mutex_);
  routes_[path] = std::move(response);
}

HttpServer::Response HttpServer::Ok(const std::string& body) {
  return {.raw = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " +
                 std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body};
}

std::vector<std::string> HttpServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void HttpServer::AcceptLoop() {
  for (;;) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 || fds[1].revents != 0) return;
    const int conn = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0) continue;
    connections_.emplace_back([this, conn] { Handle(conn); });
  }
}

// Reads up to the end of the headers, then answers by the request target.
void HttpServer::Handle(int fd) {
  std::string request;
  char buffer[4096];
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
    if (poll(fds, 2, 5000) <= 0 || fds[1].revents != 0) break;
    const ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n <= 0) break;
    request.append(buffer, static_cast<std::size_t>(n));
  }
  Response response{.raw = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"};
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
    const std::size_t start = request.find(' ') + 1;
    const std::string target = request.substr(start, request.find(' ', start) - start);
    if (auto it = routes_.find(target); it != routes_.end()) response = it->second;
  }
  pollfd stop = {stop_[0], POLLIN, 0};
  const int wait_ms = response.stall ? -1 : response.delay_ms;
  if (wait_ms != 0 && poll(&stop, 1, wait_ms) != 0) {
    close(fd);
    return;
  }
  for (std::size_t sent = 0; sent < response.raw.size();) {
    const ssize_t n = send(fd, response.raw.data() + sent, response.raw.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  close(fd);
}

}  // namespace ps::testing
