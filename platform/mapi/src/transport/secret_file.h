// Files that hold a secret (a password, a token): the first line of a
// regular file only its owner may read.
#pragma once

#include <stdexcept>
#include <string>

namespace tesk::mapi {

struct SecretFileError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The file's first line; what ("password", "token") names the file in the
// sentence SecretFileError carries: missing, no regular file, readable by
// others (with the chmod that mends it), or empty.
std::string ReadSecretFile(const std::string& path, const std::string& what);

}  // namespace tesk::mapi
