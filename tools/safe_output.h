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

// A regular output (or a name that does not exist yet) is written to a
// temporary file beside it, in the same directory so that rename() can put
// it in place in one step. Until commit() succeeds the temporary file is
// removed on every way out: a Failure, the destructor, and SIGINT, SIGTERM,
// SIGHUP or SIGPIPE (the process then still dies of the signal, so a caller
// sees the usual status). An output that is not a regular file (standard
// output, /dev/null, a FIFO, a terminal) is written in place and never
// removed or replaced.
class OutputFile {
 public:
  // Throws the Failure the constructor would for a terminal, if `name` is
  // "-" and standard output is one. Lets a program refuse before it waits
  // for input that would be wasted.
  static void refuse_terminal(const std::string& name);

  // Opens the output `name` ("-": standard output), first refusing a name
  // that is the same file as `input` (same device and inode, also through a
  // link), and with `refuse_terminal` an output that is a terminal. Throws
  // Failure; nothing has been written or removed then.
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

  // Makes the output final: flushes it to the disk, closes it and renames
  // the temporary file over the output's name, with the permissions (and,
  // where allowed, the owner) of the file it replaces. Throws Failure, and
  // the temporary file is then removed by the destructor.
  void commit();

 private:
  void open_in_place(const std::string& name, bool refuse_terminal);
  void open_temporary(const std::string& target);
  void discard();

  std::string label_;
  int fd_ = -1;
  bool owned_ = false;            // close fd_ at the end
  bool temporary_ = false;        // fd_ is the temporary file
  bool is_standard_output_ = false;
  std::string target_;            // where commit() renames the temporary file
  std::string temp_path_;
  bool replaces_existing_ = false;
  mode_t mode_ = 0;               // permissions to give the final file
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
