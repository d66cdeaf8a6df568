// decompressor [OPTION]... [input [output]]: restores input (default
// "book1.ari") into output (default "book1.unp"). Opening, checking and the
// safe replacement of the output are shared with the compressor
// (tools/cli.h, tools/safe_output.h); this file is the order of the steps.
#include <cstdio>
#include <memory>

#include "tools/cli.h"
#include "tools/compressed_file.h"
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
  try {
    cli::InputFile input(names.input, /*refuse_terminal=*/true);
    cli::OutputFile output(names.output, input, /*refuse_terminal=*/false);
    std::FILE* console = cli::console_stream(output.is_standard_output());
    cli::ProgressMonitor monitor(console, &input, &output);

    auto source = std::make_unique<ByteSource>(cli::InputFile::read, &input);
    auto sink = std::make_unique<ByteSink>(cli::OutputFile::write, &output);
    CodingTimer timer;
    const CodecStatus status = decompress(*source, *sink, monitor.progress());
    timer.print(console);
    if (input.read_error() != 0) {
      throw cli::read_failure(input.label(), input.read_error());
    }
    if (status == CodecStatus::write_error && output.write_error() != 0) {
      throw cli::Failure{output.label(), cli::error_text(output.write_error())};
    }
    if (status != CodecStatus::ok) {
      throw cli::Failure{status == CodecStatus::write_error ? output.label() : input.label(),
                         describe(status)};
    }
    output.commit();
    input.close();
  } catch (const cli::Failure& failure) {
    cli::report(kInfo.name, failure);
    return cli::kExitError;
  }
  return cli::kExitOk;
}
