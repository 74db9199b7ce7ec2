#pragma once

// What the live collector tests drive: a real .NET program (the workload's
// "target" mode) over its standard input and output, and plain HTTP requests
// to the target's Kestrel server.

#include "tests/api/exports_client.h"
#include "tests/support/workload.h"


#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace test_support {

// The workload in its "target" mode, with pipes to its standard streams;
// with a user id, run as that user (who need not have a passwd entry).
class live_target {
 public:
  explicit live_target(std::optional<unsigned> uid = std::nullopt, const dotnet_runtime& runtime = machine_runtime()) {
    std::vector<std::string> args;
    if (uid) {
      const auto id = std::to_string(*uid);
      args = {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"};
    }
    args.insert(args.end(), runtime.command.begin(), runtime.command.end());
    args.push_back("target");
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_ = spawn(std::move(args), {.in = in[0], .out = out[1]});
    ::close(in[0]);
    ::close(out[1]);
    to_ = in[1];
    from_ = out[0];
    std::istringstream ready(read_line(std::chrono::seconds(60)));
    std::string word;
    int pid = 0;
    ready >> word >> port_ >> pid;
    if (word != "ready" || pid != pid_) throw std::runtime_error("the target did not start");
  }
  ~live_target() {
    ::close(to_);
    ::close(from_);
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  live_target(const live_target&) = delete;
  live_target& operator=(const live_target&) = delete;

  pid_t pid() const { return pid_; }
  unsigned short port() const { return port_; }
  bool alive() const { return ::kill(pid_, 0) == 0 && !exited_now(); }

  // One burst of every event family; returns once the target says so.
  void work() { run("work"); }
  // "work", or "spin": one thread busy in HotLoop.SpinPrimes for 1.5 s.
  void run(const std::string& what) {
    send(what);
    if (read_line(std::chrono::seconds(60)) != "done") throw std::runtime_error("the target's " + what + " did not end");
  }
  // Asks the target to end and waits until it has; returns its exit code.
  int exit() {
    send("exit");
    int status = 0;
    ::waitpid(pid_, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  bool exited_now() const {
    int status = 0;
    return ::waitpid(pid_, &status, WNOHANG) == pid_;
  }
  void send(const std::string& line) {
    const std::string text = line + "\n";
    if (::write(to_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
      throw std::runtime_error("the target's input is closed");
  }
  std::string read_line(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (const auto eol = buffer_.find('\n'); eol != std::string::npos) {
        auto line = buffer_.substr(0, eol);
        buffer_.erase(0, eol + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{from_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
        throw std::runtime_error("the target did not answer in time");
      char chunk[256];
      const auto n = ::read(from_, chunk, sizeof chunk);
      if (n <= 0) throw std::runtime_error("the target's output ended");
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  pid_t pid_ = -1;
  int to_ = -1, from_ = -1;
  unsigned short port_ = 0;
  std::string buffer_;
};

// GET path over a connection of its own; returns the status line.
inline std::string http_get(unsigned short port, const std::string& path) {
  boost::asio::io_context io;
  boost::asio::ip::tcp::socket socket(io);
  socket.connect({boost::asio::ip::address_v4::loopback(), port});
  const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  boost::asio::write(socket, boost::asio::buffer(request));
  std::string response;
  boost::system::error_code ec;
  boost::asio::read(socket, boost::asio::dynamic_buffer(response), ec);
  return response.substr(0, response.find("\r\n"));
}

}  // namespace test_support
