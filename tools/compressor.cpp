// compressor [OPTION]... [input [output]]: compresses input (default
// "book1") into output (default "book1.ari"). Opening, checking and the safe
// replacement of the output are shared with the decompressor (tools/cli.h,
// tools/safe_output.h); this file is the order of the steps.
#include <cerrno>
#include <cinttypes>
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
      "compressor",
      "Compresses INPUT into OUTPUT.",
      "file to compress",
      "book1",
      "compressed file to write",
      "book1.ari",
      "a file cannot be opened, read, written or closed;\n"
      "     input and output are the same file; the input is 2 GiB or longer\n"
      "     or changed while it was read"};
  const cli::FileNames names = cli::parse_command_line(kInfo, argc, argv);
  // A forced vector path that cannot be had is a usage error: running on
  // another path would time or test the wrong thing.
  if (const std::string problem = kernels::requested_path_problem(); !problem.empty()) {
    std::fprintf(stderr, "%s: %s\n", kInfo.name, problem.c_str());
    return cli::kExitUsage;
  }
  RunConsole console;
  try {
    cli::OutputFile::refuse_terminal(names.output);
    cli::InputFile input(names.input, /*refuse_terminal=*/false);
    // The output before the input is measured: whatever refuses the output
    // does so before a stream is read to its end.
    cli::OutputFile output(names.output, input, /*refuse_terminal=*/true);
    cli::MeasuredInput measured(input);

    console.start(cli::console_stream(output.is_standard_output()));
    const Status status =
        compress_stream(measured.length(), measured.reader(), output.writer(), console.progress());
    console.stop();

    char counts[80] = "";
    if (status == Status::short_input) {
      std::snprintf(counts, sizeof counts, " (%" PRIu64 " of %" PRId32 " bytes)",
                    measured.delivered(), measured.length());
    }
    if (status == Status::ok) measured.confirm_end();
    cli::finish_run(status, input, measured.read_error(), output, counts);
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
