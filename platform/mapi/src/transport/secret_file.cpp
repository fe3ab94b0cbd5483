#include "transport/secret_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tesk::mapi {

std::string ReadSecretFile(const std::string& path, const std::string& what) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) throw SecretFileError("the " + what + " file " + path + " cannot be read: " + std::strerror(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    throw SecretFileError("the " + what + " file " + path + " is no regular file");
  }
  if (st.st_mode & 077) {
    ::close(fd);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    throw SecretFileError("the " + what + " file " + path + " may be read by others (mode " + mode +
                          "); it is not used until only its owner may read it (chmod 600 " + path + ")");
  }
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0 && text.size() < 65536) text.append(buf, static_cast<size_t>(n));
  ::close(fd);
  const size_t end = text.find_first_of("\r\n");
  if (end != std::string::npos) text.resize(end);
  if (text.empty()) throw SecretFileError("the " + what + " file " + path + " is empty");
  return text;
}

}  // namespace tesk::mapi
