#pragma once

// The output of both programs, written so that a file at the output's name
// is either left as it was or replaced by a complete new one.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "tools/cli.h"

namespace bytemix::cli {

// A regular output (or a name that does not exist yet) is written to a new
// file in the same directory, so that renameat() can put it in place in one
// step at commit(). The new file has no name until then where the file
// system allows that (tools/temporary_files.h), so that no way the process
// ends can leave it behind; elsewhere it is a named temporary file that the
// destructor and every fatal signal remove. All names are taken relative to
// a descriptor of the output's directory, so that any path the system
// accepts works.
//
// Written in place, never removed or replaced: standard output ("-"), a name
// of one of the process's open descriptors (/dev/stdout, /dev/stderr,
// /dev/fd/N, /proc/self/fd/N), which is written through that descriptor as
// "-" is, and an output that is not a regular file (/dev/null, a FIFO, a
// terminal).
class OutputFile {
 public:
  // Throws the Failure the constructor would for a terminal, if `name` is
  // "-" and standard output is one. Lets a program refuse before it waits
  // for input that would be wasted.
  static void refuse_terminal(const std::string& name);

  // Opens the output `name` ("-": standard output), first refusing an empty
  // name, a name that is the same file as `input` (same device and inode,
  // also through a link), a regular file that the process may not write or,
  // in a sticky directory, may not replace, and with `refuse_terminal` an
  // output that is a terminal. Throws Failure; nothing has been written or
  // removed then.
  OutputFile(const std::string& name, const InputFile& input, bool refuse_terminal);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  const std::string& label() const { return label_; }

  // True if the data goes to the process's standard output, so that the
  // console text must keep out of it.
  bool is_standard_output() const { return is_standard_output_; }

  // Writes as a library WriteFn: all n bytes or false.
  WriteFn writer();

  // errno of the first failed write, 0 if none failed.
  int write_error() const { return write_error_; }

  // Makes the output final. A new file gets the permissions (and, where
  // allowed, the owner) of the file it replaces, is flushed to the disk,
  // closed and renamed over the output's name; an output written in place is
  // closed. Throws Failure, and the new file is then removed by the
  // destructor.
  void commit();

 private:
  void open(const std::string& name, const InputFile& input, bool refuse_terminal);
  // Opens dir_fd_ and sets base_ to where `name` leads once the symbolic
  // links of its last component are followed. Returns the descriptor if the
  // name is one of this process's open descriptors, else -1.
  int locate(const std::string& name);
  void open_descriptor(int fd, const InputFile& input, bool refuse_terminal);
  void check_in_place(const InputFile& input, bool refuse_terminal);
  void open_replacement();
  void discard();

  std::string label_;
  int fd_ = -1;
  bool owned_ = false;         // close fd_ in the destructor
  bool is_standard_output_ = false;
  int dir_fd_ = -1;            // the output's directory (O_PATH)
  std::string base_;           // the output's name in dir_fd_
  bool through_proc_link_ = false;  // base_ is a /proc link, which only open() follows
  bool replacing_ = false;     // fd_ is a new file, renamed to base_ at commit()
  std::string temp_name_;      // its temporary name in dir_fd_, once it has one
  bool replaces_existing_ = false;
  mode_t mode_ = 0;            // permissions to give the final file
  uid_t owner_ = 0;
  gid_t group_ = 0;
  int write_error_ = 0;
};

// Ends a coding run that returned `status`. On Status::ok makes the output
// final and closes the input; otherwise throws the Failure to report:
// `read_error` is the input's errno for Status::read_error, and `detail` is
// added to the reason of the other input errors, e.g. " (23 of 4096 bytes)".
void finish_run(Status status, InputFile& input, int read_error, OutputFile& output,
                const std::string& detail = {});

}  // namespace bytemix::cli
