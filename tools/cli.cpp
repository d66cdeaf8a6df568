#include "tools/cli.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "tools/temporary_files.h"

#ifndef BYTEMIX_VERSION
#define BYTEMIX_VERSION "unknown"
#endif

namespace bytemix::cli {
namespace {

void print_help(const ProgramInfo& info) {
  std::printf(
      "Usage: %s [OPTION]... [INPUT [OUTPUT]]\n"
      "%s\n"
      "\n"
      "  INPUT   %s (default: %s)\n"
      "  OUTPUT  %s (default: %s)\n"
      "The name - means standard input or standard output.\n"
      "Arguments after OUTPUT are ignored. An existing OUTPUT is replaced only\n"
      "once the new file is complete; on an error, an interrupt or any other\n"
      "signal or limit that ends the run it is left as it was. An OUTPUT that\n"
      "is not a regular file (/dev/null, a pipe), or that names an open\n"
      "descriptor (/dev/stdout, /dev/fd/N), is written in place.\n"
      "\n"
      "Options, recognised only before INPUT:\n"
      "  -h, --help     print this help and exit\n"
      "  -V, --version  print the version and exit\n"
      "  --             end the options: the next argument is INPUT even if it\n"
      "                 begins with '-'\n"
      "\n"
      "Progress, and the coding time of a run that succeeded, are printed on\n"
      "standard output, or on standard error when OUTPUT is standard output.\n"
      "Compressed data is neither written to nor read from a terminal.\n"
      "\n"
      "Exit status:\n"
      "  0  success\n"
      "  1  error: %s;\n"
      "     compressed data to or from a terminal; memory runs out\n"
      "  2  usage error (unknown option, or a BYTEMIX_SIMD that names no vector\n"
      "     path this processor runs)\n"
      "Each error is one line on standard error naming the file and the reason;\n"
      "a name with control characters is quoted as the shell would quote it.\n",
      info.name, info.action, info.input_role, info.default_input, info.output_role,
      info.default_output, info.errors);
}

// Ends a run that printed --help or --version: status 0 once the text has
// reached standard output, 1 with a message if it could not be written.
[[noreturn]] void exit_after_printing(const ProgramInfo& info) {
  int err = 0;
  if (standard_descriptor_closed(STDOUT_FILENO)) {
    err = EBADF;
  } else if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    err = errno != 0 ? errno : EIO;
  } else if (::close(STDOUT_FILENO) != 0) {
    err = errno;  // a delayed write error
  }
  if (err == 0) std::exit(kExitOk);
  report(info.name, Failure{output_label(kStandardStream), error_text(err)});
  std::exit(kExitError);
}

[[noreturn]] void usage_error(const ProgramInfo& info, const char* arg) {
  std::fprintf(stderr, "%s: unknown option %s\nTry '%s --help' for more information.\n",
               info.name, always_quoted(arg).c_str(), info.name);
  std::exit(kExitUsage);
}

// Length of the printable character that starts at name[i]: well-formed
// UTF-8 other than a control character. 0 if the byte at name[i] is not the
// start of one and must be escaped.
std::size_t printable_length(std::string_view name, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(name[i + k]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return lead >= 0x20 && lead != 0x7f ? 1 : 0;
  // The lead byte gives the length and the range of the second byte, which
  // excludes overlong forms, surrogates, code points above U+10FFFF, and
  // the C1 controls U+0080..U+009F (C2 80..C2 9F).
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xbf;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
    if (lead == 0xc2) low = 0xa0;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) low = 0xa0;
    if (lead == 0xed) high = 0x9f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) low = 0x90;
    if (lead == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  if (name.size() - i < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (byte(k) < 0x80 || byte(k) > 0xbf) return 0;
  }
  return length;
}

// A byte inside $'...': C escapes where the shell has a letter for them,
// three octal digits otherwise.
void append_escaped(std::string& out, unsigned char byte) {
  static const char kLetters[] = "abtnvfr";  // bytes 7..13
  if (byte >= 7 && byte <= 13) {
    out += '\\';
    out += kLetters[byte - 7];
    return;
  }
  char octal[5];
  std::snprintf(octal, sizeof octal, "\\%03o", byte);
  out += octal;
}

// Printable runs go between single quotes (a quote itself as \'), escaped
// bytes into $'...'.
std::string shell_quoted(std::string_view name) {
  std::string out;
  enum { outside, quoted, escaped } state = outside;
  for (std::size_t i = 0; i < name.size();) {
    const std::size_t length = printable_length(name, i);
    const bool quote = length == 1 && name[i] == '\'';
    const auto enter = [&](decltype(state) next, const char* opening) {
      if (state == next) return;
      if (state != outside) out += '\'';
      if (opening != nullptr) out += opening;
      state = next;
    };
    if (length == 0) {
      enter(escaped, "$'");
      append_escaped(out, static_cast<unsigned char>(name[i]));
      ++i;
    } else if (quote) {
      enter(outside, nullptr);
      out += "\\'";
      ++i;
    } else {
      enter(quoted, "'");
      out.append(name.substr(i, length));
      i += length;
    }
  }
  if (state != outside) out += '\'';
  return out.empty() ? "''" : out;
}

// True if a size from fstat() says how much reading the file yields. Not on
// a pseudo file system, whose files are made as they are read (procfs and
// cgroup files say 0, sysfs attributes 4096), nor on a file system in user
// space, whose server reports what it likes. Other file systems are taken
// at their word; the compressor still checks that the input ends there.
bool size_is_reliable(int fd) {
  struct statfs fs {};
  if (::fstatfs(fd, &fs) != 0) return false;
  switch (static_cast<std::uint32_t>(fs.f_type)) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case SELINUX_MAGIC:
    case SMACK_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case BPF_FS_MAGIC:
    case PSTOREFS_MAGIC:
    case EFIVARFS_MAGIC:
    case BINFMTFS_MAGIC:
    case RDTGROUP_SUPER_MAGIC:
    case FUSE_SUPER_MAGIC:
      return false;
    default:
      return true;
  }
}

// Largest input length the format can store: the length field is a signed
// 32-bit integer.
constexpr std::uint64_t kMaxLength = std::numeric_limits<std::int32_t>::max();

Failure too_long(const std::string& label, const char* how_long) {
  return Failure{label, std::string(how_long) +
                            "; the compressed format stores lengths below 2 GiB "
                            "(at most 2147483647 bytes)"};
}

// read(2) that retries after a signal handler ran.
ssize_t read_some(int fd, std::uint8_t* data, std::size_t n) {
  for (;;) {
    const ssize_t got = ::read(fd, data, n);
    if (got >= 0 || errno != EINTR) return got;
  }
}

// Directory for the compressor's buffer of a long stream: $TMPDIR as usual.
std::string spool_directory() {
  const char* dir = std::getenv("TMPDIR");
  return dir != nullptr && *dir != '\0' ? dir : "/tmp";
}

}  // namespace

std::string error_text(int err) { return std::strerror(err); }

bool write_all(int fd, const std::uint8_t* data, std::size_t n) {
  while (n != 0) {
    const ssize_t done = ::write(fd, data, n);
    if (done < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += done;
    n -= static_cast<std::size_t>(done);
  }
  return true;
}

std::string quoted_name(std::string_view name) {
  for (std::size_t i = 0, length = 0; i < name.size(); i += length) {
    length = printable_length(name, i);
    if (length == 0) return shell_quoted(name);
  }
  return name.empty() ? "''" : std::string(name);
}

std::string always_quoted(std::string_view name) { return shell_quoted(name); }

namespace {
bool g_standard_closed[3] = {false, false, false};

// A program started with standard input, output or error closed would get
// that descriptor back from its next open(), and then, say, write its
// progress text into the compressed file. /dev/null fills the gap; the
// streams themselves still count as closed when named by "-".
void reserve_standard_descriptors() {
  for (int fd = 0; fd < 3; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    g_standard_closed[fd] = true;
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened != fd) std::exit(kExitError);  // not even /dev/null: nothing to report on
  }
}
}  // namespace

bool standard_descriptor_closed(int fd) { return fd >= 0 && fd < 3 && g_standard_closed[fd]; }

FileNames parse_command_line(const ProgramInfo& info, int argc, char** argv) {
  reserve_standard_descriptors();
  std::signal(SIGXFSZ, SIG_IGN);
  errno = 0;  // what the first failed write of --help or --version leaves
  int i = 1;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg.size() < 2 || arg[0] != '-') break;  // a file name, or "-"
    if (arg == "-h" || arg == "--help") {
      print_help(info);
      exit_after_printing(info);
    }
    if (arg == "-V" || arg == "--version") {
      std::printf("%s (bytemix) %s\n", info.name, BYTEMIX_VERSION);
      exit_after_printing(info);
    }
    usage_error(info, argv[i]);
  }
  FileNames names{info.default_input, info.default_output};
  if (i < argc) names.input = argv[i++];
  if (i < argc) names.output = argv[i++];
  return names;
}

std::string input_label(const std::string& name) {
  return name == kStandardStream ? "standard input" : quoted_name(name);
}

std::string output_label(const std::string& name) {
  return name == kStandardStream ? "standard output" : quoted_name(name);
}

void report(const char* program, const Failure& failure) {
  std::fflush(stdout);  // after any progress text, not in the middle of it
  if (failure.file.empty()) {
    std::fprintf(stderr, "%s: %s\n", program, failure.reason.c_str());
  } else {
    std::fprintf(stderr, "%s: %s: %s\n", program, failure.file.c_str(), failure.reason.c_str());
  }
}

Failure read_failure(const std::string& label, int err) {
  return Failure{label, "read error: " + error_text(err)};
}

std::FILE* console_stream(bool output_is_standard_output) {
  return output_is_standard_output ? stderr : stdout;
}

// ---------------------------------------------------------------- InputFile

InputFile::InputFile(const std::string& name, bool refuse_terminal) : label_(input_label(name)) {
  if (name == kStandardStream) {
    if (standard_descriptor_closed(STDIN_FILENO)) throw Failure{label_, error_text(EBADF)};
    fd_ = STDIN_FILENO;
  } else {
    fd_ = ::open(name.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) throw Failure{label_, error_text(errno)};
    owned_ = true;
  }
  if (::fstat(fd_, &status_) != 0) throw Failure{label_, error_text(errno)};
  if (S_ISDIR(status_.st_mode)) throw Failure{label_, error_text(EISDIR)};
  if (refuse_terminal && ::isatty(fd_)) {
    throw Failure{label_,
                  "is a terminal; compressed data is not read from a terminal "
                  "(name a file or redirect standard input; see --help)"};
  }
}

InputFile::~InputFile() {
  if (owned_) ::close(fd_);
}

std::size_t InputFile::read(std::uint8_t* data, std::size_t n) {
  if (read_error_ == 0 && !reached_end_ && n != 0) {
    const ssize_t got = read_some(fd_, data, n);
    if (got > 0) return static_cast<std::size_t>(got);
    if (got < 0) {
      read_error_ = errno;
    } else {
      reached_end_ = true;
    }
  }
  return 0;
}

ReadFn InputFile::reader() {
  return [this](std::uint8_t* data, std::size_t n) -> std::ptrdiff_t {
    const std::size_t got = read(data, n);
    return read_error_ != 0 ? -1 : static_cast<std::ptrdiff_t>(got);
  };
}

void InputFile::close() {
  if (!owned_) return;
  owned_ = false;
  if (::close(fd_) != 0) throw Failure{label_, error_text(errno)};
}

// ------------------------------------------------------------ MeasuredInput

MeasuredInput::MeasuredInput(InputFile& input) : input_(input) {
  if (!input.is_regular() || !size_is_reliable(input.descriptor())) {
    spool();
    return;
  }
  // Standard input may be a regular file that the caller has partly read:
  // the bytes to compress are those from the current offset on.
  off_t offset = ::lseek(input.descriptor(), 0, SEEK_CUR);
  if (offset < 0) offset = 0;
  const off_t size = input.status().st_size;
  const std::uint64_t remaining =
      size > offset ? static_cast<std::uint64_t>(size - offset) : std::uint64_t{0};
  // Nothing left proves nothing either: reading to the end costs nothing
  // then, and finds whatever the size missed.
  if (remaining == 0) {
    spool();
    return;
  }
  if (remaining > kMaxLength) {
    char how_long[64];
    std::snprintf(how_long, sizeof how_long, "is %" PRIu64 " bytes long", remaining);
    throw too_long(input.label(), how_long);
  }
  length_ = static_cast<std::int32_t>(remaining);
}

MeasuredInput::~MeasuredInput() {
  if (spill_fd_ >= 0) ::close(spill_fd_);
}

Failure MeasuredInput::spool_failure(int err) const {
  return Failure{quoted_name(spill_dir_), "cannot buffer " + input_.label() + ": " + error_text(err)};
}

void MeasuredInput::spool() {
  spooled_ = true;
  std::uint64_t total = 0;
  std::vector<std::uint8_t> chunk(std::size_t{1} << 16);
  spill_dir_ = spool_directory();
  for (;;) {
    const std::size_t got = input_.read(chunk.data(), chunk.size());
    if (got == 0) break;
    total += got;
    if (total > kMaxLength) throw too_long(input_.label(), "is 2 GiB or longer");
    if (spill_fd_ < 0 && memory_.size() + got <= kSpoolMemoryLimit) {
      memory_.insert(memory_.end(), chunk.begin(), chunk.begin() + static_cast<long>(got));
      continue;
    }
    if (spill_fd_ < 0) {
      const int dir = ::open(spill_dir_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      if (dir < 0) throw spool_failure(errno);
      spill_fd_ = open_scratch_file(dir, "bytemix-spool");
      const int err = errno;
      ::close(dir);
      if (spill_fd_ < 0) throw spool_failure(err);
    }
    if (!write_all(spill_fd_, chunk.data(), got)) throw spool_failure(errno);
  }
  if (input_.read_error() != 0) throw read_failure(input_.label(), input_.read_error());
  if (spill_fd_ >= 0 && ::lseek(spill_fd_, 0, SEEK_SET) != 0) throw spool_failure(errno);
  length_ = static_cast<std::int32_t>(total);
}

std::size_t MeasuredInput::read_spool(std::uint8_t* data, std::size_t n) {
  if (memory_pos_ < memory_.size()) {
    const std::size_t k = std::min(n, memory_.size() - memory_pos_);
    std::memcpy(data, memory_.data() + memory_pos_, k);
    memory_pos_ += k;
    return k;
  }
  if (spill_fd_ < 0 || spill_error_ != 0) return 0;
  const ssize_t got = read_some(spill_fd_, data, n);
  if (got < 0) {
    spill_error_ = errno;
    return 0;
  }
  return static_cast<std::size_t>(got);
}

std::size_t MeasuredInput::read(std::uint8_t* data, std::size_t n) {
  std::size_t got;
  if (spooled_) {
    got = read_spool(data, n);
  } else {
    // Bytes past the measured length are left to confirm_end().
    const std::uint64_t left = static_cast<std::uint64_t>(length_) - delivered_;
    got = input_.read(data, static_cast<std::size_t>(std::min<std::uint64_t>(n, left)));
  }
  delivered_ += got;
  return got;
}

ReadFn MeasuredInput::reader() {
  return [this](std::uint8_t* data, std::size_t n) -> std::ptrdiff_t {
    const std::size_t got = read(data, n);
    return read_error() != 0 ? -1 : static_cast<std::ptrdiff_t>(got);
  };
}

void MeasuredInput::confirm_end() {
  if (spooled_) return;  // read to its end already
  std::uint8_t probe;
  if (input_.read(&probe, 1) != 0) {
    char reason[128];
    std::snprintf(reason, sizeof reason,
                  "the input changed while it was read: it goes on past its measured length "
                  "(%" PRId32 " bytes)",
                  length_);
    throw Failure{input_.label(), reason};
  }
  if (input_.read_error() != 0) throw read_failure(input_.label(), input_.read_error());
}

int MeasuredInput::read_error() const {
  return input_.read_error() != 0 ? input_.read_error() : spill_error_;
}

}  // namespace bytemix::cli
