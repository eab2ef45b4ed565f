#include "platform.h"

#include <fcntl.h>
#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace quorvel::cli {
namespace {

#ifdef _WIN32
int Descriptor(std::FILE* file) { return _fileno(file); }
#else
int Descriptor(std::FILE* file) { return fileno(file); }
#endif

}  // namespace

PathKind KindOf(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return PathKind::Missing;
  if (S_ISREG(st.st_mode)) return PathKind::Regular;
  if (S_ISDIR(st.st_mode)) return PathKind::Directory;
  if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)) return PathKind::Stream;
  return PathKind::Other;
}

unsigned long long FileSize(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  return static_cast<unsigned long long>(st.st_size);
}

std::FILE* CreateNewFile(const std::string& path) {
#ifdef _WIN32
  const int fd = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
  std::FILE* file = fd < 0 ? nullptr : _fdopen(fd, "wb");
  if (fd >= 0 && !file) _close(fd);
#else
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
  std::FILE* file = fd < 0 ? nullptr : fdopen(fd, "wb");
  if (fd >= 0 && !file) close(fd);
#endif
  return file;
}

bool IsTerminal(std::FILE* file) {
#ifdef _WIN32
  return _isatty(Descriptor(file)) != 0;
#else
  return isatty(Descriptor(file)) != 0;
#endif
}

bool IsSeekable(std::FILE* file) {
  struct stat st;
  return fstat(Descriptor(file), &st) == 0 && S_ISREG(st.st_mode);
}

void SetBinary([[maybe_unused]] std::FILE* file) {
#ifdef _WIN32
  _setmode(Descriptor(file), _O_BINARY);
#endif
}

}  // namespace quorvel::cli
