#include "tools/safe_output.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "tools/temporary_files.h"

namespace bytemix::cli {
namespace {

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

bool on_proc(int fd) {
  struct statfs fs {};
  return ::fstatfs(fd, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}

// True if `dir_fd` is this process's directory of open descriptors, however
// it was reached: /proc/self/fd, /dev/fd, /proc/<pid>/fd, /proc/thread-self/fd.
bool is_own_descriptor_directory(int dir_fd) {
  struct stat dir {}, own {};
  if (!on_proc(dir_fd) || ::fstat(dir_fd, &dir) != 0) return false;
  for (const char* path : {"/proc/self/fd", "/proc/thread-self/fd"}) {
    if (::stat(path, &own) == 0 && same_file(dir, own)) return true;
  }
  return false;
}

// The descriptor that an entry of the descriptor directory names, or -1.
int descriptor_number(const std::string& entry) {
  if (entry.empty() || entry.size() > 9) return -1;
  int fd = 0;
  for (const char c : entry) {
    if (c < '0' || c > '9') return -1;
    fd = fd * 10 + (c - '0');
  }
  return fd;
}

// A name's directory part ("." if none) and its last component.
void split_path(const std::string& path, std::string& dir, std::string& base) {
  const std::size_t slash = path.rfind('/');
  dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  base = slash == std::string::npos ? path : path.substr(slash + 1);
}

// In a sticky directory (/tmp) only the file's owner, the directory's owner
// and a privileged process may remove a file, and so replace it by a rename.
bool sticky_forbids_replacing(int dir_fd, const struct stat& file) {
  struct stat dir {};
  if (::fstat(dir_fd, &dir) != 0 || (dir.st_mode & S_ISVTX) == 0) return false;
  const uid_t user = ::geteuid();
  return user != 0 && user != file.st_uid && user != dir.st_uid;
}

// Symbolic links followed in a row before giving up, as the kernel does.
constexpr int kMaxLinks = 40;

}  // namespace

void OutputFile::refuse_terminal(const std::string& name) {
  if (name == kStandardStream && ::isatty(STDOUT_FILENO)) throw terminal_output(output_label(name));
}

OutputFile::OutputFile(const std::string& name, const InputFile& input, bool refuse_terminal)
    : label_(output_label(name)) {
  try {
    open(name, input, refuse_terminal);
  } catch (...) {
    discard();
    throw;
  }
}

OutputFile::~OutputFile() { discard(); }

void OutputFile::open(const std::string& name, const InputFile& input, bool refuse_terminal) {
  // open() refuses these names so; refused here before any work.
  if (name.empty()) throw Failure{label_, error_text(ENOENT)};
  if (name.size() >= PATH_MAX) throw Failure{label_, error_text(ENAMETOOLONG)};
  if (name == kStandardStream) {
    open_descriptor(STDOUT_FILENO, input, refuse_terminal);
    return;
  }
  const int descriptor = locate(name);
  if (descriptor >= 0) {
    open_descriptor(descriptor, input, refuse_terminal);
    return;
  }
  struct stat out {};
  if (::fstatat(dir_fd_, base_.c_str(), &out, 0) != 0) {
    if (errno != ENOENT || through_proc_link_) throw Failure{label_, error_text(errno)};
    mode_ = new_file_mode();
    open_replacement();
    return;
  }
  // Links were followed, and hard links share the inode, so every way of
  // naming the input again is caught here.
  if (input.is_regular() && same_file(out, input.status())) throw same_as_input(label_, input);
  if (S_ISDIR(out.st_mode)) throw Failure{label_, error_text(EISDIR)};
  if (!S_ISREG(out.st_mode) || through_proc_link_) {
    // A regular file reached through a /proc link is truncated, as a
    // shell's '>' would.
    const int truncate = S_ISREG(out.st_mode) ? O_TRUNC : 0;
    fd_ = ::openat(dir_fd_, base_.c_str(), O_WRONLY | truncate | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) throw Failure{label_, error_text(errno)};
    owned_ = true;
    check_in_place(input, refuse_terminal);
    return;
  }
  // Truncating the file in place, as "wb" does, would need write
  // permission on it; replacing it must not be a way around that.
  if (::faccessat(dir_fd_, base_.c_str(), W_OK, AT_EACCESS) != 0) {
    throw Failure{label_, error_text(errno)};
  }
  // Found out now, not by a rename that fails after all the coding.
  if (sticky_forbids_replacing(dir_fd_, out)) {
    throw Failure{label_, "is another user's file in a sticky directory; only its owner may replace it"};
  }
  replaces_existing_ = true;
  mode_ = out.st_mode & 07777;
  owner_ = out.st_uid;
  group_ = out.st_gid;
  open_replacement();
}

int OutputFile::locate(const std::string& name) {
  std::string dir;
  split_path(name, dir, base_);
  dir_fd_ = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd_ < 0) throw Failure{label_, error_text(errno)};
  for (int links = 0;; ++links) {
    // A name that ends in '/' names a directory: the one just opened.
    if (base_.empty()) throw Failure{label_, error_text(EISDIR)};
    if (is_own_descriptor_directory(dir_fd_)) {
      const int fd = descriptor_number(base_);
      if (fd < 0) throw Failure{label_, error_text(ENOENT)};
      return fd;
    }
    struct stat entry {};
    if (::fstatat(dir_fd_, base_.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) return -1;  // a new file
      throw Failure{label_, error_text(errno)};
    }
    if (!S_ISLNK(entry.st_mode)) return -1;
    // The text of a /proc link is not always a path (a deleted file, a
    // pipe); only open() follows it right.
    if (on_proc(dir_fd_)) {
      through_proc_link_ = true;
      return -1;
    }
    if (links == kMaxLinks) throw Failure{label_, error_text(ELOOP)};
    std::string target(PATH_MAX, '\0');
    const ssize_t n = ::readlinkat(dir_fd_, base_.c_str(), target.data(), target.size());
    if (n < 0 || static_cast<std::size_t>(n) >= target.size()) {
      throw Failure{label_, error_text(n < 0 ? errno : ENAMETOOLONG)};
    }
    target.resize(static_cast<std::size_t>(n));
    // The file a link points to is written, not the link, as writing
    // through the name would; a relative target starts at the link's
    // directory.
    split_path(target, dir, base_);
    const int next = ::openat(dir_fd_, dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (next < 0) throw Failure{label_, error_text(errno)};
    ::close(dir_fd_);
    dir_fd_ = next;
  }
}

void OutputFile::open_descriptor(int fd, const InputFile& input, bool refuse_terminal) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (standard_descriptor_closed(fd) || flags < 0 || (flags & O_ACCMODE) == O_RDONLY) {
    throw Failure{label_, error_text(EBADF)};
  }
  fd_ = fd;
  check_in_place(input, refuse_terminal);
}

void OutputFile::check_in_place(const InputFile& input, bool refuse_terminal) {
  struct stat out {}, standard_output {};
  if (::fstat(fd_, &out) != 0) throw Failure{label_, error_text(errno)};
  if (input.is_regular() && same_file(out, input.status())) throw same_as_input(label_, input);
  if (refuse_terminal && ::isatty(fd_)) throw terminal_output(label_);
  is_standard_output_ = fd_ == STDOUT_FILENO || (::fstat(STDOUT_FILENO, &standard_output) == 0 &&
                                                 same_file(out, standard_output));
}

void OutputFile::open_replacement() {
  int fd = open_unnamed_file(dir_fd_, O_WRONLY);
  if (fd >= 0 && !can_name_unnamed_file(fd)) {
    ::close(fd);
    fd = -1;
    errno = EOPNOTSUPP;
  }
  if (fd < 0 && errno == EOPNOTSUPP) {
    BlockedSignals blocked;
    fd = create_temporary_file(dir_fd_, base_, O_WRONLY, temp_name_);
    if (fd >= 0) {
      watch_temporary(dir_fd_, temp_name_);
    } else {
      temp_name_.clear();
    }
  }
  if (fd < 0) throw Failure{label_, error_text(errno)};
  fd_ = fd;
  owned_ = true;
  replacing_ = true;
}

void OutputFile::discard() {
  if (!temp_name_.empty()) {
    BlockedSignals blocked;
    ::unlinkat(dir_fd_, temp_name_.c_str(), 0);
    forget_temporary();
    temp_name_.clear();
  }
  if (owned_) {
    ::close(fd_);
    owned_ = false;
  }
  if (dir_fd_ >= 0) {
    ::close(dir_fd_);
    dir_fd_ = -1;
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
  if (!replacing_) {
    // In place: only the close can still report an error (a full disk on a
    // network file system, a device's delayed failure).
    owned_ = false;
    if (::close(fd_) != 0) throw Failure{label_, error_text(errno)};
    return;
  }
  if (temp_name_.empty()) {
    BlockedSignals blocked;
    if (!name_unnamed_file(fd_, dir_fd_, base_, temp_name_)) {
      const int err = errno;
      temp_name_.clear();
      throw Failure{label_, error_text(err)};
    }
    watch_temporary(dir_fd_, temp_name_);
  }
  // The owner first: changing it may clear set-id bits that fchmod then sets.
  if (replaces_existing_) (void)::fchown(fd_, owner_, group_);
  if (::fchmod(fd_, mode_) != 0) throw Failure{label_, error_text(errno)};
  // The data must be on the disk before the name is, or a crash right after
  // the rename could leave an empty file where the old one was.
  if (::fsync(fd_) != 0 && errno != EINVAL) throw Failure{label_, error_text(errno)};
  owned_ = false;
  if (::close(fd_) != 0) throw Failure{label_, error_text(errno)};
  BlockedSignals blocked;
  if (::renameat(dir_fd_, temp_name_.c_str(), dir_fd_, base_.c_str()) != 0) {
    throw Failure{label_, error_text(errno)};
  }
  forget_temporary();
  temp_name_.clear();
  replacing_ = false;
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
