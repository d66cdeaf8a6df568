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
      "     or ends before its measured length"};
  const cli::FileNames names = cli::parse_command_line(kInfo, argc, argv);
  try {
    cli::OutputFile::refuse_terminal(names.output);
    cli::InputFile input(names.input, /*refuse_terminal=*/false);
    cli::MeasuredInput measured(input);
    cli::OutputFile output(names.output, input, /*refuse_terminal=*/true);
    std::FILE* console = cli::console_stream(output.is_standard_output());

    std::uint64_t bytes_read = 0;
    const ReadFn read = [&](std::uint8_t* data, std::size_t n) -> std::ptrdiff_t {
      const std::size_t got = cli::MeasuredInput::read(&measured, data, n);
      if (measured.read_error() != 0) return -1;
      bytes_read += got;
      return static_cast<std::ptrdiff_t>(got);
    };
    const WriteFn write = [&](const std::uint8_t* data, std::size_t n) {
      return cli::OutputFile::write(&output, data, n);
    };
    CodingTimer timer;
    const Status status = compress_stream(measured.length(), read, write, console_progress(console));
    timer.print(console);

    switch (status) {
      case Status::ok:
        break;
      case Status::read_error:
        throw cli::read_failure(input.label(), measured.read_error());
      case Status::write_error:
        throw cli::Failure{output.label(), cli::error_text(output.write_error())};
      case Status::short_input: {
        char counts[80];
        std::snprintf(counts, sizeof counts, " (%" PRIu64 " of %" PRId32 " bytes)", bytes_read,
                      measured.length());
        throw cli::Failure{input.label(), status_message(status) + std::string(counts)};
      }
      default:
        throw cli::Failure{input.label(), status_message(status)};
    }
    output.commit();
    input.close();
  } catch (const cli::Failure& failure) {
    cli::report(kInfo.name, failure);
    return cli::kExitError;
  }
  return cli::kExitOk;
}
