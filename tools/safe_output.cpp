#include "tools/safe_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "tools/console.h"

namespace bytemix::cli {
namespace {

// The one temporary file of the process, in a form the signal handler may
// use: a fixed buffer and a flag, both set only while the signals are
// blocked.
char g_temp_path[PATH_MAX];
volatile std::sig_atomic_t g_temp_armed = 0;

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

extern "C" void remove_temporary_and_die(int sig) {
  if (g_temp_armed) ::unlink(g_temp_path);
  // SA_RESETHAND has restored the default action; the signal stays blocked
  // until the handler returns and then ends the process as it would have.
  ::raise(sig);
}

// Installs the handler for each signal that is not ignored: a program
// started with SIGINT ignored (nohup, a background job) should stay immune.
void install_cleanup_handlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  for (const int sig : kCleanupSignals) {
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = remove_temporary_and_die;
    sigemptyset(&action.sa_mask);
    for (const int other : kCleanupSignals) sigaddset(&action.sa_mask, other);
    action.sa_flags = SA_RESETHAND;
    ::sigaction(sig, &action, nullptr);
  }
}

// Blocks the cleanup signals for its lifetime, so that the handler never
// sees the temporary path half set, or a file that has just been renamed.
class SignalBlock {
 public:
  SignalBlock() {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : kCleanupSignals) sigaddset(&set, sig);
    ::sigprocmask(SIG_BLOCK, &set, &old_);
  }
  ~SignalBlock() { ::sigprocmask(SIG_SETMASK, &old_, nullptr); }
  SignalBlock(const SignalBlock&) = delete;
  SignalBlock& operator=(const SignalBlock&) = delete;

 private:
  sigset_t old_;
};

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Permissions of a file that "wb" would create: 0666 less the umask.
mode_t new_file_mode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

Failure terminal_output(const std::string& label) {
  return Failure{label,
                 "is a terminal; compressed data is not written to a terminal "
                 "(redirect standard output or name an output file; see --help)"};
}

Failure same_as_input(const std::string& label, const InputFile& input) {
  return Failure{label, "is the same file as the input " + input.label() +
                            "; refusing to overwrite the input"};
}

}  // namespace

void OutputFile::refuse_terminal(const std::string& name) {
  if (name == kStandardStream && ::isatty(STDOUT_FILENO)) throw terminal_output(output_label(name));
}

OutputFile::OutputFile(const std::string& name, const InputFile& input, bool refuse_terminal)
    : label_(output_label(name)) {
  struct stat out {};
  if (name == kStandardStream) {
    if (standard_descriptor_closed(STDOUT_FILENO)) throw Failure{label_, error_text(EBADF)};
    fd_ = STDOUT_FILENO;
    is_standard_output_ = true;
    if (::fstat(fd_, &out) != 0) throw Failure{label_, error_text(errno)};
    if (input.is_regular() && same_file(out, input.status())) throw same_as_input(label_, input);
    if (refuse_terminal && ::isatty(fd_)) throw terminal_output(label_);
    return;
  }

  if (::stat(name.c_str(), &out) == 0) {
    // stat() follows symbolic links, and hard links share the inode, so
    // every way of naming the input again is caught here.
    if (input.is_regular() && same_file(out, input.status())) throw same_as_input(label_, input);
    if (S_ISDIR(out.st_mode)) throw Failure{label_, error_text(EISDIR)};
    if (!S_ISREG(out.st_mode)) {
      open_in_place(name, refuse_terminal);
      return;
    }
    // Replace the file a symbolic link points to, not the link, as writing
    // through the name would.
    std::string target = name;
    struct stat link {};
    if (::lstat(name.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
      char* resolved = ::realpath(name.c_str(), nullptr);
      if (resolved == nullptr) throw Failure{label_, error_text(errno)};
      target = resolved;
      std::free(resolved);
    }
    // Truncating the file in place, as "wb" does, would need write
    // permission on it; replacing it must not be a way around that.
    if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
      throw Failure{label_, error_text(errno)};
    }
    replaces_existing_ = true;
    mode_ = out.st_mode & 07777;
    owner_ = out.st_uid;
    group_ = out.st_gid;
    open_temporary(target);
    return;
  }
  if (errno != ENOENT) throw Failure{label_, error_text(errno)};
  mode_ = new_file_mode();
  // A symbolic link to a file yet to be made: "wb" would create that file,
  // so the new file goes there and the link stays.
  std::string target = name;
  struct stat link {};
  if (::lstat(name.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
    std::string points_to(PATH_MAX, '\0');
    const ssize_t n = ::readlink(name.c_str(), points_to.data(), points_to.size());
    if (n < 0 || static_cast<std::size_t>(n) >= points_to.size()) {
      throw Failure{label_, error_text(n < 0 ? errno : ENAMETOOLONG)};
    }
    points_to.resize(static_cast<std::size_t>(n));
    const std::size_t slash = name.rfind('/');
    target = points_to[0] == '/' || slash == std::string::npos
                 ? points_to
                 : name.substr(0, slash + 1) + points_to;
  }
  open_temporary(target);
}

void OutputFile::open_in_place(const std::string& name, bool refuse_terminal) {
  fd_ = ::open(name.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (fd_ < 0) throw Failure{label_, error_text(errno)};
  owned_ = true;
  if (refuse_terminal && ::isatty(fd_)) throw terminal_output(label_);
  struct stat out {}, standard_output {};
  is_standard_output_ = ::fstat(fd_, &out) == 0 && ::fstat(STDOUT_FILENO, &standard_output) == 0 &&
                        same_file(out, standard_output);
}

void OutputFile::open_temporary(const std::string& target) {
  target_ = target;
  const std::size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  // ".<name>.XXXXXX" must stay within the 255 bytes a file name may have.
  constexpr std::size_t kMaxBase = 240;
  if (base.size() > kMaxBase) base.resize(kMaxBase);
  std::string path = (slash == std::string::npos ? "" : dir) + "." + base + ".XXXXXX";
  if (path.size() >= sizeof g_temp_path) throw Failure{label_, error_text(ENAMETOOLONG)};

  install_cleanup_handlers();
  SignalBlock block;
  fd_ = ::mkstemp(path.data());
  if (fd_ < 0) throw Failure{label_, error_text(errno)};
  owned_ = true;
  temporary_ = true;
  temp_path_ = path;
  std::memcpy(g_temp_path, path.c_str(), path.size() + 1);
  g_temp_armed = 1;
}

OutputFile::~OutputFile() { discard(); }

void OutputFile::discard() {
  if (temporary_) {
    SignalBlock block;
    ::unlink(temp_path_.c_str());
    g_temp_armed = 0;
    temporary_ = false;
  }
  if (owned_) {
    ::close(fd_);
    owned_ = false;
  }
}

WriteFn OutputFile::writer() {
  return [this](const std::uint8_t* data, std::size_t n) {
    if (write_error_ != 0) return false;
    if (write_all(fd_, data, n)) return true;
    write_error_ = errno;
    return false;
  };
}

void OutputFile::commit() {
  if (!temporary_) {
    // In place: only the close can still report an error (a full disk on a
    // network file system, a device's delayed failure).
    if (::close(fd_) != 0) {
      const int err = errno;
      owned_ = false;
      throw Failure{label_, error_text(err)};
    }
    owned_ = false;
    return;
  }
  // The owner first: changing it may clear set-id bits that fchmod then sets.
  if (replaces_existing_) (void)::fchown(fd_, owner_, group_);
  if (::fchmod(fd_, mode_) != 0) throw Failure{label_, error_text(errno)};
  // The data must be on the disk before the name is, or a crash right after
  // the rename could leave an empty file where the old one was.
  if (::fsync(fd_) != 0 && errno != EINVAL) throw Failure{label_, error_text(errno)};
  owned_ = false;
  if (::close(fd_) != 0) throw Failure{label_, error_text(errno)};
  SignalBlock block;
  if (::rename(temp_path_.c_str(), target_.c_str()) != 0) throw Failure{label_, error_text(errno)};
  g_temp_armed = 0;
  temporary_ = false;
}

void finish_run(Status status, InputFile& input, int read_error, OutputFile& output,
                const std::string& detail) {
  switch (status) {
    case Status::ok:
      output.commit();
      input.close();
      return;
    case Status::read_error:
      throw read_failure(input.label(), read_error);
    case Status::write_error:
      throw Failure{output.label(), error_text(output.write_error())};
    default:
      throw Failure{input.label(), status_message(status) + detail};
  }
}

}  // namespace bytemix::cli
