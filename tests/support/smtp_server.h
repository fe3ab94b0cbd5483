// A real SMTP server for the tests: Debian's aiosmtpd on a free loopback
// port, filing every mail it receives into a Maildir.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testing_support {

class SmtpServer {
 public:
  // The port is chosen now; nothing listens before Start.
  explicit SmtpServer(std::string maildir);
  ~SmtpServer();
  SmtpServer(const SmtpServer&) = delete;
  SmtpServer& operator=(const SmtpServer&) = delete;

  int Port() const { return port_; }
  std::string Url() const;
  // Starts the server and waits until it listens (a test failure if not).
  void Start();
  void Stop();
  // The raw mails received so far.
  std::vector<std::string> Mails() const;

 private:
  std::string maildir_;
  int port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace testing_support
