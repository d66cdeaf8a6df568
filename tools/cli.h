#pragma once

// What the two programs share around the coding itself: the command line,
// opening and checking the input, the buffered reader and error reporting.
// The output side lives in tools/safe_output.h.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bytemix/bytemix.h"

namespace bytemix::cli {

// Exit statuses of both programs; --help and the README list them.
inline constexpr int kExitOk = 0;
inline constexpr int kExitError = 1;  // a file, read, write or data error
inline constexpr int kExitUsage = 2;  // an unknown option

// A failure to report: one line "<program>: <file>: <reason>" on standard
// error and exit status 1. Thrown by the helpers below, caught in main, so
// that the output's destructor can remove an unfinished file on the way.
struct Failure {
  std::string file;    // a label as below ("standard input", a quoted name);
                       // empty for a failure that concerns no file
  std::string reason;  // the system's error text, or what is wrong with the data
};

// The system's text for an errno value.
std::string error_text(int err);

// write(2) until all n bytes are written, retrying after signal handlers and
// partial writes. False (errno set) on an error.
bool write_all(int fd, const std::uint8_t* data, std::size_t n);

// What --help says about a program and the names it falls back on.
struct ProgramInfo {
  const char* name;            // "compressor": the prefix of every message
  const char* action;          // "Compresses INPUT into OUTPUT."
  const char* input_role;      // "file to compress"
  const char* default_input;   // "book1"
  const char* output_role;     // "compressed file to write"
  const char* default_output;  // "book1.ari"
  const char* errors;          // what exit status 1 covers, for --help
};

struct FileNames {
  std::string input;
  std::string output;
};

// Reads `[options] [input [output]]`. Options count only before the first
// file name, so that the two names and whatever follows them (ignored) are
// taken exactly as the original command line took them; "--" ends the
// options early. -h/--help and -V/--version print to standard output and
// exit 0, or 1 if standard output cannot be written; an unknown option
// prints two lines to standard error, the second pointing at --help, and
// exits 2.
// Call it first: it also reserves descriptors 0..2 (see
// standard_descriptor_closed), and ignores SIGXFSZ, so that a file-size
// limit (ulimit -f) fails a write with EFBIG, reported as the write error it
// is, rather than killing the process.
FileNames parse_command_line(const ProgramInfo& info, int argc, char** argv);

// True if standard input, output or error (fd 0..2) was closed when the
// program started; parse_command_line() has put /dev/null in its place.
bool standard_descriptor_closed(int fd);

// A name as messages print it: unchanged if it is printable text, otherwise
// quoted for the shell in the way of GNU tools, e.g. 'a'$'\n''b', so that a
// newline or an escape sequence in a name can neither split a message nor
// reach the terminal; "" becomes ''. Printable text is well-formed UTF-8
// without control characters (C0, DEL, C1).
std::string quoted_name(std::string_view name);

// The same quoting applied to every name, e.g. '-x'.
std::string always_quoted(std::string_view name);

// "-" names the standard streams; messages call them by their role, and
// every other name by quoted_name().
inline constexpr const char* kStandardStream = "-";
std::string input_label(const std::string& name);
std::string output_label(const std::string& name);

// Prints "<program>: <file>: <reason>" on standard error ("<program>:
// <reason>" for a failure that concerns no file).
void report(const char* program, const Failure& failure);

// The reasons both programs give for an input that failed.
Failure read_failure(const std::string& label, int err);

// An opened, checked input. The descriptor is read through read(), which
// remembers how the input ended: a read error (errno kept) or the end of the
// file.
class InputFile {
 public:
  // Opens `name` ("-": standard input) for reading. Throws Failure if it
  // cannot be opened or is a directory; with `refuse_terminal`, also if it
  // is a terminal (compressed data is not typed).
  InputFile(const std::string& name, bool refuse_terminal);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  const std::string& label() const { return label_; }
  const struct stat& status() const { return status_; }
  bool is_regular() const { return S_ISREG(status_.st_mode); }
  int descriptor() const { return fd_; }

  // Up to n bytes, 0 at the end or on an error.
  std::size_t read(std::uint8_t* data, std::size_t n);

  // The same reads as a library ReadFn: -1 once a read failed.
  ReadFn reader();

  // errno of the first failed read, 0 if none failed.
  int read_error() const { return read_error_; }

  // Closes the descriptor (never standard input). Throws Failure on error.
  void close();

 private:
  std::string label_;
  int fd_ = -1;
  bool owned_ = false;
  struct stat status_ {};
  int read_error_ = 0;
  bool reached_end_ = false;
};

// The compressor must write the length before the first coded byte. A size
// is trusted only where it can be: for a regular file of a disk file system
// the length is its size from the current offset, and read() hands out no
// more than that. Any other input is read to the end first, kept in memory up
// to kSpoolMemoryLimit and beyond that in an unnamed temporary file: standard
// input, a pipe or a device, a file whose size is 0, and a file of a pseudo
// file system (proc, sysfs and the like, whose sizes say nothing of what
// reading yields) or of a file system in user space (FUSE). Inputs of 2 GiB
// or more do not fit the signed 32-bit length field and are refused before
// anything is written.
class MeasuredInput {
 public:
  // Measures `input` (and buffers it where its size is not trusted). Throws
  // Failure on a read error, a spool error or an input that is too long.
  explicit MeasuredInput(InputFile& input);
  ~MeasuredInput();
  MeasuredInput(const MeasuredInput&) = delete;
  MeasuredInput& operator=(const MeasuredInput&) = delete;

  std::int32_t length() const { return length_; }

  // Up to n bytes of the input or its buffered copy, 0 at the end, after
  // length() bytes, or on an error.
  std::size_t read(std::uint8_t* data, std::size_t n);

  // The same reads as a library ReadFn: -1 once a read failed.
  ReadFn reader();

  // Bytes handed out by read() so far.
  std::uint64_t delivered() const { return delivered_; }

  // After all length() bytes were read: throws Failure if the input goes on
  // past its measured length (it changed while it was read, and the
  // compressed file would restore something else) or cannot be read there.
  void confirm_end();

  // errno of the first failed read of the input or of the spool, 0 if none.
  int read_error() const;

  // Buffered inputs are kept in memory up to this many bytes: 256 KiB
  // costs little next to the model, while a larger stream would hold its
  // whole length in memory for the run. The programs keep their peak memory
  // below 4 MiB whatever the input.
  static constexpr std::size_t kSpoolMemoryLimit = std::size_t{256} << 10;

 private:
  void spool();
  std::size_t read_spool(std::uint8_t* data, std::size_t n);
  Failure spool_failure(int err) const;

  InputFile& input_;
  std::int32_t length_ = 0;
  bool spooled_ = false;
  std::vector<std::uint8_t> memory_;
  std::size_t memory_pos_ = 0;
  std::uint64_t delivered_ = 0;
  int spill_fd_ = -1;
  int spill_error_ = 0;
  std::string spill_dir_;
};

// Where the progress and timing text goes: standard output, unless the
// coded data itself goes there, then standard error.
std::FILE* console_stream(bool output_is_standard_output);

}  // namespace bytemix::cli
