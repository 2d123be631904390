#include "db/DbFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vdpattern/toolkit/Utf8.h>
#include "db/DbError.h"
#include "db/postgres/ServerAddress.h"

namespace vdpattern::db {

namespace {

bool Writable(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0 && ::access(path.c_str(), W_OK) == 0;
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

[[noreturn]] void Fail(const CString& path, const wchar_t* what) {
  CString message;
  message.Format(L"Cannot open the database \"%s\": %s", path, what);
  ThrowDbError(kStateCannotOpen, message);
}

}  // namespace

DbFormat DetectDbFormat(const unsigned char* bytes, std::size_t length) {
  if (length == 0) return DbFormat::kEmpty;
  static const char kSqlite[] = "SQLite format 3";  // followed by a NUL byte
  if (length >= 16 && std::memcmp(bytes, kSqlite, 16) == 0) return DbFormat::kSqlite3;
  // Jet (.mdb) and ACE (.accdb) files: a 4-byte page signature, then the engine's name.
  if (length >= 19 && bytes[0] == 0 && bytes[1] == 1 && bytes[2] == 0 && bytes[3] == 0 &&
      (std::memcmp(bytes + 4, "Standard Jet DB", 15) == 0 || std::memcmp(bytes + 4, "Standard ACE DB", 15) == 0))
    return DbFormat::kAccess;
  if (IsLinkFileHeader(bytes, length)) return DbFormat::kLink;
  return DbFormat::kUnknown;
}

DbFileProbe ProbeDbFile(const CString& path) {
  if (path.IsEmpty()) ThrowDbError(kStateCannotOpen, L"Cannot open a database: no file name was given.");
  const std::string native = VdToUtf8(path.str());
  struct stat st {};
  if (::stat(native.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) Fail(path, L"the file does not exist.");
    Fail(path, CString(std::strerror(errno)));
  }
  if (!S_ISREG(st.st_mode)) Fail(path, L"it is not a file.");

  DbFileProbe probe;
  probe.size = static_cast<std::uint64_t>(st.st_size);
  const int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    CString what;
    what.Format(L"the file cannot be read (%S).", std::strerror(error));
    Fail(path, what);
  }
  ssize_t got;
  do {
    got = ::pread(fd, probe.header, sizeof probe.header, 0);
  } while (got < 0 && errno == EINTR);
  const int error = errno;
  ::close(fd);
  if (got < 0) {
    CString what;
    what.Format(L"the file cannot be read (%S).", std::strerror(error));
    Fail(path, what);
  }
  probe.headerLength = static_cast<std::size_t>(got);
  probe.format = DetectDbFormat(probe.header, probe.headerLength);
  probe.writable = Writable(native) && Writable(FolderOf(native));
  return probe;
}

}  // namespace vdpattern::db
