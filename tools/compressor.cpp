// compressor [OPTION]... [input [output]]: compresses input (default
// "book1") into output (default "book1.ari"). Opening, checking and the safe
// replacement of the output are shared with the decompressor (tools/cli.h,
// tools/safe_output.h); this file is the order of the steps.
#include <cinttypes>
#include <cstdio>

#include "tools/cli.h"
#include "bytemix/bytemix.h"
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
  try {
    cli::OutputFile::refuse_terminal(names.output);
    cli::InputFile input(names.input, /*refuse_terminal=*/false);
    cli::MeasuredInput measured(input);
    cli::OutputFile output(names.output, input, /*refuse_terminal=*/true);
    std::FILE* console = cli::console_stream(output.is_standard_output());

    CodingTimer timer;
    const Status status =
        compress_stream(measured.length(), measured.reader(), output.writer(), console_progress(console));
    timer.print(console);

    char counts[80] = "";
    if (status == Status::short_input) {
      std::snprintf(counts, sizeof counts, " (%" PRIu64 " of %" PRId32 " bytes)",
                    measured.delivered(), measured.length());
    }
    if (status == Status::ok) measured.confirm_end();
    cli::finish_run(status, input, measured.read_error(), output, counts);
  } catch (const cli::Failure& failure) {
    cli::report(kInfo.name, failure);
    return cli::kExitError;
  }
  return cli::kExitOk;
}
