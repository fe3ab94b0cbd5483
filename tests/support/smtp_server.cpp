#include "smtp_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace testing_support {

namespace {

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

int FreePort() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(0);
  socklen_t len = sizeof a;
  ::bind(s, reinterpret_cast<sockaddr*>(&a), len);
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(s);
  return ntohs(a.sin_port);
}

bool Listening(int port) {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in a = Loopback(port);
  const bool ok = ::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
  ::close(s);
  return ok;
}

}  // namespace

SmtpServer::SmtpServer(std::string maildir) : maildir_(std::move(maildir)), port_(FreePort()) {}

SmtpServer::~SmtpServer() { Stop(); }

std::string SmtpServer::Url() const { return "smtp://127.0.0.1:" + std::to_string(port_); }

void SmtpServer::Start() {
  const std::string address = "127.0.0.1:" + std::to_string(port_);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::execl("/usr/bin/python3", "python3", "-m", "aiosmtpd", "-n", "-l", address.c_str(), "-c",
            "aiosmtpd.handlers.Mailbox", maildir_.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  for (int k = 0; k < 100 && !Listening(port_); ++k) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(Listening(port_)) << "the SMTP server did not start";
}

void SmtpServer::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::vector<std::string> SmtpServer::Mails() const {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(maildir_ + "/new", ec)) {
    std::ifstream in(e.path(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    out.push_back(text.str());
  }
  return out;
}

}  // namespace testing_support
