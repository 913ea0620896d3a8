#pragma once
// Secrets kept in files of their own, never in the INI file that others may read and that
// the program rewrites: the database password and the status server's token. Any thread.

#include <cstddef>
#include <string>

namespace tarvell
{

// Secrets are short; a file larger than this is no secret file.
inline constexpr std::size_t kMaxSecretFileBytes = 4096;

// Reads the secret of the file at path: its first line, without its line end. Returns false,
// with *error saying why for the operator, when the file cannot be opened, is no regular
// file, is larger than kMaxSecretFileBytes, holds an empty first line, or gives rights to
// others than its owner and group (any right of others, or the group's right to write):
// a secret that everyone could read is no secret, and the operator must hear of it.
[[nodiscard]] bool ReadSecretFile(const std::string& path, std::string* secret, std::string* error);

} // namespace tarvell
