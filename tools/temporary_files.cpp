#include "tools/temporary_files.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace bytemix::cli {
namespace {

// The watched temporary file, in a form the signal handler may use: a
// descriptor, a fixed buffer and a flag, all changed only with signals
// blocked.
int g_temp_dir = -1;
char g_temp_name[NAME_MAX + 1];
volatile sig_atomic_t g_temp_watched = 0;

extern "C" void remove_temporary_and_die(int sig) {
  if (g_temp_watched) ::unlinkat(g_temp_dir, g_temp_name, 0);
  // SA_RESETHAND has restored the default action, and the signal stays
  // blocked until the handler returns: then it ends the process as it would
  // have without the handler, with the same status.
  ::raise(sig);
}

// Signals whose default action does not end the process, and the two that
// cannot be caught.
bool handled(int sig) {
  switch (sig) {
    case SIGKILL:
    case SIGSTOP:
    case SIGCHLD:
    case SIGCONT:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
    case SIGURG:
    case SIGWINCH:
      return false;
    default:
      return true;
  }
}

void install_handlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  for (int sig = 1; sig <= SIGRTMAX; ++sig) {
    if (!handled(sig)) continue;
    struct sigaction old {};
    // Fails for the signals the C library keeps for itself.
    if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = remove_temporary_and_die;
    sigfillset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    ::sigaction(sig, &action, nullptr);
  }
}

// ".<base>.XXXXXX" with six random letters and digits.
std::string temporary_name(const std::string& base) {
  // A file name has at most 255 bytes; the dot, the dot and six letters
  // leave 247 for the base.
  constexpr std::size_t kMaxBase = 240;
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static std::uint64_t calls = 0;
  std::uint64_t bits = 0;
  if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) bits = 0;
  // Without random bytes from the kernel, the time, the process and the
  // call still make each name differ from the last.
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  bits ^= static_cast<std::uint64_t>(now.tv_nsec) * 0x9E3779B97F4A7C15u ^
          static_cast<std::uint64_t>(::getpid()) << 32 ^ ++calls * 0xBF58476D1CE4E5B9u;
  std::string name(1, '.');
  name.append(base, 0, kMaxBase);
  name += '.';
  for (int i = 0; i < 6; ++i, bits /= 62) name += kAlphabet[bits % 62];
  return name;
}

// A name that is taken is drawn again; this many draws that all collide
// mean something other than chance.
constexpr int kNameAttempts = 100;

void descriptor_path(int fd, char (&path)[32]) { std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd); }

}  // namespace

BlockedSignals::BlockedSignals() {
  sigset_t all;
  sigfillset(&all);
  ::sigprocmask(SIG_BLOCK, &all, &old_);
}

BlockedSignals::~BlockedSignals() { ::sigprocmask(SIG_SETMASK, &old_, nullptr); }

int open_unnamed_file(int dir_fd, int access) {
  const int fd = ::openat(dir_fd, ".", O_TMPFILE | access | O_CLOEXEC, 0600);
  // A kernel older than O_TMPFILE takes it for O_DIRECTORY and says EISDIR.
  if (fd < 0 && errno == EISDIR) errno = EOPNOTSUPP;
  return fd;
}

bool can_name_unnamed_file(int fd) {
  char path[32];
  descriptor_path(fd, path);
  struct stat through_proc {}, direct {};
  return ::stat(path, &through_proc) == 0 && ::fstat(fd, &direct) == 0 &&
         through_proc.st_dev == direct.st_dev && through_proc.st_ino == direct.st_ino;
}

int create_temporary_file(int dir_fd, const std::string& base, int access, std::string& name) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    name = temporary_name(base);
    const int fd = ::openat(dir_fd, name.c_str(), O_CREAT | O_EXCL | access | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

bool name_unnamed_file(int fd, int dir_fd, const std::string& base, std::string& name) {
  char path[32];
  descriptor_path(fd, path);
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    name = temporary_name(base);
    if (::linkat(AT_FDCWD, path, dir_fd, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
    if (errno != EEXIST) return false;
  }
  return false;
}

int open_scratch_file(int dir_fd, const std::string& base) {
  int fd = open_unnamed_file(dir_fd, O_RDWR);
  if (fd >= 0 || errno != EOPNOTSUPP) return fd;
  BlockedSignals blocked;
  std::string name;
  fd = create_temporary_file(dir_fd, base, O_RDWR, name);
  if (fd >= 0) ::unlinkat(dir_fd, name.c_str(), 0);
  return fd;
}

void watch_temporary(int dir_fd, const std::string& name) {
  install_handlers();
  g_temp_dir = dir_fd;
  std::memcpy(g_temp_name, name.c_str(), name.size() + 1);
  g_temp_watched = 1;
}

void forget_temporary() { g_temp_watched = 0; }

}  // namespace bytemix::cli
