// compressor [OPTION]... [input [output]]: compresses input (default
// "book1") into output (default "book1.ari"). Opening, checking and the safe
// replacement of the output are shared with the decompressor (tools/cli.h,
// tools/safe_output.h); this file is the order of the steps.
#include <cinttypes>
#include <cstdio>
#include <memory>

#include "tools/cli.h"
#include "tools/compressed_file.h"
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
      "     or ends before its measured length"};
  const cli::FileNames names = cli::parse_command_line(kInfo, argc, argv);
  try {
    cli::OutputFile::refuse_terminal(names.output);
    cli::InputFile input(names.input, /*refuse_terminal=*/false);
    cli::MeasuredInput measured(input);
    cli::OutputFile output(names.output, input, /*refuse_terminal=*/true);
    std::FILE* console = cli::console_stream(output.is_standard_output());
    cli::ProgressMonitor monitor(console, nullptr, &output);

    auto source = std::make_unique<ByteSource>(cli::MeasuredInput::read, &measured);
    auto sink = std::make_unique<ByteSink>(cli::OutputFile::write, &output);
    CodingTimer timer;
    const CodecStatus status = compress(*source, measured.length(), *sink, monitor.progress());
    timer.print(console);

    if (measured.read_error() != 0) {
      throw cli::read_failure(input.label(), measured.read_error());
    }
    if (status == CodecStatus::write_error && output.write_error() != 0) {
      throw cli::Failure{output.label(), cli::error_text(output.write_error())};
    }
    if (status != CodecStatus::ok) {
      char counts[80];
      std::snprintf(counts, sizeof counts, " (%" PRIu64 " of %" PRId32 " bytes)", source->consumed(),
                    measured.length());
      throw cli::Failure{status == CodecStatus::write_error ? output.label() : input.label(),
                         describe(status) + std::string(counts)};
    }
    output.commit();
    input.close();
  } catch (const cli::Failure& failure) {
    cli::report(kInfo.name, failure);
    return cli::kExitError;
  }
  return cli::kExitOk;
}
