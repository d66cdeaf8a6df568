// decompressor [OPTION]... [input [output]]: restores input (default
// "book1.ari") into output (default "book1.unp"). Opening, checking and the
// safe replacement of the output are shared with the compressor
// (tools/cli.h, tools/safe_output.h); this file is the order of the steps.
#include <cerrno>
#include <cstdio>
#include <new>

#include "tools/cli.h"
#include "bytemix/bytemix.h"
#include "model/kernels/kernels.h"
#include "tools/console.h"
#include "tools/safe_output.h"

using namespace bytemix;

int main(int argc, char** argv) {
  static constexpr cli::ProgramInfo kInfo{
      "decompressor",
      "Restores the file that the compressor wrote to INPUT into OUTPUT.",
      "compressed file to read",
      "book1.ari",
      "restored file to write",
      "book1.unp",
      "a file cannot be opened, read, written or closed;\n"
      "     input and output are the same file; the compressed data is\n"
      "     damaged or truncated"};
  const cli::FileNames names = cli::parse_command_line(kInfo, argc, argv);
  // A forced vector path that cannot be had is a usage error: running on
  // another path would time or test the wrong thing.
  if (const std::string problem = kernels::requested_path_problem(); !problem.empty()) {
    std::fprintf(stderr, "%s: %s\n", kInfo.name, problem.c_str());
    return cli::kExitUsage;
  }
  RunConsole console;
  try {
    cli::InputFile input(names.input, /*refuse_terminal=*/true);
    cli::OutputFile output(names.output, input, /*refuse_terminal=*/false);

    console.start(cli::console_stream(output.is_standard_output()));
    const Status status = decompress_stream(input.reader(), output.writer(), console.progress());
    console.stop();
    cli::finish_run(status, input, input.read_error(), output);
    console.print_time();
  } catch (const cli::Failure& failure) {
    console.end_line();
    cli::report(kInfo.name, failure);
    return cli::kExitError;
  } catch (const std::bad_alloc&) {  // a memory limit (ulimit -v)
    console.end_line();
    cli::report(kInfo.name, cli::Failure{"", cli::error_text(ENOMEM)});
    return cli::kExitError;
  }
  return cli::kExitOk;
}
