#pragma once

// Files that must not outlive the run. A file the programs write before it
// is complete has no name where the file system allows that (O_TMPFILE): it
// vanishes with its descriptor however the process ends, even by SIGKILL.
// Elsewhere it has a temporary name, and a handler of every signal whose
// default action ends the process removes it before the process dies.
#include <signal.h>

#include <string>

namespace bytemix::cli {

// Creates a file without a name in the directory `dir_fd`, open for `access`
// (O_WRONLY or O_RDWR), with permissions 0600. Returns the descriptor, or -1
// with errno set; errno is EOPNOTSUPP where the file system or the kernel
// has no unnamed files.
int open_unnamed_file(int dir_fd, int access);

// True if the unnamed file `fd` can be given a name later, through its entry
// in /proc/self/fd (absent where /proc is not mounted).
bool can_name_unnamed_file(int fd);

// Creates a new file ".<base>.XXXXXX" (XXXXXX random letters and digits) in
// `dir_fd`, open for `access` with permissions 0600, and stores its name in
// `name`. `base` is shortened so that the name stays within the 255 bytes a
// file name may have. Returns the descriptor, or -1 with errno set.
int create_temporary_file(int dir_fd, const std::string& base, int access, std::string& name);

// Gives the unnamed file `fd` a new name ".<base>.XXXXXX" in `dir_fd` and
// stores it in `name`. False (errno set) on an error.
bool name_unnamed_file(int fd, int dir_fd, const std::string& base, std::string& name);

// A scratch file for data that never needs a name: unnamed where possible,
// otherwise a temporary file ".<base>.XXXXXX" removed as soon as it is
// open. Returns the descriptor (read and write), or -1 with errno set.
int open_scratch_file(int dir_fd, const std::string& base);

// Makes `name` in `dir_fd` the one temporary file that a fatal signal
// removes, until forget_temporary(). Call both with signals blocked
// (BlockedSignals), together with the call that creates or removes the
// name, so that no signal finds the name created but not yet watched. A
// signal that the process ignored when it started stays ignored.
void watch_temporary(int dir_fd, const std::string& name);
void forget_temporary();

// Blocks every signal that can be blocked for its lifetime.
class BlockedSignals {
 public:
  BlockedSignals();
  ~BlockedSignals();
  BlockedSignals(const BlockedSignals&) = delete;
  BlockedSignals& operator=(const BlockedSignals&) = delete;

 private:
  sigset_t old_;
};

}  // namespace bytemix::cli
