// without_unnamed_files COMMAND [ARG]...
//
// Runs COMMAND where creating an unnamed file (open or openat with
// O_TMPFILE) fails with EOPNOTSUPP, as on a file system that has none, so
// that the programs' named temporary files can be tested on any machine. A
// seccomp filter does it; it is inherited by COMMAND and its children.
// Exits 77 if this machine cannot install the filter.
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

#if defined(__x86_64__)
constexpr unsigned kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr unsigned kArch = AUDIT_ARCH_AARCH64;
#else
#error "without_unnamed_files: no seccomp architecture for this processor"
#endif

// The flag bit that makes an open create an unnamed file (O_TMPFILE less
// the O_DIRECTORY it includes).
constexpr unsigned kTmpfileBit = O_TMPFILE & ~O_DIRECTORY;

// Offset of the low 32 bits of system call argument `i` (little-endian).
constexpr unsigned argument(int i) {
  return static_cast<unsigned>(offsetof(seccomp_data, args) + 8 * i);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s COMMAND [ARG]...\n", argv[0]);
    return 2;
  }
  // Everything is allowed but an open or openat whose flags hold the bit.
  // The numbers are those of the x86-64 layout; without SYS_open (AArch64)
  // instructions 4 to 6 are absent and the jumps shorter.
  sock_filter program[] = {
      /* 0 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
#ifdef SYS_open
      /* 1 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 0, 8),  // else 10
      /* 2 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      /* 3 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat, 3, 0),  // then 7
      /* 4 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_open, 0, 5),  // else 10
      /* 5 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, argument(1)),  // open's flags
      /* 6 */ BPF_JUMP(BPF_JMP | BPF_JA, 1, 0, 0),  // to 8
#else
      /* 1 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 0, 5),  // else 7
      /* 2 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      /* 3 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat, 0, 3),  // else 7
#endif
      /* 7 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, argument(2)),  // openat's flags
      /* 8 */ BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, kTmpfileBit, 0, 1),  // else 10
      /* 9 */ BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EOPNOTSUPP & SECCOMP_RET_DATA)),
      /* 10 */ BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog filter{static_cast<unsigned short>(sizeof program / sizeof program[0]), program};
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
    std::fprintf(stderr, "%s: cannot install a seccomp filter: %s\n", argv[0], std::strerror(errno));
    return 77;
  }
  ::execvp(argv[1], argv + 1);
  std::fprintf(stderr, "%s: %s: %s\n", argv[0], argv[1], std::strerror(errno));
  return 127;
}
